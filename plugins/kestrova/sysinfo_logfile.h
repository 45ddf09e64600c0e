/*
 * Log-file monitors: count the lines appended to a log that match one
 * expression and remember the last match.
 */
#ifndef KESTROVA_SYSINFO_LOGFILE_H
#define KESTROVA_SYSINFO_LOGFILE_H

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include "linkedlist.h"
#include "qelplugin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct logfileMonitor {
    char filename[1024];
    char expression[1024];
    int scanInterval;
    char description[1024];
    time_t lastScanTime;
    off_t lastOffset;
    time_t lastUpdateTime;
    int64_t numLines; /* 64-bit: an int wraps after 2^31 lines */
    int64_t numMatches;
    char lastMatchStr[1024];
    off_t lastMatchOffset;
    time_t lastMatchTime;
    int firstTime;
    pcre2_code *re;
} logfileMonitor_t;

extern linkedList_t *lfmList;

int init_logfile_monitors(void);
logfileMonitor_t *newLogfileMonitor(void);
int addLogfileMonitor(logfileMonitor_t *mon);
int pruneLogfileMonitors(void);
void *logfile_monitor_dowork(void *arg);
int scanLogfileEntries(void);
/* As dependencyScanLogfile: the caller holds neither list lock. */
int scanLogfileMonitor(logfileMonitor_t *mon, time_t now);
int checkLogfileMonitorEntry(logfileMonitor_t *mon, const char *line);
qelErrorStatus_t var_lfMonTable(char *key, qelVariable_t *columns, qelPdu_t *out);
int compareLogfileMonitor(void *a, void *b);
int printLogfileMonitor(void *rec);
int freeLogfileMonitor(void *rec);

#ifdef __cplusplus
}

/* checkLogfileMonitorEntry for a line of known length (NUL bytes allowed). */
int checkLogfileMonitorEntryLen(logfileMonitor_t *mon, const char *line, size_t len);
#endif

// Definitions of module kestrova: logfileMonitorTable
#ifdef __cplusplus
#include "vardefs.h"
namespace kestrova {
enum class LfMonColumn : unsigned {
    lfmLogfile = 1,
    lfmExpression,
    lfmScanInterval,
    lfmLastScanTime,
    lfmLastOffset,
    lfmNumberMatches,
    lfmLastMatchTime,
    lfmLastMatchOffeset,
    lfmLastMatchString,
    lfmLastUpdateTime,
    lfmNumberLines,
    lfmDescription,
};
inline constexpr VarSpec lfMonTableDefs[] = {
    KESTROVA_TABLE("logfileMonitorTable", var_lfMonTable),
    KESTROVA_COLUMN(LfMonColumn, lfmLogfile, displayString, "logfileMonitorTable"),
    KESTROVA_COLUMN(LfMonColumn, lfmExpression, displayString, "logfileMonitorTable"),
    KESTROVA_COLUMN(LfMonColumn, lfmScanInterval, integer, "logfileMonitorTable"),
    KESTROVA_COLUMN(LfMonColumn, lfmLastScanTime, dateTime, "logfileMonitorTable"),
    KESTROVA_COLUMN(LfMonColumn, lfmLastOffset, integer, "logfileMonitorTable"),
    KESTROVA_COLUMN(LfMonColumn, lfmNumberMatches, integer, "logfileMonitorTable"),
    KESTROVA_COLUMN(LfMonColumn, lfmLastMatchTime, dateTime, "logfileMonitorTable"),
    KESTROVA_COLUMN(LfMonColumn, lfmLastMatchOffeset, integer, "logfileMonitorTable"),
    KESTROVA_COLUMN(LfMonColumn, lfmLastMatchString, displayString, "logfileMonitorTable"),
    KESTROVA_COLUMN(LfMonColumn, lfmLastUpdateTime, dateTime, "logfileMonitorTable"),
    KESTROVA_COLUMN(LfMonColumn, lfmNumberLines, integer, "logfileMonitorTable"),
    KESTROVA_COLUMN(LfMonColumn, lfmDescription, displayString, "logfileMonitorTable"),
};
} // namespace kestrova
#endif

#endif
