/*
 * Log-file dependency rules: lines appended to a log that match a rule's
 * add or remove expression add or remove a dependency built from the
 * rule's client, server and argument templates ("$1" to "$5" name the
 * expression's groups).
 */
#ifndef KESTROVA_DEPEND_LOGFILE_H
#define KESTROVA_DEPEND_LOGFILE_H

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

typedef struct logfileDependency {
    char filename[1024];
    int dtype;
    char addExpression[1024];
    char remExpression[1024];
    char dependClient[256];
    char dependServer[256];
    char args[2048];
    int scanInterval;
    int timeout;
    char description[1024];
    int firstTime;
    time_t lastScan;
    off_t lastOffset;
    int64_t numMatches; /* 64-bit: an int wraps after 2^31 lines */
    int64_t numLines;
    time_t lastMatchTime;
    off_t lastMatchOffset;
    char lastMatchStr[1024];
    char lastAddRemove;
    time_t lastUpdateTime;
    pcre2_code *addRe;
    const char *addErrorStr;
    int addErrorOffset;
    pcre2_code *remRe;
    const char *remErrorStr;
    int remErrorOffset;
} logfileDependency_t;

extern linkedList_t *lfList;

int init_depend_logfiles(void);
logfileDependency_t *newDependLogfile(void);
int addLogfileDependency(logfileDependency_t *rule);
int pruneLogfileDependencyEntries(void);
void *depend_logfiles_dowork(void *arg);
int scanLogfiles(void);
/* Reads the rule's file to its end for every rule and monitor naming it;
 * takes the list locks itself, so the caller holds neither. */
int dependencyScanLogfile(logfileDependency_t *rule, time_t now);
int dependencyCheckLogEntry(logfileDependency_t *rule, const char *line, int add);
int substituteField(const char *tmpl, const char *line, const size_t *offsets, int count, char *result, int size);
char *replace(const char *src, const char *pattern, const char *replacement);
qelErrorStatus_t var_lfDependTable(char *key, qelVariable_t *columns, qelPdu_t *out);
int compareDependLogfile(void *a, void *b);
int printDependLogfile(void *rec);
int freeDependLogfile(void *rec);

#ifdef __cplusplus
}

/* dependencyCheckLogEntry for a line of known length (NUL bytes allowed). */
int dependencyCheckLogEntryLen(logfileDependency_t *rule, const char *line, size_t len, int add);

/* The argument template's substitution: passes replacing the highest
 * placeholder present, stopping at a group the match lacks, looking only at
 * the template's own text (never at text taken from the log). The result is
 * cut to resultSize - 1 characters after every pass. 1 when anything was
 * replaced, else 0 (the template copied), -3 bad arguments. */
int substituteArgs(const char *tmpl, const char *line, const size_t *offsets, int count, char *result,
                   size_t resultSize);
#endif

// Definitions of module kestrova: logfileDependencyTable
#ifdef __cplusplus
#include "vardefs.h"
namespace kestrova {
enum class LfDependColumn : unsigned {
    lfLogfile = 1,
    lfDependType,
    lfAddExpression,
    lfRemExpression,
    lfDependClient,
    lfDependServer,
    lfDependArgs,
    lfScanInterval,
    lfTimeout,
    lfLastScanTime,
    lfLastOffset,
    lfNumberMatches,
    lfLastMatch,
    lfLastMatchOffeset,
    lfLastMatchString,
    lfLastAddRemove,
    lfLastUpdateTime,
    lfNumberLines,
    lfDescription,
};
inline constexpr VarSpec lfDependTableDefs[] = {
    KESTROVA_TABLE("logfileDependencyTable", var_lfDependTable),
    KESTROVA_COLUMN(LfDependColumn, lfLogfile, displayString, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfDependType, integer, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfAddExpression, displayString, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfRemExpression, displayString, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfDependClient, displayString, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfDependServer, displayString, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfDependArgs, displayString, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfScanInterval, integer, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfTimeout, integer, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfLastScanTime, dateTime, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfLastOffset, integer, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfNumberMatches, integer, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfLastMatch, dateTime, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfLastMatchOffeset, integer, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfLastMatchString, displayString, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfLastAddRemove, integer, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfLastUpdateTime, dateTime, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfNumberLines, integer, "logfileDependencyTable"),
    KESTROVA_COLUMN(LfDependColumn, lfDescription, displayString, "logfileDependencyTable"),
};
} // namespace kestrova
#endif

#endif
