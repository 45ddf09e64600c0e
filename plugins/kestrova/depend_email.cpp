// Mail relays: the smart host or relay host of the running mail transfer
// agent.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "depend_services.h"
#include "discovery.h"
#include "textscan.h"
#include "qel/log.h"

namespace kestrova::services {

std::string relayHostName(std::string_view word) {
    auto isNameChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; };
    // sendmail's "mailer:[host]" and "mailer:host" (a mailer name has no dots).
    if (size_t colon = word.find(':');
        colon != std::string_view::npos && colon > 0 && colon + 1 < word.size() &&
        word.find(':', colon + 1) == std::string_view::npos &&
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
        if (!textscan::startsWith(line, "DS") || line.find("$?m") != std::string_view::npos)
            continue;
        std::string host = std::string(line.substr(2, kMailWord));
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
        // A list since postfix 3.5: commas and blanks separate its hosts.
        for (size_t pos = 0; pos < value.size();) {
            size_t end = std::min(value.find_first_of(", \t", pos), value.size());
            if (end > pos)
                out.push_back(relayHostName(value.substr(pos, std::min(end - pos, kMailWord))));
            pos = end + 1;
        }
    }
    return out;
}

std::vector<std::string> parseEximHostList(std::string_view list) {
    std::vector<std::string> out;
    list = textscan::trim(list);
    char sep = ':';
    // "<X" at the start changes the separator (and turns off the doubling).
    bool doubling = true;
    if (list.size() >= 2 && list[0] == '<' && !textscan::isBlank(list[1]) && !std::isalnum((unsigned char)list[1])) {
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
        std::string_view item = textscan::trim(raw);
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
        host = textscan::trim(host);
        if (!host.empty())
            out.push_back(std::string(host.substr(0, kMailWord)));
    }
    return out;
}

std::vector<std::string> parseEximSmartHosts(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view line : splitLines(text, kShortLine)) {
        if (line.front() == '#')
            continue;
        std::string_view value;
        if (assignedValue(textscan::trim(line), "dc_smarthost", value))
            out = parseEximHostList(dropQuotes(value));
    }
    return out;
}

} // namespace kestrova::services

using namespace kestrova::services;

extern "C" int dependency_discover_sendmail(void) {
    if (!isProcessRunning("sendmail"))
        return 0;
    std::string text;
    if (!readConfig("/etc/sendmail.cf", text) && !readConfig("/etc/mail/sendmail.cf", text)) {
        qel::logWarning("Couldnt open/find sendmail.cf\n");
        return -1;
    }
    for (const std::string &host : parseSendmailSmartHosts(text))
        addFound(dependEmail, dependSrcConfig, host, "mailer='sendmail' type='smarthost'");
    return 1;
}

extern "C" int dependency_discover_postfix(void) {
    if (!isProcessRunning("postfix/master") && !isProcessRunning("master") && !isProcessRunning("smtpd"))
        return 0;
    std::string text;
    if (!readConfig("/etc/postfix/main.cf", text))
        return 0;
    for (const std::string &host : parsePostfixRelayHosts(text))
        addFound(dependEmail, dependSrcConfig, host, "mailer='postfix' type='relayhost'");
    return 1;
}

extern "C" int dependency_discover_exim(void) {
    if (!isProcessRunning("exim"))
        return 0;
    std::string text;
    if (!readConfig("/etc/exim4/update-exim4.conf.conf", text))
        return 0;
    for (const std::string &host : parseEximSmartHosts(text))
        addFound(dependEmail, dependSrcConfig, host, "mailer='exim' type='smarthost'");
    return 1;
}

extern "C" int dependency_discover_zimbra(void) {
    return 0;
}

extern "C" int dependency_discover_email(void) {
    dependency_discover_sendmail();
    dependency_discover_postfix();
    dependency_discover_exim();
    return 1;
}
