/*
 * How an area of the kestrova plug-in declares its variables: each area's
 * header exports an array of VarSpec records (its scalars, or a table and
 * its columns) and an enum of the hints its handler switches on, and
 * kestrova.cpp registers the areas' arrays in the module's order.
 *
 * A scalar's hint and a column's number are the enumerator of the name the
 * variable is registered under (the macros spell the name from it), so a
 * definition and the switch that answers it cannot drift apart.
 */
#ifndef KESTROVA_VARDEFS_H
#define KESTROVA_VARDEFS_H

#include "qelplugin.h"

namespace kestrova {

struct VarSpec {
    const char *objName;
    qelSyntax_t syntax;
    const char *tableName;
    unsigned hint;
    qelGetHandler_t get;
    qelSetHandler_t set;
    qelTableHandler_t select;
};

constexpr VarSpec scalarSpec(const char *name, qelSyntax_t syntax, unsigned hint, qelGetHandler_t get,
                             qelSetHandler_t set) {
    return {name, syntax, "", hint, get, set, nullptr};
}

constexpr VarSpec tableSpec(const char *name, qelTableHandler_t select) {
    return {name, table, "", 0, nullptr, nullptr, select};
}

constexpr VarSpec columnSpec(const char *name, qelSyntax_t syntax, const char *tableName, unsigned column) {
    return {name, syntax, tableName, column, nullptr, nullptr, nullptr};
}

} // namespace kestrova

// A scalar named as Hints::name, answered by getFn (and set by setFn, or null).
#define KESTROVA_SCALAR(Hints, name, syntax, getFn, setFn)                                                             \
    ::kestrova::scalarSpec(#name, syntax, static_cast<unsigned>(Hints::name), getFn, setFn)
// A table, answered by its select handler.
#define KESTROVA_TABLE(tableName, selectFn) ::kestrova::tableSpec(tableName, selectFn)
// A column of tableName named as Columns::name.
#define KESTROVA_COLUMN(Columns, name, syntax, tableName)                                                              \
    ::kestrova::columnSpec(#name, syntax, tableName, static_cast<unsigned>(Columns::name))

#endif
