/*
 * The kestrova plug-in's face towards the agent: entry points, the 158
 * variable definitions of module "kestrova", the handler of the plug-in's
 * own scalars (the subgraph among them), the age-out setter, the trap
 * handler and the configuration worker.
 */
#include "kestrova.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <mutex>
#include <string>

#include <libxml/parser.h>

#include "graph.h"
#include "graph_internal.h"
#include "app_table.h"
#include "depend_logfile.h"
#include "dependency.h"
#include "kestrova_data.h"
#include "peer.h"
#include "process_table.h"
#include "qel/base64.h"
#include "qel/log.h"
#include "qel/qel_session.h"
#include "qel/reply_stream.h"
#include "qel/strutil.h"
#include "qelplugin.h"
#include "qelselect.h"
#include "sysinfo.h"
#include "sysinfo_logfile.h"

#define PLUGIN_EXPORT __attribute__((visibility("default")))

extern "C" {
PLUGIN_EXPORT const char *versionStr = "TarnVersion 0.6000";
}

namespace {

using kestrova::VarSpec;

// The areas' definitions joined in the module's order.
template <size_t... N>
constexpr auto joinDefinitions(const VarSpec (&...parts)[N]) {
    std::array<VarSpec, (N + ...)> all{};
    size_t at = 0;
    ((std::copy(std::begin(parts), std::end(parts), all.begin() + static_cast<std::ptrdiff_t>(at)), at += N), ...);
    return all;
}

constexpr auto specs = joinDefinitions(kestrova::pluginScalarDefs, kestrova::dependencyTableDefs,
                                       kestrova::processTableDefs, kestrova::processEndptTableDefs,
                                       kestrova::sysinfoMetricDefs, kestrova::filesysTableDefs, kestrova::cpuTableDefs,
                                       kestrova::peerTableDefs, kestrova::lfDependTableDefs, kestrova::lfMonTableDefs);
static_assert(specs.size() == 158, "module kestrova defines 158 variables");

} // namespace

static qelVar_t kestrovaVars[specs.size()];

namespace {

qelErrorStatus_t unknownHint(qelVariable_t *v) {
    v->valueStr[0] = '\0';
    v->valueStrLen = 0;
    return noSuchName;
}

qelErrorStatus_t putInt(qelVar_t *vp, qelVariable_t *v, long long value) {
    qelSetValueInt(v, vp->syntax, value);
    return noError;
}

qelErrorStatus_t putTime(qelVariable_t *v, time_t when) {
    char text[32] = "";
    if (qelConvertTimeStr(when, text, sizeof text) < 0)
        text[0] = '\0';
    text[sizeof text - 1] = '\0';
    qelSetValue(v, dateTime, text);
    return noError;
}

// Room a reply needs besides the subgraph's text (header, envelope and the
// variable's element); a larger text could not be sent to any client.
constexpr long long kSubGraphEnvelope = 64 * 1024;
std::atomic<long long> subGraphLimit{static_cast<long long>(QEL_MAX_MESSAGE_LEN) - kSubGraphEnvelope};

// The size of the last subgraph's text, its NUL included.
std::atomic<size_t> lastSubGraphText{0};

// One export at a time: each holds the whole document twice (GraphML and
// Base64), so concurrent requests would multiply the peak.
std::mutex &subGraphMutex() {
    static std::mutex *m = new std::mutex;
    return *m;
}

qelErrorStatus_t subGraphValue(qelVariable_t *v) {
    v->varSyntax = displayString;
    v->valueStrLen = 0;
    v->valueStr[0] = '\0';
    std::lock_guard lock(subGraphMutex());
    QelGrowingBuffer docBuf;
    // Room for the last text's size and an eighth more, taken before the
    // export: the document is then written straight into memory that also
    // holds its encoding (a fresh buffer's pages would otherwise be filled
    // twice, the second time after a copy).
    const size_t guess = lastSubGraphText.load(std::memory_order_relaxed);
    if (guess && guess < SIZE_MAX / 2)
        docBuf.grow(guess + guess / 8);
    size_t docLen = 0;
    const char *doc = theGraph ? kestrova::graphExportInto(theGraph, docBuf, &docLen) : nullptr;
    if (!doc || docLen == 0 || docLen > static_cast<size_t>(INT_MAX))
        return resourceUnavailable;
    int len = static_cast<int>(docLen);
    long long encodedLen = 4LL * ((static_cast<long long>(len) + 2) / 3);
    if (encodedLen > subGraphLimit.load(std::memory_order_relaxed)) {
        char line[160];
        std::snprintf(line, sizeof line, "Kestrova: subGraph of %lld characters exceeds the message limit", encodedLen);
        qeldLog(line);
        return tooBig;
    }
    // Encoded where it was exported: the buffer grows to hold the text (a
    // mapped one by moving its pages, not copying them), so the fetch needs
    // no second buffer of the document's size, nor fresh pages for one.
    if (doc != docBuf.data() || !docBuf.grow(static_cast<size_t>(encodedLen) + 1))
        return resourceUnavailable;
    const int outlen = base64_encode_in_place(docBuf.data(), len);
    if (outlen <= 0)
        return resourceUnavailable;
    lastSubGraphText.store(static_cast<size_t>(outlen) + 1, std::memory_order_relaxed);
    if (outlen < QEL_VALUESTR_LEN) {
        v->valueStrLen =
            static_cast<int>(qelCopyMem(v->valueStr, sizeof v->valueStr, docBuf.data(), static_cast<size_t>(outlen)));
        return noError;
    }
    // The reply being streamed on this thread takes the buffer over and
    // sends the text from it; the reply frees it once sent.
    if (qelReplyTakeValue(v, docBuf, static_cast<size_t>(outlen)))
        return noError;
    // No reply streamed here (an in-process caller): the variable gets a
    // copy of its own, which it owns from now on.
    char *copy = static_cast<char *>(std::malloc(static_cast<size_t>(outlen) + 1));
    if (!copy)
        return resourceUnavailable;
    std::memcpy(copy, docBuf.data(), static_cast<size_t>(outlen) + 1);
    std::free(v->valueBuf);
    v->valueBuf = copy;
    v->valueStrLen = outlen;
    return noError;
}

// A whole decimal number, blanks around it allowed.
bool wholeNumber(const char *text, long long &out) {
    if (!text)
        return false;
    const char *p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')
        ++p;
    const char *end = p + std::strlen(p);
    while (end > p && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\n' || end[-1] == '\r'))
        --end;
    if (p < end && *p == '+')
        ++p;
    if (p == end)
        return false;
    auto r = std::from_chars(p, end, out, 10);
    return r.ec == std::errc() && r.ptr == end;
}

void *(*const workerFns[])(void *) = {kestrova_dowork,        dependency_dowork, peer_dowork,   depend_logfiles_dowork,
                                      logfile_monitor_dowork, app_dowork,        sysinfo_dowork};
const char *const workerFailures[] = {
    "Failed to create worker thread for kestrova", "Failed to create dependency thread for kestrova",
    "Failed to create peer thread for kestrova",   "Failed to create dependency logs thread for kestrova",
    "Failed to create logs thread for kestrova",   "Failed to create app thread for kestrova",
    "Failed to create sysinfo thread for kestrova"};

// Runs an entry point's body: what it throws is logged and answered with
// failed, since no exception may leave the plug-in.
template <typename Result, typename Body>
Result guarded(const char *who, Result failed, Body body) {
    try {
        return body();
    } catch (const std::exception &e) {
        qel::logError("%s: %s\n", who, e.what());
    } catch (...) {
        qel::logError("%s: unknown exception\n", who);
    }
    return failed;
}

qelErrorStatus_t pluginValue(qelVar_t *vp, qelVariable_t *v) {
    if (!vp || !v)
        return genError;
    using S = kestrova::PluginScalar;
    switch (static_cast<S>(vp->hint)) {
    case S::pluginVersion: qelSetValuef(v, vp->syntax, "%3.4f", static_cast<double>(kestrovaVersion)); return noError;
    case S::connectionDataVersion: return putInt(vp, v, connectionDataVersion.load(std::memory_order_relaxed));
    case S::applicationDataVersion: return putInt(vp, v, applicationDataVersion.load(std::memory_order_relaxed));
    case S::dependencyAgeOutInterval: return putInt(vp, v, dependencyAgeOutInterval.load(std::memory_order_relaxed));
    case S::peerAgeOutInterval: return putInt(vp, v, peerAgeOutInterval.load(std::memory_order_relaxed));
    case S::kestrovaConfigVersion: return putInt(vp, v, kestrovaConfigVersion.load(std::memory_order_relaxed));
    case S::kestrovaLocalConfigVersion: return putInt(vp, v, kestrovaLocalVersion.load(std::memory_order_relaxed));
    case S::subGraph: return subGraphValue(v);
    case S::numGraphNodes: return putInt(vp, v, getOrderOfGraph(theGraph));
    case S::numGraphEdges: return putInt(vp, v, getSizeOfGraph(theGraph));
    case S::subGraphLastChange: return putTime(v, graphLastChange(theGraph));
    case S::subGraphLastUpdate: return putTime(v, graphLastUpdate(theGraph));
    case S::dependencyScanInterval: return putInt(vp, v, dependencyScanInterval.load(std::memory_order_relaxed));
    case S::peerScanInterval: return putInt(vp, v, peerScanInterval.load(std::memory_order_relaxed));
    default: return unknownHint(v);
    }
}

qelErrorStatus_t setAgeOut(qelVar_t *vp, qelVariable_t *v, int doSet) {
    if (!vp || !v)
        return genError;
    using S = kestrova::PluginScalar;
    const auto which = static_cast<S>(vp->hint);
    if (which != S::dependencyAgeOutInterval && which != S::peerAgeOutInterval)
        return unknownHint(v);
    const char *text = v->valueBuf && v->valueStrLen >= QEL_VALUESTR_LEN ? v->valueBuf : v->valueStr;
    long long value = 0;
    if (!wholeNumber(text, value) || value < 1 || value > 29)
        return badValue;
    if (doSet) {
        (which == S::dependencyAgeOutInterval ? dependencyAgeOutInterval : peerAgeOutInterval)
            .store(static_cast<int>(value), std::memory_order_relaxed);
        kestrova_update_configfile.store(1, std::memory_order_relaxed);
    }
    return noError;
}

void readHostIdentity() {
    std::memset(kestrovaHomeDir, 0, sizeof kestrovaHomeDir);
    qelGetHomeDir(kestrovaHomeDir, sizeof kestrovaHomeDir);
    kestrovaHomeDir[sizeof kestrovaHomeDir - 1] = '\0';
    std::memset(myhostname, 0, sizeof myhostname);
    qelGetSystemName(myhostname, 255);
    myhostname[sizeof myhostname - 1] = '\0';
    qel::logInfo("home dir is %s\n", kestrovaHomeDir);
    kestrovaSetAuthenUser(KESTROVA_DEFAULT_AUTHEN_USER);
}

// The graph with the local host's vertex, and the graph to start from when
// one is named (demonstrations and tests). False when either cannot be made.
bool makeGraph() {
    char graphName[300];
    std::snprintf(graphName, sizeof graphName, "%s graph", myhostname);
    theGraph = graphNew(graphName);
    if (!theGraph) {
        qel::logError("kestrova: cannot create the graph\n");
        qeldLog("Kestrova: cannot create the graph");
        return false;
    }
    myVertex = vertexNew(myhostname);
    if (!myVertex) {
        qel::logError("kestrova: cannot create the local vertex\n");
        qeldLog("Kestrova: cannot create the local vertex");
        return false;
    }
    myVertex->reachable = 1;
    std::snprintf(myVertex->qeldVersion, sizeof myVertex->qeldVersion, "%3.2f", static_cast<double>(kestrovaVersion));
    myVertex->contactTime = 1;
    if (graphInsertNode(theGraph, myVertex) < 0) {
        qel::logError("kestrova: cannot insert the local vertex\n");
        qeldLog("Kestrova: cannot insert the local vertex");
        return false;
    }
    if (const char *seed = std::getenv("KESTROVA_IMPORT_GRAPH"); seed && *seed) {
        int r = graphImport(theGraph, seed);
        qel::logInfo("kestrova: graph import from %s: %d\n", seed, r);
        if (r < 0) {
            std::string line = std::string("Kestrova: graph import from ") + seed + " failed";
            qeldLog(line.c_str());
        }
    }
    graphPrint(theGraph);
    std::fflush(stdout);
    return true;
}

// The other modules' set-ups, the parameter files read between them.
void initAreas() {
    init_dependencies();
    qel::logInfo("Kestrova: dependencies init'd\n");
    qelCopyField(kestrovaConfigFile, std::string(kestrovaHomeDir) + "/kestrova.xml");
    readKestrovaConfigFile(kestrovaConfigFile);
    qelCopyField(kestrovaLocalFile, std::string(kestrovaHomeDir) + "/kestrova-local.xml");
    init_peers();
    qel::logInfo("Kestrova: peers init'd\n");
    init_apptable();
    qel::logInfo("Kestrova: app table init'd\n");
    init_sysinfo();
    qel::logInfo("Kestrova: sysinfo init'd\n");
    init_depend_logfiles();
    init_logfile_monitors();
    qel::logInfo("Kestrova: logfiles init'd\n");
    readKestrovaLocalFile(kestrovaLocalFile);
    qel::logInfo("Kestrova: read local file\n");
}

void registerVariables() {
    for (size_t i = 0; i < specs.size(); ++i) {
        qelVar_t &q = kestrovaVars[i];
        std::memset(&q, 0, sizeof q);
        qelCopyField(q.mibName, "kestrova");
        qelCopyField(q.objName, specs[i].objName);
        q.syntax = specs[i].syntax;
        qelCopyField(q.tableName, specs[i].tableName);
        q.hint = specs[i].hint;
        q.get = specs[i].get;
        q.set = specs[i].set;
        q.select = specs[i].select;
        qelAddVar(&q);
    }
    qel::logInfo("Kestrova: added variables\n");
}

// The plug-in's binaries and data files, with their versions.
void registerModules() {
    for (const char *file : {"kestrova-solaris.so", "kestrova-solx86.so", "kestrova-linux.so", "kestrova-win32.dll"}) {
        char version[32];
        std::snprintf(version, sizeof version, "%3.4f", static_cast<double>(qelFindBinaryVersion(file, nullptr)));
        qelAddModule(file, version, "kestrova", "mib2", QEL_MODULE_KIND_PLUGIN);
    }
    const struct {
        const char *file;
        kestrovaSetting_t &version;
    } dataFiles[] = {{"connectiondata.xml", connectionDataVersion},
                     {"appdata.xml", applicationDataVersion},
                     {"kestrova.xml", kestrovaConfigVersion},
                     {"kestrova-local.xml", kestrovaLocalVersion}};
    for (const auto &d : dataFiles) {
        char version[16];
        std::snprintf(version, sizeof version, "%d", d.version.load(std::memory_order_relaxed));
        qelAddModule(d.file, version, "kestrova", nullptr, QEL_MODULE_KIND_DATAFILE);
    }
}

} // namespace

/* ---- handlers ---- */

extern "C" qelErrorStatus_t var_plugin(qelVar_t *vp, qelVariable_t *v) {
    return guarded("var_plugin", genError, [&] { return pluginValue(vp, v); });
}

extern "C" qelErrorStatus_t var_setKestrovaParams(qelVar_t *vp, qelVariable_t *v, int doSet) {
    return guarded("var_setKestrovaParams", genError, [&] { return setAgeOut(vp, v, doSet); });
}

extern "C" int kestrovaTrapHandler(qelEventEntry_t *e) {
    if (!e || e->eventSource[0] == '\0' || std::strcmp(e->eventSource, "internal") == 0)
        return 0;
    return 1;
}

extern "C" void *kestrova_dowork(void *) {
    guarded("kestrova_dowork", 0, [] {
        while (!kestrovaStopping()) {
            qel::logDebug("\tkestrova: worker doing work\n");
            if (!kestrovaSleep(120))
                break;
            kestrovaConfigPass();
        }
        return 0;
    });
    qel::logInfo("kestrova: worker thread returning\n");
    qeldLog("Kestrova dowork returning");
    return nullptr;
}

/* ---- entry points ---- */

extern "C" PLUGIN_EXPORT int modinfo(char *modname, int modnamesz, char *descr, int descrsz) {
    qel::logInfo("kestrova: modinfo called\n");
    if (!modname || !descr || modnamesz < 11 || descrsz < 30)
        return -1;
    qelCopyStr(modname, static_cast<size_t>(modnamesz), "kestrova");
    // Cut to the caller's buffer.
    std::snprintf(descr, static_cast<size_t>(descrsz), "kestrova Solaris version %3.4f",
                  static_cast<double>(kestrovaVersion));
    return 1;
}

extern "C" PLUGIN_EXPORT int init(void) {
    return guarded("kestrova init", -1, [] {
        qel::logInfo("kestrova: init called\n");
        qeldLog("Kestrova starting");
        debugLevel.store(qelGetAgentDebugLevel(), std::memory_order_relaxed);
        qel::setLogDebug(debugLevel.load(std::memory_order_relaxed) != 0);
        kestrovaSetTimeDivisor(std::getenv("KESTROVA_TIME_DIVISOR"));
        kestrova_thread_kill.store(0, std::memory_order_relaxed);
        kestrova_update_configfile.store(0, std::memory_order_relaxed);
        xmlInitParser();
        readHostIdentity();
        if (!makeGraph())
            return -1;
        initAreas();
        registerVariables();
        registerModules();
        qel::logInfo("kestrova init finished\n");
        return 1;
    });
}

extern "C" PLUGIN_EXPORT int start(void) {
    return guarded("kestrova start", -1, [] {
        qel::logInfo("kestrova: start called\n");
        for (size_t i = 0; i < std::size(workerFns); ++i) {
            int rc = kestrovaStartWorker(workerFns[i]);
            if (rc != 0)
                qel::logError("%s: %s\n", workerFailures[i], std::strerror(rc));
        }
        qelRegisterTrapHandler("core", kestrovaTrapHandler);
        qelRegisterTrapHandler("kestrova", kestrovaTrapHandler);
        qel::logInfo("kestrova: start finished\n");
        return 1;
    });
}

extern "C" PLUGIN_EXPORT int finish(void) {
    return guarded("kestrova finish", -1, [] {
        qel::logInfo("kestrova: finish called\n");
        kestrovaStopWorkers(0); // the stop flag, and every sleeping worker woken
        qelRemoveVarByName("kestrova", nullptr);
        // The agent exits or unloads after finish: let the workers leave the
        // plug-in's code first, within a bound.
        if (!kestrovaStopWorkers(5000)) {
            char line[96];
            std::snprintf(line, sizeof line, "Kestrova: %d workers still running at finish", kestrovaRunningWorkers());
            qeldLog(line);
        }
        qel::logInfo("kestrova: finish finished\n");
        qeldLog("Kestrova: finish returning");
        return 1;
    });
}

/* For tests: the definitions, and a lower limit for the subgraph's text. */
extern "C" const qelVar_t *kestrovaDefinitions(int *count) {
    if (count)
        *count = static_cast<int>(specs.size());
    return kestrovaVars;
}

extern "C" void kestrovaSetSubGraphLimit(long long characters) {
    subGraphLimit.store(characters > 0 ? characters : static_cast<long long>(QEL_MAX_MESSAGE_LEN) - kSubGraphEnvelope,
                        std::memory_order_relaxed);
}
