// The "other" discovery hook, and the helpers every service module shares.
#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "depend_services.h"
#include "discovery.h"
#include "hostfs.h"
#include "kestrova.h"
#include "qel/strutil.h"
#include "textscan.h"
#include "depend_servers.h"

namespace kestrova::services {

namespace {

std::string cut(std::string_view s, size_t maxLen) {
    return std::string(s.substr(0, maxLen));
}

} // namespace

// The value of "key = value" or "key=value", blanks around it removed;
// false when line does not assign key.
bool assignedValue(std::string_view line, std::string_view key, std::string_view &value) {
    if (!textscan::startsWith(line, key))
        return false;
    std::string_view rest = line.substr(key.size());
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
        rest.remove_prefix(1);
    if (rest.empty() || rest.front() != '=')
        return false;
    value = textscan::trim(rest.substr(1));
    return true;
}

std::vector<std::string_view> splitLines(std::string_view text, size_t maxChars) {
    std::vector<std::string_view> lines;
    size_t piece = maxChars + 1;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        size_t len = nl == std::string_view::npos ? text.size() : nl + 1;
        len = std::min(len, piece);
        lines.push_back(text.substr(0, len));
        text.remove_prefix(len);
    }
    return lines;
}

std::string_view chompNewline(std::string_view line) {
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    return line;
}

std::vector<std::string> words(std::string_view line, size_t count, size_t maxLen) {
    std::vector<std::string> out;
    size_t i = 0;
    while (out.size() < count) {
        while (i < line.size() && textscan::isBlank(line[i]))
            i++;
        if (i >= line.size())
            break;
        size_t start = i;
        while (i < line.size() && !textscan::isBlank(line[i]))
            i++;
        out.push_back(cut(line.substr(start, i - start), maxLen));
    }
    return out;
}

std::string_view dropQuotes(std::string_view text) {
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front())
        return text.substr(1, text.size() - 2);
    return text;
}

bool isLoopbackText(std::string_view text) {
    std::string s(text);
    in_addr a4{};
    if (inet_pton(AF_INET, s.c_str(), &a4) == 1)
        return (ntohl(a4.s_addr) >> 24) == 127;
    in6_addr a6{};
    return inet_pton(AF_INET6, s.c_str(), &a6) == 1 && IN6_IS_ADDR_LOOPBACK(&a6);
}

int ipVersionOfText(std::string_view text) {
    std::string s(text);
    unsigned char buf[16];
    if (inet_pton(AF_INET, s.c_str(), buf) == 1)
        return 4;
    if (inet_pton(AF_INET6, s.c_str(), buf) == 1)
        return 6;
    return 0;
}

std::string parseFirstLine(std::string_view text, size_t maxChars, bool &found) {
    std::vector<std::string_view> lines = splitLines(text, maxChars);
    found = !lines.empty();
    return found ? std::string(chompNewline(lines.front())) : std::string();
}

std::string parseKeyValue(std::string_view text, std::string_view key, size_t maxChars) {
    std::string found;
    for (std::string_view line : splitLines(text, maxChars)) {
        if (line.front() == '#' || line.front() == '\n')
            continue;
        line = chompNewline(line);
        size_t eq = line.find('=');
        if (eq == std::string_view::npos || line.substr(0, eq) != key)
            continue;
        std::string_view value = line.substr(eq + 1);
        value = value.substr(0, value.find('='));
        // GATEWAY="192.0.2.1" names the address, not a host with quotes.
        value = dropQuotes(value);
        if (!value.empty())
            found = std::string(value);
    }
    return found;
}

} // namespace kestrova::services
namespace kestrova::servers {

std::vector<std::string_view> boundedLines(std::string_view text, size_t maxChars) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        lines.push_back(line.substr(0, maxChars));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    }
    return lines;
}

std::string authorityHost(std::string_view authority) {
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    if (textscan::startsWith(authority, "[")) {
        size_t end = authority.find(']');
        return std::string(authority.substr(1, end == std::string_view::npos ? std::string_view::npos : end - 1));
    }
    return std::string(authority.substr(0, authority.find(':')));
}

std::string replaced(std::string_view s, std::string_view from, char to) {
    std::string out(s);
    for (char &c : out)
        if (from.find(c) != std::string_view::npos)
            c = to;
    return out;
}

} // namespace kestrova::servers

namespace kestrova::services {

bool readConfig(std::string_view path, std::string &text) {
    return hostfs::readHostFile(path, text, 4u << 20);
}

int addFound(dependencyType_t dtype, dependencySrc_t dsrc, std::string_view server, std::string_view args,
             int ipVersion) {
    dependency_t d;
    std::memset(&d, 0, sizeof d);
    d.dtype = dtype;
    d.dsrc = dsrc;
    d.pov = dependOutbound;
    d.lastUpdate = std::time(nullptr);
    qelCopyField(d.dependClient, myhostname);
    qelCopyField(d.dependServer, server);
    qelCopyField(d.args, args);
    d.ipVersion = ipVersion;
    return addLocalDependency(&d);
}

} // namespace kestrova::services

extern "C" int dependency_discover_other(void) {
    return 0;
}
