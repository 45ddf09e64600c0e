// A plug-in whose init fails after registering a variable: the agent must
// drop it and what it registered, and go on.
#include <cstdio>

#include "qelplugin.h"

namespace {
qelVar_t orphan;
qelErrorStatus_t var_orphan(qelVar_t *, qelVariable_t *v) {
    v->valueStrLen = 0;
    return noError;
}
char versionText[] = "TarnVersion 0.10";
} // namespace

extern "C" {
__attribute__((visibility("default"), used)) char *versionStr = versionText;

__attribute__((visibility("default"))) int modinfo(char *modname, int modnamesz, char *descr, int descrsz) {
    if (!modname || !descr || modnamesz < 11 || descrsz < 30)
        return -1;
    std::snprintf(modname, static_cast<size_t>(modnamesz), "failplug");
    std::snprintf(descr, static_cast<size_t>(descrsz), "plug-in whose init fails");
    return 1;
}

__attribute__((visibility("default"))) int init(void) {
    std::snprintf(orphan.mibName, sizeof orphan.mibName, "failplug");
    std::snprintf(orphan.objName, sizeof orphan.objName, "orphan");
    orphan.syntax = displayString;
    orphan.get = var_orphan;
    qelAddVar(&orphan);
    qelAddModule("failplugin-linux.so", "0.10", "failplug", nullptr, QEL_MODULE_KIND_PLUGIN);
    qelRegisterTrapHandler("failplug", [](qelEventEntry_t *) { return 1; });
    return -1;
}

__attribute__((visibility("default"))) int start(void) {
    return 1;
}
__attribute__((visibility("default"))) int finish(void) {
    return 1;
}
}
