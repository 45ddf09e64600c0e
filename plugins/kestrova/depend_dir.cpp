// Directory services: the NIS server this host is bound to.
#include "depend_services.h"
#include "discovery.h"
#include "hostfs.h"
#include "textscan.h"

namespace kestrova::services {

void parseYpConf(std::string_view text, NisConf &nis) {
    for (std::string_view line : splitLines(text, kShortLine)) {
        if (line.front() == '#')
            continue;
        line = chompNewline(line);
        if (textscan::startsWith(line, "domain")) {
            std::vector<std::string> w = words(line, 4, kNisWord);
            if (w.size() >= 2)
                nis.domain = w[1];
            if (w.size() >= 4)
                nis.servers.push_back(w[3]);
        } else if (textscan::startsWith(line, "ypserver")) {
            std::vector<std::string> w = words(line, 2, kNisWord);
            if (w.size() >= 2)
                nis.servers.push_back(w[1]);
        }
    }
}

std::vector<std::string> parseServerLines(std::string_view text, size_t maxChars, size_t maxLen) {
    std::vector<std::string> out;
    for (std::string_view line : splitLines(text, maxChars)) {
        if (line.front() == '#')
            continue;
        line = chompNewline(line);
        if (!line.empty())
            out.push_back(std::string(line.substr(0, maxLen)));
    }
    return out;
}

} // namespace kestrova::services

using namespace kestrova::services;

namespace {

std::string nisArgs(const std::string &domain) {
    return domain.empty() ? std::string("type='NIS'") : "type='NIS' domain='" + domain + "'";
}

} // namespace

extern "C" int depend_discover_nis(void) {
    if (!isProcessRunning("ypbind"))
        return 0;
    NisConf nis;
    std::string text;
    if (readConfig("/etc/defaultdomain", text)) {
        bool found = false;
        std::string line = parseFirstLine(text, kShortLine, found);
        if (found)
            nis.domain = line.substr(0, kNisWord);
    }
    if (readConfig("/etc/sysconfig/network", text)) {
        std::string domain = parseKeyValue(text, "NISDOMAIN", kShortLine);
        if (!domain.empty())
            nis.domain = domain.substr(0, kNisWord);
    }
    if (readConfig("/etc/yp.conf", text))
        parseYpConf(text, nis);

    if (!nis.servers.empty()) {
        for (const std::string &server : nis.servers)
            addFound(dependDir, dependSrcConfig, server, nisArgs(nis.domain));
        return 1;
    }
    if (nis.domain.empty())
        return 0;
    // The domain becomes a directory name: only a plain name may (no
    // "../", no '/').
    if (hostfs::isSafeComponent(nis.domain) && readConfig("/var/yp/binding/" + nis.domain + "/ypservers", text)) {
        for (const std::string &server : parseServerLines(text, kShortLine, kNisWord))
            addFound(dependDir, dependSrcConfig, server, nisArgs(nis.domain));
    }
    return 1;
}

extern "C" int depend_discover_nisplus(void) {
    return 0;
}
extern "C" int depend_discover_ldap(void) {
    return 0;
}

extern "C" int dependency_discover_dir(void) {
    depend_discover_nis();
    depend_discover_nisplus();
    depend_discover_ldap();
    return 0;
}
