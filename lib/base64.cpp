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

#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
// Runs of a large text go 24 bytes at a time through AVX2 where the
// processor has it; everything else, and every other processor, takes the
// tables.
#define QEL_BASE64_AVX2 1
bool haveAvx2() {
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}
#endif

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

namespace {

#ifdef QEL_BASE64_AVX2
// Encodes the 24 bytes at in as 32 characters at out. It reads 28 bytes from
// in (the last four unused), all before it writes, so out may lie at or
// after in (in place: 4/3 of the way from the text's start).
__attribute__((target("avx2"))) void encode24(const unsigned char *in, char *out) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 12));
    const __m256i bytes = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
    // Each group's bytes a, b, c as the 32-bit word b a c b, from which
    // the four 6-bit values are cut out by multiplies.
    const __m256i words = _mm256_shuffle_epi8(
        bytes, _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, 1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7,
                                10, 9, 11, 10));
    const __m256i t0 = _mm256_and_si256(words, _mm256_set1_epi32(0x0FC0FC00));
    const __m256i t1 = _mm256_mulhi_epu16(t0, _mm256_set1_epi32(0x04000040));
    const __m256i t2 = _mm256_and_si256(words, _mm256_set1_epi32(0x003F03F0));
    const __m256i t3 = _mm256_mullo_epi16(t2, _mm256_set1_epi32(0x01000010));
    const __m256i values = _mm256_or_si256(t1, t3);
    // A value's character: the value plus its range's offset, the range
    // told by 0 (26-51), 1-10 (52-61), 11 (62), 12 (63) and 13 (0-25).
    __m256i range = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
    range = _mm256_or_si256(range,
                            _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(26), values), _mm256_set1_epi8(13)));
    const __m256i offsets = _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0,
                                             'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    const __m256i text = _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, range));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), text);
}
#endif

} // namespace

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
    size_t g = groups;
#ifdef QEL_BASE64_AVX2
    // Eight groups at a time, from the end: a run's text lies at 4/3 of its
    // bytes' place, past every earlier group's bytes, and the 28 bytes read
    // for it lie within the text's room.
    if (haveAvx2()) {
        for (; g >= 8; g -= 8)
            encode24(in + 3 * (g - 8), out + 4 * (g - 8));
    }
#endif
    while (g-- > 0) {
        const size_t i = 3 * g;
        const uint32_t w = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        std::memcpy(out + 4 * g, pairTable[w >> 12].data(), 2);
        std::memcpy(out + 4 * g + 2, pairTable[w & 0xFFF].data(), 2);
    }
    return static_cast<int>(outlen);
}

namespace {

#ifdef QEL_BASE64_AVX2

// Decodes the 32 characters at in into 24 bytes at out when every one is in
// the alphabet (anything else, "=" included, is left to the caller's table
// walk, which gives it its exact lenient meaning); false, with nothing
// written, otherwise. All 32 characters are read before a byte is written,
// and only 24 bytes are written, so out may be at or before in (in place:
// 3/4 of the way from the text's start) and nothing past them is touched.
// The lanes of c from lo to hi; signed compares: bytes from 0x80 on are
// negative and in no range.
__attribute__((target("avx2"))) inline __m256i within(__m256i c, char lo, char hi) {
    return _mm256_and_si256(_mm256_cmpgt_epi8(c, _mm256_set1_epi8(static_cast<char>(lo - 1))),
                            _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(hi + 1)), c));
}

__attribute__((target("avx2"))) bool decode32(const char *in, char *out) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in));
    const __m256i upper = within(c, 'A', 'Z'), lower = within(c, 'a', 'z'), digit = within(c, '0', '9');
    const __m256i plus = _mm256_cmpeq_epi8(c, _mm256_set1_epi8('+'));
    const __m256i slash = _mm256_cmpeq_epi8(c, _mm256_set1_epi8('/'));
    const __m256i valid =
        _mm256_or_si256(_mm256_or_si256(_mm256_or_si256(upper, lower), _mm256_or_si256(digit, plus)), slash);
    if (_mm256_movemask_epi8(valid) != -1)
        return false;
    // Each character's value: the character plus its range's offset.
    __m256i offset = _mm256_and_si256(upper, _mm256_set1_epi8(-'A'));
    offset = _mm256_or_si256(offset, _mm256_and_si256(lower, _mm256_set1_epi8(26 - 'a')));
    offset = _mm256_or_si256(offset, _mm256_and_si256(digit, _mm256_set1_epi8(52 - '0')));
    offset = _mm256_or_si256(offset, _mm256_and_si256(plus, _mm256_set1_epi8(62 - '+')));
    offset = _mm256_or_si256(offset, _mm256_and_si256(slash, _mm256_set1_epi8(63 - '/')));
    const __m256i v = _mm256_add_epi8(c, offset);
    // Pairs of values to 12 bits, pairs of those to 24 bits per group.
    const __m256i pairs = _mm256_maddubs_epi16(v, _mm256_set1_epi32(0x01400140));
    const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    // Each group's three bytes, high first, packed to the lane's front...
    const __m256i packed = _mm256_shuffle_epi8(
        groups, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4, 10, 9, 8, 14,
                                 13, 12, -1, -1, -1, -1));
    // ...and both lanes' twelve to the front of the whole.
    const __m256i joined = _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm256_castsi256_si128(joined));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out + 16), _mm256_extracti128_si256(joined, 1));
    return true;
}

#endif

} // namespace

extern "C" int base64_decode_into(const char *inbuf, int insize, char *out) {
    if (!inbuf || !out || insize <= 0)
        return -1;
    const size_t n = static_cast<size_t>(insize);
    size_t len = 0;
    size_t i = 0;
#ifdef QEL_BASE64_AVX2
    const bool wide = haveAvx2();
#endif
    // Whole groups without padding: three bytes each, or, where 32
    // characters all in the alphabet follow (a document's text, up to its
    // last group), 24 bytes at once. Every group is read before its bytes
    // are written, and they land at or before its own place, so out may be
    // inbuf itself.
    while (i + 4 <= n) {
#ifdef QEL_BASE64_AVX2
        if (wide && i + 32 <= n && decode32(inbuf + i, out + len)) {
            i += 32;
            len += 24;
            continue;
        }
#endif
        if (inbuf[i + 2] == padChar || inbuf[i + 3] == padChar)
            break;
        const uint32_t v1 = valueOf(inbuf[i]);
        const uint32_t v2 = valueOf(inbuf[i + 1]);
        const uint32_t v3 = valueOf(inbuf[i + 2]);
        const uint32_t v4 = valueOf(inbuf[i + 3]);
        out[len] = byteOf((v1 << 2) | ((v2 & 0x30u) >> 4));
        out[len + 1] = byteOf((v2 << 4) | ((v3 & 0x3Cu) >> 2));
        out[len + 2] = byteOf((v3 << 6) | v4);
        i += 4;
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
