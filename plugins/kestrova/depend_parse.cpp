#include "depend_parse.h"
#include "textscan.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <cctype>

namespace kestrova::services {
namespace {

using textscan::isBlank;
using textscan::startsWith;
using textscan::trim;

std::string cut(std::string_view s, size_t maxLen) { return std::string(s.substr(0, maxLen)); }

// The value of "key = value" or "key=value", blanks around it removed;
// false when line does not assign key.
bool assignedValue(std::string_view line, std::string_view key, std::string_view &value) {
    if (!startsWith(line, key))
        return false;
    std::string_view rest = line.substr(key.size());
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
        rest.remove_prefix(1);
    if (rest.empty() || rest.front() != '=')
        return false;
    value = trim(rest.substr(1));
    return true;
}

// Words after the keyword of a time-server line: the server, skipping an
// address-family option placed before it.
std::string serverAfterKeyword(const std::vector<std::string> &w) {
    for (size_t i = 1; i < w.size(); i++)
        if (w[i] != "-4" && w[i] != "-6")
            return w[i];
    return {};
}

} // namespace

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
        while (i < line.size() && isBlank(line[i]))
            i++;
        if (i >= line.size())
            break;
        size_t start = i;
        while (i < line.size() && !isBlank(line[i]))
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

ResolvConf parseResolvConf(std::string_view text) {
    ResolvConf rc;
    for (std::string_view line : splitLines(text, kLongLine)) {
        if (line.front() == '#')
            continue;
        std::vector<std::string> w = words(chompNewline(line), 2, kLongWord);
        const std::string keyword = w.empty() ? std::string() : w[0];
        const std::string value = w.size() > 1 ? w[1] : std::string();
        // A bare "nameserver" names nobody; the resolver skips it too.
        if (keyword == "nameserver" && !value.empty()) {
            rc.server = value;
            rc.servers++;
        }
        if (keyword.find("domain") != std::string::npos)
            rc.args = "domain='" + value + "'";
        if (keyword.find("search") != std::string::npos)
            rc.args = "search='" + value + "'";
    }
    return rc;
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

std::vector<std::string> parseInterfacesGateways(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view line : splitLines(text, kLongLine)) {
        std::string_view t = trim(line);
        if (t.empty() || t.front() == '#')
            continue;
        std::vector<std::string> w = words(t, 2, kLongWord);
        if (w.size() == 2 && w[0] == "gateway")
            out.push_back(w[1]);
    }
    return out;
}

void parseYpConf(std::string_view text, NisConf &nis) {
    for (std::string_view line : splitLines(text, kShortLine)) {
        if (line.front() == '#')
            continue;
        line = chompNewline(line);
        if (startsWith(line, "domain")) {
            std::vector<std::string> w = words(line, 4, kNisWord);
            if (w.size() >= 2)
                nis.domain = w[1];
            if (w.size() >= 4)
                nis.server = w[3];
        } else if (startsWith(line, "ypserver")) {
            std::vector<std::string> w = words(line, 2, kNisWord);
            if (w.size() >= 2)
                nis.server = w[1];
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
            out.push_back(cut(line, maxLen));
    }
    return out;
}

std::string relayHostName(std::string_view word) {
    auto isNameChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; };
    // sendmail's "mailer:[host]" and "mailer:host" (a mailer name has no dots).
    if (size_t colon = word.find(':'); colon != std::string_view::npos && colon > 0 &&
                                       colon + 1 < word.size() && word.find(':', colon + 1) == std::string_view::npos &&
                                       std::all_of(word.begin(), word.begin() + static_cast<long>(colon), isNameChar) &&
                                       (word[colon + 1] == '[' || !std::isdigit(static_cast<unsigned char>(word[colon + 1]))))
        word.remove_prefix(colon + 1);
    // "[host]" and "[host]:port": the brackets only turn off MX look-ups.
    if (!word.empty() && word.front() == '[') {
        size_t close = word.find(']');
        if (close == std::string_view::npos || close == 1)
            return std::string(word);
        std::string_view host = word.substr(1, close - 1);
        if (host.size() > 5 && strncasecmp(host.data(), "ipv6:", 5) == 0)
            host.remove_prefix(5);
        return std::string(host);
    }
    // "host:port" (an IPv6 address has more than one colon).
    if (size_t colon = word.find(':'); colon != std::string_view::npos && colon > 0 &&
                                       word.find(':', colon + 1) == std::string_view::npos && colon + 1 < word.size() &&
                                       std::all_of(word.begin() + static_cast<long>(colon) + 1, word.end(),
                                                   [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        word = word.substr(0, colon);
    return std::string(word);
}

std::vector<std::string> parseSendmailSmartHosts(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view line : splitLines(text, kShortLine)) {
        if (line.front() == '#')
            continue;
        line = chompNewline(line);
        if (!startsWith(line, "DS") || line.find("$?m") != std::string_view::npos)
            continue;
        std::string host = cut(line.substr(2), kMailWord);
        if (host.empty() || host.front() == '\n' || host.front() == ' ' || host.front() == '\t')
            continue;
        out.push_back(relayHostName(host));
    }
    return out;
}

std::vector<std::string> parsePostfixRelayHosts(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view line : splitLines(text, kShortLine)) {
        if (line.front() == '#')
            continue;
        std::string_view value;
        // "relayhost = [relay]" and "relayhost=[relay]" alike; an empty
        // relayhost means direct delivery.
        if (!assignedValue(chompNewline(line), "relayhost", value))
            continue;
        std::vector<std::string> w = words(value, 1, kMailWord);
        if (!w.empty())
            out.push_back(relayHostName(w[0]));
    }
    return out;
}

std::vector<std::string> parseEximHostList(std::string_view list) {
    std::vector<std::string> out;
    list = trim(list);
    char sep = ':';
    // "<X" at the start changes the separator (and turns off the doubling).
    bool doubling = true;
    if (list.size() >= 2 && list[0] == '<' && !isBlank(list[1]) && !std::isalnum((unsigned char)list[1])) {
        sep = list[1];
        doubling = false;
        list.remove_prefix(2);
    }
    std::vector<std::string> items(1);
    for (size_t i = 0; i < list.size(); i++) {
        char c = list[i];
        if (c == sep) {
            if (doubling && i + 1 < list.size() && list[i + 1] == sep) {
                items.back() += c;
                i++;
                continue;
            }
            items.emplace_back();
            continue;
        }
        items.back() += c;
    }
    for (std::string &raw : items) {
        std::string_view item = trim(raw);
        if (item.empty())
            continue;
        std::string_view host;
        if (item.front() == '[') {
            size_t close = item.find(']');
            host = close == std::string_view::npos ? item.substr(1) : item.substr(1, close - 1);
        } else {
            size_t colon = item.find(':');
            // host:port; a bare IPv6 address (more than one colon) stays whole.
            host = colon != std::string_view::npos && item.find(':', colon + 1) == std::string_view::npos
                       ? item.substr(0, colon)
                       : item;
        }
        host = trim(host);
        if (!host.empty())
            out.push_back(cut(host, kMailWord));
    }
    return out;
}

std::vector<std::string> parseEximSmartHosts(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view line : splitLines(text, kShortLine)) {
        if (line.front() == '#')
            continue;
        std::string_view value;
        if (assignedValue(trim(line), "dc_smarthost", value))
            out = parseEximHostList(dropQuotes(value));
    }
    return out;
}

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
        std::string_view t = trim(line);
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
        std::string_view t = trim(line);
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
