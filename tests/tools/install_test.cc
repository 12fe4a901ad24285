// cmake --install of the whole build: the tree it lays under DESTDIR, and
// the service unit as systemd-analyze reads it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "programa.h"
#include "support/harness.h"

namespace {

RunResult install(const std::string& prefix, const std::string& destdir) {
    std::vector<std::string> env;
    if (!destdir.empty())
        env.push_back("DESTDIR=" + destdir);
    return runProgram({QUELTA_CMAKE, "--install", QUELTA_BUILD_DIR, "--prefix", prefix}, "", env);
}

TEST(Install, LaysProgramsPagesSampleAndUnitUnderDestdir) {
    ServerProcess dir;
    ASSERT_TRUE(dir.makeDir());
    RunResult r = install("/usr/local", dir.dir);
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    // Exactly these files: no test program or benchmark among them.
    std::set<std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.dir))
        if (!e.is_directory())
            files.insert(e.path().string().substr(dir.dir.size() + 1));
    std::set<std::string> expected = {
        "usr/local/bin/quelta",
        "usr/local/bin/quelta-registry",
        "usr/local/lib/systemd/system/quelta.service",
        "usr/local/lib/sysusers.d/quelta.conf",
        "usr/local/share/doc/quelta/examples/fail2ban/filter.d/quelta.conf",
        "usr/local/share/doc/quelta/examples/fail2ban/jail.d/quelta.conf",
        "usr/local/share/doc/quelta/quelta.cfg.example",
        "usr/local/share/man/man1/quelta-registry.1",
        "usr/local/share/man/man8/quelta.8",
    };
#ifdef QUELTA_CLI_BINARY
    expected.insert({"usr/local/bin/quelta-cli", "usr/local/share/man/man1/quelta-cli.1"});
#endif
    EXPECT_EQ(files, expected);
    EXPECT_EQ(access(dir.path("usr/local/bin/quelta").c_str(), X_OK), 0);
    EXPECT_EQ(access(dir.path("usr/local/bin/quelta-registry").c_str(), X_OK), 0);
    // The unit names the binary where this prefix put it, not DESTDIR's copy.
    std::string unit = dir.readFile("usr/local/lib/systemd/system/quelta.service");
    EXPECT_NE(unit.find("\nExecStart=/usr/local/bin/quelta\n"), std::string::npos) << unit;
    // The sample sets every key the server reads, each on a line of its own.
    std::string sample = dir.readFile("usr/local/share/doc/quelta/quelta.cfg.example");
    for (const char* key : {"senhaadm =", "ender =", "porta = 1956", "maxconec = 2", "diasreg = 90",
                            "ativomin = 480", "maxtempo = 120", "regtempo = 120", "penalidade = 2"})
        EXPECT_NE(sample.find(std::string("\n") + key + "\n"), std::string::npos) << key;
}

TEST(Install, UnitPassesSystemdAnalyzeVerify) {
    if (runProgram({"systemd-analyze", "--version"}).status != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    // Installed under a prefix of its own, without DESTDIR, so that every
    // path the unit names exists: verify looks for the program of each Exec
    // line, and (through MANPATH) for the pages of Documentation=.
    ServerProcess dir;
    ASSERT_TRUE(dir.makeDir());
    RunResult r = install(dir.dir, "");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    RunResult v = runProgram({"systemd-analyze", "verify", dir.path("lib/systemd/system/quelta.service")}, "",
                             {"MANPATH=" + dir.path("share/man")});
    EXPECT_EQ(v.status, 0) << v.out << v.err;
    // An unknown key or a bad value is only a warning with status 0.
    EXPECT_EQ(v.out + v.err, "");
}

}  // namespace
