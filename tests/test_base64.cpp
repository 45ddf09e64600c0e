#include <gtest/gtest.h>

#include "qel/base64.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>

namespace {

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};
using Buf = std::unique_ptr<char, FreeDeleter>;

std::string encode(const std::string &in) {
    int n = -7;
    Buf out(base64_encode(in.data(), static_cast<int>(in.size()), &n));
    if (!out)
        return "<null>";
    EXPECT_EQ(static_cast<size_t>(n), std::strlen(out.get()));
    return std::string(out.get(), static_cast<size_t>(n));
}

// Decoded bytes; checks the count and the NUL behind them.
std::string decode(const std::string &in) {
    int n = -7;
    Buf out(base64_decode(in.data(), static_cast<int>(in.size()), &n));
    if (!out)
        return "<null>";
    EXPECT_GE(n, 0);
    EXPECT_EQ(out.get()[n], '\0');
    return std::string(out.get(), static_cast<size_t>(n));
}

// OpenSSL's encoder as an independent reference.
std::string reference(const std::string &in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                            reinterpret_cast<const unsigned char *>(in.data()), static_cast<int>(in.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string bytes(std::initializer_list<unsigned> v) {
    std::string s;
    for (unsigned b : v)
        s.push_back(static_cast<char>(b));
    return s;
}

} // namespace

TEST(Base64Table, IndexOfEveryCharacter) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int c = -128; c < 128; ++c) {
        auto pos = alphabet.find(static_cast<char>(c));
        int expected = (c != 0 && pos != std::string::npos) ? static_cast<int>(pos) : -1;
        EXPECT_EQ(findInTable(static_cast<char>(c)), expected) << c;
    }
}

TEST(Base64Encode, PaddingByGroupLength) {
    EXPECT_EQ(encode("abc"), "YWJj");
    EXPECT_EQ(encode("ab"), "YWI=");
    EXPECT_EQ(encode("a"), "YQ==");
    EXPECT_EQ(encode("hello world"), "aGVsbG8gd29ybGQ=");
    EXPECT_EQ(encode(bytes({0xFF, 0xFE, 0x00})), "//4A");
}

TEST(Base64Decode, PaddedAndUnpaddedLastGroup) {
    EXPECT_EQ(decode("YWI="), "ab");
    EXPECT_EQ(decode("YWI"), "ab");
    EXPECT_EQ(decode("YQ=="), "a");
    EXPECT_EQ(decode("YQ="), "a");
    EXPECT_EQ(decode("YQ"), "a");
    EXPECT_EQ(decode("aGVsbG8gd29ybGQ="), "hello world");
}

TEST(Base64Decode, StopsAtFirstPadInThirdOrFourthPosition) {
    EXPECT_EQ(decode("QQ==QQ=="), "A");
    EXPECT_EQ(decode("QUI=QUJD"), "AB");
    EXPECT_EQ(decode("QUJDQQ==QUJD"), "ABCA");
}

TEST(Base64Decode, CharactersOutsideAlphabetCountAsAllBitsSet) {
    // An unknown character is -1 in the bit arithmetic, cut to bytes.
    EXPECT_EQ(decode("*AAA"), bytes({0xFC, 0x00, 0x00}));
    EXPECT_EQ(decode("A*AA"), bytes({0x03, 0xF0, 0x00}));
    EXPECT_EQ(decode("AA*A"), bytes({0x00, 0x0F, 0xC0}));
    EXPECT_EQ(decode("AAA*"), bytes({0x00, 0x00, 0xFF}));
    EXPECT_EQ(decode("****"), bytes({0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(decode(std::string("QU\xff"
                                 "D")),
              bytes({0x41, 0x4F, 0xC3}));
    EXPECT_EQ(decode(std::string("QU\0D", 4)), bytes({0x41, 0x4F, 0xC3}));
    // "=" in the first or second position is just another unknown character.
    EXPECT_EQ(decode("=AAA"), bytes({0xFC, 0x00, 0x00}));
    EXPECT_EQ(decode("A=AA"), bytes({0x03, 0xF0, 0x00}));
    EXPECT_EQ(decode("=="), bytes({0xFF}));
}

TEST(Base64Decode, LoneTrailingCharacterAddsNothing) {
    EXPECT_EQ(decode("Q"), "");
    EXPECT_EQ(decode("="), "");
    EXPECT_EQ(decode("QUJDQ"), "ABC");
    EXPECT_EQ(decode("QUJD*"), "ABC");
    EXPECT_EQ(decode("QUJDQUJDQ"), "ABCABC");
}

TEST(Base64Args, BadArgumentsLeaveOutsizeUntouched) {
    int n = 12345;
    EXPECT_EQ(base64_encode(nullptr, 3, &n), nullptr);
    EXPECT_EQ(base64_encode("abc", 3, nullptr), nullptr);
    EXPECT_EQ(base64_encode("abc", 0, &n), nullptr);
    EXPECT_EQ(base64_encode("abc", -1, &n), nullptr);
    EXPECT_EQ(base64_decode(nullptr, 4, &n), nullptr);
    EXPECT_EQ(base64_decode("YWJj", 4, nullptr), nullptr);
    EXPECT_EQ(base64_decode("YWJj", 0, &n), nullptr);
    EXPECT_EQ(base64_decode("YWJj", -4, &n), nullptr);
    EXPECT_EQ(n, 12345);
}

TEST(Base64RoundTrip, EveryInputUpToThreeBytes) {
    std::string in;
    int failures = 0;
    for (int len = 1; len <= 3 && failures < 10; ++len) {
        const unsigned long total = 1ul << (8 * len);
        in.assign(static_cast<size_t>(len), '\0');
        for (unsigned long v = 0; v < total && failures < 10; ++v) {
            for (int k = 0; k < len; ++k)
                in[static_cast<size_t>(k)] = static_cast<char>((v >> (8 * k)) & 0xFF);
            int elen = 0, dlen = 0;
            Buf enc(base64_encode(in.data(), len, &elen));
            Buf dec(enc ? base64_decode(enc.get(), elen, &dlen) : nullptr);
            bool ok = enc && dec && elen == 4 && std::string(enc.get(), 4) == reference(in) && dlen == len &&
                      std::string(dec.get(), static_cast<size_t>(dlen)) == in && dec.get()[dlen] == '\0';
            if (!ok) {
                ++failures;
                ADD_FAILURE() << "length " << len << " value " << v;
            }
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST(Base64RoundTrip, RandomLongerInputs) {
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<int> lenDist(4, 5000), byteDist(0, 255);
    for (int round = 0; round < 300; ++round) {
        std::string in(static_cast<size_t>(lenDist(rng)), '\0');
        for (char &c : in)
            c = static_cast<char>(byteDist(rng));
        std::string enc = encode(in);
        ASSERT_EQ(enc, reference(in));
        ASSERT_EQ(decode(enc), in);
        // Without its padding the text still decodes to the same bytes.
        std::string bare = enc.substr(0, enc.find('='));
        ASSERT_EQ(decode(bare), in);
    }
}

namespace {

// The decoding rules written out one character at a time, as a model for
// the table-driven decoder.
std::string modelDecode(const std::string &in) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    auto val = [&](char c) -> unsigned {
        auto pos = c ? alphabet.find(c) : std::string::npos;
        return pos == std::string::npos ? ~0u : static_cast<unsigned>(pos);
    };
    std::string out;
    const size_t n = in.size();
    for (size_t i = 0; i + 1 < n; i += 4) {
        unsigned v1 = val(in[i]), v2 = val(in[i + 1]);
        out.push_back(static_cast<char>(((v1 << 2) | ((v2 & 0x30u) >> 4)) & 0xFF));
        if (i + 2 >= n || in[i + 2] == '=')
            break;
        unsigned v3 = val(in[i + 2]);
        out.push_back(static_cast<char>(((v2 << 4) | ((v3 & 0x3Cu) >> 2)) & 0xFF));
        if (i + 3 >= n || in[i + 3] == '=')
            break;
        out.push_back(static_cast<char>(((v3 << 6) | val(in[i + 3])) & 0xFF));
    }
    return out;
}

} // namespace

// Texts mostly from the alphabet with junk, NULs and "=" anywhere: the
// decoder gives the model's bytes, whatever the length and wherever the
// first pad lies.
TEST(Base64Decode, AgreesWithTheModelOnAnyText) {
    std::mt19937 rng(8122026);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::uniform_int_distribution<int> lenDist(1, 300), pick(0, 99), byteDist(0, 255);
    std::uniform_int_distribution<size_t> charDist(0, alphabet.size() - 1);
    for (int round = 0; round < 3000; ++round) {
        std::string in(static_cast<size_t>(lenDist(rng)), '\0');
        const int junk = round % 4 == 0 ? 0 : 3; // a quarter are clean texts
        for (char &c : in) {
            int k = pick(rng);
            c = k < junk ? static_cast<char>(byteDist(rng)) : k < junk + 1 && round % 2 ? '=' : alphabet[charDist(rng)];
        }
        ASSERT_EQ(decode(in), modelDecode(in)) << round;
    }
    // A large text, decoded across its whole groups at once.
    std::string big(3 * 1000 * 1000 + 1, '\0');
    for (char &c : big)
        c = static_cast<char>(byteDist(rng));
    std::string enc = encode(big);
    ASSERT_EQ(enc, reference(big));
    ASSERT_EQ(decode(enc), big);
    enc[enc.size() / 2] = '*';
    ASSERT_EQ(decode(enc), modelDecode(enc));
}
