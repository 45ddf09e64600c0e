/*
 * Process-wide settings of the kestrova plug-in that the graph and
 * dependency modules read. Their definitions live in kestrova_globals.cpp
 * until the plug-in frame takes them over.
 */
#ifndef KESTROVA_GLOBALS_H
#define KESTROVA_GLOBALS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Enterprise number of the suite; traps carry the OID below. */
#define KESTROVA_ENTERPRISE_NUMBER "53741"
#define KESTROVA_ENTERPRISE_OID "1.3.6.1.4.1." KESTROVA_ENTERPRISE_NUMBER

extern float kestrovaVersion;
extern int debugLevel;
extern char myhostname[256];
extern char kestrovaAuthenUser[18];
extern int kestrova_thread_kill;

#ifdef __cplusplus
}
#endif

#endif
