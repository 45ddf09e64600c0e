#include "proc_parse.h"

#include <charconv>
#include <cstdio>
#include <vector>

namespace procparse {
namespace {

template <typename T>
bool num(std::string_view s, T &v) {
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

std::string_view trimLeft(std::string_view s) {
    size_t i = s.find_first_not_of(" \t");
    return i == std::string_view::npos ? std::string_view() : s.substr(i);
}

// The first whitespace-separated word of s.
std::string_view firstWord(std::string_view s) {
    s = trimLeft(s);
    size_t e = s.find_first_of(" \t\n");
    return e == std::string_view::npos ? s : s.substr(0, e);
}

// Calls fn(name, rest) for every "name: rest" line.
template <typename Fn>
void forEachField(std::string_view text, Fn fn) {
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        size_t colon = line.find(':');
        if (colon != std::string_view::npos)
            fn(line.substr(0, colon), line.substr(colon + 1));
    }
}

} // namespace

bool parseStat(std::string_view text, Stat &out) {
    // The name may hold blanks and ')' itself: it ends at the last ')'.
    size_t open = text.find('(');
    size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return false;
    out.comm.assign(text.substr(open + 1, close - open - 1));
    std::vector<std::string_view> f; // f[0] is field 3 (state)
    std::string_view rest = text.substr(close + 1);
    while (f.size() < 22) {
        rest = trimLeft(rest);
        if (!rest.empty() && rest.front() == '\n')
            break;
        if (rest.empty())
            break;
        size_t e = rest.find_first_of(" \t\n");
        f.push_back(rest.substr(0, e));
        rest = e == std::string_view::npos ? std::string_view() : rest.substr(e);
    }
    // state(3) ppid(4) ... flags(9) ... utime(14) stime(15) ... num_threads(20) ...
    // starttime(22) vsize(23) rss(24)
    if (f.size() < 22 || f[0].size() != 1)
        return false;
    out.state = f[0][0];
    return num(f[1], out.ppid) && num(f[6], out.flags) && num(f[11], out.utime) && num(f[12], out.stime) &&
           num(f[17], out.numThreads) && num(f[19], out.starttime) && num(f[20], out.vsize) && num(f[21], out.rss);
}

bool parseStatus(std::string_view text, unsigned &uid, unsigned &gid) {
    bool haveUid = false, haveGid = false;
    forEachField(text, [&](std::string_view name, std::string_view rest) {
        if (name == "Uid")
            haveUid = num(firstWord(rest), uid);
        else if (name == "Gid")
            haveGid = num(firstWord(rest), gid);
    });
    return haveUid && haveGid;
}

std::string parseCmdline(std::string_view raw, size_t maxLen) {
    if (!raw.empty() && raw.back() == '\0')
        raw.remove_suffix(1);
    if (raw.size() > maxLen)
        raw = raw.substr(0, maxLen);
    std::string s(raw);
    for (char &c : s)
        if (c == '\0')
            c = ' ';
    return s;
}

bool parseIo(std::string_view text, Io &out) {
    int found = 0;
    forEachField(text, [&](std::string_view name, std::string_view rest) {
        unsigned long long *field = name == "rchar"   ? &out.rchar
                                    : name == "wchar" ? &out.wchar
                                    : name == "syscr" ? &out.syscr
                                    : name == "syscw" ? &out.syscw
                                                      : nullptr;
        if (field && num(firstWord(rest), *field))
            ++found;
    });
    return found > 0;
}

long long parseBootTime(std::string_view text) {
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (line.substr(0, 6) == "btime ") {
            long long v;
            if (num(firstWord(line.substr(6)), v))
                return v;
        }
    }
    return -1;
}

std::string stateText(char letter) {
    switch (letter) {
    case 'R': return "running";
    case 'S':
    case 'I': return "sleeping";
    case 'Z': return "zombie";
    case 'T':
    case 't': return "traced";
    default: {
        char buf[16];
        std::snprintf(buf, sizeof buf, "unknown %c", letter);
        return buf;
    }
    }
}

bool socketInode(std::string_view link, uint64_t &inode) {
    constexpr std::string_view prefix = "socket:[";
    if (link.size() < prefix.size() + 2 || link.substr(0, prefix.size()) != prefix || link.back() != ']')
        return false;
    return num(link.substr(prefix.size(), link.size() - prefix.size() - 1), inode);
}

void parseUnixInodes(std::string_view text, std::vector<uint64_t> &out) {
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        // Num: RefCount Protocol Flags Type St Inode [Path]
        std::string_view word;
        for (int i = 0; i < 7; i++) {
            word = firstWord(line);
            line = trimLeft(line);
            line.remove_prefix(word.size());
            if (word.empty())
                break;
        }
        uint64_t inode;
        if (!word.empty() && num(word, inode))
            out.push_back(inode);
    }
}

bool allDigits(std::string_view name) {
    if (name.empty())
        return false;
    for (char c : name)
        if (c < '0' || c > '9')
            return false;
    return true;
}

} // namespace procparse
