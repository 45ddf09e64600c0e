// Base64 encoder and the lenient decoder the subgraph client relies on.
// Both go by table, a large text in one pass over whole groups; the output
// of a large text lies on huge pages (a subgraph runs to megabytes).
#include "qel/base64.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "qel/bigbuf.h"

namespace {

constexpr char convertTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char padChar = '=';

// Value of every byte: its index in the alphabet, or all bits set (-1 taken
// as unsigned) for anything else, NUL included; the shifts below then cut
// such a value to bytes without any signed overflow.
constexpr auto valueTable = [] {
    std::array<uint32_t, 256> t{};
    for (auto &v : t)
        v = UINT32_MAX;
    for (uint32_t i = 0; i < 64; i++)
        t[static_cast<unsigned char>(convertTable[i])] = i;
    return t;
}();

// The two characters of every 12-bit value, so a group of three bytes is
// written with two look-ups.
constexpr auto pairTable = [] {
    std::array<std::array<char, 2>, 4096> t{};
    for (size_t i = 0; i < 4096; i++)
        t[i] = {convertTable[i >> 6], convertTable[i & 0x3F]};
    return t;
}();

inline uint32_t valueOf(char c) { return valueTable[static_cast<unsigned char>(c)]; }

inline char byteOf(uint32_t v) { return static_cast<char>(static_cast<unsigned char>(v & 0xFFu)); }

} // namespace

extern "C" int findInTable(char c) { return static_cast<int>(valueOf(c)); }

extern "C" char *base64_encode(const char *inbuf, int insize, int *outsize) {
    if (!inbuf || !outsize || insize <= 0)
        return nullptr;
    const size_t n = static_cast<size_t>(insize);
    const size_t outlen = 4 * ((n + 2) / 3);
    if (outlen > static_cast<size_t>(INT_MAX))
        return nullptr;
    // The text to encode is the caller's own (in the agent: a subgraph),
    // not a size a peer chooses, so it goes on huge pages from the size
    // where malloc would map it anyway and fault it in page by page, even
    // where the threshold for received blocks is higher.
    char *out = static_cast<char *>(qelAllocLargeFrom(outlen + 1, std::min(qelHugeBlockFrom(), kQelLargeFrom)));
    if (!out)
        return nullptr;
    const auto *in = reinterpret_cast<const unsigned char *>(inbuf);
    char *o = out;
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t w = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        std::memcpy(o, pairTable[w >> 12].data(), 2);
        std::memcpy(o + 2, pairTable[w & 0xFFF].data(), 2);
        o += 4;
    }
    if (i < n) {
        const uint32_t b0 = in[i];
        const uint32_t b1 = i + 1 < n ? in[i + 1] : 0;
        *o++ = convertTable[b0 >> 2];
        *o++ = convertTable[((b0 & 0x03) << 4) | (b1 >> 4)];
        *o++ = i + 1 < n ? convertTable[(b1 & 0x0F) << 2] : padChar;
        *o++ = padChar;
    }
    *o = '\0';
    *outsize = static_cast<int>(outlen);
    return out;
}

extern "C" int base64_encode_in_place(char *buf, int insize) {
    if (!buf || insize <= 0)
        return -1;
    const size_t n = static_cast<size_t>(insize);
    const size_t groups = n / 3;
    auto *in = reinterpret_cast<unsigned char *>(buf);
    char *out = buf;
    // From the end: the text of group g lies at 4g, at or after its own
    // bytes at 3g and past every earlier group's, and each group is read
    // before its text is written.
    if (n % 3) {
        const size_t i = 3 * groups;
        const uint32_t b0 = in[i];
        const bool two = i + 1 < n;
        const uint32_t b1 = two ? in[i + 1] : 0;
        char *o = out + 4 * groups;
        o[0] = convertTable[b0 >> 2];
        o[1] = convertTable[((b0 & 0x03) << 4) | (b1 >> 4)];
        o[2] = two ? convertTable[(b1 & 0x0F) << 2] : padChar;
        o[3] = padChar;
    }
    const size_t outlen = 4 * ((n + 2) / 3);
    out[outlen] = '\0';
    for (size_t g = groups; g-- > 0;) {
        const size_t i = 3 * g;
        const uint32_t w = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        std::memcpy(out + 4 * g, pairTable[w >> 12].data(), 2);
        std::memcpy(out + 4 * g + 2, pairTable[w & 0xFFF].data(), 2);
    }
    return static_cast<int>(outlen);
}

extern "C" int base64_decode_into(const char *inbuf, int insize, char *out) {
    if (!inbuf || !out || insize <= 0)
        return -1;
    const size_t n = static_cast<size_t>(insize);
    size_t len = 0;
    size_t i = 0;
    // Whole groups without padding: three bytes each. Every group is read
    // before its bytes are written, and they land at or before its own
    // place, so out may be inbuf itself.
    for (; i + 4 <= n; i += 4) {
        if (inbuf[i + 2] == padChar || inbuf[i + 3] == padChar)
            break;
        const uint32_t v1 = valueOf(inbuf[i]);
        const uint32_t v2 = valueOf(inbuf[i + 1]);
        const uint32_t v3 = valueOf(inbuf[i + 2]);
        const uint32_t v4 = valueOf(inbuf[i + 3]);
        out[len] = byteOf((v1 << 2) | ((v2 & 0x30u) >> 4));
        out[len + 1] = byteOf((v2 << 4) | ((v3 & 0x3Cu) >> 2));
        out[len + 2] = byteOf((v3 << 6) | v4);
        len += 3;
    }
    // The group that holds padding or ends the text early, if any: the
    // first "=" in its third or fourth place ends the decoding.
    if (i + 1 < n) {
        const uint32_t v1 = valueOf(inbuf[i]);
        const uint32_t v2 = valueOf(inbuf[i + 1]);
        out[len++] = byteOf((v1 << 2) | ((v2 & 0x30u) >> 4));
        if (i + 2 < n && inbuf[i + 2] != padChar) {
            const uint32_t v3 = valueOf(inbuf[i + 2]);
            out[len++] = byteOf((v2 << 4) | ((v3 & 0x3Cu) >> 2));
            if (i + 3 < n && inbuf[i + 3] != padChar)
                out[len++] = byteOf((v3 << 6) | valueOf(inbuf[i + 3]));
        }
    }
    out[len] = '\0';
    return static_cast<int>(len);
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
    char *out = static_cast<char *>(qelAllocLarge(cap));
    if (!out)
        return nullptr;
    *outsize = base64_decode_into(inbuf, insize, out);
    return out;
}
