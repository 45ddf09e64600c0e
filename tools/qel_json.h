// Replies as JSON, one object per line, for scripts (qelquery -json).
#ifndef KESTROVA_TOOLS_QEL_JSON_H
#define KESTROVA_TOOLS_QEL_JSON_H

#include <cstdio>
#include <string>

#include "qel/qel.h"

// Whether this build can write JSON (the Windows build may be without it).
bool qelJsonAvailable();

// One reply as a JSON object, collected binding by binding as the reply is
// read (add() may throw std::bad_alloc) and written once its header is
// known:
//   {"type":"Response","id":7,"errorStatus":"noError","errorIndex":0,
//    "variables":[{"mib":..,"object":..,"key":..,"syntax":"displayString","value":..}]}
// Every text is a JSON string. Bytes that are not UTF-8 become U+FFFD.
class QelJsonReply {
public:
    void add(const qelVariable_t *var);
    // The whole object and a newline.
    std::string line(const qelPdu_t *reply) const;
    // line() to out; 1, or -1 when it could not be written.
    int print(FILE *out, const qelPdu_t *reply) const;

private:
    std::string variables_; // the bindings' objects, comma-separated
};

#endif
