// The parameter file "kestrova.xml" and the versioned reading shared by the
// plug-in's data-file readers.
#include "kestrova_data.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <libxml/parser.h>

#include "app_table.h"
#include "depend_logfile.h"
#include "dependency.h"
#include "qel/strutil.h"
#include "qelplugin.h"
#include "sysinfo_logfile.h"
#include "qel/log.h"

extern "C" {
time_t readKestrovaConfigTime = 0;
}

namespace kestrova {

namespace {

struct DocFree {
    void operator()(xmlDoc *d) const { xmlFreeDoc(d); }
};

struct XmlFree {
    void operator()(xmlChar *p) const { xmlFree(p); }
};

void logf(const char *fmt, const char *arg) {
    char line[1200];
    std::snprintf(line, sizeof line, fmt, arg ? arg : "");
    qeldLog(line);
}

// Larger data files are refused unread.
constexpr off_t kMaxDataFile = 16 << 20;

// What a file was when its reader last took it, by the reader's time
// variable (one per reader).
struct FileId {
    dev_t dev;
    ino_t ino;
    off_t size;
    time_t mtime;
    long mtimeNs;
    time_t ctime;
    long ctimeNs;
    bool operator==(const FileId &) const = default;
};

std::mutex identityMutex;
// Never destroyed: the configuration worker may still read it while the
// agent unloads the plug-in.
std::map<const time_t *, FileId> &identities = *new std::map<const time_t *, FileId>;

FileId lastIdentity(const time_t *reader) {
    std::lock_guard lock(identityMutex);
    auto it = identities.find(reader);
    return it == identities.end() ? FileId{} : it->second;
}

void rememberIdentity(const time_t *reader, const FileId &id) {
    std::lock_guard lock(identityMutex);
    identities[reader] = id;
}

bool nameIs(xmlNodePtr node, const char *name) {
    return node && node->name && std::strcmp(reinterpret_cast<const char *>(node->name), name) == 0;
}

} // namespace

const char *elementValue(xmlNodePtr node) {
    if (!node || !node->children || !node->children->content)
        return nullptr;
    return reinterpret_cast<const char *>(node->children->content);
}

int decimalValue(const char *text) {
    if (!text)
        return 0;
    errno = 0;
    long long v = std::strtoll(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

// The data file's status; false (and said) when it cannot be read or is
// not a regular file.
bool statDataFile(const char *path, const VersionedFileTexts &t, struct stat &st) {
    if (stat(path, &st) != 0) {
        int err = errno;
        if (t.statPrefix)
            qel::logDebug("%s: %s\n", t.statPrefix, std::strerror(err));
        if (t.pathLine)
            qel::logDebug(t.pathLine, path);
        if (t.statFailedLine)
            qel::logWarning(t.statFailedLine, path);
        if (t.statFailedLog)
            logf(t.statFailedLog, path);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        if (t.notRegular)
            qel::logWarning("%s", t.notRegular);
        if (t.notRegularLog)
            qeldLog(t.notRegularLog);
        return false;
    }
    return true;
}

// The version attribute of the document's root, which must be named as
// the file's; false (and said) otherwise.
bool rootVersion(xmlDocPtr doc, xmlNodePtr root, const VersionedFileTexts &t, int &fileVersion) {
    if (!root) {
        if (t.emptyDocument)
            qel::logWarning("%s", t.emptyDocument);
        return false;
    }
    if (!nameIs(root, t.rootName)) {
        if (t.wrongRoot)
            qel::logWarning(t.wrongRoot, root->name ? reinterpret_cast<const char *>(root->name) : "");
        return false;
    }
    xmlAttrPtr first = root->properties;
    std::unique_ptr<xmlChar, XmlFree> value(first && first->children ? xmlNodeListGetString(doc, first->children, 1)
                                                                     : nullptr);
    if (!first || !value || !value.get()[0] || !nameIs(reinterpret_cast<xmlNodePtr>(first), "version")) {
        if (t.noVersion)
            qel::logWarning("%s", t.noVersion);
        return false;
    }
    fileVersion = decimalValue(reinterpret_cast<const char *>(value.get()));
    return true;
}

int readVersionedFile(const char *path, const VersionedFileTexts &t, time_t &lastRead, kestrovaSetting_t &version,
                      const std::function<void()> &beforeParse,
                      const std::function<bool(xmlDocPtr doc, xmlNodePtr root)> &body) {
    struct stat st;
    if (!path || !statDataFile(path, t, st))
        return -1;
    // Changed on disk: another file, size, or modification or change time.
    // A file put in place with an older modification time (package
    // managers, cp -p, tar) is thereby still seen.
    FileId id{st.st_dev,          st.st_ino,         st.st_size,        st.st_mtim.tv_sec,
              st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
    if (lastRead != 0 && lastIdentity(&lastRead) == id) {
        if (t.unchanged)
            qel::logDebug("%s", t.unchanged);
        return 0;
    }
    if (beforeParse)
        beforeParse();
    auto parseFailed = [&](const std::string &why) {
        if (t.parseFailed)
            qel::logWarning("%s", t.parseFailed);
        if (t.parseFailedLog)
            qeldLog(t.parseFailedLog);
        qel::logWarning("%s\n", why.c_str());
        qeldLog(why.c_str());
        return -1;
    };
    if (st.st_size > kMaxDataFile)
        return parseFailed(std::string(path) + ": larger than 16 MiB, refused");
    xmlInitParser();
    xmlResetLastError();
    // No network, no entities substituted, no external DTD loaded.
    std::unique_ptr<xmlDoc, DocFree> doc(
        xmlReadFile(path, nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc) {
        std::string why = std::string(path) + ": ";
        if (const xmlError *e = xmlGetLastError()) {
            why += "line " + std::to_string(e->line) + ": " + (e->message ? e->message : "parse error");
            while (!why.empty() && (why.back() == '\n' || why.back() == ' '))
                why.pop_back();
        } else {
            why += "parse error";
        }
        return parseFailed(why);
    }
    xmlNodePtr root = xmlDocGetRootElement(doc.get());
    int fileVersion = 0;
    if (!rootVersion(doc.get(), root, t, fileVersion))
        return -1;
    if (fileVersion <= version.load(std::memory_order_relaxed)) {
        if (t.notNewer)
            qel::logWarning("%s", t.notNewer);
        lastRead = std::time(nullptr);
        rememberIdentity(&lastRead, id);
        return 0;
    }
    if (t.processing)
        qel::logDebug(t.processing, fileVersion);
    if (!body(doc.get(), root))
        return -1;
    doc.reset();
    lastRead = std::time(nullptr);
    rememberIdentity(&lastRead, id);
    version.store(fileVersion, std::memory_order_relaxed);
    char text[16];
    std::snprintf(text, sizeof text, "%d", fileVersion);
    qelAddModule(t.moduleFile, text, "kestrova", nullptr, QEL_MODULE_KIND_DATAFILE);
    return 1;
}

const VersionedFileTexts kConfigFileTexts = {
    "kestrovaConfig",
    "kestrova.xml",
    "stat of kestorva config file failed",
    "kestrova config file %s\n",
    nullptr,
    nullptr,
    "kestrova config file is not regular!\n",
    nullptr,
    "kestrova config file unchanged\n",
    "failed to xml parse kestrova config file\n",
    nullptr,
    "empty kestrova config document\n",
    "readKestrovaConfigFile: doc is not valid, %s\n",
    "readKestrovaConfig: no version\n",
    "No need to re-read kestrova config file\n",
    "readKestrovaConfig: processing file, version %d\n",
};

const VersionedFileTexts kLocalFileTexts = {
    "kestrovaLocal",
    "kestrova-local.xml",
    "stat of kestorva local file failed",
    "kestrova local file %s\n",
    nullptr,
    nullptr,
    "kestrova config file is not regular!\n",
    nullptr,
    "kestrova local file unchanged\n",
    "failed to xml parse local data file\n",
    nullptr,
    "empty kestrova local document\n",
    "readKestrovaLocalFile: doc is not valid, %s\n",
    "readKestrovaLocal: no version\n",
    nullptr,
    "readKestrovaLocal: processing file, version %d\n",
};

const VersionedFileTexts kConnectionDataTexts = {
    "connectionData",
    "connectiondata.xml",
    "stat of connection data file failed",
    nullptr,
    "stat of connection data file %s failed\n",
    "Kestrova: connection data file is '%s'",
    "connection data file is not regular!\n",
    "Kestrova: connection data file is not regular",
    "connection data file unchanged\n",
    "failed to xml parse connection config file\n",
    "Kestrova: failed to xml parse connection data file",
    "empty connection config document\n",
    "readConnectionDataFile: doc is not valid, %s\n",
    "readConnectionData: no version\n",
    "No need to re-read connection data\n",
    "readConnectionDataFile: processing file, version %d\n",
};

const VersionedFileTexts kApplicationDataTexts = {
    "applicationData",
    "appdata.xml",
    "stat of app data file failed",
    "app data file %s\n",
    nullptr,
    nullptr,
    "app data file is not regular!\n",
    nullptr,
    "app data file unchanged\n",
    "failed to xml parse app data file\n",
    nullptr,
    "empty app data document\n",
    "readApplicationDataFile: document is not valid, %s\n",
    "readApplicationData: no version\n",
    "No need to re-read app data\n",
    "readApplicationDataFile: processing file, version %d\n",
};

namespace {

// Intervals must not be negative, and the dependency worker sleeps a
// quarter of its interval four times: below 4 seconds that is a busy loop.
bool intervalAccepted(const char *element, int value, int least) {
    if (value >= least)
        return true;
    qel::logWarning("parseKestrovaConfigTree: %s %d refused, the least accepted is %d\n", element, value, least);
    return false;
}

void appendEscaped(std::string &out, const char *text) {
    for (const char *p = text; *p; ++p) {
        switch (*p) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += *p;
        }
    }
}

bool writeAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

} // namespace kestrova

using namespace kestrova;

extern "C" int parseKestrovaConfigTree(xmlNodePtr node) {
    if (!node || xmlIsBlankNode(node))
        return 0;
    qel::logDebug("parseKestrovaConfigTree: called with %lx\n",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(node)));
    const char *name = node->name ? reinterpret_cast<const char *>(node->name) : "";
    bool known = nameIs(node, "dependencyAgeOutInterval") || nameIs(node, "peerAgeOutInterval") ||
                 nameIs(node, "qelAuthenUser") || nameIs(node, "dependencyScanInterval") ||
                 nameIs(node, "peerScanInterval");
    if (!known)
        return 1;
    const char *value = elementValue(node);
    if (!value) {
        qel::logWarning("parseKestrovaConfigTree: %s has no value\n", name);
        return 1;
    }
    if (nameIs(node, "dependencyAgeOutInterval")) {
        qel::logDebug("dependencyAgeOutInterval: '%s'\n", value);
        int v = decimalValue(value);
        if (intervalAccepted(name, v, 0))
            dependencyAgeOutInterval.store(v, std::memory_order_relaxed);
    } else if (nameIs(node, "peerAgeOutInterval")) {
        qel::logDebug("peerAgeOutInterval: '%s'\n", value);
        int v = decimalValue(value);
        if (intervalAccepted(name, v, 0))
            peerAgeOutInterval.store(v, std::memory_order_relaxed);
    } else if (nameIs(node, "qelAuthenUser")) {
        qel::logDebug("qelAuthenUser: '%s'\n", value);
        kestrovaSetAuthenUser(value);
    } else if (nameIs(node, "dependencyScanInterval")) {
        int v = decimalValue(value);
        if (intervalAccepted(name, v, 4)) {
            dependencyScanInterval.store(v, std::memory_order_relaxed);
            qel::logInfo("Kestrova: dependencyScanInterval is %d\n", v);
        }
    } else {
        int v = decimalValue(value);
        if (intervalAccepted(name, v, 0)) {
            peerScanInterval.store(v, std::memory_order_relaxed);
            qel::logInfo("Kestrova: peerScanInterval is %d\n", v);
        }
    }
    return 1;
}

namespace {

// Temporaries a rewrite cut short left beside the file ("kestrova.xml.tmp"
// and six characters).
void removeStaleTemporaries(const char *path) {
    std::string p = path;
    auto slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
    std::string prefix = (slash == std::string::npos ? p : p.substr(slash + 1)) + ".tmp";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0)
            ::unlink((dir + "/" + name).c_str());
    }
    closedir(d);
}

} // namespace

extern "C" int readKestrovaConfigFile(const char *path) {
    // The first read is at init, before any rewrite of this process.
    static std::atomic<bool> cleaned{false};
    if (path && !cleaned.exchange(true))
        removeStaleTemporaries(path);
    return readVersionedFile(path, kConfigFileTexts, readKestrovaConfigTime, kestrovaConfigVersion, nullptr,
                             [](xmlDocPtr, xmlNodePtr root) {
                                 if (!root->children) {
                                     qel::logWarning("%s", "kestrova config file has no config statements\n");
                                     return false;
                                 }
                                 for (xmlNodePtr n = root->children; n; n = n->next)
                                     parseKestrovaConfigTree(n);
                                 return true;
                             });
}

extern "C" int writeKestrovaConfigFile(const char *path) {
    if (!path || !*path)
        return -1;
    // The version applied; a file that was never applied is written as
    // version 1, since a version-0 file is never read back.
    int version = kestrovaConfigVersion.load(std::memory_order_relaxed);
    if (version < 1)
        version = 1;
    time_t now = std::time(nullptr);
    char when[32] = "";
    if (!ctime_r(&now, when))
        when[0] = '\0';
    when[24] = '\0';
    char line[256];
    std::string text = "<?xml version=\"1.0\"?>\n\n";
    std::snprintf(line, sizeof line, "<kestrovaConfig version=\"%d\">\n\n", version);
    text += line;
    std::snprintf(line, sizeof line, "<!-- Written by kestrova version %3.2f, %s -->\n\n",
                  static_cast<double>(kestrovaVersion), when);
    text += line;
    std::snprintf(line, sizeof line, "<dependencyAgeOutInterval>%d</dependencyAgeOutInterval>\n",
                  dependencyAgeOutInterval.load(std::memory_order_relaxed));
    text += line;
    std::snprintf(line, sizeof line, "<peerAgeOutInterval>%d</peerAgeOutInterval>\n",
                  peerAgeOutInterval.load(std::memory_order_relaxed));
    text += line;
    // Settings the file may carry besides the two age-outs: kept when they
    // differ from their defaults, so a rewrite does not erase them.
    char user[KESTROVA_AUTHEN_USER_LEN];
    kestrovaGetAuthenUser(user, sizeof user);
    if (std::strcmp(user, KESTROVA_DEFAULT_AUTHEN_USER) != 0) {
        text += "<qelAuthenUser>";
        appendEscaped(text, user);
        text += "</qelAuthenUser>\n";
    }
    int depScan = dependencyScanInterval.load(std::memory_order_relaxed);
    if (depScan != KESTROVA_DEFAULT_DEPENDENCY_SCAN) {
        std::snprintf(line, sizeof line, "<dependencyScanInterval>%d</dependencyScanInterval>\n", depScan);
        text += line;
    }
    int peerScan = peerScanInterval.load(std::memory_order_relaxed);
    if (peerScan != KESTROVA_DEFAULT_PEER_SCAN) {
        std::snprintf(line, sizeof line, "<peerScanInterval>%d</peerScanInterval>\n", peerScan);
        text += line;
    }
    text += "</kestrovaConfig>\n";

    // A symbolic link is kept: the file it names is replaced.
    std::string target = path;
    struct stat lst;
    if (lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode)) {
        if (char *real = realpath(path, nullptr)) {
            target = real;
            std::free(real);
        }
    }
    path = target.c_str();
    // Written beside the file and renamed over it: a crash or a full disk
    // leaves the previous file whole.
    std::string tmp = std::string(path) + ".tmpXXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        qel::logWarning("open/create of kestrova config file failed: %s\n", std::strerror(errno));
        qeldLog("kestrova: failed to open config file");
        return -1;
    }
    struct stat old;
    mode_t mode = stat(path, &old) == 0 ? (old.st_mode & 07777) : 0644;
    bool ok = fchmod(fd, mode) == 0 && writeAll(fd, text) && fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && std::rename(tmp.c_str(), path) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        qel::logWarning("write of kestrova config file failed: %s\n", std::strerror(err));
        qeldLog("kestrova: failed to write config file");
        return -1;
    }
    // The rename itself reaches the disk with the directory.
    std::string dir = path;
    auto slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        ::close(dfd);
    }
    return 1;
}

extern "C" void kestrovaConfigPass(void) {
    // Taken before the write: a set made while the file is written raises
    // the flag again and is written at the next pass.
    // Read first: a hand edit made just before the rewrite is applied, and
    // the rewrite then carries it instead of overwriting it.
    readKestrovaConfigFile(kestrovaConfigFile);
    if (kestrova_update_configfile.exchange(0, std::memory_order_relaxed) != 0 &&
        writeKestrovaConfigFile(kestrovaConfigFile) != 1)
        kestrova_update_configfile.store(1, std::memory_order_relaxed);
    readKestrovaConfigFile(kestrovaConfigFile);
    readKestrovaLocalFile(kestrovaLocalFile);
}

/* ---- the local statements, connection data and application data ---- */

extern "C" {
time_t kestrovaLocalTime = 0;
time_t readConnectionDataFileTime = 0;
time_t readApplicationDataFileTime = 0;
}

namespace kestrova {
namespace {

const char *nodeName(xmlNodePtr n) {
    return n && n->name ? reinterpret_cast<const char *>(n->name) : "";
}

xmlNodePtr skipBlank(xmlNodePtr n) {
    while (n && xmlIsBlankNode(n))
        n = n->next;
    return n;
}

// A whole decimal number that fits T; anything else is no value.
template <typename T>
bool wholeNumber(const char *text, T &out) {
    if (!text || !*text)
        return false;
    const char *end = text + std::strlen(text);
    T v{};
    auto [p, ec] = std::from_chars(text, end, v);
    if (ec != std::errc() || p != end)
        return false;
    out = v;
    return true;
}

// One element of a fixed sequence and its three messages; noValue null
// means an element without value stands for the empty text.
struct Step {
    const char *name;
    const char *missing;
    const char *misnamed; // "%s": the name found
    const char *noValue;
};

// The fields of a statement in their fixed order. Returns false after
// printing the step's message.
class Sequence {
public:
    explicit Sequence(xmlNodePtr statement) : next_(statement ? skipBlank(statement->children) : nullptr) {}
    bool take(const Step &s, const char *&value) {
        xmlNodePtr n = next_;
        if (!n) {
            qel::logWarning("%s", s.missing);
            return false;
        }
        if (!nameIs(n, s.name)) {
            qel::logWarning(s.misnamed, nodeName(n));
            return false;
        }
        value = elementValue(n);
        if (!value) {
            if (s.noValue) {
                qel::logWarning("%s", s.noValue);
                return false;
            }
            value = "";
        }
        last_ = n;
        next_ = skipBlank(n->next);
        return true;
    }
    // The optional trailing field: any later element of that name (the last
    // wins); one without value ends the search.
    template <typename Fn>
    void optional(const char *name, Fn apply) {
        for (xmlNodePtr n = last_ ? last_->next : nullptr; n; n = n->next) {
            if (xmlIsBlankNode(n) || !nameIs(n, name))
                continue;
            const char *v = elementValue(n);
            if (!v || !apply(v))
                return;
        }
    }

private:
    xmlNodePtr next_;
    xmlNodePtr last_ = nullptr;
};

// "dependEmail", "5" (inside "dependEmail(5)") or a number 1-31; -1 refused.
int dependTypeOf(const char *text) {
    int t = dependencyStringToInt(text);
    if (t > 0)
        return t;
    int n = 0;
    if (wholeNumber(text, n) && n >= 1 && n <= 31)
        return n;
    qel::logWarning("%s", "dependType invalid\n");
    return -1;
}

int literalIpVersion(const char *text) {
    unsigned char buf[sizeof(struct in6_addr)];
    if (inet_pton(AF_INET, text, buf) == 1)
        return 4;
    if (inet_pton(AF_INET6, text, buf) == 1)
        return 6;
    return 0;
}

// Builds a list aside (same element functions, no lock: one thread fills it)
// and swaps its cells into target under target's lock, so readers of target
// see the old records or the new ones, never a partial list.
struct AsideList {
    linkedList_t *list;
    explicit AsideList(linkedList_t *target)
        : list(newLinkedList(target->dataSize, target->elementCompare, target->elementPrint, target->elementFree,
                             "aside", 0)) {}
    ~AsideList() {
        if (!list)
            return;
        if (!list->elementFree)
            while (void *p = popHead(list))
                std::free(p);
        destroyLinkedList(list);
    }
    void swapInto(linkedList_t *target) {
        listLock(target);
        std::swap(target->head, list->head);
        std::swap(target->tail, list->tail);
        listUnlock(target);
    }
};

} // namespace
} // namespace kestrova

using namespace kestrova;

extern "C" int parseLocalDependency(xmlNodePtr node) {
    if (!node || !node->children) {
        qel::logWarning("%s", "parseLocalDepend: does not have pieces\n");
        return -1;
    }
    auto d = std::make_unique<dependency_t>();
    std::memset(d.get(), 0, sizeof *d);
    d->dsrc = dependSrcStatic;
    d->lastUpdate = std::time(nullptr);
    Sequence seq(node);
    const char *v = nullptr;
    if (!seq.take({"dependClient", "localDependency does not contain client . . .\n", "'%s' is not dependClient\n",
                   "No dependClient value\n"},
                  v))
        return -1;
    qelCopyField(d->dependClient, v);
    if (!seq.take({"dependServer", "localDependency does not contain server . . .\n", "'%s' is not dependServer\n",
                   "No dependServer value\n"},
                  v))
        return -1;
    qelCopyField(d->dependServer, v);
    if (!seq.take({"dependType", "localDependency does not contain type . . .\n", "'%s' is not dependType\n",
                   "No dependType value\n"},
                  v))
        return -1;
    int t = dependTypeOf(v);
    if (t < 0)
        return -1;
    d->dtype = static_cast<dependencyType_t>(t);
    if (!seq.take({"dependArgs", "localDependency does not contain args . . .\n", "'%s' is not dependArgs\n", nullptr},
                  v))
        return -1;
    qelCopyField(d->args, v);
    if (!seq.take({"dependReference", "localDependency does not contain reference . . .\n",
                   "'%s' is not dependReference\n", "No dependReference value\n"},
                  v))
        return -1;
    if (!strcasecmp(v, "dependOutbound") || !std::strcmp(v, "0"))
        d->pov = dependOutbound;
    else if (!strcasecmp(v, "dependInbound") || !std::strcmp(v, "1"))
        d->pov = dependInbound;
    else if (!strcasecmp(v, "dependTransit") || !std::strcmp(v, "2"))
        d->pov = dependTransit;
    else {
        qel::logWarning("%s", "Invalid local dependency reference value\n");
        return -1;
    }
    seq.optional("dependIpVersion", [&](const char *text) {
        int ipv = 0;
        if (!wholeNumber(text, ipv))
            return false; // counts as no value
        if (ipv == 4 || ipv == 6) {
            d->ipVersion = ipv;
            qel::logInfo("parseLocalDepend: ipversion %d\n", ipv);
        }
        return true;
    });
    // A literal address decides; a name leaves the given version.
    if (int c = literalIpVersion(d->dependClient))
        d->ipVersion = c;
    if (int s = literalIpVersion(d->dependServer))
        d->ipVersion = s;
    return addLocalDependency(d.get());
}

namespace {

bool takeInterval(Sequence &seq, const char *what, int &out) {
    const char *v = nullptr;
    std::string missing = std::string(what) + " does not contain interval . . .\n";
    if (!seq.take({"scanInterval", missing.c_str(), "'%s' is not scanInterval\n", "No scanInterval value\n"}, v))
        return false;
    if (!wholeNumber(v, out)) {
        qel::logWarning("%s", "No scanInterval value\n");
        return false;
    }
    if (out < 1)
        qel::logWarning("%s", "scanInterval invalid\n");
    return true;
}

} // namespace

extern "C" int parseLogfileDependency(xmlNodePtr node) {
    if (!node || !node->children) {
        qel::logWarning("%s", "parseLogfileDependency: does not have pieces\n");
        return -1;
    }
    logfileDependency_t r{};
    r.lastUpdateTime = std::time(nullptr);
    r.firstTime = 1;
    Sequence seq(node);
    const char *v = nullptr;
    if (!seq.take({"logfile", "logfileDependency does not contain logfile . . .\n", "%s is not a logfile\n",
                   "No logfile value\n"},
                  v))
        return -1;
    qelCopyField(r.filename, v);
    if (!seq.take({"dependType", "logfileDependency does not contain type . . .\n", "'%s' is not dependType\n",
                   "No dependType value\n"},
                  v))
        return -1;
    if ((r.dtype = dependTypeOf(v)) < 0)
        return -1;
    if (!seq.take({"addExpression", "logfileDependency does not contain expression . . .\n",
                   "'%s' is not addExpression\n", nullptr},
                  v))
        return -1;
    qelCopyField(r.addExpression, v);
    if (!seq.take({"removeExpression", "logfileDependency does not contain expression . . .\n",
                   "'%s' is not removeExpression\n", nullptr},
                  v))
        return -1;
    qelCopyField(r.remExpression, v);
    if (!seq.take({"dependClient", "logfileDependency does not contain client . . .\n", "'%s' is not client\n",
                   "No client value\n"},
                  v))
        return -1;
    qelCopyField(r.dependClient, v);
    if (!seq.take({"dependServer", "logfileDependency does not contain server . . .\n", "'%s' is not server\n",
                   "No server value\n"},
                  v))
        return -1;
    qelCopyField(r.dependServer, v);
    if (!seq.take(
            {"dependArgs", "logfileDependency does not contain args . . .\n", "'%s' is not dependArgs\n", nullptr}, v))
        return -1;
    qelCopyField(r.args, v);
    if (!takeInterval(seq, "logfileDependency", r.scanInterval))
        return -1;
    if (!seq.take({"timeout", "logfileDependency does not contain timeout . . .\n", "'%s' is not timeout\n",
                   "No timeout value\n"},
                  v))
        return -1;
    if (!wholeNumber(v, r.timeout)) {
        qel::logWarning("%s", "No timeout value\n");
        return -1;
    }
    if (r.timeout < 0)
        qel::logWarning("timeout %d invalid\n", r.timeout);
    seq.optional("description", [&](const char *text) {
        qelCopyField(r.description, text);
        return true;
    });
    return addLogfileDependency(&r);
}

extern "C" int parseLogfileMonitor(xmlNodePtr node) {
    if (!node || !node->children) {
        qel::logWarning("%s", "parseLogfileMonitor: does not have pieces\n");
        return -1;
    }
    logfileMonitor_t m{};
    m.lastUpdateTime = std::time(nullptr);
    m.firstTime = 1;
    Sequence seq(node);
    const char *v = nullptr;
    if (!seq.take({"logfile", "logfileMonitor does not contain logfile . . .\n", "%s is not a logfile\n",
                   "No logfile value\n"},
                  v))
        return -1;
    qelCopyField(m.filename, v);
    if (!seq.take(
            {"expression", "logfileMonitor does not contain expression . . .\n", "'%s' is not expression\n", nullptr},
            v))
        return -1;
    qelCopyField(m.expression, v);
    if (!takeInterval(seq, "logfileMonitor", m.scanInterval))
        return -1;
    seq.optional("description", [&](const char *text) {
        qelCopyField(m.description, text);
        return true;
    });
    return addLogfileMonitor(&m);
}

extern "C" int parseLocalStatement(xmlNodePtr node) {
    if (!node || xmlIsBlankNode(node))
        return 0;
    if (nameIs(node, "dependency"))
        return parseLocalDependency(node);
    if (nameIs(node, "logfileDependency"))
        return parseLogfileDependency(node);
    if (nameIs(node, "logfileMonitor"))
        return parseLogfileMonitor(node);
    return 1;
}

extern "C" int readKestrovaLocalFile(const char *path) {
    return readVersionedFile(
        path, kLocalFileTexts, kestrovaLocalTime, kestrovaLocalVersion, nullptr, [](xmlDocPtr, xmlNodePtr root) {
            if (!skipBlank(root->children)) {
                qel::logWarning("%s", "kestrova config file has no system statements\n");
                return false;
            }
            // The file is good: what the previous one set up goes now, right
            // before the new statements are applied.
            pruneStaticDependencies();
            pruneLogfileDependencyEntries();
            pruneLogfileDependencies();
            pruneLogfileMonitors();
            for (xmlNodePtr sys = skipBlank(root->children); sys; sys = skipBlank(sys->next)) {
                if (!nameIs(sys, "system"))
                    continue;
                xmlAttrPtr a = sys->properties;
                if (!a) {
                    qel::logWarning("%s", "No name present\n");
                    break;
                }
                if (!nameIs(reinterpret_cast<xmlNodePtr>(a), "name")) {
                    qel::logWarning("%s should be name\n", nodeName(reinterpret_cast<xmlNodePtr>(a)));
                    break;
                }
                std::unique_ptr<xmlChar, XmlFree> name(a->children ? xmlNodeListGetString(sys->doc, a->children, 1)
                                                                   : nullptr);
                if (!name || !name.get()[0]) {
                    qel::logWarning("%s", "name has no value\n");
                    break;
                }
                char host[1023];
                qelCopyField(host, reinterpret_cast<const char *>(name.get()));
                if (isThisMe(host) != 1)
                    continue;
                for (xmlNodePtr st = sys->children; st; st = st->next)
                    parseLocalStatement(st);
            }
            return true;
        });
}

extern "C" int parseConnectionData(xmlNodePtr node, connInfo_t *c) {
    if (!node || !c)
        return -1;
    xmlNodePtr n = skipBlank(node->children);
    if (!n) {
        qel::logWarning("%s", "parseConnectionData: missing info\n");
        return -1;
    }
    if (!nameIs(n, "proto")) {
        qel::logWarning("%s", "parseConnectionData: missing proto\n");
        return -1;
    }
    if (const char *v = elementValue(n))
        qelCopyField(c->proto, v);
    n = skipBlank(n->next);
    if (!n || !nameIs(n, "port")) {
        qel::logWarning("parseConnectionData: missing port, '%s'\n", nodeName(n));
        return -1;
    }
    uint16_t port = 0;
    c->port = wholeNumber(elementValue(n), port) ? port : 0;
    n = skipBlank(n->next);
    if (!n || !nameIs(n, "dependencyType")) {
        qel::logWarning("parseConnectionData: missing type, '%s'\n", nodeName(n));
        return -1;
    }
    int t = 0;
    c->dtype = static_cast<dependencyType_t>(wholeNumber(elementValue(n), t) ? t : 0);
    n = skipBlank(n->next);
    if (!n || !nameIs(n, "args")) {
        qel::logWarning("parseConnectionData: missing args, '%s'\n", nodeName(n));
        return -1;
    }
    if (const char *v = elementValue(n))
        qelCopyField(c->args, v);
    return 1;
}

extern "C" int readConnectionDataFile(const char *path, linkedList_t *list) {
    if (!list)
        return -1;
    return readVersionedFile(path, kConnectionDataTexts, readConnectionDataFileTime, connectionDataVersion, nullptr,
                             [list](xmlDocPtr, xmlNodePtr root) {
                                 if (!skipBlank(root->children)) {
                                     qel::logWarning("%s", "readConnDataFile: no data\n");
                                     return false;
                                 }
                                 AsideList aside(list);
                                 if (!aside.list)
                                     return false;
                                 for (xmlNodePtr n = skipBlank(root->children); n; n = skipBlank(n->next)) {
                                     auto *c = static_cast<connInfo_t *>(std::calloc(1, sizeof(connInfo_t)));
                                     if (!c) {
                                         qel::logWarning("%s", "readConnDataFile: malloc failed\n");
                                         return false;
                                     }
                                     if (!nameIs(n, "connection")) {
                                         qel::logWarning("readConnDataFile: '%s' not data\n", nodeName(n));
                                         std::free(c);
                                         return false;
                                     }
                                     if (parseConnectionData(n, c) != 1) {
                                         qel::logWarning("%s", "readConnDataFile: parse connection info failed\n");
                                         std::free(c);
                                         return false;
                                     }
                                     if (insertHead(aside.list, c) != 0) {
                                         std::free(c);
                                         return false;
                                     }
                                 }
                                 aside.swapInto(list);
                                 return true;
                             });
}

extern "C" int parseApplicationData(xmlNodePtr node, appData_t *a) {
    if (!node || !a)
        return -1;
    xmlNodePtr n = skipBlank(node->children);
    if (!n) {
        qel::logWarning("%s", "parseAppData: no children\n");
        return -1;
    }
    if (!nameIs(n, "appname")) {
        qel::logWarning("%s", "parseAppData: missing appname\n");
        return -1;
    }
    if (const char *v = elementValue(n))
        qelCopyField(a->appName, v);
    n = skipBlank(n->next);
    if (!n || !nameIs(n, "appfilter")) {
        qel::logWarning("%s", "parseAppData: missing appfilter\n");
        return -1;
    }
    if (const char *v = elementValue(n))
        qelCopyField(a->appFilter, v);
    return 1;
}

extern "C" int readApplicationDataFile(const char *path, linkedList_t *list) {
    if (!list)
        return -1;
    return readVersionedFile(path, kApplicationDataTexts, readApplicationDataFileTime, applicationDataVersion, nullptr,
                             [list](xmlDocPtr, xmlNodePtr root) {
                                 if (!skipBlank(root->children)) {
                                     qel::logWarning("%s", "readAppDataFile: no data\n");
                                     return false;
                                 }
                                 AsideList aside(list);
                                 if (!aside.list)
                                     return false;
                                 for (xmlNodePtr n = skipBlank(root->children); n; n = skipBlank(n->next)) {
                                     if (!nameIs(n, "application")) {
                                         qel::logWarning("parseAppData: incorrect keyword %s", nodeName(n));
                                         qel::logWarning("readAppDataFile: '%s' not data\n", nodeName(n));
                                         return false;
                                     }
                                     auto *a = static_cast<appData_t *>(std::calloc(1, sizeof(appData_t)));
                                     if (!a) {
                                         qel::logWarning("%s", "readAppDataFile: malloc failed\n");
                                         return false;
                                     }
                                     if (parseApplicationData(n, a) != 1) {
                                         qel::logWarning("%s", "readAppDataFile: parse app info failed\n");
                                         std::free(a);
                                         return false;
                                     }
                                     if (insertHead(aside.list, a) != 0) {
                                         std::free(a);
                                         return false;
                                     }
                                 }
                                 aside.swapInto(list);
                                 return true;
                             });
}
