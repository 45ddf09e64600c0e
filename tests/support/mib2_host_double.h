/*
 * Stand-in for the agent's calls, for test programs that link the mib2
 * plug-in's code without an agent. Include in exactly one source of a test
 * program. It keeps what the plug-in hands over: the registered
 * definitions (so a test can call their handlers), modules and traps.
 */
#ifndef MIB2_HOST_DOUBLE_H
#define MIB2_HOST_DOUBLE_H

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "qelplugin.h"

namespace hostdouble {

struct TrapVar {
    std::string mib, obj, key, value;
    qelSyntax_t syntax;
};
struct Trap {
    std::string eventType, sysObjectID;
    bool hostNull, userNull;
    qelMessageType_t msgType;
    uint32_t numberVariables;
    std::vector<TrapVar> vars;
};

inline std::mutex mutex;
inline std::vector<qelVar_t *> vars;
inline std::vector<std::string> modules; // "file version package kind"
inline std::vector<Trap> traps;
inline std::vector<std::string> logLines;
inline std::vector<std::string> trapHandlerModules;
inline qelTrapHandler_t trapHandler = nullptr;
inline int debugLevel = 0;

inline void reset() {
    std::lock_guard lock(mutex);
    vars.clear();
    modules.clear();
    traps.clear();
    logLines.clear();
    trapHandlerModules.clear();
    trapHandler = nullptr;
}

inline qelVar_t *find(const char *obj) {
    std::lock_guard lock(mutex);
    for (auto *v : vars)
        if (std::strcmp(v->objName, obj) == 0)
            return v;
    return nullptr;
}

} // namespace hostdouble

extern "C" {
int qelAddVar(qelVar_t *var) {
    std::lock_guard lock(hostdouble::mutex);
    hostdouble::vars.push_back(var);
    return 1;
}
int qelRemoveVarByName(const char *module, const char *objName) {
    std::lock_guard lock(hostdouble::mutex);
    std::vector<qelVar_t *> keep;
    for (auto *v : hostdouble::vars)
        if (std::strcmp(v->mibName, module) != 0 || (objName && std::strcmp(v->objName, objName) != 0))
            keep.push_back(v);
    hostdouble::vars.swap(keep);
    return 1;
}
int qelAddModule(const char *file, const char *version, const char *package, const char *, int kind) {
    std::lock_guard lock(hostdouble::mutex);
    hostdouble::modules.push_back(std::string(file) + " " + version + " " + package + " " + std::to_string(kind));
    return 1;
}
float qelFindBinaryVersion(const char *, const char *) {
    return 1.0f;
}
int qelRegisterTrapHandler(const char *module, qelTrapHandler_t handler) {
    std::lock_guard lock(hostdouble::mutex);
    hostdouble::trapHandlerModules.push_back(module);
    hostdouble::trapHandler = handler;
    return 1;
}
int qelSendTrap(const char *host, qelPdu_t *pdu, const char *eventType, const char *sysObjectID, const char *user) {
    hostdouble::Trap t;
    t.eventType = eventType ? eventType : "";
    t.sysObjectID = sysObjectID ? sysObjectID : "";
    t.hostNull = host == nullptr;
    t.userNull = user == nullptr;
    t.msgType = pdu->msgType;
    t.numberVariables = pdu->numberVariables;
    for (qelVariable_t *v = pdu->varList; v; v = v->next)
        t.vars.push_back({v->varName.mibName, v->varName.objName, v->varName.key,
                          v->valueBuf ? v->valueBuf : v->valueStr, v->varSyntax});
    std::lock_guard lock(hostdouble::mutex);
    hostdouble::traps.push_back(std::move(t));
    return 1;
}
void qeldLog(const char *text) {
    std::lock_guard lock(hostdouble::mutex);
    hostdouble::logLines.push_back(text);
}
int qelGetAgentDebugLevel(void) {
    return hostdouble::debugLevel;
}
int qelConvertIpAddr(unsigned int addr, char *buf, int maxlen) {
    if (!buf || maxlen < 8)
        return -1;
    struct in_addr a;
    a.s_addr = addr;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof text);
    std::snprintf(buf, static_cast<size_t>(maxlen), "%s", text);
    return 1;
}
}

#endif
