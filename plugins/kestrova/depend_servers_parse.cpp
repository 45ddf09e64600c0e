#include <algorithm>
#include <cctype>

#include "depend_parse.h"
#include "depend_servers.h"
#include "sysinfo_parse.h"
#include "textscan.h"

namespace kestrova::servers {
namespace {

using kestrova::services::words;

using textscan::isBlank;
using textscan::startsWith;
using textscan::trim;
bool contains(std::string_view s, std::string_view part) { return s.find(part) != std::string_view::npos; }

std::string replaced(std::string_view s, std::string_view from, char to) {
    std::string out(s);
    for (char &c : out)
        if (from.find(c) != std::string_view::npos)
            c = to;
    return out;
}

// Entries of a printers.conf or printcap: a line not beginning with '#' or
// a blank starts one; while a line ends in a backslash the next line is
// joined to it (without the backslash). Entries are cut to kEntry.
std::vector<std::string> joinedEntries(std::string_view text) {
    std::vector<std::string_view> lines = boundedLines(text, kLine);
    std::vector<std::string> entries;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (line.empty() || line.front() == '#' || line.front() == ' ' || line.front() == '\t')
            continue;
        std::string entry;
        auto append = [&entry](std::string_view part) {
            if (entry.size() < kEntry)
                entry.append(part.substr(0, kEntry - entry.size()));
        };
        while (!line.empty() && line.back() == '\\') {
            line.remove_suffix(1);
            append(line);
            if (i + 1 >= lines.size()) {
                line = {};
                break;
            }
            line = lines[++i];
        }
        append(line);
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string printerArgs(std::string_view printer, std::string_view proto, bool isDefault) {
    std::string args = "printer='" + std::string(printer) + "' proto='" + std::string(proto) + "'";
    if (isDefault)
        args += " order=default";
    return args;
}

// One DeviceURI (its '/' and ';' already blanks) as a printer finding;
// false for schemes that name no print server.
bool printerOfUri(std::string_view uri, bool isDefault, Found &found) {
    if (startsWith(uri, "smb:  ")) {
        std::vector<std::string> w = words(uri.substr(4), 3, kEntry);
        std::string domain, system, printer;
        if (w.size() == 3) {
            domain = w[0];
            system = w[1];
            printer = w[2];
        } else if (w.size() == 2) {
            system = w[0];
            printer = w[1];
        } else {
            return false;
        }
        // Credentials before '@' are never published, in the domain either.
        size_t at = domain.rfind('@');
        if (at != std::string::npos)
            domain.erase(0, at + 1);
        found.host = authorityHost(system);
        found.args = "printer='" + printer + "' proto='smb' domain='" + domain + "'";
        if (isDefault)
            found.args += " order=default";
        return !found.host.empty() && !printer.empty();
    }
    static const struct {
        std::string_view prefix, proto;
    } schemes[] = {{"ipp:  ", "ipp"}, {"ipps:  ", "ipps"}, {"lpd:  ", "lpd"}, {"socket:  ", "socket"}};
    for (const auto &s : schemes) {
        if (!startsWith(uri, s.prefix))
            continue;
        std::vector<std::string> w = words(uri.substr(s.prefix.size()), 2, kEntry);
        if (w.size() < 2)
            return false;
        found.host = authorityHost(w[0]);
        found.args = printerArgs(w[1], s.proto, isDefault);
        return !found.host.empty();
    }
    return false;
}

} // namespace

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
    if (startsWith(authority, "[")) {
        size_t end = authority.find(']');
        return std::string(authority.substr(1, end == std::string_view::npos ? std::string_view::npos : end - 1));
    }
    return std::string(authority.substr(0, authority.find(':')));
}

std::vector<Found> parseCupsPrinters(std::string_view text) {
    std::vector<std::string_view> lines = boundedLines(text, kLine);
    std::vector<Found> out;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (startsWith(line, "#"))
            continue;
        bool isDefault = contains(line, "<DefaultPrinter ");
        if (!isDefault && !contains(line, "<Printer "))
            continue;
        std::string uri;
        // CUPS closes a default printer's block with </DefaultPrinter>.
        for (++i; i < lines.size(); ++i) {
            std::string_view l = lines[i];
            if (contains(l, "</Printer>") || contains(l, "</DefaultPrinter>"))
                break;
            if (startsWith(l, "DeviceURI "))
                uri = std::string(l.substr(10));
        }
        if (uri.empty())
            continue;
        Found f;
        if (printerOfUri(replaced(uri, "/;", ' '), isDefault, f))
            out.push_back(std::move(f));
    }
    return out;
}

std::vector<Found> parsePrintersConf(std::string_view text) {
    std::vector<Found> out;
    for (const std::string &raw : joinedEntries(text)) {
        std::string entry = replaced(raw, ":,", ' ');
        size_t pos = entry.find("bsdaddr=");
        if (pos == std::string::npos)
            continue;
        std::vector<std::string> name = words(entry, 1, kEntry);
        std::vector<std::string> addr = words(std::string_view(entry).substr(pos + 8), 2, kEntry);
        if (name.empty() || addr.empty())
            continue;
        out.push_back({addr[0], "printer='" + name[0] + "' proto='lpd' destination='" +
                                    (addr.size() > 1 ? addr[1] : std::string()) + "'"});
    }
    return out;
}

std::vector<Found> parsePrintcap(std::string_view text) {
    std::vector<Found> out;
    for (const std::string &entry : joinedEntries(text)) {
        // Fields between ':', a bracketed IPv6 address kept whole.
        std::vector<std::string_view> fields;
        std::string_view e = entry;
        size_t start = 0;
        bool inBrackets = false;
        for (size_t i = 0; i <= e.size(); ++i) {
            if (i < e.size() && e[i] == '[')
                inBrackets = true;
            else if (i < e.size() && e[i] == ']')
                inBrackets = false;
            else if (i == e.size() || (e[i] == ':' && !inBrackets)) {
                fields.push_back(trim(e.substr(start, i - start)));
                start = i + 1;
            }
        }
        std::string printer(trim(fields[0].substr(0, fields[0].find('|'))));
        std::string server, queue = "lp";
        for (size_t i = 1; i < fields.size(); ++i) {
            if (startsWith(fields[i], "rm="))
                server = authorityHost(fields[i].substr(3));
            else if (startsWith(fields[i], "rp="))
                queue = std::string(fields[i].substr(3));
        }
        if (!printer.empty() && !server.empty())
            out.push_back({server, "printer='" + printer + "' proto='lpd' destination='" + queue + "'"});
    }
    return out;
}

namespace {
bool isRemoteType(std::string_view t) {
    return t == "nfs" || t == "nfs4" || t == "cifs" || t == "smb3" || t == "smbfs";
}
} // namespace

std::vector<RemoteMount> parseFstabRemote(std::string_view text) {
    std::vector<RemoteMount> out;
    for (std::string_view line : boundedLines(text, kLine)) {
        std::vector<std::string> w = words(line, 3, kEntry);
        if (w.size() < 3 || w[0].front() == '#' || !isRemoteType(w[2]))
            continue;
        out.push_back({sysinfoparse::decodeOctal(w[0]), w[2]});
    }
    return out;
}

std::vector<std::string> parseAutoMaster(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view line : boundedLines(text, kLine)) {
        std::vector<std::string> w = words(line, 2, kEntry);
        if (w.size() < 2 || w[0].front() == '#' || w[0].front() == '+')
            continue;
        std::string map = w[1];
        if (startsWith(map, "file:"))
            map.erase(0, 5);
        else if (map.find(':') != std::string::npos || map.front() == '-')
            continue; // program, directory or built-in maps (-hosts, ldap:...)
        if (map.find('/') == std::string::npos)
            map = "/etc/" + map;
        if (map.front() == '/')
            out.push_back(map);
    }
    return out;
}

std::vector<RemoteMount> parseAutoMap(std::string_view text) {
    std::vector<RemoteMount> out;
    for (std::string_view line : boundedLines(text, kLine)) {
        std::vector<std::string> w = words(line, 16, kEntry);
        if (w.size() < 2 || w[0].front() == '#' || w[0].front() == '+')
            continue;
        std::string type = "nfs";
        for (size_t i = 1; i < w.size(); ++i) {
            const std::string &word = w[i];
            if (word.front() == '-') {
                size_t pos = word.find("fstype=");
                if (pos != std::string::npos)
                    type = word.substr(pos + 7, word.find(',', pos) - pos - 7);
                continue;
            }
            if (startsWith(word, "://"))
                out.push_back({word.substr(1), type == "nfs" ? "cifs" : type});
            else if (word.find(":/") != std::string::npos && isRemoteType(type))
                out.push_back({word, type});
        }
    }
    return out;
}

std::vector<RmtabEntry> parseRmtab(std::string_view text) {
    std::vector<RmtabEntry> out;
    for (std::string_view line : boundedLines(text, kLine)) {
        if (startsWith(line, "#") || startsWith(line, "*"))
            continue;
        std::string l = replaced(line, ":", ' ');
        std::replace(l.begin(), l.end(), ';', ':');
        std::vector<std::string> w = words(l, 2, kEntry);
        if (w.size() < 2 || w[1].front() == '*')
            continue;
        out.push_back({w[0], w[1]});
    }
    return out;
}

std::string parseNfsdClientAddress(std::string_view text) {
    for (std::string_view line : boundedLines(text, kLine)) {
        line = trim(line);
        if (!startsWith(line, "address:"))
            continue;
        std::string_view v = trim(line.substr(8));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
            v = v.substr(1, v.size() - 2);
        return authorityHost(v);
    }
    return {};
}

std::vector<SmbConnection> parseSmbstatusShares(std::string_view text) {
    static const std::string_view weekdays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    auto isPid = [](std::string_view w) {
        // A clustered Samba prints "node:pid".
        if (w.empty() || !std::isdigit(static_cast<unsigned char>(w.front())) ||
            !std::isdigit(static_cast<unsigned char>(w.back())))
            return false;
        return std::all_of(w.begin(), w.end(),
                           [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || c == ':'; });
    };
    auto isWeekday = [](std::string_view w) {
        return std::find(std::begin(weekdays), std::end(weekdays), w) != std::end(weekdays);
    };
    std::vector<SmbConnection> out;
    std::vector<std::string_view> lines = boundedLines(text, kLine);
    size_t i = 0;
    while (i < lines.size() && !startsWith(lines[i], "-"))
        ++i;
    for (++i; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (line.empty() || isBlank(line.front()))
            continue;
        // Words with their offsets.
        std::vector<std::pair<size_t, std::string_view>> w;
        for (size_t p = 0; p < line.size();) {
            while (p < line.size() && isBlank(line[p]))
                ++p;
            size_t start = p;
            while (p < line.size() && !isBlank(line[p]))
                ++p;
            if (p > start)
                w.emplace_back(start, line.substr(start, p - start));
        }
        // The pid and the machine are the two words before the connection
        // date; a share name may hold blanks and digits of its own.
        size_t pid = 0;
        for (size_t k = 1; k + 2 < w.size() && !pid; ++k)
            if (isPid(w[k].second) && isWeekday(w[k + 2].second))
                pid = k;
        for (size_t k = 1; k + 1 < w.size() && !pid; ++k)
            if (isPid(w[k].second))
                pid = k;
        if (!pid)
            continue;
        out.push_back({std::string(trim(line.substr(0, w[pid].first))), std::string(w[pid].second),
                       std::string(w[pid + 1].second)});
    }
    return out;
}

std::vector<std::string> parseRegisterLines(std::string_view text) {
    std::vector<std::string> out;
    for (std::string_view line : boundedLines(text, kLine)) {
        if (startsWith(line, ";") || !startsWith(line, "register"))
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
        host = trim(host);
        host = host.substr(0, host.find_first_of(" \t"));
        host = host.substr(0, host.find(':'));
        if (!host.empty())
            out.emplace_back(host);
    }
    return out;
}

std::string sipUriHost(std::string_view uri) {
    uri = trim(uri);
    if (startsWith(uri, "<")) {
        uri.remove_prefix(1);
        uri = uri.substr(0, uri.find('>'));
    }
    std::string lower(uri.substr(0, 5));
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (startsWith(lower, "sips:"))
        uri.remove_prefix(5);
    else if (startsWith(lower, "sip:"))
        uri.remove_prefix(4);
    uri = uri.substr(0, uri.find_first_of(";?"));
    return authorityHost(trim(uri));
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
        line = trim(line.substr(0, line.find(';')));
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
        std::string_view key = trim(line.substr(0, eq));
        std::string_view value = trim(line.substr(eq + 1));
        if (!value.empty() && value.front() == '>') // "key => value"
            value = trim(value.substr(1));
        if (key == "type")
            isRegistration = value == "registration";
        else if (key == "server_uri")
            serverUri = std::string(value);
    }
    flush();
    return out;
}

bool dmiIsVirtual(std::string_view vendor, std::string_view product) {
    vendor = trim(vendor);
    product = trim(product);
    static const std::string_view names[] = {"QEMU", "KVM",      "VMware", "VirtualBox", "innotek", "Xen",
                                             "Bochs", "Parallels", "BHYVE", "OpenStack"};
    for (std::string_view n : names)
        if (contains(vendor, n) || contains(product, n))
            return true;
    if (startsWith(vendor, "Microsoft") && contains(product, "Virtual Machine"))
        return true;
    if (startsWith(vendor, "Google") || contains(product, "Google Compute Engine"))
        return true;
    // Amazon's bare-metal instances are the machine itself.
    if (startsWith(vendor, "Amazon EC2") && !contains(product, ".metal"))
        return true;
    return false;
}

bool cpuinfoHasHypervisor(std::string_view text) {
    for (std::string_view line : boundedLines(text, 1u << 16)) {
        if (!startsWith(line, "flags"))
            continue;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::string_view rest = line.substr(colon + 1);
        for (size_t p = 0; p < rest.size();) {
            while (p < rest.size() && isBlank(rest[p]))
                ++p;
            size_t start = p;
            while (p < rest.size() && !isBlank(rest[p]))
                ++p;
            if (rest.substr(start, p - start) == "hypervisor")
                return true;
        }
    }
    return false;
}

} // namespace kestrova::servers
