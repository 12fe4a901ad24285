// Folding and the comparisons built on it. Literals are Latin-1 bytes
// written as escapes, so the tests do not depend on the source encoding.
#include "text/fold.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class Fold : public ::testing::Test {
protected:
    void SetUp() override { buildFoldTable(); }
};

TEST_F(Fold, TableFoldsExactlyTheListedBytes) {
    const char* toA = "\xE3\xE1\xE0\xE2\xC2\xC3\xC1\xC0";
    const char* toO = "\xF4\xF5\xF3\xF2\xD4\xD3\xD2";
    for (const char* s = toA; *s; s++)
        EXPECT_EQ(foldTable[uint8_t(*s)], 'a') << int(uint8_t(*s));
    for (const char* s = toO; *s; s++)
        EXPECT_EQ(foldTable[uint8_t(*s)], 'o') << int(uint8_t(*s));
    EXPECT_EQ(foldTable[0xC7], 0xE7);  // Ç folds to ç
    EXPECT_EQ(foldTable[0xE7], 0xE7);
    EXPECT_EQ(foldTable['Q'], 'q');
    // Not folded: Õ, diaereses, ñ, blank, punctuation outside the list.
    for (int c : {0xD5, 0xE4, 0xEB, 0xFC, 0xF1, 0xFD, int(' '), int('.'), int('_'), int(':'), int('+')})
        EXPECT_EQ(foldTable[c], 0) << c;
    int listed = 0;
    for (int c = 0; c < 256; c++)
        listed += foldTable[c] != 0;
    // 52 letters, 37 accented letters, 17 self-mapped characters.
    EXPECT_EQ(listed, 52 + 8 + 6 + 6 + 7 + 6 + 2 + 17);
}

struct Case {
    const char* a;
    const char* b;
    int expected;
};

TEST_F(Fold, CompareWordStopsAtBlankOrEnd) {
    const Case cases[] = {
        {"REGISTER fulano@x.com", "register", 0},
        {"get", "getx", -1},
        {"getx", "get", 1},
        {" now", "now", -1},
        {" now", "", 0},
        {"p\xF3rta", "porta", 0},  // pórta
        {"HELP me", "help", 0},
        {"HELPME", "help", 1},
        {"", "", 0},
        {"a", "b", -1},
        {"\xE7", "c", 1},  // ç is 0xE7, after c
    };
    for (const Case& c : cases)
        EXPECT_EQ(compareWord(c.a, c.b), c.expected) << c.a << " / " << c.b;
}

TEST_F(Fold, CompareFoldedSignsAndBlankRuns) {
    const Case cases[] = {
        {"A\xC7\xC3O", "a\xE7\xE3o", 0},    // AÇÃO / ação
        {"a\xE7\xE3o", "acao", 1},           // ç (0xE7) after c (0x63)
        {"ab  cd", "AB cd", 0},
        {"abc   ", "abc", 0},
        {"abc", "abc   ", 0},
        {" abc", "abc", -1},                // a lone leading blank faces 'a'
        {"abc", " abc", 1},
        {"  abc", "  ABC", 0},               // leading blanks on both sides skip
        {"\xD5", "o", 1},                    // Õ is not folded
        {"\xD5", "\xF5", 1},                 // Õ stays 0xD5, õ folds to o (0x6F)
        {"", "", 0},
        {"", "   ", 0},
        {"   ", "", 0},
        {"a b", "ab", -1},                   // blank 0x20 against 'b'
        {"JOSE@x", "jos\xE9@X", 0},
        {"abc", "abd", -1},
        {"abd", "abc", 1},
        {"ab", "abc", -1},
        {"abc", "ab", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(compareFolded(c.a, c.b), c.expected) << "'" << c.a << "' / '" << c.b << "'";
}

TEST_F(Fold, CompareFoldedIsAnOrder) {
    // Antisymmetry over a mixed set: the tree relies on a consistent sign.
    const char* words[] = {"", " ", "a", "A", "\xE1", "b", "a b", "a  b", "ab", "\xD5", "o",
                           "\xE7", "c", "z", "zz ", "1", "@", "_", "~"};
    for (const char* x : words)
        for (const char* y : words)
            EXPECT_EQ(compareFolded(x, y), -compareFolded(y, x)) << "'" << x << "' / '" << y << "'";
}

// The comparison walked one byte at a time, blanks and fold on every
// step: whatever shortcut compareFolded takes must give the same sign.
int referenceCompare(const char* a, const char* b) {
    auto f = [](char c) {
        uint8_t x = uint8_t(c);
        return foldTable[x] != 0 ? foldTable[x] : x;
    };
    for (;;) {
        if (*a == ' ' && *b == ' ') {
            while (*a == ' ')
                a++;
            while (*b == ' ')
                b++;
        }
        if (*a == 0) {
            while (*b == ' ')
                b++;
        } else if (*b == 0 && *a == ' ') {
            while (*a == ' ')
                a++;
        }
        uint8_t x = f(*a), y = f(*b);
        if (x != 0 && x == y) {
            a++;
            b++;
            continue;
        }
        if (x == 0)
            return y == 0 ? 0 : -1;
        return x < y ? -1 : 1;
    }
}

TEST_F(Fold, CompareFoldedAgreesWithTheBytewiseWalkOnSharedPrefixes) {
    // Pairs that share a prefix and then differ by a blank, an end, a case
    // or accent, or a control byte: the places a shortcut can go wrong.
    const char alphabet[] = {'a', 'A', '\xE1', ' ', ' ', 'b', '\xD5', 'o', '\x01', '.', '@', '\xFF'};
    uint32_t seed = 20261208;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    int differing = 0;
    for (int i = 0; i < 20000; i++) {
        char x[24], y[24];
        int prefix = int(next() % 12);
        for (int k = 0; k < prefix; k++)
            x[k] = y[k] = alphabet[next() % sizeof alphabet];
        int lx = prefix + int(next() % 6), ly = prefix + int(next() % 6);
        for (int k = prefix; k < lx; k++)
            x[k] = alphabet[next() % sizeof alphabet];
        for (int k = prefix; k < ly; k++)
            y[k] = alphabet[next() % sizeof alphabet];
        x[lx] = y[ly] = 0;
        int esperado = referenceCompare(x, y);
        differing += esperado != 0;
        ASSERT_EQ(compareFolded(x, y), esperado) << "'" << x << "' / '" << y << "'";
    }
    EXPECT_GT(differing, 1000);  // the sample is not all equal pairs
}

TEST_F(Fold, ContainsNoCaseFoldsAsciiOnly) {
    EXPECT_TRUE(containsNoCase("ABC", "xyzabcxyz"));
    EXPECT_TRUE(containsNoCase("", ""));
    EXPECT_TRUE(containsNoCase("", "abc"));
    EXPECT_FALSE(containsNoCase("a", ""));
    EXPECT_FALSE(containsNoCase("\xE1", "\xC1"));  // á is not Á here
    EXPECT_TRUE(containsNoCase("\xE1", "x\xE1y"));
    EXPECT_TRUE(containsNoCase("SILVA", "jose.silva@x.com"));
    EXPECT_FALSE(containsNoCase("abcd", "xabc"));  // haystack ends mid-match
    EXPECT_TRUE(containsNoCase("aab", "aaab"));    // restart after a partial match
    EXPECT_FALSE(containsNoCase("[", "{"));        // '[' is not a letter: no case trick
}

TEST_F(Fold, CopyBoundedAlwaysTerminates) {
    char buf[8];
    memset(buf, 'x', sizeof buf);
    copyBounded(buf, "abcdef", 4);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'x');  // nothing past the bound
    copyBounded(buf, "abcdef", 1);
    EXPECT_STREQ(buf, "");
    memset(buf, 'x', sizeof buf);
    copyBounded(buf, "abcdef", 0);
    copyBounded(buf, "abcdef", -3);
    EXPECT_EQ(buf[0], 'x');
    copyBounded(buf, "ab", 8);
    EXPECT_STREQ(buf, "ab");
}

TEST_F(Fold, CopyStringReturnsTerminator) {
    char buf[32];
    char* end = copyString(buf, "+OK ");
    end = copyString(end, "logon");
    EXPECT_STREQ(buf, "+OK logon");
    EXPECT_EQ(end, buf + 9);
    EXPECT_EQ(*end, 0);
}

TEST_F(Fold, BoundedLengthNeverPassesTheField) {
    const char field[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(boundedLength(field, 4), 4);
    EXPECT_EQ(boundedLength("ab\0cd", 5), 2);
}

}  // namespace
