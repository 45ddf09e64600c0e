/*
 * The plug-in's XML files in the agent's home directory: the parameter file
 * "kestrova.xml" (read, parsed and rewritten here), and the versioned
 * reading every data-file reader shares.
 */
#ifndef KESTROVA_DATA_H
#define KESTROVA_DATA_H

#include <time.h>

#include <libxml/tree.h>

#include "kestrova.h"
#include "linkedlist.h"

#ifdef __cplusplus
extern "C" {
#endif

/* When each file was last read (on success, and when found not newer). Each
 * reader runs on one thread only. */
extern time_t readKestrovaConfigTime;
extern time_t kestrovaLocalTime;
extern time_t readConnectionDataFileTime;
extern time_t readApplicationDataFileTime;

/* 1 applied, 0 unchanged or not newer, -1 error. */
int readKestrovaConfigFile(const char *path);
/* 1 written, -1 failed (the previous file is then left as it was). */
int writeKestrovaConfigFile(const char *path);
/* One child node of the parameter file's root: 0 for a blank or missing
 * node, else 1. */
int parseKestrovaConfigTree(xmlNodePtr node);

int readKestrovaLocalFile(const char *path);
int readConnectionDataFile(const char *path, linkedList_t *list);
int readApplicationDataFile(const char *path, linkedList_t *list);

/* One pass of the configuration worker: rewrite the parameter file when a
 * parameter was set, then re-read the parameter and local files. */
void kestrovaConfigPass(void);

#ifdef __cplusplus
}

#include <functional>

namespace kestrova {

/* Texts of one reader. Lines marked "debug" appear only with a non-zero
 * debug level; null entries are not printed. Lines go to standard error,
 * the processing line to standard output. */
struct VersionedFileTexts {
    const char *rootName;       // the root element the file must have
    const char *moduleFile;     // name registered with the agent ("kestrova.xml")
    const char *statPrefix;     // debug, followed by the system error
    const char *pathLine;       // debug, "%s": the path
    const char *statFailedLine; // "%s": the path
    const char *statFailedLog;  // agent log, "%s": the path
    const char *notRegular;
    const char *notRegularLog; // agent log
    const char *unchanged;     // debug
    const char *parseFailed;
    const char *parseFailedLog; // agent log
    const char *emptyDocument;
    const char *wrongRoot; // "%s": the root element's name
    const char *noVersion;
    const char *notNewer;
    const char *processing; // debug, standard output, "%d": the version
};

/*
 * The versioned reading of a data file: examine the file, skip it when it is
 * unchanged since lastRead, parse it, check its root and version, skip it
 * when its version is not above the one applied, else run body and on
 * success record the version and time and register the file with the agent.
 * beforeParse (may be empty) runs once the file is known to have changed.
 * body returns false on an error: nothing is recorded, so the file is tried
 * again at the next call. Returns 1 applied, 0 unchanged or not newer, -1
 * error.
 */
int readVersionedFile(const char *path, const VersionedFileTexts &texts, time_t &lastRead, kestrovaSetting_t &version,
                      const std::function<void()> &beforeParse,
                      const std::function<bool(xmlDocPtr doc, xmlNodePtr root)> &body);

/* The texts of the four readers. */
extern const VersionedFileTexts kConfigFileTexts;
extern const VersionedFileTexts kLocalFileTexts;
extern const VersionedFileTexts kConnectionDataTexts;
extern const VersionedFileTexts kApplicationDataTexts;

/* An element's value: the content of its first child, or null. */
const char *elementValue(xmlNodePtr node);

/* Decimal text as C's atoi reads it, clamped to the int range. */
int decimalValue(const char *text);

} // namespace kestrova
#endif

#endif
