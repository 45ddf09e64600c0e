// The parameter file "kestrova.xml" and the versioned reading shared by the
// plug-in's data-file readers.
#include "kestrova_data.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include <libxml/parser.h>

#include "qel/strutil.h"
#include "qelplugin.h"

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

bool debugging() { return debugLevel.load(std::memory_order_relaxed) != 0; }

void logf(const char *fmt, const char *arg) {
    char line[1200];
    std::snprintf(line, sizeof line, fmt, arg ? arg : "");
    qeldLog(line);
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

int readVersionedFile(const char *path, const VersionedFileTexts &t, time_t &lastRead, kestrovaSetting_t &version,
                      const std::function<void()> &beforeParse,
                      const std::function<bool(xmlDocPtr doc, xmlNodePtr root)> &body) {
    if (!path)
        return -1;
    struct stat st;
    if (stat(path, &st) != 0) {
        int err = errno;
        if (debugging()) {
            if (t.statPrefix)
                std::fprintf(stderr, "%s: %s\n", t.statPrefix, std::strerror(err));
            if (t.pathLine)
                std::fprintf(stderr, t.pathLine, path);
        }
        if (t.statFailedLine)
            std::fprintf(stderr, t.statFailedLine, path);
        if (t.statFailedLog)
            logf(t.statFailedLog, path);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        if (t.notRegular)
            std::fputs(t.notRegular, stderr);
        if (t.notRegularLog)
            qeldLog(t.notRegularLog);
        return -1;
    }
    // A change within the second of the last read still counts.
    if (st.st_mtime < lastRead) {
        if (debugging() && t.unchanged)
            std::fputs(t.unchanged, stderr);
        return 0;
    }
    if (beforeParse)
        beforeParse();
    xmlInitParser();
    std::unique_ptr<xmlDoc, DocFree> doc(
        xmlReadFile(path, nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc) {
        if (t.parseFailed)
            std::fputs(t.parseFailed, stderr);
        if (t.parseFailedLog)
            qeldLog(t.parseFailedLog);
        return -1;
    }
    xmlNodePtr root = xmlDocGetRootElement(doc.get());
    if (!root) {
        if (t.emptyDocument)
            std::fputs(t.emptyDocument, stderr);
        return -1;
    }
    if (!nameIs(root, t.rootName)) {
        if (t.wrongRoot)
            std::fprintf(stderr, t.wrongRoot, root->name ? reinterpret_cast<const char *>(root->name) : "");
        return -1;
    }
    xmlAttrPtr first = root->properties;
    std::unique_ptr<xmlChar, XmlFree> value(
        first && first->children ? xmlNodeListGetString(doc.get(), first->children, 1) : nullptr);
    if (!first || !value || !value.get()[0] || !nameIs(reinterpret_cast<xmlNodePtr>(first), "version")) {
        if (t.noVersion)
            std::fputs(t.noVersion, stderr);
        return -1;
    }
    int fileVersion = decimalValue(reinterpret_cast<const char *>(value.get()));
    if (fileVersion <= version.load(std::memory_order_relaxed)) {
        if (t.notNewer)
            std::fputs(t.notNewer, stderr);
        lastRead = std::time(nullptr);
        return 0;
    }
    if (debugging() && t.processing) {
        std::printf(t.processing, fileVersion);
        std::fflush(stdout);
    }
    if (!body(doc.get(), root))
        return -1;
    doc.reset();
    lastRead = std::time(nullptr);
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
    std::fprintf(stderr, "parseKestrovaConfigTree: %s %d refused, the least accepted is %d\n", element, value,
                 least);
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
    if (debugging())
        std::fprintf(stderr, "parseKestrovaConfigTree: called with %lx\n",
                     static_cast<unsigned long>(reinterpret_cast<uintptr_t>(node)));
    const char *name = node->name ? reinterpret_cast<const char *>(node->name) : "";
    bool known = nameIs(node, "dependencyAgeOutInterval") || nameIs(node, "peerAgeOutInterval") ||
                 nameIs(node, "qelAuthenUser") || nameIs(node, "dependencyScanInterval") ||
                 nameIs(node, "peerScanInterval");
    if (!known)
        return 1;
    const char *value = elementValue(node);
    if (!value) {
        std::fprintf(stderr, "parseKestrovaConfigTree: %s has no value\n", name);
        return 1;
    }
    if (nameIs(node, "dependencyAgeOutInterval")) {
        if (debugging())
            std::fprintf(stderr, "dependencyAgeOutInterval: '%s'\n", value);
        int v = decimalValue(value);
        if (intervalAccepted(name, v, 0))
            dependencyAgeOutInterval.store(v, std::memory_order_relaxed);
    } else if (nameIs(node, "peerAgeOutInterval")) {
        if (debugging())
            std::fprintf(stderr, "peerAgeOutInterval: '%s'\n", value);
        int v = decimalValue(value);
        if (intervalAccepted(name, v, 0))
            peerAgeOutInterval.store(v, std::memory_order_relaxed);
    } else if (nameIs(node, "qelAuthenUser")) {
        if (debugging())
            std::fprintf(stderr, "qelAuthenUser: '%s'\n", value);
        kestrovaSetAuthenUser(value);
    } else if (nameIs(node, "dependencyScanInterval")) {
        int v = decimalValue(value);
        if (intervalAccepted(name, v, 4)) {
            dependencyScanInterval.store(v, std::memory_order_relaxed);
            std::printf("Kestrova: dependencyScanInterval is %d\n", v);
            std::fflush(stdout);
        }
    } else {
        int v = decimalValue(value);
        if (intervalAccepted(name, v, 0)) {
            peerScanInterval.store(v, std::memory_order_relaxed);
            std::printf("Kestrova: peerScanInterval is %d\n", v);
            std::fflush(stdout);
        }
    }
    return 1;
}

extern "C" int readKestrovaConfigFile(const char *path) {
    return readVersionedFile(path, kConfigFileTexts, readKestrovaConfigTime, kestrovaConfigVersion, nullptr,
                             [](xmlDocPtr, xmlNodePtr root) {
                                 if (!root->children) {
                                     std::fputs("kestrova config file has no config statements\n", stderr);
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

    // Written beside the file and renamed over it: a crash or a full disk
    // leaves the previous file whole.
    std::string tmp = std::string(path) + ".tmpXXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "open/create of kestrova config file failed: %s\n", std::strerror(errno));
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
        std::fprintf(stderr, "write of kestrova config file failed: %s\n", std::strerror(err));
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
    if (kestrova_update_configfile.exchange(0, std::memory_order_relaxed) != 0 &&
        writeKestrovaConfigFile(kestrovaConfigFile) != 1)
        kestrova_update_configfile.store(1, std::memory_order_relaxed);
    readKestrovaConfigFile(kestrovaConfigFile);
    readKestrovaLocalFile(kestrovaLocalFile);
}
