// The 32-byte header in front of every message comes straight off the
// network: decoding must stay within the header, never accept a version
// other than 1 or a length beyond the limit, and always terminate the user.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_common.h"
#include "qel/qel_session.h"

namespace {

void check(bool ok, const char *what) {
    fuzz::check(ok, "fuzz_wire_header", what);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Exactly the 32 bytes the receiver reads, in a buffer of their own so
    // that any read past them is caught.
    auto *hdr = static_cast<unsigned char *>(std::malloc(QEL_WIREHDR_LEN));
    std::memset(hdr, 0, QEL_WIREHDR_LEN);
    std::memcpy(hdr, data, size < QEL_WIREHDR_LEN ? size : QEL_WIREHDR_LEN);

    int version = -7;
    long msgLen = -7;
    char user[17];
    std::memset(user, 'U', sizeof user);
    int rc = qelDecodeWireHdr(hdr, &version, &msgLen, user);
    check(rc == 1 || rc == -1, "result neither 1 nor -1");
    check(std::memchr(user, '\0', sizeof user) != nullptr, "user not terminated");
    check(std::strlen(user) <= 16, "user longer than its field");
    check(std::strncmp(user, reinterpret_cast<const char *>(hdr) + 16, std::strlen(user)) == 0,
          "user is not the field's text");
    if (rc == 1) {
        check(version == 1, "accepted a version other than 1");
        check(msgLen <= QEL_MAX_MESSAGE_LEN, "accepted a length beyond the limit");
    }
    // Null out-pointers are allowed.
    check(qelDecodeWireHdr(hdr, nullptr, nullptr, nullptr) == rc, "result depends on out-pointers");
    std::free(hdr);

    // Whatever the sender writes, the receiver reads back: take a length
    // and a user from the input and encode them.
    if (size >= 4) {
        int len;
        std::memcpy(&len, data, sizeof len);
        char name[40] = {};
        size_t n = size - 4 < sizeof name - 1 ? size - 4 : sizeof name - 1;
        std::memcpy(name, data + 4, n);
        unsigned char out[QEL_WIREHDR_LEN];
        qelEncodeWireHdr(out, len, name);
        rc = qelDecodeWireHdr(out, &version, &msgLen, user);
        check(version == 1, "encoded version does not read back");
        check(msgLen == len, "encoded length does not read back");
        check(rc == (len > QEL_MAX_MESSAGE_LEN ? -1 : 1), "encoded header judged wrongly");
        // The user field holds 15 characters and a NUL; an empty user is
        // sent as the default one.
        char expect[16];
        std::snprintf(expect, sizeof expect, "%s", name[0] ? name : "qelUser");
        check(std::strcmp(user, expect) == 0, "encoded user does not read back");
    }
    return 0;
}
