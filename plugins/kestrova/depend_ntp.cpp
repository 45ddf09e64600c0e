// Time servers of the running NTP daemon: ntpd (and ntpsec), chronyd,
// systemd-timesyncd.
#include <map>
#include <string>
#include <vector>

#include "depend_services.h"
#include "discovery.h"
#include "hostfs.h"
#include "textscan.h"

namespace kestrova::services {

namespace {

// Words after the keyword of a time-server line: the server, skipping an
// address-family option placed before it.
std::string serverAfterKeyword(const std::vector<std::string> &w) {
    for (size_t i = 1; i < w.size(); i++)
        if (w[i] != "-4" && w[i] != "-6")
            return w[i];
    return {};
}

} // namespace

std::vector<std::string> parseNtpServers(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view line : splitLines(text, kLongLine)) {
        if (line.front() == '#')
            continue;
        std::vector<std::string> w = words(chompNewline(line), 3, kLongWord);
        if (w.empty() || (w[0] != "server" && w[0] != "pool"))
            continue;
        std::string server = serverAfterKeyword(w);
        if (!server.empty())
            out.push_back(server);
    }
    return out;
}

void parseChronyConf(std::string_view text, ChronyConf &conf) {
    for (std::string_view line : splitLines(text, kLongLine)) {
        std::string_view t = textscan::trim(line);
        if (t.empty() || t.front() == '#' || t.front() == '!' || t.front() == ';' || t.front() == '%')
            continue;
        std::vector<std::string> w = words(t, 3, kLongWord);
        if (w[0] == "server" || w[0] == "pool" || w[0] == "peer") {
            std::string server = serverAfterKeyword(w);
            if (!server.empty())
                conf.servers.push_back(server);
        } else if (w[0] == "confdir" || w[0] == "sourcedir") {
            std::vector<std::string> &dirs = w[0] == "confdir" ? conf.confdirs : conf.sourcedirs;
            std::vector<std::string> all = words(t, 65, kLongWord);
            dirs.insert(dirs.end(), all.begin() + 1, all.end());
        }
    }
}

void parseTimesyncdConf(std::string_view text, TimesyncdConf &conf) {
    bool inTime = false;
    for (std::string_view line : splitLines(text, kLongLine)) {
        std::string_view t = textscan::trim(line);
        if (t.empty() || t.front() == '#' || t.front() == ';')
            continue;
        if (t.front() == '[') {
            inTime = t == "[Time]";
            continue;
        }
        if (!inTime)
            continue;
        std::string_view value;
        std::vector<std::string> *list = nullptr;
        if (assignedValue(t, "NTP", value))
            list = &conf.ntp;
        else if (assignedValue(t, "FallbackNTP", value))
            list = &conf.fallback;
        if (!list)
            continue;
        // An empty assignment resets what earlier files said.
        if (value.empty())
            list->clear();
        for (std::string &w : words(value, 256, kLongWord))
            list->push_back(w);
    }
}

} // namespace kestrova::services

using namespace kestrova::services;

namespace {

// Directories of .conf or .sources files are read at most this many files
// deep in total, so a stray directory cannot make a pass read without end.
constexpr size_t kMaxIncludedFiles = 256;

void addTimeServers(const std::vector<std::string> &servers) {
    for (const std::string &server : servers)
        if (isThisMe(server.c_str()) == 0)
            addFound(dependNTP, dependSrcConfig, server, "");
}

// The files of dirs whose names end in suffix, by name; a name found in an
// earlier directory hides the same name in a later one.
std::vector<std::string> filesOf(const std::vector<std::string> &dirs, const std::string &suffix) {
    std::map<std::string, std::string> byName;
    for (const std::string &dir : dirs) {
        if (dir.empty() || dir.front() != '/')
            continue;
        for (const std::string &name : hostfs::listHostDir(dir)) {
            if (byName.size() >= kMaxIncludedFiles)
                break;
            if (!hostfs::isSafeComponent(name) || name.front() == '.' || name.size() <= suffix.size() ||
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
                continue;
            byName.emplace(name, dir + "/" + name);
        }
    }
    std::vector<std::string> paths;
    for (auto &entry : byName)
        paths.push_back(entry.second);
    return paths;
}

} // namespace

extern "C" int dependency_discover_ntpd(void) {
    if (!isProcessRunning("ntpd"))
        return 0;
    std::string text;
    if (!readConfig("/etc/ntp.conf", text) && !readConfig("/etc/inet/ntp.conf", text) &&
        !readConfig("/etc/ntpsec/ntp.conf", text))
        return -1;
    addTimeServers(parseNtpServers(text));
    return 0;
}

extern "C" int dependency_discover_chronyd(void) {
    if (!isProcessRunning("chronyd"))
        return 0;
    std::string text;
    if (!readConfig("/etc/chrony/chrony.conf", text) && !readConfig("/etc/chrony.conf", text))
        return 0;
    ChronyConf conf;
    parseChronyConf(text, conf);
    // Files of the directories add servers; directories they name are not
    // followed further.
    ChronyConf included;
    for (const std::string &path : filesOf(conf.confdirs, ".conf"))
        if (readConfig(path, text))
            parseChronyConf(text, included);
    for (const std::string &path : filesOf(conf.sourcedirs, ".sources"))
        if (readConfig(path, text))
            parseChronyConf(text, included);
    addTimeServers(conf.servers);
    addTimeServers(included.servers);
    return 0;
}

extern "C" int dependency_discover_timesyncd(void) {
    if (!isProcessRunning("systemd-timesyn"))
        return 0;
    TimesyncdConf conf;
    std::string text;
    if (readConfig("/etc/systemd/timesyncd.conf", text))
        parseTimesyncdConf(text, conf);
    // Drop-ins apply by file name across their directories; /etc hides the
    // same name in /run and /usr/lib.
    for (const std::string &path : filesOf(
             {"/etc/systemd/timesyncd.conf.d", "/run/systemd/timesyncd.conf.d", "/usr/lib/systemd/timesyncd.conf.d"},
             ".conf"))
        if (readConfig(path, text))
            parseTimesyncdConf(text, conf);
    addTimeServers(conf.servers());
    return 0;
}

extern "C" int dependency_discover_ntp(void) {
    dependency_discover_ntpd();
    dependency_discover_chronyd();
    dependency_discover_timesyncd();
    return 0;
}
