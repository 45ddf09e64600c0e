#include "depend_logfile.h"

#include <algorithm>
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
#include <unordered_set>

#include "dependency.h"
#include "kestrova.h"
#include "logtail.h"
#include "qel/log.h"
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
        qel::logError("log file %s: expression '%s' does not compile at offset %zu: %s\n", file, expr, off,
                      err.c_str());
    }
    return re;
}

// The record a match fills: large, so kept off the worker's stack; made
// on the first match and kept by its owner (the rule's feed membership,
// or one direct call). The adds copy what they keep.
dependency_t *scratchRecord(std::shared_ptr<void> &kept) {
    if (!kept)
        kept = std::make_shared<dependency_t>();
    return static_cast<dependency_t *>(kept.get());
}

template <size_t N>
void clearText(char (&text)[N]) {
    std::memset(text, 0, strnlen(text, N));
}

// Makes a record zeroed once and used since all zero again without writing
// all of its 7 KB for every line a rule takes: the fields
// ahead of the texts are zeroed, and each text up to its end, as every text
// is written as one terminated string over zeros.
void clearUsed(dependency_t *d) {
    static_assert(offsetof(dependency_t, args) + sizeof d->args + sizeof d->dependClient + sizeof d->dependServer +
                              sizeof d->originalClient + sizeof d->originalServer ==
                          offsetof(dependency_t, name) &&
                      offsetof(dependency_t, name) + sizeof d->name + alignof(dependency_t) > sizeof(dependency_t),
                  "the texts close the record");
    std::memset(static_cast<void *>(d), 0, offsetof(dependency_t, args));
    clearText(d->args);
    clearText(d->dependClient);
    clearText(d->dependServer);
    clearText(d->originalClient);
    clearText(d->originalServer);
    clearText(d->name);
}

// What one match asks of the graph: the dependency it names, added or
// removed, as of when it matched.
struct RuleOp {
    bool add = false;
    dependencyType_t dtype{};
    int ageOut = 0;
    time_t when = 0;
    std::string client, server, args;
};

// A match (rc >= 0) of the rule's add (add 1) or remove expression on line,
// its groups in md: counted, and the dependency it names made into an op.
RuleOp matchOp(logfileDependency_t *rule, const char *line, int rc, int add, pcre2_match_data *md) {
    const size_t *ov = pcre2_get_ovector_pointer(md);
    time_t now = time(nullptr);
    ++rule->numMatches;
    rule->lastMatchTime = now;
    if (ov[0] != PCRE2_UNSET && ov[1] >= ov[0])
        qelCopyMem(rule->lastMatchStr, 1023, line + ov[0], ov[1] - ov[0]);
    else
        rule->lastMatchStr[0] = '\0';

    RuleOp op;
    op.add = add != 0;
    op.dtype = static_cast<dependencyType_t>(rule->dtype);
    op.ageOut = rule->timeout;
    op.when = now;
    // A text without "$" is copied as the record's field holds it; a
    // substitution is cut at size.
    auto field = [&](const char *tmpl, std::string &out, int size, bool isArgs) {
        if (!std::strchr(tmpl, '$')) {
            out.assign(tmpl, strnlen(tmpl, isArgs ? sizeof(dependency_t::args) - 1 : static_cast<size_t>(size) - 1));
            return;
        }
        char buf[sizeof(dependency_t::args)] = "";
        if (isArgs)
            substituteArgs(tmpl, line, ov, rc, buf, size);
        else
            substituteField(tmpl, line, ov, rc, buf, size);
        out = buf;
    };
    field(rule->dependClient, op.client, static_cast<int>(sizeof(dependency_t::dependClient)), false);
    field(rule->dependServer, op.server, static_cast<int>(sizeof(dependency_t::dependServer)), false);
    field(rule->args, op.args, 1024, true);
    return op;
}

// Applies one op to the graph through the caller's scratch record; 1 for
// an add, 2 for a removal.
int applyOp(const RuleOp &op, std::shared_ptr<void> &scratch) {
    dependency_t *const d = scratchRecord(scratch);
    clearUsed(d);
    d->lastUpdate = op.when;
    d->dtype = op.dtype;
    d->dsrc = dependSrcLogfile;
    d->ipVersion = 0;
    d->logfileDependencyAgeOut = op.ageOut;
    qelCopyMem(d->dependClient, sizeof d->dependClient, op.client.data(), op.client.size());
    qelCopyMem(d->dependServer, sizeof d->dependServer, op.server.data(), op.server.size());
    qelCopyMem(d->args, sizeof d->args, op.args.data(), op.args.size());

    if (isThisMe(d->dependClient) == 1)
        d->pov = dependOutbound;
    else if (isThisMe(d->dependServer) == 1)
        d->pov = dependInbound;
    else
        d->pov = dependTransit;
    if (op.add) {
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

// The ops of the rules' current step, in file order (every rule of a file
// meets the others' lines in order). Applied when the step ends; an add
// that a later add of the same dependency in the step repeats, with no
// removal of it between, is left out: the later add refreshes the record
// anyway, and a busy log names the same few servers thousands of times a
// step. Only the rules' worker fills it; bounded by kMaxPendingOps.
std::vector<RuleOp> pendingOps;
constexpr size_t kMaxPendingOps = 4096;

std::string opKey(const RuleOp &op) {
    std::string key = std::to_string(static_cast<int>(op.dtype));
    for (const std::string *part : {&op.client, &op.server, &op.args}) {
        key += '\0';
        key += *part;
    }
    return key;
}

void flushPendingOps(std::shared_ptr<void> &scratch) {
    std::vector<bool> keep(pendingOps.size(), true);
    std::unordered_set<std::string> addedLater;
    for (size_t i = pendingOps.size(); i-- > 0;) {
        std::string key = opKey(pendingOps[i]);
        if (!pendingOps[i].add)
            addedLater.erase(key);
        else if (!addedLater.insert(std::move(key)).second)
            keep[i] = false;
    }
    for (size_t i = 0; i < pendingOps.size(); ++i)
        if (keep[i])
            applyOp(pendingOps[i], scratch);
    pendingOps.clear();
}

// Matches line against one of the rule's expressions; a match's op is
// queued for the step's end (queue given) or applied at once.
int checkEntry(logfileDependency_t *rule, const char *line, size_t len, int add, const logtail::Matcher &m,
               logtail::MatchErrors *errors, pcre2_match_data *md, std::vector<RuleOp> *queue,
               std::shared_ptr<void> &scratch) {
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
    RuleOp op = matchOp(rule, line, rc, add, md);
    if (!queue)
        return applyOp(op, scratch);
    queue->push_back(std::move(op));
    if (queue->size() >= kMaxPendingOps)
        flushPendingOps(scratch);
    return add ? 1 : 2;
}

void ruleExpressions(const void *rec, const pcre2_code *out[2]) {
    auto &rule = *static_cast<const logfileDependency_t *>(rec);
    out[0] = rule.addRe;
    out[1] = rule.remRe;
}

// A rule's share of its file's feed: each line against the add, then the
// remove expression.
void ruleLine(void *rec, const char *text, size_t len, uint64_t after, logtail::MemberState &st) {
    auto &rule = *static_cast<logfileDependency_t *>(rec);
    for (int which = 0; which < 2; ++which) {
        int add = which == 0 ? 1 : 0;
        if (st.expr[which].code && checkEntry(&rule, text, len, add, st.expr[which], &st.errors[which], st.md.get(),
                                              &pendingOps, st.scratch) > 0) {
            rule.lastMatchOffset = static_cast<off_t>(after);
            rule.lastAddRemove = add ? 1 : 2;
        }
    }
    ++rule.numLines;
}

void ruleStepped(void *rec, logtail::StepResult r, uint64_t offset, time_t now, logtail::MemberState &st) {
    auto &rule = *static_cast<logfileDependency_t *>(rec);
    flushPendingOps(st.scratch);
    if (r != logtail::kMore) {
        st.errors[0].report("depend logfile", rule.filename, rule.addExpression);
        st.errors[1].report("depend logfile", rule.filename, rule.remExpression);
    }
    if (r == logtail::kCaughtUp || r == logtail::kMore)
        rule.lastOffset = static_cast<off_t>(offset);
    if (r == logtail::kCaughtUp) {
        rule.firstTime = 0;
        rule.lastScan = now;
    }
}

const logtail::MemberOps ruleOps{ruleExpressions, ruleLine, ruleStepped};

} // namespace

int substituteArgs(const char *tmpl, const char *line, const size_t *ov, int count, char *result, size_t resultSize) {
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
    std::shared_ptr<void> scratch;
    return checkEntry(rule, line, len, add, m, nullptr, md.get(), nullptr, scratch);
}

extern "C" {

int init_depend_logfiles(void) {
    if (!lfList)
        lfList = newLinkedList(sizeof(logfileDependency_t), compareDependLogfile, printDependLogfile, freeDependLogfile,
                               "dependLogfileList", 1);
    return 0;
}

logfileDependency_t *newDependLogfile(void) {
    auto *r = static_cast<logfileDependency_t *>(std::calloc(1, sizeof(logfileDependency_t)));
    if (!r)
        qel::logError("newDependLogfile malloc failed: %s\n", std::strerror(errno));
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

int substituteField(const char *tmpl, const char *line, const size_t *offsets, int count, char *result, int size) {
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
            using C = kestrova::LfDependColumn;
            switch (static_cast<C>(column)) {
            case C::lfLogfile: qelSetValue(v, displayString, r->filename); return true;
            case C::lfDependType: qelSetValueInt(v, integer, r->dtype); return true;
            case C::lfAddExpression: qelSetValue(v, displayString, r->addExpression); return true;
            case C::lfRemExpression: qelSetValue(v, displayString, r->remExpression); return true;
            case C::lfDependClient: qelSetValue(v, displayString, r->dependClient); return true;
            case C::lfDependServer: qelSetValue(v, displayString, r->dependServer); return true;
            case C::lfDependArgs: qelSetValue(v, displayString, r->args); return true;
            case C::lfScanInterval: qelSetValueInt(v, integer, r->scanInterval); return true;
            case C::lfTimeout: qelSetValueInt(v, integer, r->timeout); return true;
            case C::lfLastScanTime: logtail::setTimeCell(v, r->lastScan); return true;
            case C::lfLastMatch: logtail::setTimeCell(v, r->lastMatchTime); return true;
            case C::lfLastUpdateTime: logtail::setTimeCell(v, r->lastUpdateTime); return true;
            case C::lfLastOffset: qelSetValueInt(v, integer, static_cast<long long>(r->lastOffset)); return true;
            case C::lfNumberMatches: qelSetValueInt(v, integer, r->numMatches); return true;
            case C::lfLastMatchOffeset:
                qelSetValueInt(v, integer, static_cast<long long>(r->lastMatchOffset));
                return true;
            case C::lfLastMatchString: logtail::setMatchStringCell(v, r->lastMatchStr); return true;
            case C::lfLastAddRemove: qelSetValueInt(v, integer, r->lastAddRemove); return true;
            case C::lfNumberLines: qelSetValueInt(v, integer, r->numLines); return true;
            case C::lfDescription: qelSetValue(v, displayString, r->description); return true;
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
