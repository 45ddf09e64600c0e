/*
 * QEL message model: the message record, its variable bindings, the three
 * enumerations that travel inside a message, the process-wide counters, and
 * the XML codec and dumps that work on them.
 *
 * These records cross the plug-in boundary, so they are plain standard-layout
 * structs with fixed-size fields, and every function has C linkage.
 */
#ifndef QEL_QEL_H
#define QEL_QEL_H

#include <stdint.h>
#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QEL_MIBNAME_LEN 128
#define QEL_OBJNAME_LEN 128
#define QEL_KEY_LEN 2048
#define QEL_VALUESTR_LEN 4096

/* Host part of the protocol namespace URI; its path is fixed. */
#define QEL_NAMESPACE_URI "http://qel.kestrova.org/xsd/qel-1.0"

typedef enum qelMessageType {
    invalidMsgType = 0,
    Response = 1,
    GetRequest = 2,
    SetRequest = 4,
    SelectTableRequest = 8,
    InsertTableRequest = 16,
    DeleteTableRequest = 32,
    UpdateTableRequest = 64,
    Trap = 128,
    Information = 256
} qelMessageType_t;

typedef enum qelErrorStatus {
    invalidErrorType = -1,
    noError = 0,
    noErrorMoreData = 1,
    tooBig = 2,
    noSuchName = 3,
    badValue = 4,
    readOnly = 5,
    genError = 6,
    noAccess = 7,
    notTabular = 8,
    wrongType = 9,
    wrongLength = 10,
    wrongEncoding = 11,
    wrongValue = 12,
    noCreation = 13,
    inconsistentValue = 14,
    resourceUnavailable = 15,
    commitFailed = 16,
    undoFailed = 17,
    authorizationError = 18,
    notWritable = 19,
    inconsistentName = 20,
    parseError = 21
} qelErrorStatus_t;

/* The XML name of `bool_` is "bool" ("boolean" is accepted on input). */
typedef enum qelSyntax {
    invalidSyntax = 0,
    counter = 1,
    ipV4Address = 2,
    ipV6Address = 3,
    dateTime = 4,
    gauge = 5,
    integer = 6,
    unsignedInteger = 7,
    bool_ = 8,
    macAddress = 9,
    physAddress = 10,
    displayString = 11,
    binaryString = 12,
    nullSyntax = 13,
    table = 14,
    floatingPoint = 15,
    unsupportedVariable = 16,
    extendedBoolean = 17
} qelSyntax_t;

typedef struct qelName {
    char mibName[QEL_MIBNAME_LEN];
    char objName[QEL_OBJNAME_LEN];
    char key[QEL_KEY_LEN];
} qelName_t;

typedef struct qelVariable {
    qelName_t varName;
    qelSyntax_t varSyntax;
    char valueStr[QEL_VALUESTR_LEN];
    int valueStrLen;
    char *valueBuf;
    struct qelVariable *next;
    void *entryPtr;
} qelVariable_t;

typedef struct qelPdu {
    qelMessageType_t msgType;
    int64_t messageID;
    qelErrorStatus_t errorStatus;
    uint32_t errorIndex;
    char tableMib[QEL_MIBNAME_LEN];
    char tableName[QEL_OBJNAME_LEN];
    char tableKey[QEL_KEY_LEN];
    int maxRows;
    uint32_t numberVariables;
    qelVariable_t *varList;
    qelVariable_t *varListTail;
} qelPdu_t;

typedef struct qelStats {
    uint64_t inMessages;
    uint64_t inXmlParseErrs;
    uint64_t inErrors;
    uint64_t inNoSuchNames;
    uint64_t inBadValues;
    uint64_t inTotalReqVars;
    uint64_t inSessions;
    uint64_t inBytes;
    uint64_t inAuthenErrors;
    uint64_t inGets;
    uint64_t inSets;
    uint64_t inResponses;
    uint64_t inTraps;
    uint64_t inSelects;
    uint64_t inInserts;
    uint64_t inDeletes;
    uint64_t inUpdates;
    uint64_t inInformation;
    uint64_t outMessages;
    uint64_t outSessions;
    uint64_t outBytes;
    uint64_t outErrors;
    uint64_t outAuthenErrors;
    uint64_t outTotalReqVars;
    uint64_t outGets;
    uint64_t outSets;
    uint64_t outResponses;
    uint64_t outTraps;
    uint64_t outSelects;
    uint64_t outInserts;
    uint64_t outDeletes;
    uint64_t outUpdates;
    uint64_t outInformation;
} qelStats_t;

/* Process-wide; the session layer advances it, the agent owns the rest. */
extern qelStats_t qelStats;
/* Non-zero turns on the library's progress messages. */
extern int qel_session_verbose;
/* Non-zero (the default): messages in exactly the form buildQelMessage
 * writes are read by a scan of that form; zero sends every message through
 * libxml2. Both read the same; the switch is for comparing them. */
extern int qel_scan_builder_form;

/* True for the types that carry table info (value > 4 and < 128). */
int qelMessageHasTableInfo(qelMessageType_t type);

/* Codec */
/* Writes the XML text of pdu into buf and returns its length, or -1 when the
 * estimate exceeds buflen (then *needed, when given, receives the size to
 * retry with). Never writes past buflen. Text is escaped so that it reads
 * back unchanged: '&', '<', '>' and CR as references, non-ASCII UTF-8 as
 * character references; a byte that is not UTF-8 travels as the character of
 * its value (U+0080-U+00FF) and a control character XML cannot carry as '?'. */
int buildQelMessage(const qelPdu_t *pdu, char *buf, int buflen, int *needed);
/* Fills pdu from the text; fields the text does not set are left alone, so
 * zero-fill it first. The caller releases the bindings with qelPduCleanup. */
int parseQelMessage(const char *membuf, int bufsize, qelPdu_t *pdu);
/* parseQelMessage that refuses a message of more than maxVariables bindings
 * (0: no limit) with -2; the type and message ID are filled by then. */
int parseQelMessageMax(const char *membuf, int bufsize, qelPdu_t *pdu, uint32_t maxVariables);
/* Called with each binding as it is read; the record is reused once the
 * visitor returns, which returns 1 to go on. */
typedef int (*qelVariableVisitor_t)(const qelVariable_t *var, void *ctx);
/* parseQelMessageMax that hands each binding to visit instead of keeping it:
 * pdu->numberVariables counts them and its list stays empty. A visitor that
 * does not return 1 ends the parse with -1. */
int parseQelMessageVisit(const char *membuf, int bufsize, qelPdu_t *pdu, uint32_t maxVariables,
                         qelVariableVisitor_t visit, void *ctx);
int parseQelMessageByFilename(const char *filename, qelPdu_t *pdu);
/* node is an xmlNodePtr; kept opaque so this header needs no libxml2. */
int parseQelTableInfo(void *node, qelPdu_t *pdu);
int parseQelVariable(void *varNode, qelPdu_t *pdu);
int copyQelPdu(const qelPdu_t *src, qelPdu_t *dst);
qelVariable_t *copyQelVariable(const qelVariable_t *var);
int qelPduCleanup(qelPdu_t *pdu);
/* Appends a new binding (value inline below 4096 characters, else in
 * valueBuf); key and value may be null (empty). Returns it, or null when
 * out of memory (the pdu is then unchanged). */
qelVariable_t *qelAddVariable(qelPdu_t *pdu, const char *mib, const char *obj, const char *key, qelSyntax_t syntax,
                              const char *value);
/* Hands a finished reply binding to pdu, which takes it over: linked to the
 * list, or, while the host streams pdu's reply, written out and released at
 * once (numberVariables counts it either way; see qel/reply_stream.h).
 * Returns 1, or -1 when it could not be taken (it is released then). */
int qelReplyAppend(qelPdu_t *pdu, qelVariable_t *v);

/* Word tables */
int messageTypeToString(qelMessageType_t type, char *str, int maxlen);
qelMessageType_t stringToMessageType(const char *str);
int syntaxToString(qelSyntax_t syntax, char *str, int maxlen);
qelSyntax_t stringToSyntax(const char *str);
int errorStatusToString(qelErrorStatus_t status, char *str, int maxlen);
qelErrorStatus_t stringToErrorStatus(const char *str);

/* Dumps for people */
int dumpInternalQelMessage(const qelPdu_t *pdu);
/* dumpInternalQelMessage's two parts, to out: the lines before the bindings
 * (the count as pdu holds it), and the line of one binding. */
int dumpInternalQelHeader(FILE *out, const qelPdu_t *pdu);
int dumpInternalQelVariable(FILE *out, const qelVariable_t *var);
int dumpInternalQelMessageXml(const qelPdu_t *pdu);
int printQelMessage(const char *buf, int bufsize);

#ifdef __cplusplus
}

#include <string>
#include <vector>

/* Whether the text is in exactly the form buildQelMessage writes, which is
 * read without libxml2 (see qel_scan_builder_form). */
bool qelInBuilderForm(const char *text, size_t n);
/* dumpInternalQelMessageXml for a reply whose bindings are visited, not
 * kept: add() each binding as it is read, print() once the header is
 * known. Only the texts the dump shows are kept. */
class QelXmlDump {
public:
    void add(const qelVariable_t *var);
    int print(const qelPdu_t *pdu) const;

private:
    std::vector<int> syntaxes_; // one per binding
    std::string text_;          // mib, object, key and value of each binding, NUL-ended
};
/* Appends the line dumpInternalQelVariable prints for var. */
void qelAppendVariableLine(std::string &line, const qelVariable_t *var);
#endif

#endif
