// The registry of variable definitions that plug-ins hand to the host.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "qel/entry_guard.h"
#include "qel/log.h"
#include "qelhost.h"

namespace qelhost {

struct VarEntry {
    qelVar_t *var = nullptr;
    std::string mib, obj, table;
    int inflight = 0;
    bool removed = false;
};

namespace {

using Key = std::pair<std::string, std::string>;

struct Registry {
    std::mutex m;
    std::condition_variable idle;
    std::map<Key, std::shared_ptr<VarEntry>> byName;
    std::vector<std::shared_ptr<VarEntry>> ordered;
};

Registry &reg() {
    static Registry *r = new Registry; // never destroyed: handlers may outlive main
    return *r;
}

// Entries this thread is inside a handler of: a handler that removes its own
// module must not wait for itself.
thread_local std::vector<VarEntry *> heldHere;

VarRef acquire(const std::shared_ptr<VarEntry> &e) {
    // Caller holds reg().m.
    ++e->inflight;
    heldHere.push_back(e.get());
    return VarRef(e);
}

} // namespace

VarRef::VarRef(std::shared_ptr<VarEntry> e) : entry_(std::move(e)) {}
VarRef::VarRef(VarRef &&o) noexcept : entry_(std::move(o.entry_)) {}
VarRef &VarRef::operator=(VarRef &&o) noexcept {
    if (this != &o) {
        release();
        entry_ = std::move(o.entry_);
    }
    return *this;
}
VarRef::~VarRef() {
    release();
}
qelVar_t *VarRef::var() const {
    return entry_ ? entry_->var : nullptr;
}

void VarRef::release() {
    if (!entry_)
        return;
    Registry &r = reg();
    {
        std::lock_guard lock(r.m);
        --entry_->inflight;
        auto it = std::find(heldHere.rbegin(), heldHere.rend(), entry_.get());
        if (it != heldHere.rend())
            heldHere.erase(std::next(it).base());
    }
    r.idle.notify_all();
    entry_.reset();
}

VarRef findVar(const char *mib, const char *obj) {
    if (!mib || !obj)
        return {};
    Registry &r = reg();
    std::lock_guard lock(r.m);
    auto it = r.byName.find({mib, obj});
    if (it == r.byName.end())
        return {};
    return acquire(it->second);
}

VarRef findTableSelector(const char *mib, const char *table) {
    if (!mib || !table || !*table)
        return {};
    Registry &r = reg();
    std::lock_guard lock(r.m);
    auto it = r.byName.find({mib, table});
    if (it != r.byName.end() && it->second->var->select)
        return acquire(it->second);
    // A table may also be served by a handler on its columns.
    for (const auto &e : r.ordered)
        if (e->mib == mib && e->table == table && e->var->select)
            return acquire(e);
    return {};
}

std::vector<qelVar_t> listVars(const std::string &module) {
    Registry &r = reg();
    std::lock_guard lock(r.m);
    std::vector<qelVar_t> out;
    for (const auto &e : r.ordered)
        if (module.empty() || e->mib == module)
            out.push_back(*e->var);
    return out;
}

size_t varCount() {
    Registry &r = reg();
    std::lock_guard lock(r.m);
    return r.ordered.size();
}

} // namespace qelhost

using namespace qelhost;

namespace {

int addVar(qelVar_t *var) {
    if (!var || !var->mibName[0] || !var->objName[0]) {
        qel::logError("qelAddVar: invalid variable\n");
        return -1;
    }
    auto e = std::make_shared<VarEntry>();
    e->var = var;
    e->mib.assign(var->mibName, strnlen(var->mibName, sizeof var->mibName));
    e->obj.assign(var->objName, strnlen(var->objName, sizeof var->objName));
    e->table.assign(var->tableName, strnlen(var->tableName, sizeof var->tableName));
    Registry &r = reg();
    std::lock_guard lock(r.m);
    auto [it, fresh] = r.byName.emplace(Key{e->mib, e->obj}, e);
    if (!fresh) {
        qel::logError("qelAddVar: %s.%s already registered\n", e->mib.c_str(), e->obj.c_str());
        return -1;
    }
    // The host links chain the definitions in registration order.
    var->next = nullptr;
    var->prev = r.ordered.empty() ? nullptr : r.ordered.back()->var;
    if (var->prev)
        var->prev->next = var;
    r.ordered.push_back(e);
    return 1;
}

int removeVarByName(const char *module, const char *objName) {
    if (!module)
        return -1;
    Registry &r = reg();
    std::unique_lock lock(r.m);
    std::vector<std::shared_ptr<VarEntry>> gone;
    for (auto it = r.ordered.begin(); it != r.ordered.end();) {
        const auto &e = *it;
        if (e->mib == module && (!objName || e->obj == objName)) {
            e->removed = true;
            r.byName.erase({e->mib, e->obj});
            gone.push_back(e);
            it = r.ordered.erase(it);
        } else {
            ++it;
        }
    }
    // Re-thread the host links over what is left.
    for (size_t i = 0; i < r.ordered.size(); ++i) {
        r.ordered[i]->var->prev = i ? r.ordered[i - 1]->var : nullptr;
        r.ordered[i]->var->next = i + 1 < r.ordered.size() ? r.ordered[i + 1]->var : nullptr;
    }
    // The plug-in may free its definitions once this returns: wait until no
    // other thread is inside one of their handlers.
    r.idle.wait(lock, [&] {
        for (const auto &e : gone) {
            int mine = static_cast<int>(std::count(heldHere.begin(), heldHere.end(), e.get()));
            if (e->inflight > mine)
                return false;
        }
        return true;
    });
    for (const auto &e : gone) {
        e->var->next = e->var->prev = nullptr;
    }
    return static_cast<int>(gone.size());
}

} // namespace

extern "C" int qelAddVar(qelVar_t *var) {
    return qel::guarded("qelAddVar", -1, [&] { return addVar(var); });
}

extern "C" int qelRemoveVarByName(const char *module, const char *objName) {
    return qel::guarded("qelRemoveVarByName", -1, [&] { return removeVarByName(module, objName); });
}
