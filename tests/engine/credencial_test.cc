// Where a file the configuration names is opened from when the service
// manager hands credentials over: a real directory and a real environment.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "engine/credencial.h"
#include "support/harness.h"

namespace {

TEST(Credencial, BareNameThatTheDirectoryHoldsIsTakenFromThere) {
    ServerProcess dir;
    ASSERT_TRUE(dir.makeDir());
    ASSERT_TRUE(dir.writeFile("quelta.key", "chave"));
    const std::string pasta = dir.dir;
    struct Caso {
        const char* ambiente;  // $CREDENTIALS_DIRECTORY; null: unset
        std::string nome, esperado;
    } casos[] = {
        {pasta.c_str(), "quelta.key", pasta + "/quelta.key"},
        // Not handed over: the name as the configuration gave it.
        {pasta.c_str(), "quelta.pem", "quelta.pem"},
        // A path is the operator's own, even where a credential has its name.
        {pasta.c_str(), "/etc/ssl/private/quelta.key", "/etc/ssl/private/quelta.key"},
        {pasta.c_str(), "./quelta.key", "./quelta.key"},
        {nullptr, "quelta.key", "quelta.key"},
        {"", "quelta.key", "quelta.key"},
    };
    for (const Caso& c : casos) {
        if (c.ambiente != nullptr)
            setenv("CREDENTIALS_DIRECTORY", c.ambiente, 1);
        else
            unsetenv("CREDENTIALS_DIRECTORY");
        char out[512];
        EXPECT_EQ(std::string(credencialCaminho(c.nome.c_str(), out, sizeof out)), c.esperado) << c.nome;
    }
    // A path that would not fit keeps the name rather than a cut one.
    setenv("CREDENTIALS_DIRECTORY", pasta.c_str(), 1);
    char curto[8];
    EXPECT_STREQ(credencialCaminho("quelta.key", curto, sizeof curto), "quelta.key");
    unsetenv("CREDENTIALS_DIRECTORY");
}

}  // namespace
