// cpack of the whole build: the Debian package's files, its control
// fields, the programs it carries and what lintian says of it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <set>
#include <sstream>
#include <string>

#include "programa.h"
#include "support/harness.h"

namespace {

std::string field(const std::string& deb, const std::string& name) {
    RunResult r = runProgram({"dpkg-deb", "-f", deb, name});
    return r.out.empty() ? "" : r.out.substr(0, r.out.size() - 1);
}

TEST(Package, CpackMakesTheDebWithItsFilesFieldsAndNoLintianError) {
    // cpack lies beside the cmake that configured the build.
    const std::string cmake = QUELTA_CMAKE;
    const std::string cpack = cmake.substr(0, cmake.rfind('/') + 1) + "cpack";
    const std::string config = std::string(QUELTA_BUILD_DIR) + "/CPackConfig.cmake";
    if (access(cpack.c_str(), X_OK) != 0 || access(config.c_str(), R_OK) != 0)
        GTEST_SKIP() << "no cpack beside " << cmake << ", or a CMake before 3.19 that makes no package";
    if (runProgram({"dpkg-deb", "--version"}).status != 0 || runProgram({"dpkg-shlibdeps", "--version"}).status != 0)
        GTEST_SKIP() << "dpkg-deb or dpkg-shlibdeps (dpkg-dev) is not installed";
    ServerProcess dir;
    ASSERT_TRUE(dir.makeDir());
    // cpack first makes the build's preinstall target: a no-op on this
    // finished build.
    RunResult r = runProgram({cpack, "-G", "DEB", "--config", config, "-B", dir.dir}, "", {}, -1, 180000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string arch = runProgram({"dpkg", "--print-architecture"}).out;
    const std::string deb = dir.path("quelta_2.03_" + arch.substr(0, arch.size() - 1) + ".deb");
    ASSERT_EQ(access(deb.c_str(), R_OK), 0) << r.out;

    EXPECT_EQ(field(deb, "Package"), "quelta");
    EXPECT_EQ(field(deb, "Version"), "2.03");
    EXPECT_EQ(field(deb, "Section"), "net");
    EXPECT_EQ(field(deb, "Priority"), "optional");
    // dpkg-shlibdeps ran, and postinst's systemd-sysusers has a provider.
    std::string depends = field(deb, "Depends");
    EXPECT_NE(depends.find("libc6 (>= "), std::string::npos) << depends;
    EXPECT_NE(depends.find("| systemd-sysusers"), std::string::npos) << depends;
    for (const char* script : {"postinst", "prerm", "postrm"})
        EXPECT_EQ(runProgram({"dpkg-deb", "-I", deb, script}).status, 0) << script;

    // Exactly these files, each with its mode and owned by root; the pages
    // and the changelog compressed.
    RunResult c = runProgram({"dpkg-deb", "-c", deb});
    ASSERT_EQ(c.status, 0) << c.err;
    std::set<std::string> files;
    std::istringstream lines(c.out);
    for (std::string mode, owner, size, day, time, name; lines >> mode >> owner >> size >> day >> time >> name;)
        if (mode[0] != 'd')
            files.insert(mode + " " + owner + " " + name);
    std::set<std::string> expected = {
        "-rw------- root/root ./etc/quelta/quelta.cfg",
        "-rwxr-xr-x root/root ./usr/bin/quelta",
        "-rwxr-xr-x root/root ./usr/bin/quelta-registry",
        "-rw-r--r-- root/root ./usr/lib/systemd/system/quelta.service",
        "-rw-r--r-- root/root ./usr/lib/sysusers.d/quelta.conf",
        "-rw-r--r-- root/root ./usr/share/doc/quelta/changelog.gz",
        "-rw-r--r-- root/root ./usr/share/doc/quelta/copyright",
        "-rw-r--r-- root/root ./usr/share/doc/quelta/examples/fail2ban/filter.d/quelta.conf",
        "-rw-r--r-- root/root ./usr/share/doc/quelta/examples/fail2ban/jail.d/quelta.conf",
        "-rw-r--r-- root/root ./usr/share/doc/quelta/quelta.cfg.example",
        "-rw-r--r-- root/root ./usr/share/lintian/overrides/quelta",
        "-rw-r--r-- root/root ./usr/share/man/man1/quelta-registry.1.gz",
        "-rw-r--r-- root/root ./usr/share/man/man8/quelta.8.gz",
    };
#ifdef QUELTA_CLI_BINARY
    expected.insert({"-rwxr-xr-x root/root ./usr/bin/quelta-cli",
                     "-rw-r--r-- root/root ./usr/share/man/man1/quelta-cli.1.gz"});
    // The client's line editing comes from libedit, found by dpkg-shlibdeps.
    EXPECT_NE(depends.find("libedit2 (>= "), std::string::npos) << depends;
#endif
    EXPECT_EQ(files, expected);

    // The unit names the installed binary, not cpack's staging copy, and
    // the programs print the package's version.
    ASSERT_EQ(runProgram({"dpkg-deb", "-x", deb, dir.path("root")}).status, 0);
    std::string unit = dir.readFile("root/usr/lib/systemd/system/quelta.service");
    EXPECT_NE(unit.find("\nExecStart=/usr/bin/quelta\n"), std::string::npos) << unit;
    EXPECT_EQ(runProgram({dir.path("root/usr/bin/quelta"), "--version"}).out, "quelta 2.03\n");
    EXPECT_EQ(runProgram({dir.path("root/usr/bin/quelta-registry"), "--version"}).out, "quelta-registry 2.03\n");
#ifdef QUELTA_CLI_BINARY
    EXPECT_EQ(runProgram({dir.path("root/usr/bin/quelta-cli"), "--version"}).out, "quelta-cli 2.03\n");
#endif
    // The configuration is a conffile, so an upgrade keeps the
    // administrator's edits; every key in it is commented out, so the
    // service starts with the defaults and administration off.
    EXPECT_EQ(runProgram({"dpkg-deb", "-I", deb, "conffiles"}).out, "/etc/quelta/quelta.cfg\n");
    std::string cfg = dir.readFile("root/etc/quelta/quelta.cfg");
    for (const char* key : {"\n#senhaadm =\n", "\n#porta = 1956\n", "\n#maxtempo = 120\n", "\n#proxies =\n"})
        EXPECT_NE(cfg.find(key), std::string::npos) << key;
    std::istringstream cfgLines(cfg);
    for (std::string line; std::getline(cfgLines, line);)
        EXPECT_TRUE(line.empty() || line[0] == '#') << line;
    // The unit's reload checks it first: as shipped, it passes.
    RunResult t = runProgram({dir.path("root/usr/bin/quelta"), "-t", dir.path("root/etc/quelta/quelta.cfg")});
    EXPECT_EQ(t.status, 0) << t.out;

    if (runProgram({"lintian", "--version"}).status != 0)
        GTEST_SKIP() << "lintian is not installed: the package was not checked by it";
    // Errors fail it, and so does any sign of a program built without
    // Debian's hardening (no BIND_NOW, no fortified calls), which only its
    // informational tags show; other warnings and notes are judgements a
    // package may keep. A Debug or sanitizer build has no fortified calls
    // by design. --no-cfg: a local lintian profile must not change the
    // verdict.
    RunResult l = runProgram({"lintian", "--no-cfg", "-I", "--pedantic", deb}, "", {}, -1, 180000);
    std::string errors;
    std::istringstream report(l.out);
    for (std::string line; std::getline(report, line);)
        if (line.compare(0, 2, "E:") == 0 ||
            (line.find(" hardening-") != std::string::npos &&
             (QUELTA_FORTIFIED || line.find(" hardening-no-fortify-functions ") == std::string::npos)))
            errors += line + "\n";
    EXPECT_EQ(errors, "");
    // 0 also says that lintian could read the package at all.
    EXPECT_EQ(l.status, 0) << l.out << l.err;
}

}  // namespace
