/*
 * The application table: the application definitions of "appdata.xml"
 * (a name and a filter text each), kept current by the application worker,
 * which on the same beat has the process table rebuilt.
 */
#ifndef KESTROVA_APP_TABLE_H
#define KESTROVA_APP_TABLE_H

#include "kestrova.h"
#include "linkedlist.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct appData {
    char appName[256];
    char appFilter[256];
} appData_t;

/* "appTable": filled and emptied only by readApplicationDataFile. */
extern linkedList_t *appDataList;
/* "<home>/appdata.xml". */
extern char applicationDataFile[KESTROVA_PATH_LEN];

int init_apptable(void);
void *app_dowork(void *arg);
int reload_app_table(void);

#ifdef __cplusplus
}
#endif

#endif
