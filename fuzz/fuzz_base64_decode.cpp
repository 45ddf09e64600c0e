// The decoder takes any text (it does not validate): it must stay within
// its input and its output bound, terminate the result, and give back
// exactly what the encoder was given.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "qel/base64.h"

namespace {

void check(bool ok, const char *what) {
    fuzz::check(ok, "fuzz_base64_decode", what);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20))
        return 0;
    // A copy of exactly size bytes: no terminator to lean on.
    std::vector<char> in(data, data + size);
    const int n = static_cast<int>(size);

    int outsize = -7;
    char *out = base64_decode(in.data(), n, &outsize);
    if (n <= 0) {
        check(out == nullptr && outsize == -7, "empty input not refused");
    } else {
        check(out != nullptr, "decode failed");
        // At most three bytes per group of four, fewer for a partial group.
        const int rem = n % 4;
        check(outsize >= 0 && outsize <= 3 * (n / 4) + (rem >= 2 ? rem - 1 : 0), "output beyond its bound");
        check(out[outsize] == '\0', "output not terminated");
        std::free(out);
    }

    // Round trip through the encoder.
    if (n > 0) {
        int encsize = -7;
        char *enc = base64_encode(in.data(), n, &encsize);
        check(enc != nullptr, "encode failed");
        check(encsize == 4 * ((n + 2) / 3), "encoded length wrong");
        check(std::strlen(enc) == static_cast<size_t>(encsize), "encoded text length wrong");
        for (int i = 0; i < encsize; i++)
            check(enc[i] == '=' ? i >= encsize - 2 : findInTable(enc[i]) >= 0, "encoded text outside the alphabet");
        int decsize = -7;
        char *dec = base64_decode(enc, encsize, &decsize);
        check(dec != nullptr, "decode of encoded text failed");
        check(decsize == n && std::memcmp(dec, in.data(), size) == 0, "round trip changed the bytes");
        std::free(dec);
        std::free(enc);
    }
    return 0;
}
