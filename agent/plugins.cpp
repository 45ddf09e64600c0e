// Loads plug-in shared objects and runs them through their life.
#include <dlfcn.h>
#include <mutex>
#include <set>

#include "agent.h"
#include "qel/log.h"
#include "qelhost.h"

namespace qeld {

namespace {

struct Loaded {
    PluginInfo info;
    void *handle = nullptr;
    qelFinishEntry_t finish = nullptr;
};

std::mutex mtx;
std::vector<Loaded> loaded;

template <typename T>
T entry(void *h, const char *name) {
    return reinterpret_cast<T>(dlsym(h, name));
}

using VarNames = std::set<std::pair<std::string, std::string>>;

VarNames registeredNames() {
    VarNames out;
    for (const auto &v : qelhost::listVars(""))
        out.emplace(v.mibName, v.objName);
    return out;
}

using ModuleNames = std::set<std::pair<std::string, std::string>>;

ModuleNames moduleNames() {
    ModuleNames out;
    for (const auto &m : qelhost::modules())
        out.emplace(m.file, m.package);
    return out;
}

struct Registered {
    VarNames vars;
    ModuleNames modules;
};

// ran: init was called, so threads or handlers of the plug-in may exist and
// its code must stay mapped.
void drop(Loaded &p, const char *why, const Registered *before = nullptr, bool ran = false) {
    qel::logError("qeld: plug-in %s: %s, unloaded\n", p.info.file.c_str(), why);
    qelhost::logf("plug-in %s: %s, unloaded", p.info.file.c_str(), why);
    // Whatever it registered before failing goes with it.
    if (before) {
        for (const auto &name : registeredNames())
            if (!before->vars.count(name))
                qelRemoveVarByName(name.first.c_str(), name.second.c_str());
        for (const auto &m : moduleNames())
            if (!before->modules.count(m))
                qelhost::removeModule(m.first, m.second);
        qelhost::unregisterTrapHandlersOf(reinterpret_cast<const void *>(p.finish));
    }
    qelhost::removeSymbolSource(p.handle);
    if (!ran)
        dlclose(p.handle);
}

} // namespace

void loadPlugins(const std::vector<std::string> &paths) {
    for (const auto &path : paths) {
        Loaded p;
        p.info.file = path;
        // Local scope: plug-ins see the agent's symbols, not each other's;
        // they reach each other through qelGetSymbolValue.
        p.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!p.handle) {
            // dlerror forgets its text once read: both reports take the one text.
            const char *why = dlerror();
            qel::logError("qeld: cannot load %s: %s\n", path.c_str(), why);
            qelhost::logf("cannot load %s: %s", path.c_str(), why);
            continue;
        }
        auto modinfo = entry<qelModinfoEntry_t>(p.handle, "modinfo");
        auto init = entry<qelInitEntry_t>(p.handle, "init");
        auto start = entry<qelStartEntry_t>(p.handle, "start");
        p.finish = entry<qelFinishEntry_t>(p.handle, "finish");
        if (!modinfo || !init || !start || !p.finish) {
            p.info.module.clear();
            drop(p, "entry point missing");
            continue;
        }
        char name[128] = {}, descr[512] = {};
        if (modinfo(name, sizeof name, descr, sizeof descr) != 1) {
            drop(p, "modinfo failed");
            continue;
        }
        name[sizeof name - 1] = descr[sizeof descr - 1] = '\0';
        p.info.module = name;
        p.info.descr = descr;
        qelhost::addSymbolSource(p.handle);
        Registered before{registeredNames(), moduleNames()};
        if (init() != 1) {
            drop(p, "init failed", &before, true);
            continue;
        }
        if (start() != 1) {
            p.finish();
            drop(p, "start failed", &before, true);
            continue;
        }
        qelhost::logf("plug-in %s loaded: %s, %s", path.c_str(), name, descr);
        std::lock_guard lock(mtx);
        loaded.push_back(std::move(p));
    }
}

void finishPlugins() {
    std::vector<Loaded> all;
    {
        std::lock_guard lock(mtx);
        all.swap(loaded);
    }
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        int r = it->finish();
        qelhost::logf("plug-in %s finished (%d)", it->info.module.c_str(), r);
        // The module's workers may still be running: the object stays mapped.
    }
}

std::vector<PluginInfo> plugins() {
    std::lock_guard lock(mtx);
    std::vector<PluginInfo> out;
    for (const auto &p : loaded)
        out.push_back(p.info);
    return out;
}

} // namespace qeld
