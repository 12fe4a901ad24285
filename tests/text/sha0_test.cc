// SHA-0 against the published vectors of the original standard, and the
// stored byte order of the password digest.
#include "text/sha0.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string standardHex(const std::string& msg) {
    ShaContext ctx;
    shaInit(&ctx);
    shaUpdate(&ctx, msg.data(), int32_t(msg.size()));
    shaFinal(&ctx);
    char out[41];
    for (int i = 0; i < 5; i++)
        snprintf(out + 8 * i, 9, "%08x", ctx.h[i]);
    return out;
}

std::string storedHex(const char* text) {
    uint8_t d[20];
    digestText(text, d);
    std::string s;
    char b[3];
    for (uint8_t x : d) {
        snprintf(b, sizeof b, "%02x", x);
        s += b;
    }
    return s;
}

TEST(Sha0, PublishedVectors) {
    EXPECT_EQ(standardHex("abc"), "0164b8a914cd2a5e74c4f7ff082c4d97f1edf880");
    EXPECT_EQ(standardHex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "d2516ee1acfa5baf33dfc1c471e438449ef134c8");
    EXPECT_EQ(standardHex(std::string(1000000, 'a')), "3232affa48628a26653b5aaa44541fd90d690603");
}

TEST(Sha0, IsNotSha1) {
    // SHA-1 of "abc" is a9993e36...; the missing rotation must show.
    EXPECT_NE(standardHex("abc").substr(0, 8), "a9993e36");
}

TEST(Sha0, StoredDigestIsEachWordLeastSignificantByteFirst) {
    EXPECT_EQ(storedHex("abc"), "a9b864015e2acd14fff7c474974d2c0880f8edf1");
}

TEST(Sha0, PaddingBoundariesMatchOneShotAndByteAtATime) {
    // The same message fed whole and fed one byte at a time must agree
    // across the lengths where padding spills into a second block.
    for (int len : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000}) {
        std::string msg;
        for (int i = 0; i < len; i++)
            msg += char('a' + i % 26);
        ShaContext piece;
        shaInit(&piece);
        for (char c : msg)
            shaUpdate(&piece, &c, 1);
        shaFinal(&piece);
        ShaContext whole;
        shaInit(&whole);
        shaUpdate(&whole, msg.data(), int32_t(msg.size()));
        shaFinal(&whole);
        for (int i = 0; i < 5; i++)
            EXPECT_EQ(piece.h[i], whole.h[i]) << "length " << len;
        // The stored digest is the same words, bytes reversed per word.
        uint8_t d[20];
        digestText(msg.c_str(), d);
        for (int i = 0; i < 5; i++)
            EXPECT_EQ(uint32_t(d[4 * i]) | uint32_t(d[4 * i + 1]) << 8 | uint32_t(d[4 * i + 2]) << 16 |
                          uint32_t(d[4 * i + 3]) << 24,
                      whole.h[i])
                << "length " << len;
    }
}

TEST(Sha0, DigestsAtBlockEdges) {
    // Reference values from an independent implementation of the original
    // algorithm, for "a" repeated n times: 55 bytes pad within one block,
    // 56 spill into a second, 64 and 65 cross a whole block.
    struct Vec {
        int n;
        const char* hex;
    };
    const Vec vecs[] = {
        {0, "f96cea198ad1dd5617ac084a3d92c6107708c0ef"},
        {55, "0ff59f7cb9afc10d7abcdc9ab8c00e0e7b02034f"},
        {56, "f826f1db56ddb270e25f21a7a40c4163b51c47ff"},
        {63, "61191abbfdb5d1c77bceae556de82b39bfbfcb9a"},
        {64, "6381391134b901db7a5a03699339bca31c409dde"},
        {65, "b15055fc266b84dbb9f453a96d136bf3376cddeb"},
    };
    for (const Vec& v : vecs)
        EXPECT_EQ(standardHex(std::string(v.n, 'a')), v.hex) << v.n;
}

TEST(Sha0, PasswordsDifferingInCaseOrAccentDiffer) {
    EXPECT_NE(storedHex("senha"), storedHex("Senha"));
    EXPECT_NE(storedHex("s\xE9nha"), storedHex("senha"));
    // The empty password has a digest of its own, stored in the same order.
    EXPECT_EQ(storedHex(""), "19ea6cf956ddd18a4a08ac1710c6923defc00877");
}

}  // namespace
