// Voice servers: the registrars Asterisk registers with (IAX, SIP through
// chan_sip, and SIP through chan_pjsip's registration sections).
#include <algorithm>

#include "depend_servers.h"
#include "depend_services.h"
#include "discovery.h"
#include "textscan.h"

namespace kestrova::servers {

namespace {

bool contains(std::string_view s, std::string_view part) {
    return s.find(part) != std::string_view::npos;
}

} // namespace

std::vector<std::string> parseRegisterLines(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view line : boundedLines(text, kLine)) {
        if (textscan::startsWith(line, ";") || !textscan::startsWith(line, "register"))
            continue;
        size_t arrow = line.find("=>");
        if (arrow == std::string_view::npos)
            continue;
        std::string_view rest = line.substr(arrow + 2);
        size_t at = rest.find('@');
        if (at == std::string_view::npos)
            continue;
        std::string_view host = rest.substr(at + 1, kRegistrarHost);
        // A comment or blanks after the host are not part of it.
        host = host.substr(0, host.find(';'));
        host = textscan::trim(host);
        host = host.substr(0, host.find_first_of(" \t"));
        host = host.substr(0, host.find(':'));
        if (!host.empty())
            out.emplace_back(host);
    }
    return out;
}

std::string sipUriHost(std::string_view uri) {
    uri = textscan::trim(uri);
    if (textscan::startsWith(uri, "<")) {
        uri.remove_prefix(1);
        uri = uri.substr(0, uri.find('>'));
    }
    std::string lower(uri.substr(0, 5));
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (textscan::startsWith(lower, "sips:"))
        uri.remove_prefix(5);
    else if (textscan::startsWith(lower, "sip:"))
        uri.remove_prefix(4);
    uri = uri.substr(0, uri.find_first_of(";?"));
    return authorityHost(textscan::trim(uri));
}

std::vector<std::string> parsePjsipRegistrations(std::string_view text) {
    std::vector<std::string> out;
    bool inSection = false, isTemplate = false, isRegistration = false;
    std::string serverUri;
    auto flush = [&] {
        if (inSection && !isTemplate && isRegistration && !serverUri.empty()) {
            std::string host = sipUriHost(serverUri);
            if (!host.empty())
                out.push_back(host);
        }
        isRegistration = false;
        serverUri.clear();
    };
    for (std::string_view line : boundedLines(text, kLine)) {
        line = textscan::trim(line.substr(0, line.find(';')));
        if (line.empty())
            continue;
        if (line.front() == '[') {
            flush();
            size_t close = line.find(']');
            inSection = close != std::string_view::npos;
            // "[name](!)" is a template other sections build on.
            isTemplate = inSection && contains(line.substr(close), "!");
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        std::string_view key = textscan::trim(line.substr(0, eq));
        std::string_view value = textscan::trim(line.substr(eq + 1));
        if (!value.empty() && value.front() == '>') // "key => value"
            value = textscan::trim(value.substr(1));
        if (key == "type")
            isRegistration = value == "registration";
        else if (key == "server_uri")
            serverUri = std::string(value);
    }
    flush();
    return out;
}

} // namespace kestrova::servers

using kestrova::services::addFound;
using kestrova::services::readConfig;
namespace servers = kestrova::servers;

namespace {

void addRegistrars(dependencyType_t dtype, const std::vector<std::string> &hosts) {
    for (const std::string &host : hosts)
        addFound(dtype, dependSrcConfig, host, "application='asterisk'");
}

} // namespace

extern "C" int dependency_discover_asterisk(void) {
    if (!isProcessRunning("asterisk"))
        return 0;
    std::string text;
    if (readConfig("/etc/asterisk/iax.conf", text))
        addRegistrars(dependIAX, servers::parseRegisterLines(text));
    if (readConfig("/etc/asterisk/sip.conf", text))
        addRegistrars(dependSIP, servers::parseRegisterLines(text));
    if (readConfig("/etc/asterisk/pjsip.conf", text))
        addRegistrars(dependSIP, servers::parsePjsipRegistrations(text));
    return 1;
}

extern "C" int dependency_discover_voip(void) {
    dependency_discover_asterisk();
    return 0;
}
