#include "sysinfo_logfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "kestrova.h"
#include "logtail.h"
#include "qel/log.h"
#include "qel/strutil.h"
#include "qelselect.h"

linkedList_t *lfmList = nullptr;

namespace {

// One line against the monitor's expression: a match is counted and its
// text and time kept. 1 a match, 0 none, -1 no expression.
int checkEntry(logfileMonitor_t *mon, const char *line, size_t len, const logtail::Matcher &m,
               logtail::MatchErrors *errors, pcre2_match_data *md) {
    if (!mon || !line || !m.code || !md)
        return -1;
    int rc = m.match(line, len, md);
    // Only results >= 0 carry offsets; errors (limits, bad UTF-8) are no match.
    if (rc < 0) {
        if (rc != PCRE2_ERROR_NOMATCH && errors)
            errors->note(rc);
        return 0;
    }
    const size_t *ov = pcre2_get_ovector_pointer(md);
    ++mon->numMatches;
    mon->lastMatchTime = time(nullptr);
    if (ov[0] != PCRE2_UNSET && ov[1] >= ov[0])
        qelCopyMem(mon->lastMatchStr, sizeof mon->lastMatchStr, line + ov[0], ov[1] - ov[0]);
    else
        mon->lastMatchStr[0] = '\0';
    return 1;
}

void monitorExpressions(const void *rec, const pcre2_code *out[2]) {
    out[0] = static_cast<const logfileMonitor_t *>(rec)->re;
    out[1] = nullptr;
}

// A monitor's share of its file's feed: every line counted, and matched
// when it has an expression.
void monitorLine(void *rec, const char *text, size_t len, uint64_t after, logtail::MemberState &st) {
    auto *mon = static_cast<logfileMonitor_t *>(rec);
    ++mon->numLines;
    if (st.expr[0].code && checkEntry(mon, text, len, st.expr[0], &st.errors[0], st.md.get()) > 0)
        mon->lastMatchOffset = static_cast<off_t>(after);
}

void monitorStepped(void *rec, logtail::StepResult r, uint64_t offset, time_t now, logtail::MemberState &st) {
    auto &mon = *static_cast<logfileMonitor_t *>(rec);
    if (r != logtail::kMore)
        st.errors[0].report("logfile monitor", mon.filename, mon.expression);
    if (r == logtail::kCaughtUp || r == logtail::kMore)
        mon.lastOffset = static_cast<off_t>(offset);
    if (r == logtail::kCaughtUp) {
        mon.firstTime = 0;
        mon.lastScanTime = now;
    }
}

const logtail::MemberOps monitorOps{monitorExpressions, monitorLine, monitorStepped};

// One line against the monitor's expression, outside any feed.
int checkOne(logfileMonitor_t *mon, const char *line, size_t len) {
    if (!mon)
        return -1;
    logtail::MatchData md;
    logtail::Matcher m;
    m.set(mon->re);
    return checkEntry(mon, line, len, m, nullptr, md.get());
}

} // namespace

int checkLogfileMonitorEntryLen(logfileMonitor_t *mon, const char *line, size_t len) {
    return checkOne(mon, line, len);
}

extern "C" {

int init_logfile_monitors(void) {
    if (!lfmList)
        lfmList = newLinkedList(sizeof(logfileMonitor_t), compareLogfileMonitor, printLogfileMonitor,
                                freeLogfileMonitor, "logfileMonitorList", 1);
    return 0;
}

logfileMonitor_t *newLogfileMonitor(void) {
    auto *m = static_cast<logfileMonitor_t *>(std::calloc(1, sizeof(logfileMonitor_t)));
    if (!m)
        qel::logError("newLogfileMonitor malloc failed: %s\n", std::strerror(errno));
    return m;
}

int addLogfileMonitor(logfileMonitor_t *mon) {
    if (!mon || !lfmList)
        return -1;
    logfileMonitor_t *m = newLogfileMonitor();
    if (!m)
        return -1;
    std::memcpy(m, mon, sizeof *m);
    m->firstTime = 1;
    m->re = nullptr;
    if (m->expression[0]) {
        std::string err;
        size_t off = 0;
        m->re = logtail::compileExpression(m->expression, err, off);
        if (!m->re) {
            qel::logError("log file %s: expression '%s' does not compile at offset %zu: %s\n", m->filename,
                          m->expression, off, err.c_str());
            std::free(m);
            return -1;
        }
    }
    logtail::feeds().join(m, &monitorOps, m->filename);
    if (insertHead(lfmList, m) != 0) {
        logtail::feeds().leave(m);
        pcre2_code_free(m->re);
        std::free(m);
        return -1;
    }
    return 1;
}

int pruneLogfileMonitors(void) {
    if (!lfmList)
        return -1;
    return drainLinkedList(lfmList);
}

int compareLogfileMonitor(void *a, void *b) {
    if (!a || !b)
        return -1;
    return std::memcmp(a, b, sizeof(logfileMonitor_t)) == 0 ? 0 : 1;
}

int printLogfileMonitor(void *rec) {
    auto *m = static_cast<logfileMonitor_t *>(rec);
    if (!m)
        return -1;
    std::printf("logfileMonitor: '%s' '%s' %d\n", m->filename, m->expression, m->scanInterval);
    return 0;
}

int freeLogfileMonitor(void *rec) {
    auto *m = static_cast<logfileMonitor_t *>(rec);
    if (!m)
        return -1;
    logtail::feeds().leave(m);
    pcre2_code_free(m->re);
    std::free(m);
    return 0;
}

int scanLogfileMonitor(logfileMonitor_t *mon, time_t now) {
    if (!mon)
        return -1;
    // The whole file's new lines, for every record that reads it.
    return logtail::scanFeedOf(mon, now);
}

int scanLogfileEntries(void) {
    time_t now = time(nullptr);
    logtail::scanFeeds(
        lfmList,
        [now](const void *rec) {
            auto *m = static_cast<const logfileMonitor_t *>(rec);
            return now - m->lastScanTime > m->scanInterval;
        },
        now, kestrovaStopping);
    return 1;
}

void *logfile_monitor_dowork(void *) {
    logtail::runScanWorker("logfile monitor", scanLogfileEntries);
    return nullptr;
}

int checkLogfileMonitorEntry(logfileMonitor_t *mon, const char *line) {
    if (!line)
        return -1;
    return checkOne(mon, line, std::strlen(line));
}

qelErrorStatus_t var_lfMonTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("var_lfMonTable", key, columns, out);
    if (!sel.valid() || !lfmList)
        return genError;
    {
        logtail::ListWaiter waiting;
        listLock(lfmList);
    }
    for (linkedElement_t *e = lfmList->head; e; e = e->next) {
        auto *m = static_cast<logfileMonitor_t *>(e->data);
        if (!m)
            continue;
        // "%s.%s", at most 2047 characters.
        std::string key = m->filename;
        (key += '.') += m->expression;
        if (key.size() > 2047)
            key.resize(2047);
        const char *rowKey = key.c_str();
        if (!sel.selects(rowKey))
            continue;
        bool ok = sel.addRow(rowKey, [&](unsigned column, qelVariable_t *v) {
            using C = kestrova::LfMonColumn;
            switch (static_cast<C>(column)) {
            case C::lfmLogfile: qelSetValue(v, displayString, m->filename); return true;
            case C::lfmExpression: qelSetValue(v, displayString, m->expression); return true;
            case C::lfmScanInterval: qelSetValueInt(v, integer, m->scanInterval); return true;
            case C::lfmLastScanTime: logtail::setTimeCell(v, m->lastScanTime); return true;
            case C::lfmLastMatchTime: logtail::setTimeCell(v, m->lastMatchTime); return true;
            case C::lfmLastUpdateTime: logtail::setTimeCell(v, m->lastUpdateTime); return true;
            case C::lfmLastOffset: qelSetValueInt(v, integer, static_cast<long long>(m->lastOffset)); return true;
            case C::lfmNumberMatches: qelSetValueInt(v, integer, m->numMatches); return true;
            case C::lfmLastMatchOffeset:
                qelSetValueInt(v, integer, static_cast<long long>(m->lastMatchOffset));
                return true;
            case C::lfmLastMatchString: logtail::setMatchStringCell(v, m->lastMatchStr); return true;
            case C::lfmNumberLines: qelSetValueInt(v, integer, m->numLines); return true;
            case C::lfmDescription: qelSetValue(v, displayString, m->description); return true;
            default: return false;
            }
        });
        if (!ok) {
            listUnlock(lfmList);
            return sel.status();
        }
    }
    qelErrorStatus_t st = sel.finish("var_lfMonTable", debugLevel.load(std::memory_order_relaxed));
    listUnlock(lfmList);
    return st;
}

} // extern "C"
