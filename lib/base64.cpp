// Base64 encoder and the lenient decoder the subgraph client relies on,
// both by table, one group of three bytes (four characters) at a time.
#include "qel/base64.h"

#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>

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

uint32_t valueOf(char c) {
    return valueTable[static_cast<unsigned char>(c)];
}

char byteOf(uint32_t v) {
    return static_cast<char>(static_cast<unsigned char>(v & 0xFFu));
}

// The four characters of the group of n (1 to 3) bytes at in, padded.
void encodeGroup(const unsigned char *in, size_t n, char *out) {
    const uint32_t b0 = in[0];
    const uint32_t b1 = n > 1 ? in[1] : 0;
    const uint32_t b2 = n > 2 ? in[2] : 0;
    out[0] = convertTable[b0 >> 2];
    out[1] = convertTable[((b0 & 0x03) << 4) | (b1 >> 4)];
    out[2] = n > 1 ? convertTable[((b1 & 0x0F) << 2) | (b2 >> 6)] : padChar;
    out[3] = n > 2 ? convertTable[b2 & 0x3F] : padChar;
}

} // namespace

extern "C" int findInTable(char c) {
    return static_cast<int>(valueOf(c));
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
    for (size_t i = 0, o = 0; i < n; i += 3, o += 4)
        encodeGroup(in + i, n - i < 3 ? n - i : 3, out + o);
    out[outlen] = '\0';
    *outsize = static_cast<int>(outlen);
    return out;
}

extern "C" int base64_encode_in_place(char *buf, int insize) {
    if (!buf || insize <= 0)
        return -1;
    const size_t n = static_cast<size_t>(insize);
    const size_t outlen = 4 * ((n + 2) / 3);
    auto *in = reinterpret_cast<unsigned char *>(buf);
    // From the last group to the first: the text of group g lies at 4g, at
    // or after its own bytes at 3g and past every earlier group's, and each
    // group is read before its text is written.
    for (size_t g = (n + 2) / 3; g-- > 0;) {
        unsigned char group[3] = {};
        const size_t len = n - 3 * g < 3 ? n - 3 * g : 3;
        for (size_t k = 0; k < len; k++)
            group[k] = in[3 * g + k];
        encodeGroup(group, len, buf + 4 * g);
    }
    buf[outlen] = '\0';
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
        out[len++] = byteOf((v1 << 2) | ((v2 & 0x30u) >> 4));
        out[len++] = byteOf((v2 << 4) | ((v3 & 0x3Cu) >> 2));
        out[len++] = byteOf((v3 << 6) | v4);
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
    char *out = static_cast<char *>(std::malloc(cap));
    if (!out)
        return nullptr;
    *outsize = base64_decode_into(inbuf, insize, out);
    return out;
}
