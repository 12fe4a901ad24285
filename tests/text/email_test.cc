// The address rule of REGISTER, case by case.
#include "text/email.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Email, CheckAcceptsAndRefuses) {
    std::string comprido189 = std::string(183, 'a') + "@b.com";
    ASSERT_EQ(comprido189.size(), 189u);
    std::string comprido190 = "a" + comprido189;
    struct {
        std::string texto;
        bool valido;
    } casos[] = {
        {"a@b.c", true},         {"a@.c", true},        {"x.y@a.b.c", true},  {"a@b..", true},
        {"a@b.c\x7F", true},     {comprido189, true},   {comprido190, false}, {"", false},
        {"@a.b", false},         {"a@b@c.d", false},    {"a@b.c@d", false},   {"a@bc", false},
        {"a.b@c", false},        {"a@b.", false},       {"a b@c.d", false},   {"a@b.c ", false},
        {"a\t@b.c", false},      {"\xE1@b.c", false},   {"a@b.\x80", false},  {"a", false},
    };
    for (auto& c : casos)
        EXPECT_EQ(cEmailValido(c.texto.c_str()), c.valido) << '"' << c.texto << '"';
}

}  // namespace
