/*
 * Process-wide settings of the kestrova plug-in that the graph and
 * dependency modules read. Their definitions live in kestrova_globals.cpp
 * until the plug-in frame takes them over.
 */
#ifndef KESTROVA_GLOBALS_H
#define KESTROVA_GLOBALS_H

#include "qelplugin.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KESTROVA_ENTERPRISE_OID QEL_ENTERPRISE_OID

extern float kestrovaVersion;
extern int debugLevel;
extern char myhostname[256];
extern char kestrovaAuthenUser[18];
extern int kestrova_thread_kill;

#ifdef __cplusplus
}
#endif

#endif
