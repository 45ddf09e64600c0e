// Base64 encoder and the lenient decoder the subgraph client relies on.
#include "qel/base64.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

const char convertTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char padChar = '=';

// Values are taken as unsigned so that -1 (a character outside the alphabet)
// keeps all its bits set in the shifts below without any signed overflow;
// every result is cut to one byte.
inline unsigned valueOf(char c) { return static_cast<unsigned>(findInTable(c)); }

inline char byteOf(unsigned v) { return static_cast<char>(static_cast<unsigned char>(v & 0xFFu)); }

} // namespace

extern "C" int findInTable(char c) {
    if (c == '\0')
        return -1;
    const char *p = std::strchr(convertTable, c);
    return p ? static_cast<int>(p - convertTable) : -1;
}

extern "C" char *base64_encode(const char *inbuf, int insize, int *outsize) {
    if (!inbuf || !outsize || insize <= 0)
        return nullptr;
    const size_t n = static_cast<size_t>(insize);
    const size_t outlen = 4 * ((n + 2) / 3);
    if (outlen > static_cast<size_t>(INT_MAX))
        return nullptr;
    char *out = static_cast<char *>(std::malloc(outlen + 1));
    if (!out)
        return nullptr;
    const auto *in = reinterpret_cast<const unsigned char *>(inbuf);
    char *o = out;
    for (size_t i = 0; i < n; i += 3) {
        const size_t left = n - i;
        const unsigned b0 = in[i];
        const unsigned b1 = left > 1 ? in[i + 1] : 0;
        const unsigned b2 = left > 2 ? in[i + 2] : 0;
        *o++ = convertTable[b0 >> 2];
        *o++ = convertTable[((b0 & 0x03) << 4) | (b1 >> 4)];
        *o++ = left > 1 ? convertTable[((b1 & 0x0F) << 2) | (b2 >> 6)] : padChar;
        *o++ = left > 2 ? convertTable[b2 & 0x3F] : padChar;
    }
    *o = '\0';
    *outsize = static_cast<int>(outlen);
    return out;
}

extern "C" char *base64_decode(const char *inbuf, int insize, int *outsize) {
    if (!inbuf || !outsize || insize <= 0)
        return nullptr;
    const size_t n = static_cast<size_t>(insize);
    // Upper bound of what the walk can produce: three bytes per full group,
    // one less than the characters of a partial group of two or three (a
    // lone character adds nothing), and the NUL.
    const size_t rem = n % 4;
    const size_t cap = 3 * (n / 4) + (rem >= 2 ? rem - 1 : 0) + 1;
    char *out = static_cast<char *>(std::malloc(cap));
    if (!out)
        return nullptr;
    size_t len = 0;
    for (size_t i = 0; i + 1 < n; i += 4) {
        const unsigned v1 = valueOf(inbuf[i]);
        const unsigned v2 = valueOf(inbuf[i + 1]);
        out[len++] = byteOf((v1 << 2) | ((v2 & 0x30u) >> 4));
        if (i + 2 >= n)
            break;
        if (inbuf[i + 2] == padChar)
            break;
        const unsigned v3 = valueOf(inbuf[i + 2]);
        out[len++] = byteOf((v2 << 4) | ((v3 & 0x3Cu) >> 2));
        if (i + 3 >= n)
            break;
        if (inbuf[i + 3] == padChar)
            break;
        const unsigned v4 = valueOf(inbuf[i + 3]);
        out[len++] = byteOf((v3 << 6) | v4);
    }
    out[len] = '\0';
    *outsize = static_cast<int>(len);
    return out;
}
