#include "sysinfo_parse.h"
#include "textscan.h"

#include <charconv>
#include <cmath>

namespace sysinfoparse {
namespace {

using textscan::eachLine;
using textscan::words;

bool num(std::string_view s, uint64_t &v) {
    if (s.empty())
        return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool startsWith(std::string_view s, std::string_view p) {
    return s.substr(0, p.size()) == p;
}

// The path itself or something below it.
bool under(std::string_view path, std::string_view dir) {
    return startsWith(path, dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

} // namespace

bool parseMeminfo(std::string_view text, uint64_t &totalKB, uint64_t &availKB) {
    bool haveTotal = false, haveAvail = false, haveFree = false;
    uint64_t total = 0, avail = 0, freeKB = 0;
    eachLine(text, [&](std::string_view line) {
        auto w = words(line);
        if (w.size() < 2)
            return;
        uint64_t v;
        if (!num(w[1], v))
            return;
        if (w[0] == "MemTotal:")
            haveTotal = true, total = v;
        else if (w[0] == "MemAvailable:")
            haveAvail = true, avail = v;
        else if (w[0] == "MemFree:")
            haveFree = true, freeKB = v;
    });
    if (!haveTotal || !(haveAvail || haveFree))
        return false;
    totalKB = total;
    availKB = haveAvail ? avail : freeKB;
    if (availKB > totalKB)
        availKB = totalKB;
    return true;
}

bool parseSwaps(std::string_view text, uint64_t &totalKB, uint64_t &usedKB) {
    uint64_t total = 0, used = 0;
    bool header = false;
    eachLine(text, [&](std::string_view line) {
        auto w = words(line);
        if (w.empty())
            return;
        if (w[0] == "Filename") {
            header = true;
            return;
        }
        // Filename Type Size Used Priority (a path with blanks is escaped).
        uint64_t size, u;
        if (w.size() >= 4 && num(w[2], size) && num(w[3], u)) {
            total += size;
            used += u;
        }
    });
    if (!header)
        return false;
    totalKB = total;
    usedKB = used > total ? total : used;
    return true;
}

std::string decodeOctal(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
            s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

std::vector<Mount> parseMountinfo(std::string_view text) {
    std::vector<Mount> out;
    eachLine(text, [&](std::string_view line) {
        // id parent major:minor root mountpoint options [optional...] - type source superoptions
        auto w = words(line);
        if (w.size() < 7)
            return;
        size_t dash = 6;
        while (dash < w.size() && w[dash] != "-")
            ++dash;
        if (dash + 2 >= w.size())
            return;
        Mount m;
        m.mountpt = decodeOctal(w[4]);
        m.fstype = decodeOctal(w[dash + 1]);
        m.special = decodeOctal(w[dash + 2]);
        if (m.mountpt.empty() || m.mountpt[0] != '/')
            return;
        out.push_back(std::move(m));
    });
    return out;
}

bool skipMount(std::string_view mountpt, std::string_view fstype) {
    if (fstype == "swap" || fstype == "autofs")
        return true; // statting an automount trigger would mount it
    for (std::string_view p : {"/proc", "/dev", "/xfn", "/etc/mnttab", "/vol", "/home", "/net"})
        if (startsWith(mountpt, p))
            return true;
    return under(mountpt, "/sys");
}

int remoteServer(std::string_view special, std::string_view fstype, std::string &server, int &ipVersion) {
    ipVersion = 0;
    std::string_view host;
    if (startsWith(special, "//") && (fstype == "cifs" || fstype == "smb3" || fstype == "smbfs")) {
        host = special.substr(2);
        host = host.substr(0, host.find('/'));
    } else {
        size_t colon = special.rfind(':');
        if (colon == std::string_view::npos || special.empty() || special[0] == '/')
            return 0;
        host = special.substr(0, colon);
    }
    // Credentials ("user@host:/path") are not part of the server.
    size_t at = host.rfind('@');
    if (at != std::string_view::npos)
        host = host.substr(at + 1);
    size_t close = host.find(']');
    if (close != std::string_view::npos) {
        host = host.substr(0, close);
        ipVersion = 6;
    }
    size_t open = host.find('[');
    if (open != std::string_view::npos) {
        host = host.substr(open + 1);
        ipVersion = 6;
    }
    server = std::string(host);
    return 1;
}

float percentUsed(uint64_t used, uint64_t avail) {
    double div = static_cast<double>(used) + static_cast<double>(avail);
    if (div == 0)
        div = 1;
    double p = static_cast<double>(used) / div * 100.0;
    double whole = std::floor(p);
    if (p - whole >= 0.5)
        p = whole + 1;
    return static_cast<float>(p);
}

std::string kernelVersion(std::string_view version, std::string_view release) {
    auto trim = [](std::string_view s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
            s.remove_suffix(1);
        return s;
    };
    return std::string(trim(version)) + " " + std::string(trim(release));
}

int wordSizeOf(std::string_view machine) {
    if (machine.empty())
        return 0;
    for (std::string_view n : {"64", "sparcv9", "s390x", "amd64", "AMD64", "x86-64"})
        if (machine.find(n) != std::string_view::npos)
            return 64;
    return 32;
}

} // namespace sysinfoparse
