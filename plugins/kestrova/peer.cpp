// Peer list records and the prune-dependency trap. The peer worker, the
// peer search and the prune-peer trap join this module with the peer work.
#include "peer.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "kestrova_globals.h"
#include "qel/strutil.h"
#include "qelplugin.h"

extern "C" {
linkedList_t *peerList = nullptr;
}

namespace {

// Appends one displayString variable; false when no memory.
bool addVar(qelPdu_t *pdu, const char *mib, const char *obj, const char *value) {
    return qelAddVariable(pdu, mib, obj, nullptr, displayString, value) != nullptr;
}

} // namespace

extern "C" {

int comparePeers(void *a, void *b) {
    if (!a || !b)
        return -1;
    return strcmp(static_cast<peerNode_t *>(a)->nameaddr, static_cast<const char *>(b));
}

int printPeer(void *p) {
    fprintf(stderr, "Node %s\n", p ? static_cast<peerNode_t *>(p)->nameaddr : "");
    return 1;
}

int freePeer(void *p) {
    free(p);
    return 1;
}

peerNode_t *peerNew(const char *name) {
    auto *p = static_cast<peerNode_t *>(calloc(1, sizeof(peerNode_t)));
    if (p)
        qelCopyField(p->nameaddr, name);
    return p;
}

int sendPruneDependencyTrap(dependency_t *d) {
    if (!d)
        return -1;
    qelPdu_t pdu;
    memset(&pdu, 0, sizeof(pdu));
    pdu.msgType = Trap;
    pdu.messageID = (int64_t)time(nullptr);

    char typeBuf[160], typeName[128];
    if (d->dtype > 0 && d->dtype < dependMAX) {
        dependencyTypeToStr(d->dtype, typeName, 127);
        snprintf(typeBuf, sizeof(typeBuf), "%s/%d", typeName, (int)d->dtype);
    } else {
        snprintf(typeBuf, sizeof(typeBuf), "%d", (int)d->dtype);
    }
    char refBuf[32];
    switch (d->pov) {
    case dependOutbound: qelCopyField(refBuf, "outbound(0)"); break;
    case dependInbound: qelCopyField(refBuf, "inbound(1)"); break;
    case dependTransit: qelCopyField(refBuf, "transit(2)"); break;
    default: snprintf(refBuf, sizeof(refBuf), "%d", (int)d->pov); break;
    }
    const char *peer = d->pov == dependOutbound ? d->dependServer
                       : d->pov == dependInbound ? d->dependClient
                                                 : "";
    bool ok = addVar(&pdu, "core", "trapType", "kestrova.pruneDependency") &&
              addVar(&pdu, "core", "sysObjectID", KESTROVA_ENTERPRISE_OID) &&
              addVar(&pdu, "kestrova", "dependType", typeBuf) &&
              addVar(&pdu, "kestrova", "dependReference", refBuf) &&
              addVar(&pdu, "kestrova", "dependPeer", peer) && addVar(&pdu, "kestrova", "dependArgs", d->args);
    int n = 0;
    auto *peers = ok ? static_cast<peerNode_t *>(toArrayCopy(peerList, &n)) : nullptr;
    if (!peers || n <= 0) {
        free(peers);
        qelPduCleanup(&pdu);
        fprintf(stderr, "sendPruneDependencyTrap: cant get copy of peer list\n");
        qeldLog("Kestrova: could not get copy of peer list for sending prune dependency trap");
        return -1;
    }
    char user[KESTROVA_AUTHEN_USER_LEN];
    kestrovaGetAuthenUser(user, sizeof user);
    for (int i = 0; i < n; i++)
        qelSendTrap(peers[i].nameaddr, &pdu, "kestrova.pruneDependency", KESTROVA_ENTERPRISE_OID, user);
    free(peers);
    qelPduCleanup(&pdu);
    return 1;
}

} // extern "C"
