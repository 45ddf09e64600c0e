// Host calls offered to plug-ins: configuration, log, module records, symbol
// look-up, conversions and peer checks.
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <unistd.h>

#include "qel/base64.h"
#include "qel/entry_guard.h"
#include "qel/log.h"
#include "qel/qel_session.h"
#include "qel/socklib.h"
#include "qel/strutil.h"
#include "qelhost.h"

namespace qelhost {

namespace {

std::mutex cfgMutex;
Config *cfgPtr() {
    static Config *c = new Config;
    return c;
}
time_t started = time(nullptr);

std::mutex logMutex;
FILE *logFp = nullptr;
std::string logPath;

std::mutex modMutex;
std::vector<ModuleRecord> *moduleList() {
    static auto *v = new std::vector<ModuleRecord>;
    return v;
}

std::mutex symMutex;
std::vector<void *> *symbolSources() {
    static auto *v = new std::vector<void *>;
    return v;
}

} // namespace

void configure(const Config &cfg) {
    std::lock_guard lock(cfgMutex);
    *cfgPtr() = cfg;
    started = time(nullptr);
    std::lock_guard llock(logMutex);
    if (logFp && logPath != cfg.logFile) {
        std::fclose(logFp);
        logFp = nullptr;
    }
    logPath = cfg.logFile;
}

const Config &config() {
    return *cfgPtr();
}
time_t startTime() {
    return started;
}

namespace {

void writeLogLine(char *text);

// One limiter per format of logfLimited; formats are literals, few and
// long-lived.
std::mutex limitersMutex;
std::map<const char *, LogLimiter> limiters;

} // namespace

bool LogLimiter::admit(double now, unsigned long *heldBack) {
    *heldBack = 0;
    if (windowStart_ < 0 || now - windowStart_ >= kWindowSeconds) {
        windowStart_ = now;
        written_ = 0;
    }
    if (written_ >= kBurst) {
        ++heldBack_;
        return false;
    }
    ++written_;
    *heldBack = takeHeldBack();
    return true;
}

unsigned long LogLimiter::takeHeldBack() {
    unsigned long n = heldBack_;
    heldBack_ = 0;
    return n;
}

void logfLimited(const char *fmt, ...) {
    unsigned long heldBack = 0;
    {
        const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        std::lock_guard lock(limitersMutex);
        if (!limiters[fmt].admit(now, &heldBack))
            return;
    }
    char text[2048];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (heldBack > 0 && n >= 0 && static_cast<size_t>(n) < sizeof text)
        std::snprintf(text + n, sizeof text - static_cast<size_t>(n), " (and %lu more like it held back)", heldBack);
    writeLogLine(text);
}

namespace {

void writeFormatted(const char *fmt, va_list ap) {
    char text[2048];
    std::vsnprintf(text, sizeof text, fmt, ap);
    writeLogLine(text);
}

} // namespace

void logf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    writeFormatted(fmt, ap);
    va_end(ap);
}

void logfDebug(const char *fmt, ...) {
    if (!qel::logEnabled(qel::LogLevel::debug))
        return;
    va_list ap;
    va_start(ap, fmt);
    writeFormatted(fmt, ap);
    va_end(ap);
}

namespace {

void writeLogLine(char *text) {
    char stamp[32];
    qelConvertTimeStr(time(nullptr), stamp, sizeof stamp);
    std::lock_guard lock(logMutex);
    if (!logFp && !logPath.empty()) {
        logFp = std::fopen(logPath.c_str(), "a");
        if (!logFp)
            qel::logError("qeldLog: cannot open %s: %s\n", logPath.c_str(), std::strerror(errno));
    }
    FILE *out = logFp ? logFp : stderr;
    // One line per entry: a text with line breaks would forge entries.
    for (char *p = text; *p; ++p)
        if (*p == '\n' || *p == '\r')
            *p = ' ';
    std::fprintf(out, "%s %s\n", stamp, text);
    std::fflush(out);
}

} // namespace

void closeLog() {
    {
        std::lock_guard lock(limitersMutex);
        for (auto &[fmt, limiter] : limiters)
            if (unsigned long n = limiter.takeHeldBack())
                logf("%lu more lines like \"%s\" held back", n, fmt);
    }
    std::lock_guard lock(logMutex);
    if (logFp)
        std::fclose(logFp);
    logFp = nullptr;
}

std::vector<ModuleRecord> modules() {
    std::lock_guard lock(modMutex);
    return *moduleList();
}

void removeModule(const std::string &file, const std::string &package) {
    std::lock_guard lock(modMutex);
    auto *v = moduleList();
    std::erase_if(*v, [&](const ModuleRecord &m) { return m.file == file && m.package == package; });
}

void addSymbolSource(void *h) {
    std::lock_guard lock(symMutex);
    symbolSources()->push_back(h);
}

void removeSymbolSource(void *h) {
    std::lock_guard lock(symMutex);
    std::erase(*symbolSources(), h);
}

} // namespace qelhost

using namespace qelhost;

namespace {

int addModule(const char *file, const char *version, const char *package, const char *requiredModule, int kind) {
    if (!file || !*file)
        return -1;
    ModuleRecord rec;
    rec.file = file;
    rec.version = version ? version : "";
    rec.package = package ? package : "";
    rec.required = requiredModule ? requiredModule : "";
    rec.kind = kind;
    std::lock_guard lock(modMutex);
    auto *v = moduleList();
    // A data file re-applied with a new version replaces its old record.
    for (auto &m : *v)
        if (m.file == rec.file && m.package == rec.package) {
            m = rec;
            return 1;
        }
    v->push_back(rec);
    return 1;
}

float findBinaryVersion(const char *file, const char *dir) {
    if (!file || !*file)
        return 0.0f;
    std::string path;
    if (file[0] == '/')
        path = file;
    else
        path = std::string(dir && *dir ? dir : config().pluginDir.c_str()) + "/" + file;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return 0.0f;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    static const char marker[] = "TarnVersion ";
    size_t pos = bytes.find(marker);
    while (pos != std::string::npos) {
        size_t at = pos + sizeof marker - 1;
        // The marker is followed by a number; any other occurrence is skipped.
        if (at < bytes.size() && (std::isdigit(static_cast<unsigned char>(bytes[at])) || bytes[at] == '.')) {
            std::string num = bytes.substr(at, 32);
            return std::strtof(num.c_str(), nullptr);
        }
        pos = bytes.find(marker, at);
    }
    return 0.0f;
}

int checkPeerModules(const char *peerName) {
    if (!peerName || !*peerName)
        return -1;
    // "host,port" reaches an agent on another port.
    std::string host(peerName);
    int port = config().agentPort;
    auto comma = host.rfind(',');
    if (comma != std::string::npos) {
        char *end = nullptr;
        long p = std::strtol(host.c_str() + comma + 1, &end, 10);
        if (*end || p <= 0 || p > 65535)
            return -1;
        port = static_cast<int>(p);
        host.resize(comma);
    }
    // A peer that accepts but never answers, or answers a byte at a time,
    // must not hold the caller: 10 s for the whole check.
    qelSession_t *s = newQelSessionConnectHostnameWithin(host.c_str(), 0, port, 3, "qeld", 10000);
    if (!s)
        return -1;
    char list[4096];
    int r = qelGetPeerPluginList(s, list, sizeof list);
    destroyQelSession(s);
    if (r > 0)
        logfDebug("qelCheckPeerModules: %s runs %s", peerName, list);
    return r > 0 ? 1 : -1;
}

} // namespace

extern "C" int qelAddModule(const char *file, const char *version, const char *package, const char *requiredModule,
                            int kind) {
    return qel::guarded("qelAddModule", -1, [&] { return addModule(file, version, package, requiredModule, kind); });
}

extern "C" float qelFindBinaryVersion(const char *file, const char *dir) {
    return qel::guarded("qelFindBinaryVersion", 0.0f, [&] { return findBinaryVersion(file, dir); });
}

extern "C" void qeldLog(const char *text) {
    if (text)
        qel::guardedVoid("qeldLog", [&] { logf("%s", text); });
}

extern "C" int qelGetAgentDebugLevel(void) {
    return config().debugLevel;
}

extern "C" int qelGetHomeDir(char *buf, int maxlen) {
    if (!buf || maxlen <= 0)
        return -1;
    qelCopyStr(buf, static_cast<size_t>(maxlen), config().homeDir.c_str());
    return 1;
}

extern "C" int qelGetSystemName(char *buf, int maxlen) {
    if (!buf || maxlen <= 0)
        return -1;
    if (!config().systemName.empty()) {
        qelCopyStr(buf, static_cast<size_t>(maxlen), config().systemName.c_str());
        return 1;
    }
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return -1;
    qelCopyStr(buf, static_cast<size_t>(maxlen), host);
    return 1;
}

extern "C" void *qelGetSymbolValue(const char *functionName) {
    if (!functionName || !*functionName)
        return nullptr;
    return qel::guarded("qelGetSymbolValue", static_cast<void *>(nullptr), [&]() -> void * {
        std::lock_guard lock(symMutex);
        for (void *h : *symbolSources()) {
            if (void *p = dlsym(h, functionName))
                return p;
        }
        return nullptr;
    });
}

extern "C" int qelCheckPeerModules(const char *peerName) {
    return qel::guarded("qelCheckPeerModules", -1, [&] { return checkPeerModules(peerName); });
}

extern "C" int qelConvertIpAddr(unsigned int addr, char *buf, int maxlen) {
    return convert_ipaddr(addr, buf, maxlen);
}

extern "C" int qelConvertIpV6Addr(const unsigned char *addr, char *buf, int maxlen) {
    if (!addr)
        return -1;
    struct in6_addr a;
    std::memcpy(&a, addr, sizeof a);
    return convert_ipv6addr(&a, buf, maxlen);
}

// Probe passes resolve every dependency again: the answers come from the
// name cache.
extern "C" unsigned int qelHostnameToIpaddr(const char *name) {
    return qel::guarded("qelHostnameToIpaddr", 0u, [&] { return cachedHostnameToIpaddr(name); });
}

extern "C" int qelHostnameToIpv6addr(const char *name, struct in6_addr *addr) {
    return qel::guarded("qelHostnameToIpv6addr", -1, [&] { return cachedHostnameToIpv6addr(name, addr); });
}

extern "C" int qelIpVersionOfAddress(const char *text) {
    return ipVersionOfAddress(text) == 6 ? 6 : 4;
}

extern "C" int qelConvertTimeStr(time_t when, char *buf, int maxlen) {
    if (!buf || maxlen < 26)
        return -1;
    struct tm tmv;
    if (!localtime_r(&when, &tmv))
        return -1;
    char body[32];
    if (std::strftime(body, sizeof body, "%Y-%m-%dT%H:%M:%S", &tmv) == 0)
        return -1;
    long off = tmv.tm_gmtoff;
    char sign = off < 0 ? '-' : '+';
    if (off < 0)
        off = -off;
    int n =
        std::snprintf(buf, static_cast<size_t>(maxlen), "%s%c%02ld:%02ld", body, sign, off / 3600, (off % 3600) / 60);
    return n > 0 && n < maxlen ? n : -1;
}

extern "C" char *qelBase64Encode(const unsigned char *bytes, int length, int *outlen) {
    return base64_encode(reinterpret_cast<const char *>(bytes), length, outlen);
}
