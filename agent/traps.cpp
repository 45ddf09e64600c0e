// Traps: handlers registered by plug-ins, local delivery, sending to peers
// and sinks on queue workers, and the record of the last traps.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <thread>

#include "qel/entry_guard.h"
#include "qel/qel_session.h"
#include "qel/socklib.h"
#include "qel/strutil.h"
#include "qelhost.h"

namespace qelhost {

namespace {

constexpr size_t kMaxQueued = 1000;
constexpr size_t kTrapLogSize = 100;
constexpr int kWorkers = 2;
constexpr int kConnectTimeout = 3;
constexpr int kIoTimeout = 10;

enum class JobKind { Deliver, Send };

struct PduBox {
    qelPdu_t pdu{};
    ~PduBox() { qelPduCleanup(&pdu); }
};

struct Job {
    JobKind kind = JobKind::Deliver;
    std::shared_ptr<PduBox> msg;
    std::string host; // Send: destination; Deliver: event source
    int port = 5270;
    std::string eventType, sysObjectID, user;
    bool received = false;
};

struct TrapState {
    std::mutex m;
    std::condition_variable work, idle;
    std::deque<Job> queue;
    int busy = 0;
    bool started = false;
    bool stopping = false;
    std::map<std::string, std::vector<qelTrapHandler_t>> handlers;
    std::vector<TrapSink> sinks;
    std::deque<TrapRecord> log;
};

TrapState &st() {
    static TrapState *s = new TrapState; // workers may outlive main
    return *s;
}

const char *valueOf(const qelVariable_t *v) {
    return v->valueBuf ? v->valueBuf : v->valueStr;
}

std::string findValue(const qelPdu_t &pdu, const char *mib, const char *obj) {
    for (const qelVariable_t *v = pdu.varList; v; v = v->next)
        if (!std::strcmp(v->varName.mibName, mib) && !std::strcmp(v->varName.objName, obj))
            return valueOf(v);
    return {};
}

std::string variablesText(const qelPdu_t &pdu) {
    std::string out;
    for (const qelVariable_t *v = pdu.varList; v; v = v->next) {
        if (!out.empty())
            out += "; ";
        out += v->varName.mibName;
        out += '.';
        out += v->varName.objName;
        if (v->varName.key[0]) {
            out += '[';
            out += v->varName.key;
            out += ']';
        }
        out += '=';
        out += valueOf(v);
        if (out.size() > 1024) {
            out.resize(1024);
            out += "...";
            break;
        }
    }
    return out;
}

void record(const char *direction, const std::string &peer, const std::string &eventType, const qelPdu_t &pdu) {
    TrapRecord r;
    r.when = time(nullptr);
    r.direction = direction;
    r.peer = peer;
    r.eventType = eventType;
    r.variables = variablesText(pdu);
    TrapState &s = st();
    std::lock_guard lock(s.m);
    s.log.push_back(std::move(r));
    while (s.log.size() > kTrapLogSize)
        s.log.pop_front();
}

std::string moduleOf(const std::string &eventType) {
    auto dot = eventType.find('.');
    return dot == std::string::npos ? eventType : eventType.substr(0, dot);
}

void workerLoop();

bool enqueue(Job job) {
    TrapState &s = st();
    {
        std::lock_guard lock(s.m);
        if (s.stopping)
            return false;
        if (s.queue.size() >= kMaxQueued) {
            logfLimited("qelSendTrap: queue full, %s trap to %s dropped", job.eventType.c_str(),
                        job.host.empty() ? "local handlers" : job.host.c_str());
            return false;
        }
        if (!s.started) {
            try {
                for (int i = 0; i < kWorkers; ++i)
                    std::thread(workerLoop).detach();
            } catch (const std::exception &e) {
                logf("qelSendTrap: cannot start the trap workers: %s", e.what());
                return false;
            }
            s.started = true;
        }
        s.queue.push_back(std::move(job));
    }
    s.work.notify_one();
    return true;
}

void queueForSinks(const Job &from) {
    std::vector<TrapSink> sinks;
    {
        std::lock_guard lock(st().m);
        sinks = st().sinks;
    }
    for (const auto &sink : sinks) {
        // Never hand a trap back to the agent it came from: two agents that
        // name each other as sinks would pass it to and fro for ever.
        if (from.received && (sink.host == from.host || [&] {
                char text[64];
                uint32_t a = hostname_to_ipaddr(sink.host.c_str());
                return a && convert_ipaddr(a, text, sizeof text) == 1 && from.host == text;
            }()))
            continue;
        Job j;
        j.kind = JobKind::Send;
        j.msg = from.msg;
        j.host = sink.host;
        j.port = sink.port;
        j.eventType = from.eventType;
        j.sysObjectID = from.sysObjectID;
        j.user = "qeld";
        enqueue(std::move(j));
    }
}

void deliver(const Job &job) {
    std::vector<qelTrapHandler_t> hs;
    {
        std::lock_guard lock(st().m);
        auto it = st().handlers.find(moduleOf(job.eventType));
        if (it != st().handlers.end())
            hs = it->second;
    }
    record(job.received ? "received" : "local", job.received ? job.host : "internal", job.eventType, job.msg->pdu);
    if (!hs.empty()) {
        // Each handler gets its own copy: it may keep or change what it sees.
        std::string xml(1024 + 256 * job.msg->pdu.numberVariables, '\0');
        int needed = 0;
        int len = buildQelMessage(&job.msg->pdu, xml.data(), static_cast<int>(xml.size()), &needed);
        if (len < 0 && needed > 0) {
            xml.resize(static_cast<size_t>(needed) + 2);
            len = buildQelMessage(&job.msg->pdu, xml.data(), static_cast<int>(xml.size()), nullptr);
        }
        int accepted = 0;
        // Plug-ins write their handlers for one event at a time; the queue
        // has two workers, so deliveries to handlers are serialised.
        static std::mutex handlerCallMutex;
        std::lock_guard handlerCall(handlerCallMutex);
        for (auto h : hs) {
            qelEventEntry_t ev{};
            qelCopyField(ev.eventSource, job.received ? job.host.c_str() : "internal");
            ev.timeStamp = time(nullptr);
            ev.dispatched = accepted;
            qelCopyField(ev.eventType, job.eventType.c_str());
            qelCopyField(ev.sysObjectID, job.sysObjectID.c_str());
            qelPdu_t copy{};
            copyQelPdu(&job.msg->pdu, &copy);
            ev.eventPdu = &copy;
            std::string xmlCopy = len > 0 ? xml.substr(0, static_cast<size_t>(len)) : "";
            ev.eventPduXml = len > 0 ? xmlCopy.data() : nullptr;
            ev.xmlSize = len > 0 ? len : 0;
            if (h(&ev) == 1)
                ++accepted;
            qelPduCleanup(&copy);
        }
    }
    queueForSinks(job);
}

void send(const Job &job) {
    // The whole delivery, handshake included, ends within kIoTimeout: a
    // receiver reading a byte at a time must not hold a trap worker.
    qelSession_t *s = newQelSessionConnectHostnameWithin(job.host.c_str(), 0, job.port, kConnectTimeout,
                                                         job.user.c_str(), kIoTimeout * 1000);
    if (!s) {
        logf("qelSendTrap: cannot reach %s,%d for %s trap", job.host.c_str(), job.port, job.eventType.c_str());
        qelStatsAdd(outErrors, 1);
        return;
    }
    std::string xml(4096 + 256 * job.msg->pdu.numberVariables, '\0');
    int needed = 0;
    int len = buildQelMessage(&job.msg->pdu, xml.data(), static_cast<int>(xml.size()), &needed);
    if (len < 0 && needed > 0) {
        xml.resize(static_cast<size_t>(needed) + 2);
        len = buildQelMessage(&job.msg->pdu, xml.data(), static_cast<int>(xml.size()), nullptr);
    }
    if (len > 0 && qelSendMessage(s, xml.data(), len) == 1) {
        qelStatsAdd(outTraps, 1);
        qelStatsAdd(outTotalReqVars, job.msg->pdu.numberVariables);
        char peer[300];
        std::snprintf(peer, sizeof peer, "%s,%d", job.host.c_str(), job.port);
        record("sent", peer, job.eventType, job.msg->pdu);
    } else {
        logf("qelSendTrap: sending %s trap to %s failed", job.eventType.c_str(), job.host.c_str());
    }
    destroyQelSession(s);
}

void workerLoop() {
    TrapState &s = st();
    for (;;) {
        Job job;
        {
            std::unique_lock lock(s.m);
            s.work.wait(lock, [&] { return s.stopping || !s.queue.empty(); });
            if (s.stopping)
                return;
            job = std::move(s.queue.front());
            s.queue.pop_front();
            ++s.busy;
        }
        try {
            if (job.kind == JobKind::Deliver)
                deliver(job);
            else
                send(job);
        } catch (const std::exception &e) {
            // The worker's top: a job that throws is lost, the worker goes on.
            logf("trap worker: %s trap lost: %s", job.eventType.c_str(), e.what());
        } catch (...) {
            logf("trap worker: %s trap lost", job.eventType.c_str());
        }
        {
            std::lock_guard lock(s.m);
            --s.busy;
        }
        s.idle.notify_all();
    }
}

std::shared_ptr<PduBox> boxCopy(const qelPdu_t *pdu) {
    auto box = std::make_shared<PduBox>();
    if (copyQelPdu(pdu, &box->pdu) != 1)
        return nullptr;
    return box;
}

} // namespace

void setTrapSinks(const std::vector<TrapSink> &sinks) {
    std::lock_guard lock(st().m);
    st().sinks = sinks;
}

void startTraps() {
    TrapState &s = st();
    std::lock_guard lock(s.m);
    s.stopping = false;
}

void stopTraps() {
    TrapState &s = st();
    {
        std::lock_guard lock(s.m);
        s.stopping = true;
        s.queue.clear();
    }
    s.work.notify_all();
}

bool waitTrapsIdle(int timeoutMs) {
    TrapState &s = st();
    std::unique_lock lock(s.m);
    return s.idle.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return s.queue.empty() && s.busy == 0; });
}

std::vector<TrapRecord> trapLog() {
    std::lock_guard lock(st().m);
    return {st().log.begin(), st().log.end()};
}

void unregisterTrapHandlers(qelTrapHandler_t handler) {
    std::lock_guard lock(st().m);
    for (auto &[mod, hs] : st().handlers)
        std::erase(hs, handler);
}

void unregisterTrapHandlersOf(const void *anyFunction) {
    Dl_info owner{};
    if (!anyFunction || !dladdr(anyFunction, &owner) || !owner.dli_fbase)
        return;
    std::lock_guard lock(st().m);
    for (auto &[mod, hs] : st().handlers)
        std::erase_if(hs, [&](qelTrapHandler_t h) {
            Dl_info info{};
            return dladdr(reinterpret_cast<void *>(h), &info) && info.dli_fbase == owner.dli_fbase;
        });
}

void trapReceived(const qelPdu_t *pdu, const char *source) {
    if (!pdu)
        return;
    Job j;
    j.msg = boxCopy(pdu);
    if (!j.msg)
        return;
    j.kind = JobKind::Deliver;
    j.received = true;
    j.host = source ? source : "";
    j.eventType = findValue(*pdu, "core", "trapType");
    j.sysObjectID = findValue(*pdu, "core", "sysObjectID");
    enqueue(std::move(j));
}

} // namespace qelhost

using namespace qelhost;

extern "C" int qelRegisterTrapHandler(const char *module, qelTrapHandler_t handler) {
    if (!module || !*module || !handler)
        return -1;
    return qel::guarded("qelRegisterTrapHandler", -1, [&] {
        std::lock_guard lock(st().m);
        auto &hs = st().handlers[module];
        if (std::find(hs.begin(), hs.end(), handler) == hs.end())
            hs.push_back(handler);
        return 1;
    });
}

namespace {

int sendTrap(const char *host, qelPdu_t *pdu, const char *eventType, const char *sysObjectID, const char *user) {
    if (!pdu || !eventType || !*eventType)
        return -1;
    // The caller keeps its message and may send it again: work on a copy.
    auto box = boxCopy(pdu);
    if (!box)
        return -1;
    box->pdu.msgType = Trap;
    // Receivers route a trap by its core.trapType: make sure it is there.
    if (findValue(box->pdu, "core", "trapType").empty() &&
        !qelAddVariable(&box->pdu, "core", "trapType", nullptr, displayString, eventType))
        return -1;
    Job j;
    j.msg = std::move(box);
    j.eventType = eventType;
    j.sysObjectID = sysObjectID ? sysObjectID : "";
    j.user = user && *user ? user : "qeld";
    if (!host || !*host) {
        j.kind = JobKind::Deliver;
    } else {
        j.kind = JobKind::Send;
        std::string h(host);
        auto comma = h.rfind(',');
        j.port = config().agentPort;
        if (comma != std::string::npos) {
            j.port = std::atoi(h.c_str() + comma + 1);
            h.resize(comma);
        }
        if (h.empty() || j.port <= 0 || j.port > 65535)
            return -1;
        j.host = h;
    }
    return enqueue(std::move(j)) ? 1 : -1;
}

} // namespace

extern "C" int qelSendTrap(const char *host, qelPdu_t *pdu, const char *eventType, const char *sysObjectID,
                           const char *user) {
    return qel::guarded("qelSendTrap", -1, [&] { return sendTrap(host, pdu, eventType, sysObjectID, user); });
}
