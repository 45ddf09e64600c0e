// Print servers of this host's printers: CUPS's queues while cupsd runs,
// else the static printer files (Solaris-style printers.conf, BSD printcap).
#include <cstring>
#include <ctime>

#include "depend_servers.h"
#include "depend_services.h"
#include "discovery.h"
#include "textscan.h"

namespace kestrova::servers {

namespace {

bool contains(std::string_view s, std::string_view part) {
    return s.find(part) != std::string_view::npos;
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

// One DeviceURI (its '/' and ';' already blanks) of the CUPS queue named
// queue as a printer finding; false for schemes that name no print server.
bool printerOfUri(std::string_view uri, std::string_view queue, bool isDefault, Found &found) {
    if (textscan::startsWith(uri, "smb:  ")) {
        std::vector<std::string> w = services::words(uri.substr(4), 3, kEntry);
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
    // lpd's path is the server's queue.
    if (textscan::startsWith(uri, "lpd:  ")) {
        std::vector<std::string> w = services::words(uri.substr(6), 2, kEntry);
        if (w.size() < 2)
            return false;
        found.host = authorityHost(w[0]);
        found.args = printerArgs(w[1], "lpd", isDefault);
        return !found.host.empty();
    }
    // A CUPS server's queue is the NAME of /printers/NAME or /classes/NAME;
    // any other path (IPP Everywhere's /ipp/print, a JetDirect port's) or
    // none names the device, whose queue is this CUPS queue.
    static const struct {
        std::string_view prefix, proto;
    } schemes[] = {{"ipp:  ", "ipp"}, {"ipps:  ", "ipps"}, {"socket:  ", "socket"}};
    for (const auto &s : schemes) {
        if (!textscan::startsWith(uri, s.prefix))
            continue;
        std::string_view rest = uri.substr(s.prefix.size());
        rest = rest.substr(0, rest.find('?'));
        std::vector<std::string> w = services::words(rest, 3, kEntry);
        if (w.empty())
            return false;
        std::string_view printer = queue;
        if (w.size() == 3 && (w[1] == "printers" || w[1] == "classes"))
            printer = w[2];
        found.host = authorityHost(w[0]);
        found.args = printerArgs(printer, s.proto, isDefault);
        return !found.host.empty() && !printer.empty();
    }
    return false;
}

} // namespace

std::vector<Found> parseCupsPrinters(std::string_view text) {
    std::vector<std::string_view> lines = boundedLines(text, kLine);
    std::vector<Found> out;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (textscan::startsWith(line, "#"))
            continue;
        bool isDefault = contains(line, "<DefaultPrinter ");
        if (!isDefault && !contains(line, "<Printer "))
            continue;
        // The queue's name: the word after the tag, up to '>'.
        std::string_view queue = line.substr(line.find(isDefault ? "<DefaultPrinter " : "<Printer "));
        queue.remove_prefix(queue.find(' ') + 1);
        queue = queue.substr(0, queue.find('>'));
        std::string uri;
        // CUPS closes a default printer's block with </DefaultPrinter>.
        for (++i; i < lines.size(); ++i) {
            std::string_view l = lines[i];
            if (contains(l, "</Printer>") || contains(l, "</DefaultPrinter>"))
                break;
            if (textscan::startsWith(l, "DeviceURI "))
                uri = std::string(l.substr(10));
        }
        if (uri.empty())
            continue;
        Found f;
        if (printerOfUri(replaced(uri, "/;", ' '), textscan::trim(queue), isDefault, f))
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
        std::vector<std::string> name = services::words(entry, 1, kEntry);
        std::vector<std::string> addr = services::words(std::string_view(entry).substr(pos + 8), 2, kEntry);
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
                fields.push_back(textscan::trim(e.substr(start, i - start)));
                start = i + 1;
            }
        }
        std::string printer(textscan::trim(fields[0].substr(0, fields[0].find('|'))));
        std::string server, queue = "lp";
        for (size_t i = 1; i < fields.size(); ++i) {
            if (textscan::startsWith(fields[i], "rm="))
                server = authorityHost(fields[i].substr(3));
            else if (textscan::startsWith(fields[i], "rp="))
                queue = std::string(fields[i].substr(3));
        }
        if (!printer.empty() && !server.empty())
            out.push_back({server, "printer='" + printer + "' proto='lpd' destination='" + queue + "'"});
    }
    return out;
}

} // namespace kestrova::servers

using kestrova::services::addFound;
using kestrova::services::readConfig;
namespace servers = kestrova::servers;

namespace {

void addPrinters(const std::vector<servers::Found> &found) {
    for (const servers::Found &f : found)
        addFound(dependPrinter, dependSrcConfig, f.host, f.args);
}

} // namespace

extern "C" int dependency_discover_cups(void) {
    if (!isProcessRunning("cupsd"))
        return 0;
    std::string text;
    if (!readConfig("/etc/cups/printers.conf", text))
        return 0;
    addPrinters(servers::parseCupsPrinters(text));
    return 1;
}

extern "C" int dependency_discover_printcap(void) {
    if (isProcessRunning("cupsd"))
        return 0;
    std::string text;
    if (readConfig("/etc/printers.conf", text)) {
        addPrinters(servers::parsePrintersConf(text));
        return 1;
    }
    // Linux's lpd keeps its queues in printcap; a queue served here (one
    // CUPS wrote while it ran) is no dependency.
    if (!readConfig("/etc/printcap", text))
        return 0;
    for (const servers::Found &f : servers::parsePrintcap(text))
        if (isThisMe(f.host.c_str()) != 1)
            addFound(dependPrinter, dependSrcConfig, f.host, f.args);
    return 1;
}

extern "C" int dependency_discover_printer(void) {
    dependency_discover_cups();
    dependency_discover_printcap();
    return 0;
}
