// The formatter: directives, cutting at size - 1, and arguments that stay
// in step with their directives even when nothing more fits.
#include "text/format.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <string>

namespace {

TEST(Format, Directives) {
    char b[100];
    formatText(b, sizeof b, "%d|%d|%d|%d|%u|%u|%U|%U", 0, -5, INT_MAX, INT_MIN, 4294967295u, 0u, uint64_t(0),
               UINT64_MAX);
    EXPECT_STREQ(b, "0|-5|2147483647|-2147483648|4294967295|0|0|18446744073709551615");
    formatText(b, sizeof b, "%%|%c|%s|[%S]|[%S]", 'Z', "texto", "abc   ", "    ");
    EXPECT_STREQ(b, "%|Z|texto|[abc]|[]");
    formatText(b, sizeof b, "[%S]", "a b  ");
    EXPECT_STREQ(b, "[a b]");
}

TEST(Format, UnknownDirectiveDropsThePercentOnly) {
    char b[100];
    // %x writes x; %5d writes 5d and takes no argument, so %s gets "um".
    formatText(b, sizeof b, "%x %5d %s %", "um");
    EXPECT_STREQ(b, "x 5d um ");
}

TEST(Format, LatinOneLiteralsAreSingleBytes) {
    char b[80];
    formatText(b, sizeof b, "+OK QUELTA Versão 2.03. Agora %d usuário%s.\r\n", 1, "");
    EXPECT_EQ(std::string(b), "+OK QUELTA Vers\xE3o 2.03. Agora 1 usu\xE1rio.\r\n");
}

TEST(Format, CutsAtSizeMinusOne) {
    char b[8];
    memset(b, 'x', sizeof b);
    char* end = formatText(b, 8, "%s", "abcdefghij");
    EXPECT_STREQ(b, "abcdefg");
    EXPECT_EQ(end, b + 7);

    memset(b, 'x', sizeof b);
    formatText(b, 1, "abc%d", 12);
    EXPECT_EQ(b[0], 0);
    EXPECT_EQ(b[1], 'x');

    memset(b, 'x', sizeof b);
    end = formatText(b, 0, "abc");
    EXPECT_EQ(b[0], 'x');  // size 0: not even the terminator
    EXPECT_EQ(end, b);
    formatText(b, -4, "abc");
    EXPECT_EQ(b[0], 'x');

    // A number that does not fit loses its last digits.
    formatText(b, 6, "n=%d", -123456);
    EXPECT_STREQ(b, "n=-12");
}

TEST(Format, ArgumentsStayInStepWhenFull) {
    // The first %s fills the buffer; the later directives must still take
    // their own arguments, or the %s after them would read an integer as a
    // pointer.
    char big[8];
    formatText(big, sizeof big, "%s%d%c%u%S%s", "1234567890", 42, 'c', 7u, "x", "never");
    EXPECT_STREQ(big, "1234567");

    // Same arguments, room enough: each lands in its place.
    char b[64];
    formatText(b, sizeof b, "%s%d%c%u%S%s", "12", 42, 'c', 7u, "x ", "end");
    EXPECT_STREQ(b, "1242c7xend");
}

TEST(Format, ReplyWithLongEchoLosesItsLineEnd) {
    // An unrecognised command is echoed in a 120-byte buffer: a line of
    // more than 94 characters loses all or part of the CR LF.
    std::string line(95, 'q');
    char b[120];
    formatText(b, sizeof b, "-Comando desconhecido: %s\r\n", line.c_str());
    EXPECT_EQ(strlen(b), 119u);
    EXPECT_EQ(b[118], '\r');
    line.assign(96, 'q');
    formatText(b, sizeof b, "-Comando desconhecido: %s\r\n", line.c_str());
    EXPECT_EQ(b[118], 'q');
}

}  // namespace

// The dotted form against the system's own conversion: every value of each
// byte (0, one, two and three digits) in every position, and the end
// pointer at the terminator.
TEST(Format, DottedAddressMatchesTheSystemsForm) {
    int casos = 0;
    for (int pos = 0; pos < 4; pos++)
        for (int v = 0; v < 256; v++) {
            uint8_t b[4] = {7, 250, 0, 99};
            b[pos] = uint8_t(v);
            uint32_t addr;
            memcpy(&addr, b, 4);
            in_addr a;
            a.s_addr = addr;
            char esperado[INET_ADDRSTRLEN];
            ASSERT_NE(inet_ntop(AF_INET, &a, esperado, sizeof esperado), nullptr);
            char out[16];
            memset(out, 'x', sizeof out);
            char* fim = formatDotted(out, addr);
            ASSERT_STREQ(out, esperado);
            ASSERT_EQ(fim, out + strlen(esperado));
            casos++;
        }
    EXPECT_EQ(casos, 1024);
    char out[16];
    EXPECT_EQ(formatDotted(out, 0xFFFFFFFFu) - out, 15);
    EXPECT_STREQ(out, "255.255.255.255");
    formatDotted(out, 0);
    EXPECT_STREQ(out, "0.0.0.0");
}
