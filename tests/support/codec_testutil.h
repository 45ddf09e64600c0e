// Helpers for building QEL message records in the codec and dump tests.
#ifndef KESTROVA_CODEC_TESTUTIL_H
#define KESTROVA_CODEC_TESTUTIL_H

#include "qel/qel.h"

#include <string>

namespace codectest {

// A zero-filled message record of the given type and id.
qelPdu_t makePdu(qelMessageType_t type, int64_t id = 7);

// Appends a heap binding the way the parser does: values of 4096 characters
// or more go to valueBuf. Returns the new node.
qelVariable_t *addVar(qelPdu_t &pdu, const std::string &mib, const std::string &obj, const std::string &key,
                      qelSyntax_t syntax, const std::string &value = "");

// Stores any int in a binding's syntax, as a C module may.
void setRawSyntax(qelVariable_t *v, int syntax);

// The value a binding holds (valueBuf first).
std::string valueOf(const qelVariable_t *v);

// Builds a message into a string, growing the buffer as callers do.
std::string build(const qelPdu_t &pdu);

} // namespace codectest

#endif
