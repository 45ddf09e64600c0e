#include "depend_logfile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "dependency.h"
#include "kestrova.h"
#include "logtail.h"
#include "qel/strutil.h"
#include "qelselect.h"

linkedList_t *lfList = nullptr;

namespace {

// Compile diagnostics handed back in the caller's record: each distinct
// message is kept for good (PCRE2 has a few dozen), so the pointer stays
// valid.
const char *keptMessage(const std::string &text) {
    static std::mutex mu;
    static auto &kept = *new std::set<std::string>;
    std::lock_guard lock(mu);
    return kept.insert(text).first->c_str();
}

// The text of group n of a match (at most 1023 characters, up to a NUL as a
// C string takes it); empty when unset.
std::string groupText(const char *line, const size_t *ov, int n) {
    size_t start = ov[2 * n], end = ov[2 * n + 1];
    if (start == PCRE2_UNSET || end == PCRE2_UNSET || end < start)
        return {};
    size_t len = end - start;
    if (len > 1023)
        len = 1023;
    return std::string(line + start, strnlen(line + start, len));
}

pcre2_code *compileOrReport(const char *file, const char *expr, const char *&errorStr, int &errorOffset) {
    std::string err;
    size_t off = 0;
    pcre2_code *re = logtail::compileExpression(expr, err, off);
    if (!re) {
        errorStr = keptMessage(err);
        errorOffset = static_cast<int>(off);
        std::fprintf(stderr, "log file %s: expression '%s' does not compile at offset %zu: %s\n", file, expr, off,
                     err.c_str());
    }
    return re;
}

// The record a match fills: large, so kept off the worker's stack; made
// on the first match and kept by its owner (the rule's feed membership,
// or one direct call), which clears only what the last match wrote. The
// adds copy what they keep.
class ScratchRecord {
  public:
    ScratchRecord() = default;
    explicit ScratchRecord(std::shared_ptr<void> &kept) : kept_(&kept) {}
    dependency_t *get() {
        if (kept_) {
            if (!*kept_)
                *kept_ = std::make_shared<dependency_t>();
            return static_cast<dependency_t *>(kept_->get());
        }
        if (!rec_)
            rec_.reset(new dependency_t());
        return rec_.get();
    }

  private:
    std::shared_ptr<void> *kept_ = nullptr;
    std::unique_ptr<dependency_t> rec_;
};

int checkEntry(logfileDependency_t *rule, const char *line, size_t len, int add, const logtail::Matcher &m,
               logtail::MatchErrors *errors, pcre2_match_data *md, ScratchRecord &scratch);
int applyMatch(logfileDependency_t *rule, const char *line, int rc, int add, pcre2_match_data *md,
               ScratchRecord &scratch);

void ruleExpressions(const void *rec, const pcre2_code *out[2], const char *text[2]) {
    auto &rule = *static_cast<const logfileDependency_t *>(rec);
    out[0] = rule.addRe;
    out[1] = rule.remRe;
    text[0] = rule.addExpression;
    text[1] = rule.remExpression;
}

// A rule's share of its file's feed: every line against both expressions.
void ruleLines(void *rec, const logtail::Line *lines, size_t n, logtail::MemberState &st) {
    auto &rule = *static_cast<logfileDependency_t *>(rec);
    pcre2_match_data *md = st.md.get();
    ScratchRecord scratch(st.scratch);
    // Most lines match neither expression: the match is made here and only
    // a match goes on to the add or removal.
    auto check = [&](const logtail::Line &l, int which) {
        int rc = st.expr[which].match(l.text, l.len, md);
        // Only results >= 0 carry offsets; errors (limits, bad UTF-8) are no match.
        if (rc < 0) {
            if (rc != PCRE2_ERROR_NOMATCH)
                st.errors[which].note(rc);
            return;
        }
        if (applyMatch(&rule, l.text, rc, which == 0 ? 1 : 0, md, scratch) > 0) {
            rule.lastMatchOffset = static_cast<off_t>(l.after);
            rule.lastAddRemove = which == 0 ? 1 : 2;
        }
    };
    // Lines that cannot match an expression are passed over without its
    // matcher; a line both may match goes to the add, then the removal.
    if (md && st.may) {
        // Picked by the feed already, with the expressions each may match.
        for (size_t i = 0; i < n; ++i) {
            if (rule.addRe && (st.may[i] & 1))
                check(lines[i], 0);
            if (rule.remRe && (st.may[i] & 2))
                check(lines[i], 1);
        }
    } else if (md) {
        const logtail::Matcher &am = st.expr[0], &rm = st.expr[1];
        size_t a = rule.addRe ? am.nextCandidate(lines, 0, n) : n;
        size_t r = rule.remRe ? rm.nextCandidate(lines, 0, n) : n;
        while (a < n || r < n) {
            if (a <= r) {
                check(lines[a], 0);
                if (r == a) {
                    check(lines[r], 1);
                    r = rm.nextCandidate(lines, r + 1, n);
                }
                a = am.nextCandidate(lines, a + 1, n);
            } else {
                check(lines[r], 1);
                r = rm.nextCandidate(lines, r + 1, n);
            }
        }
    }
    rule.numLines += static_cast<int64_t>(n);
}

void ruleStepped(void *rec, logtail::StepResult r, uint64_t offset, time_t now, logtail::MemberState &st) {
    auto &rule = *static_cast<logfileDependency_t *>(rec);
    st.errors[0].report("depend logfile", rule.filename, rule.addExpression);
    st.errors[1].report("depend logfile", rule.filename, rule.remExpression);
    if (r == logtail::kCaughtUp || r == logtail::kMore)
        rule.lastOffset = static_cast<off_t>(offset);
    if (r == logtail::kCaughtUp) {
        rule.firstTime = 0;
        rule.lastScan = now;
    }
}

// The lines of a batch that may match either expression.
uint64_t ruleCandidates(const void *rec, const logtail::Line *lines, size_t n, logtail::MemberState &st) {
    auto &rule = *static_cast<const logfileDependency_t *>(rec);
    uint64_t may = 0;
    for (int which = 0; which < 2; ++which) {
        const logtail::Matcher &m = st.expr[which];
        if (!(which == 0 ? rule.addRe : rule.remRe))
            continue;
        if (m.prefix.len == 0)
            return ~uint64_t{0};
        for (size_t i = m.nextCandidate(lines, 0, n); i < n; i = m.nextCandidate(lines, i + 1, n))
            may |= uint64_t{1} << i;
    }
    return may;
}

void rulePassed(void *rec, size_t n) { static_cast<logfileDependency_t *>(rec)->numLines += static_cast<int64_t>(n); }

const logtail::MemberOps ruleOps{ruleExpressions, ruleLines, ruleStepped, false, ruleCandidates, rulePassed};

} // namespace

int substituteArgs(const char *tmpl, const char *line, const size_t *ov, int count, char *result,
                   size_t resultSize) {
    if (!tmpl || !line || !ov || !result || resultSize < 1)
        return -3;
    const size_t cut = resultSize - 1;
    std::string text(tmpl, strnlen(tmpl, cut));
    // 1 for each character that comes from the template itself.
    std::string own(text.size(), '\1');
    auto ownPlaceholder = [&](size_t i, int n) {
        return i + 1 < text.size() && text[i] == '$' && text[i + 1] == '0' + n && own[i] && own[i + 1];
    };
    int replaced = 0;
    for (int pass = 0; pass < 5; ++pass) {
        int field = 0;
        for (int n = 1; n <= 5; ++n)
            for (size_t i = 0; i + 1 < text.size() && field != n; ++i)
                if (ownPlaceholder(i, n))
                    field = n;
        if (field == 0 || field >= count)
            break;
        std::string group = groupText(line, ov, field);
        std::string next, nextOwn;
        for (size_t i = 0; i < text.size();) {
            if (ownPlaceholder(i, field)) {
                next += group;
                nextOwn.append(group.size(), '\0');
                i += 2;
            } else {
                next += text[i];
                nextOwn += own[i];
                ++i;
            }
        }
        if (next.size() > cut) {
            next.resize(cut);
            nextOwn.resize(cut);
        }
        text.swap(next);
        own.swap(nextOwn);
        replaced = 1;
    }
    qelCopyStr(result, resultSize, text.c_str());
    return replaced;
}

int dependencyCheckLogEntryLen(logfileDependency_t *rule, const char *line, size_t len, int add) {
    if (!rule)
        return -1;
    logtail::MatchData md;
    logtail::Matcher m;
    m.set(add ? rule->addRe : rule->remRe);
    ScratchRecord scratch;
    return checkEntry(rule, line, len, add, m, nullptr, md.get(), scratch);
}

namespace {

// The texts of a dependency record and the parts around them.
struct Span {
    size_t from, to;
};
constexpr Span textOf(size_t offset, size_t size) { return Span{offset, offset + size}; }
#define KESTROVA_TEXT(f) textOf(offsetof(dependency_t, f), sizeof(dependency_t::f))
constexpr std::array<Span, 6> kTexts = {KESTROVA_TEXT(dependClient), KESTROVA_TEXT(dependServer),
                                        KESTROVA_TEXT(originalClient), KESTROVA_TEXT(originalServer),
                                        KESTROVA_TEXT(args), KESTROVA_TEXT(name)};
#undef KESTROVA_TEXT

// Everything outside the texts, whatever the order of the fields.
constexpr std::array<Span, kTexts.size() + 1> otherParts() {
    std::array<Span, kTexts.size()> t = kTexts;
    std::sort(t.begin(), t.end(), [](const Span &a, const Span &b) { return a.from < b.from; });
    std::array<Span, kTexts.size() + 1> gaps{};
    size_t at = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        gaps[i] = Span{at, t[i].from};
        at = t[i].to;
    }
    gaps[t.size()] = Span{at, sizeof(dependency_t)};
    return gaps;
}
constexpr auto kOthers = otherParts();

// Makes a record zeroed once and used since all zero again at a fraction
// of zeroing its 7 KB: every text in it was written as one terminated
// string over zeros, so clearing each up to its end clears it whole; the
// rest (a few hundred bytes) is zeroed.
void clearUsed(dependency_t *d) {
    auto *bytes = reinterpret_cast<unsigned char *>(d);
    for (const Span &s : kOthers)
        if (s.to > s.from)
            std::memset(bytes + s.from, 0, s.to - s.from);
    for (const Span &s : kTexts) {
        char *text = reinterpret_cast<char *>(bytes + s.from);
        if (text[0])
            std::memset(text, 0, strnlen(text, s.to - s.from));
    }
}

int checkEntry(logfileDependency_t *rule, const char *line, size_t len, int add, const logtail::Matcher &m,
               logtail::MatchErrors *errors, pcre2_match_data *md, ScratchRecord &scratch) {
    if (!rule || !line)
        return -1;
    if (!m.code || !md)
        return -1;
    int rc = m.match(line, len, md);
    // Only results >= 0 carry offsets; errors (limits, bad UTF-8) are no match.
    if (rc < 0) {
        if (rc != PCRE2_ERROR_NOMATCH && errors)
            errors->note(rc);
        return 0;
    }
    return applyMatch(rule, line, rc, add, md, scratch);
}

// A match (rc >= 0) of the rule's add (add 1) or remove expression on line,
// its groups in md: counted, and its dependency added or removed.
int applyMatch(logfileDependency_t *rule, const char *line, int rc, int add, pcre2_match_data *md,
               ScratchRecord &scratch) {
    const size_t *ov = pcre2_get_ovector_pointer(md);
    time_t now = time(nullptr);
    ++rule->numMatches;
    rule->lastMatchTime = now;
    if (ov[0] != PCRE2_UNSET && ov[1] >= ov[0])
        qelCopyMem(rule->lastMatchStr, 1023, line + ov[0], ov[1] - ov[0]);
    else
        rule->lastMatchStr[0] = '\0';

    // Clear only what the record's last use left.
    dependency_t *const d = scratch.get();
    clearUsed(d);
    d->lastUpdate = now;
    d->dtype = static_cast<dependencyType_t>(rule->dtype);
    d->dsrc = dependSrcLogfile;
    d->ipVersion = 0;
    d->logfileDependencyAgeOut = rule->timeout;
    if (std::strchr(rule->dependClient, '$'))
        substituteField(rule->dependClient, line, ov, rc, d->dependClient, sizeof d->dependClient);
    else
        qelCopyField(d->dependClient, rule->dependClient);
    if (std::strchr(rule->dependServer, '$'))
        substituteField(rule->dependServer, line, ov, rc, d->dependServer, sizeof d->dependServer);
    else
        qelCopyField(d->dependServer, rule->dependServer);
    if (std::strchr(rule->args, '$'))
        substituteArgs(rule->args, line, ov, rc, d->args, 1024);
    else
        qelCopyField(d->args, rule->args);

    if (isThisMe(d->dependClient) == 1)
        d->pov = dependOutbound;
    else if (isThisMe(d->dependServer) == 1)
        d->pov = dependInbound;
    else
        d->pov = dependTransit;
    if (add) {
        if (d->pov == dependTransit)
            addTransitDependency(d);
        else
            addLocalDependency(d);
        return 1;
    }
    if (d->pov == dependTransit)
        removeTransitDependency(d);
    else
        removeLocalDependency(d);
    return 2;
}

} // namespace

extern "C" {

int init_depend_logfiles(void) {
    if (!lfList)
        lfList = newLinkedList(sizeof(logfileDependency_t), compareDependLogfile, printDependLogfile,
                               freeDependLogfile, "dependLogfileList", 1);
    return 0;
}

logfileDependency_t *newDependLogfile(void) {
    auto *r = static_cast<logfileDependency_t *>(std::calloc(1, sizeof(logfileDependency_t)));
    if (!r)
        std::perror("newDependLogfile malloc failed");
    return r;
}

int addLogfileDependency(logfileDependency_t *rule) {
    if (!rule || !lfList)
        return -1;
    logfileDependency_t *r = newDependLogfile();
    if (!r)
        return -1;
    std::memcpy(r, rule, sizeof *r);
    r->firstTime = 1;
    r->addRe = r->remRe = nullptr;
    r->addErrorStr = r->remErrorStr = nullptr;
    r->addErrorOffset = r->remErrorOffset = 0;
    if (r->addExpression[0]) {
        r->addRe = compileOrReport(r->filename, r->addExpression, rule->addErrorStr, rule->addErrorOffset);
        if (!r->addRe) {
            std::free(r);
            return -1;
        }
    }
    if (r->remExpression[0]) {
        r->remRe = compileOrReport(r->filename, r->remExpression, rule->remErrorStr, rule->remErrorOffset);
        if (!r->remRe) {
            std::printf("addLogfileDependency: pcre compile failed\n");
            std::fflush(stdout);
            pcre2_code_free(r->addRe);
            std::free(r);
            return -1;
        }
    }
    // Lines appended from now on count, also those before the first scan.
    logtail::feeds().join(r, &ruleOps, r->filename);
    if (insertHead(lfList, r) != 0) {
        logtail::feeds().leave(r);
        pcre2_code_free(r->addRe);
        pcre2_code_free(r->remRe);
        std::free(r);
        return -1;
    }
    return 1;
}

int pruneLogfileDependencyEntries(void) {
    if (!lfList)
        return -1;
    return drainLinkedList(lfList);
}

int compareDependLogfile(void *a, void *b) {
    if (!a || !b)
        return -1;
    return std::memcmp(a, b, sizeof(logfileDependency_t)) == 0 ? 0 : 1;
}

int printDependLogfile(void *rec) {
    auto *r = static_cast<logfileDependency_t *>(rec);
    if (!r)
        return -1;
    std::printf("dependLogfile: '%s' %d '%s' '%s' '%s' '%s' %d %d\n", r->filename, r->dtype, r->addExpression,
                r->remExpression, r->dependClient, r->dependServer, r->scanInterval, r->timeout);
    return 0;
}

int freeDependLogfile(void *rec) {
    auto *r = static_cast<logfileDependency_t *>(rec);
    if (!r)
        return -1;
    logtail::feeds().leave(r);
    pcre2_code_free(r->addRe);
    pcre2_code_free(r->remRe);
    std::free(r);
    return 0;
}

int dependencyScanLogfile(logfileDependency_t *rule, time_t now) {
    if (!rule)
        return -1;
    // One whole scan of the rule's file, for every rule and monitor that
    // reads it (the list locks are taken step by step).
    return logtail::scanFeedOf(rule, now);
}

int scanLogfiles(void) {
    time_t now = time(nullptr);
    logtail::scanFeeds(
        lfList,
        [now](const void *rec) {
            auto *r = static_cast<const logfileDependency_t *>(rec);
            return now - r->lastScan > r->scanInterval;
        },
        now, kestrovaStopping);
    return 1;
}

void *depend_logfiles_dowork(void *) {
    logtail::runScanWorker("depend logfile", scanLogfiles);
    return nullptr;
}

int dependencyCheckLogEntry(logfileDependency_t *rule, const char *line, int add) {
    if (!line)
        return -1;
    return dependencyCheckLogEntryLen(rule, line, std::strlen(line), add);
}

int substituteField(const char *tmpl, const char *line, const size_t *offsets, int count, char *result,
                    int size) {
    if (!tmpl || !line || !offsets || !result || count < 1 || size < 20)
        return -3;
    // The highest of "$1" to "$5" present takes the group.
    int field = 0;
    for (const char *p = std::strchr(tmpl, '$'); p; p = std::strchr(p + 1, '$'))
        if (p[1] >= '1' && p[1] <= '5' && p[1] - '0' > field)
            field = p[1] - '0';
    if (field == 0 || field >= count)
        return -1;
    // Written straight into result, cut at size - 1, as replacing every
    // occurrence left to right and copying would give; from a copy of the
    // template when the two overlap.
    std::string own;
    size_t tlen = std::strlen(tmpl);
    auto t0 = reinterpret_cast<uintptr_t>(tmpl), r0 = reinterpret_cast<uintptr_t>(result);
    if (r0 < t0 + tlen + 1 && t0 < r0 + static_cast<size_t>(size)) {
        own.assign(tmpl, tlen);
        tmpl = own.c_str();
    }
    const char *group = "";
    size_t glen = 0;
    size_t start = offsets[2 * field], end = offsets[2 * field + 1];
    if (start != PCRE2_UNSET && end != PCRE2_UNSET && end >= start) {
        group = line + start;
        glen = strnlen(group, std::min<size_t>(end - start, 1023));
    }
    const char mark = static_cast<char>('0' + field);
    const size_t cap = static_cast<size_t>(size) - 1;
    size_t w = 0;
    for (const char *t = tmpl; *t && w < cap;) {
        if (t[0] == '$' && t[1] == mark) {
            size_t n = std::min(glen, cap - w);
            std::memcpy(result + w, group, n);
            w += n;
            t += 2;
        } else {
            result[w++] = *t++;
        }
    }
    result[w] = '\0';
    return 1;
}

char *replace(const char *src, const char *pattern, const char *replacement) {
    if (!src || !pattern || !replacement)
        return nullptr;
    size_t plen = std::strlen(pattern), rlen = std::strlen(replacement), slen = std::strlen(src);
    size_t count = 0;
    // An empty pattern occurs nowhere.
    if (plen)
        for (const char *p = std::strstr(src, pattern); p; p = std::strstr(p + plen, pattern))
            ++count;
    size_t outLen = slen - count * plen + count * rlen;
    char *out = static_cast<char *>(std::malloc(outLen + 1));
    if (!out)
        return nullptr;
    char *w = out;
    const char *s = src;
    for (size_t i = 0; i < count; ++i) {
        const char *p = std::strstr(s, pattern);
        std::memcpy(w, s, static_cast<size_t>(p - s));
        w += p - s;
        std::memcpy(w, replacement, rlen);
        w += rlen;
        s = p + plen;
    }
    std::memcpy(w, s, std::strlen(s) + 1);
    return out;
}

qelErrorStatus_t var_lfDependTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("var_lfDependTable", key, columns, out);
    if (!sel.valid() || !lfList)
        return genError;
    {
        logtail::ListWaiter waiting;
        listLock(lfList);
    }
    for (linkedElement_t *e = lfList->head; e; e = e->next) {
        auto *r = static_cast<logfileDependency_t *>(e->data);
        if (!r)
            continue;
        // "%d.%s.%s.%s", at most 2047 characters.
        std::string key = std::to_string(r->dtype);
        ((((key += '.') += r->filename) += '.') += r->addExpression) += '.';
        key += r->remExpression;
        if (key.size() > 2047)
            key.resize(2047);
        const char *rowKey = key.c_str();
        if (!sel.selects(rowKey))
            continue;
        bool ok = sel.addRow(rowKey, [&](unsigned column, qelVariable_t *v) {
            switch (column) {
            case 1: qelSetValue(v, displayString, r->filename); return true;
            case 2: qelSetValueInt(v, integer, r->dtype); return true;
            case 3: qelSetValue(v, displayString, r->addExpression); return true;
            case 4: qelSetValue(v, displayString, r->remExpression); return true;
            case 5: qelSetValue(v, displayString, r->dependClient); return true;
            case 6: qelSetValue(v, displayString, r->dependServer); return true;
            case 7: qelSetValue(v, displayString, r->args); return true;
            case 8: qelSetValueInt(v, integer, r->scanInterval); return true;
            case 9: qelSetValueInt(v, integer, r->timeout); return true;
            case 10: logtail::setTimeCell(v, r->lastScan); return true;
            case 13: logtail::setTimeCell(v, r->lastMatchTime); return true;
            case 17: logtail::setTimeCell(v, r->lastUpdateTime); return true;
            case 11: qelSetValueInt(v, integer, static_cast<long long>(r->lastOffset)); return true;
            case 12: qelSetValueInt(v, integer, r->numMatches); return true;
            case 14: qelSetValueInt(v, integer, static_cast<long long>(r->lastMatchOffset)); return true;
            case 15: logtail::setMatchStringCell(v, r->lastMatchStr); return true;
            case 16: qelSetValueInt(v, integer, r->lastAddRemove); return true;
            case 18: qelSetValueInt(v, integer, r->numLines); return true;
            case 19: qelSetValue(v, displayString, r->description); return true;
            default: return false;
            }
        });
        if (!ok) {
            listUnlock(lfList);
            return sel.status();
        }
    }
    qelErrorStatus_t st = sel.finish("var_lfDependTable", debugLevel.load(std::memory_order_relaxed));
    listUnlock(lfList);
    return st;
}

} // extern "C"
