// Test double of the agent's host calls used by the kestrova core, for the
// kestrova test programs only (each includes this header once). Name look-ups
// answer from tables the test fills, symbols from a table, traps and log
// lines are recorded.
#ifndef KESTROVA_TEST_HOST_H
#define KESTROVA_TEST_HOST_H

#include <arpa/inet.h>
#include <time.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "graph.h"
#include "kestrova_globals.h"
#include "qel/strutil.h"
#include "qelplugin.h"

namespace testhost {

struct TrapVar {
    std::string mib, obj, value;
    qelSyntax_t syntax;
};

struct SentTrap {
    std::string host, eventType, sysObjectID, user;
    qelMessageType_t msgType;
    std::vector<TrapVar> vars;
};

inline std::mutex mu;
inline std::map<std::string, std::string> names; // qelNameAddrToHostname
inline std::map<std::string, std::string> addrs; // qelIpAddrToHostname
inline std::map<std::string, void *> symbols;    // qelGetSymbolValue
inline std::vector<SentTrap> traps;
inline std::vector<std::string> logs;
// qelHostnameToIpaddr / qelHostnameToIpv6addr: names to address texts;
// address literals answer themselves.
inline std::map<std::string, std::string> ipv4Names;
inline std::map<std::string, std::string> ipv6Names;
// qelCheckPeerModules: peer names to results (-1 for a name not listed), and
// the names asked, in order.
inline std::map<std::string, int> peerModules;
inline std::vector<std::string> peerModulesAsked;

inline void reset() {
    std::lock_guard<std::mutex> g(mu);
    names.clear();
    addrs.clear();
    symbols.clear();
    traps.clear();
    logs.clear();
    ipv4Names.clear();
    ipv6Names.clear();
    peerModules.clear();
    peerModulesAsked.clear();
}

// "10.0.0.1" <-> "host1.example.com" style entry for both look-ups.
inline void addHost(const std::string &addr, const std::string &host) {
    std::lock_guard<std::mutex> g(mu);
    names[addr] = host;
    names[host] = host;
    addrs[addr] = host;
}

inline std::vector<SentTrap> sentTraps() {
    std::lock_guard<std::mutex> g(mu);
    return traps;
}

inline int answer(const std::map<std::string, std::string> &table, const char *in, char *buf, int maxlen) {
    if (!in || !buf || maxlen <= 0)
        return -1;
    std::lock_guard<std::mutex> g(mu);
    auto it = table.find(in);
    qelCopyStr(buf, (size_t)maxlen, it == table.end() ? in : it->second.c_str());
    return it == table.end() ? 0 : 1;
}

// The local graph as the plug-in's init builds it.
inline void setupGraph(const char *host = "myhost.example.com") {
    qelCopyField(myhostname, host);
    theGraph = graphNew((std::string(host) + " graph").c_str());
    myVertex = vertexNew(host);
    myVertex->reachable = 1;
    myVertex->contactTime = 1;
    qelCopyField(myVertex->qeldVersion, "0.60");
    graphInsertNode(theGraph, myVertex);
}

// Releases every vertex and edge, then the graph.
inline void teardownGraph(graph_t *g) {
    if (!g)
        return;
    while (g->setOfNodes->head)
        graphRemoveNode(g, static_cast<vertex_t *>(g->setOfNodes->head->data));
    graphDestroy(g);
}

inline void teardownGraph() {
    teardownGraph(theGraph);
    theGraph = nullptr;
    myVertex = nullptr;
    myhostname[0] = '\0';
}

} // namespace testhost

extern "C" {

int qelNameAddrToHostname(const char *nameOrAddr, char *buf, int maxlen) {
    return testhost::answer(testhost::names, nameOrAddr, buf, maxlen);
}

int qelIpAddrToHostname(const char *addrText, char *buf, int maxlen) {
    return testhost::answer(testhost::addrs, addrText, buf, maxlen);
}

void *qelGetSymbolValue(const char *functionName) {
    std::lock_guard<std::mutex> g(testhost::mu);
    auto it = testhost::symbols.find(functionName ? functionName : "");
    return it == testhost::symbols.end() ? nullptr : it->second;
}

int qelSendTrap(const char *host, qelPdu_t *pdu, const char *eventType, const char *sysObjectID, const char *user) {
    testhost::SentTrap t;
    t.host = host ? host : "";
    t.eventType = eventType ? eventType : "";
    t.sysObjectID = sysObjectID ? sysObjectID : "";
    t.user = user ? user : "";
    t.msgType = pdu->msgType;
    for (qelVariable_t *v = pdu->varList; v; v = v->next)
        t.vars.push_back(
            {v->varName.mibName, v->varName.objName, std::string(v->valueStr, v->valueStrLen), v->varSyntax});
    std::lock_guard<std::mutex> g(testhost::mu);
    testhost::traps.push_back(t);
    return 1;
}

void qeldLog(const char *text) {
    std::lock_guard<std::mutex> g(testhost::mu);
    testhost::logs.push_back(text ? text : "");
}

int qelGetAgentDebugLevel(void) {
    return 0;
}

// Dotted text of an IPv4 address in network order, as the agent gives it.
int qelConvertIpAddr(unsigned int addr, char *buf, int maxlen) {
    if (!buf || maxlen <= 0)
        return -1;
    struct in_addr a;
    a.s_addr = addr;
    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &a, text, sizeof text))
        return -1;
    qelCopyStr(buf, (size_t)maxlen, text);
    return 1;
}

// The agent's time text (UTC here, so tests can compare it).
int qelConvertTimeStr(time_t when, char *buf, int maxlen) {
    if (!buf || maxlen < 26)
        return -1;
    struct tm tmv;
    if (!gmtime_r(&when, &tmv))
        return -1;
    return strftime(buf, (size_t)maxlen, "%Y-%m-%dT%H:%M:%S+00:00", &tmv) > 0 ? 1 : -1;
}

unsigned int qelHostnameToIpaddr(const char *name) {
    if (!name || !*name)
        return 0;
    std::string text = name;
    {
        std::lock_guard<std::mutex> g(testhost::mu);
        auto it = testhost::ipv4Names.find(name);
        if (it != testhost::ipv4Names.end())
            text = it->second;
    }
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1 ? a.s_addr : 0;
}

int qelHostnameToIpv6addr(const char *name, struct in6_addr *addr) {
    if (!name || !*name || !addr)
        return -1;
    std::string text = name;
    {
        std::lock_guard<std::mutex> g(testhost::mu);
        auto it = testhost::ipv6Names.find(name);
        if (it != testhost::ipv6Names.end())
            text = it->second;
    }
    return inet_pton(AF_INET6, text.c_str(), addr) == 1 ? 1 : -2;
}

int qelCheckPeerModules(const char *peerName) {
    std::lock_guard<std::mutex> g(testhost::mu);
    testhost::peerModulesAsked.push_back(peerName ? peerName : "");
    auto it = testhost::peerModules.find(peerName ? peerName : "");
    return it == testhost::peerModules.end() ? -1 : it->second;
}

int qelIpVersionOfAddress(const char *text) {
    unsigned char a[16];
    return text && inet_pton(AF_INET6, text, a) == 1 ? 6 : 4;
}

} // extern "C"

#endif
