// The registry tool on crafted files: what check reports, the exact JSON of
// dump, load refusing without changing a byte, the lock a server holds, and
// a dump and load round trip that the real servers serve identically.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/platform.h"
#include "programa.h"
#include "support/harness.h"
#include "text/sha0.h"
#include "util/calendario.h"

namespace {

const uint8_t kDigest[20] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};

std::string record(const std::string& email, const std::string& nome = "Fulano de Tal", uint8_t estado = 0) {
    return makeRecord(email, nome, ipOf("10.0.0.1"), 222568269, kDigest, estado, "uma linha", "casa");
}

TEST(RegistryCheck, ReportsEachProblemByItsSlot) {
    const std::string ana = record("ana@exemplo.pt"), bruno = record("bruno@exemplo.pt");
    std::string semFimEmail = record(std::string(69, 'a') + "@exemplo.pt");  // 80 bytes, no NUL
    semFimEmail.replace(0, 80, std::string(69, 'a') + "@exemplo.pt");
    semFimEmail.replace(141, 687, std::string(687, 'i'));
    std::string semFimNome = record("carla@exemplo.pt");
    semFimNome.replace(80, 32, std::string(32, 'N'));
    semFimNome.replace(828, 12, std::string(12, 'L'));
    const std::string forjado = makeRecord("dora@exemplo.pt", "Dora\r\n.\r\n+OK 6.6.6.6", ipOf("10.0.0.1"), 222568269,
                                           kDigest, 0, "uma linha\noutra\r", "ca\x7Fsa");
    struct Caso {
        const char* what;
        std::string file;
        std::string report;
    } casos[] = {
        {"sound", ana + bruno, ""},
        {"piece", ana + bruno + std::string(100, '\x01'),
         "slot 2: 100 bytes, not a whole record (the file is 1780 bytes, not a multiple of 840)\n"},
        {"address", ana + record("bruno.exemplo.pt"), "slot 1: email \"bruno.exemplo.pt\" breaks the address rule\n"},
        {"terminators", ana + semFimEmail + semFimNome,
         "slot 1: email field has no terminator\nslot 1: info field has no terminator\n"
         "slot 2: name field has no terminator\nslot 2: note field has no terminator\n"},
        {"state", record("ana@exemplo.pt", "Ana Maria", 3) + bruno, "slot 0: state 3 is not 0, 1 or 2\n"},
        {"folding", ana + bruno + record("ANA@Exemplo.pt") + record("jo\xE3o@x.pt") + record("JOAO@x.pt"),
         "slot 2: email \"ANA@Exemplo.pt\" equals slot 0's \"ana@exemplo.pt\" under folding\n"
         "slot 3: email \"jo\\xE3o@x.pt\" breaks the address rule\n"
         "slot 4: email \"JOAO@x.pt\" equals slot 3's \"jo\\xE3o@x.pt\" under folding\n"},
        // Bytes that would forge lines of a GET or FIND reply; the line
        // feeds that separate information lines are no fault.
        {"control bytes", ana + forjado + record("c\x7Fo@exemplo.pt"),
         "slot 1: name holds control bytes\nslot 1: info holds control bytes\nslot 1: note holds control bytes\n"
         "slot 2: email holds control bytes\n"},
        // Reported once, as the copy it is, not also as a duplicate address.
        {"copy", ana + bruno + ana,
         "slot 2: repeats slot 0 byte for byte (a removal cut short; the server drops it when it loads the file)\n"},
    };
    for (const Caso& c : casos) {
        ServerProcess dir;
        ASSERT_TRUE(dir.makeDir());
        ASSERT_TRUE(dir.writeFile("quelta.sav", c.file));
        RunResult r = runTool({"check", dir.path("quelta.sav")});
        EXPECT_EQ(r.out, c.report) << c.what;
        EXPECT_EQ(r.status, c.report.empty() ? 0 : 1) << c.what << ": " << r.err;
        EXPECT_EQ(r.err, "") << c.what;
    }
}

TEST(RegistryDump, AccentsAsUtf8AndAFullInformationBlock) {
    const std::string linha1 = "Endere\xE7o: Rua das Ac\xE1" "cias, 12";  // 29 bytes
    std::string joao = makeRecord("joao@exemplo.pt", "Jo\xE3o Concei\xE7\xE3o", ipOf("10.1.2.3"), 222568269, kDigest, 1,
                                  linha1 + "\n\n" + std::string(655, 'x'), "caf\xE9");
    joao[141 + 686] = 'Z';  // the field's last byte, which the server never reads
    std::string maria = makeRecord("maria@x.org", "Maria \"Mimi\" Silva", ipOf("127.0.0.1"), 0, nullptr, 2, "", "");
    ServerProcess dir;
    ASSERT_TRUE(dir.makeDir());
    ASSERT_TRUE(dir.writeFile("quelta.sav", joao + maria));

    const std::string linhaJoao =
        "{\"slot\":0,\"email\":\"joao@exemplo.pt\",\"name\":\"Jo\xC3\xA3o Concei\xC3\xA7\xC3\xA3o\",\"address\":\"10.1.2.3\","
        "\"state\":1,\"date\":\"2024-03-05T07:09\",\"note\":\"caf\xC3\xA9\",\"info\":[\"Endere\xC3\xA7o: Rua das "
        "Ac\xC3\xA1" "cias, 12\",\"\",\"" + std::string(655, 'x') + "\"]";
    const std::string linhaMaria =
        "{\"slot\":1,\"email\":\"maria@x.org\",\"name\":\"Maria \\\"Mimi\\\" Silva\",\"address\":\"127.0.0.1\","
        "\"state\":2,\"date\":\"1601-01-01T00:00\",\"note\":\"\",\"info\":[]";
    RunResult r = runTool({"dump", dir.path("quelta.sav")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, linhaJoao + "}\n" + linhaMaria + "}\n");
    // The digest as the 20 stored bytes in their stored order.
    r = runTool({"dump", "--digests", dir.path("quelta.sav")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, linhaJoao + ",\"digest\":\"000102030405060708090a0b0c0d0e0f10111213\"}\n" + linhaMaria +
                         ",\"digest\":\"0000000000000000000000000000000000000000\"}\n");
}

TEST(RegistryLoad, RefusesBadInputAndLeavesTheFileAsItWas) {
    const std::string antes = record("ana@exemplo.pt");
    const std::string bom = "{\"email\":\"novo@exemplo.pt\",\"name\":\"Fulano de Tal\",\"password\":\"x\"}\n";
    struct Caso {
        const char* what;
        bool fileExists;
        std::string input;
        long fileSizeLimit;
        std::string errorStart;  // what standard error's one line begins with
    } casos[] = {
        {"duplicate of the file's", true, bom + "{\"email\":\"ANA@exemplo.PT\",\"name\":\"Outra Ana\"}\n", -1,
         "quelta-registry: line 2: email \"ANA@exemplo.PT\" is already in "},
        {"duplicate of an earlier line", true, bom + "\n" + "{\"email\":\"Novo@Exemplo.pt\",\"name\":\"Outro Nome\"}\n", -1,
         "quelta-registry: line 3: email \"Novo@Exemplo.pt\" repeats line 1"},
        {"bad address", true, bom + "{\"email\":\"outro.exemplo.pt\",\"name\":\"Outro Nome\"}\n", -1,
         "quelta-registry: line 2: email \"outro.exemplo.pt\" breaks the address rule"},
        {"truncated line", true, bom + "{\"email\":\"outro@exemplo.pt\",\"na", -1,
         "quelta-registry: line 2: not valid JSON: "},
        {"wrong type", true, "{\"email\":\"outro@exemplo.pt\",\"name\":\"Outro Nome\",\"state\":\"1\"}\n", -1,
         "quelta-registry: line 1: \"state\" must be 0, 1 or 2"},
        {"beyond Latin-1", true, bom + "{\"email\":\"outro@exemplo.pt\",\"name\":\"Outro \xE2\x82\xAC\"}\n", -1,
         "quelta-registry: line 2: \"name\" holds U+20AC, which Latin-1 cannot store"},
        {"short name", true, "{\"email\":\"outro@exemplo.pt\",\"name\":\"Rita\"}\n", -1,
         "quelta-registry: line 1: \"name\" has fewer than 5 characters"},
        // Room for one record and part of the second: the part must go.
        {"short write", true, bom + "{\"email\":\"b@exemplo.pt\",\"name\":\"Outro Nome\"}\n", 840 + 840 + 500,
         "quelta-registry: "},
        // A file made for a load that fails is no file at all afterwards.
        {"bad line into a new file", false, bom + "{\"email\":\"x\",\"name\":\"Outro Nome\"}\n", -1,
         "quelta-registry: line 2: email \"x\" breaks the address rule"},
        // Bytes that GET and FIND would send on as forged reply lines.
        {"control byte in the name", true, bom + "{\"email\":\"b@exemplo.pt\",\"name\":\"Ana\\r\\n.\\r\\n+OK 6.6.6.6\"}\n",
         -1, "quelta-registry: line 2: \"name\" holds U+000D, a control character"},
        {"control byte in an info line", true,
         bom + "{\"email\":\"b@exemplo.pt\",\"name\":\"Outro Nome\",\"info\":[\"uma\",\"duas\\r\"]}\n", -1,
         "quelta-registry: line 2: \"info\" holds U+000D, a control character"},
        {"control byte in the note", true, bom + "{\"email\":\"b@exemplo.pt\",\"name\":\"Outro Nome\",\"note\":\"ca\x7Fsa\"}\n",
         -1, "quelta-registry: line 2: \"note\" holds U+007F, a control character"},
        // The protocol ends a password at a blank, so no client could give it.
        {"blank in the password", true,
         bom + "{\"email\":\"b@exemplo.pt\",\"name\":\"Outro Nome\",\"password\":\"duas partes\"}\n", -1,
         "quelta-registry: line 2: \"password\" holds a blank"},
        // The library keeps the last of two equal keys: the first "email"
        // and "password" would go unchecked.
        {"repeated key", true,
         bom + "{\"email\":\"bad email\",\"email\":\"b@exemplo.pt\",\"name\":\"Outro Nome\",\"password\":\"a b\","
               "\"password\":\"ok\"}\n",
         -1, "quelta-registry: line 2: key \"email\" appears twice in one object"},
        // A sound record padded with blanks to one byte over the bound.
        {"line over 64 KiB", true,
         bom + [] {
             std::string l = "{\"email\":\"b@exemplo.pt\",\"name\":\"Outro Nome\"}";
             return l + std::string(65537 - l.size(), ' ') + "\n";
         }(),
         -1, "quelta-registry: line 2: longer than 65536 bytes"},
        // A number the JSON library cannot hold, into a new file.
        {"number out of range", false, "{\"email\":\"a@b.cd\",\"name\":\"abcde\",\"state\":1e400}\n", -1,
         "quelta-registry: line 1: cannot read the JSON: number overflow parsing '1e400'"},
    };
    for (const Caso& c : casos) {
        ServerProcess dir;
        ASSERT_TRUE(dir.makeDir());
        if (c.fileExists) {
            ASSERT_TRUE(dir.writeFile("quelta.sav", antes));
        }
        RunResult r = runTool({"load", dir.path("quelta.sav")}, c.input, c.fileSizeLimit);
        EXPECT_EQ(r.status, 1) << c.what << ": " << r.err;
        EXPECT_EQ(r.err.compare(0, c.errorStart.size(), c.errorStart), 0) << c.what << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.what << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(access(dir.path("quelta.sav").c_str(), F_OK) == 0, c.fileExists) << c.what;
        EXPECT_EQ(dir.readFile("quelta.sav"), c.fileExists ? antes : "") << c.what;
    }
}

TEST(RegistryDump, OutputFileIsOwnerOnlyWhateverItWasBefore) {
    ServerProcess dir;
    ASSERT_TRUE(dir.makeDir());
    ASSERT_TRUE(dir.writeFile("quelta.sav", record("ana@exemplo.pt")));
    RunResult toStdout = runTool({"dump", "--digests", dir.path("quelta.sav")});
    ASSERT_EQ(toStdout.status, 0) << toStdout.err;
    // A new file under a permissive umask, and an older world-readable
    // backup with more in it than the new dump.
    ASSERT_TRUE(dir.writeFile("old.jsonl", std::string(5000, 'x')));
    ASSERT_EQ(chmod(dir.path("old.jsonl").c_str(), 0644), 0);
    mode_t before = umask(022);
    for (const char* name : {"new.jsonl", "old.jsonl"}) {
        RunResult r = runTool({"dump", "--digests", dir.path("quelta.sav"), "--output", dir.path(name)});
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        EXPECT_EQ(r.out, "") << name;
        struct stat st;
        ASSERT_EQ(stat(dir.path(name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
        EXPECT_EQ(dir.readFile(name), toStdout.out) << name;
    }
    umask(before);
    // Never over the registry it reads.
    RunResult r = runTool({"dump", dir.path("quelta.sav"), "--output", dir.path("quelta.sav")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(dir.readFile("quelta.sav"), record("ana@exemplo.pt"));
}

TEST(RegistryLoad, NewFileTakesItsDirectorysOwnerAndNoMoreThanItsMode) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root may give a file to another user";
    ServerProcess dir;
    ASSERT_TRUE(dir.makeDir());
    // A state directory of another user that its group may read.
    const std::string state = dir.path("estado");
    ASSERT_EQ(mkdir(state.c_str(), 0750), 0);
    ASSERT_EQ(chown(state.c_str(), 4321, 4322), 0);
    RunResult r = runTool({"load", state + "/quelta.sav"}, "{\"email\":\"novo@exemplo.pt\",\"name\":\"Fulano de Tal\"}\n");
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat((state + "/quelta.sav").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(RegistryLoad, RefusedWhileAnotherDescriptorHoldsTheLock) {
    const std::string antes = record("ana@exemplo.pt");
    const std::string entrada = "{\"email\":\"novo@exemplo.pt\",\"name\":\"Fulano de Tal\"}\n";
    ServerProcess dir;
    ASSERT_TRUE(dir.makeDir());
    ASSERT_TRUE(dir.writeFile("quelta.sav", antes));
    int fd = open(dir.path("quelta.sav").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    RunResult r = runTool({"load", dir.path("quelta.sav")}, entrada);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quelta-registry: " + dir.path("quelta.sav") +
                         " is locked by another process (a running server, or another load); nothing changed\n");
    EXPECT_EQ(dir.readFile("quelta.sav"), antes);
    // The same load goes through once the lock is gone.
    close(fd);
    r = runTool({"load", dir.path("quelta.sav")}, entrada);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.readFile("quelta.sav").size(), 2u * 840);
}

// A file in dir besides quelta.sav and the load's input with at least
// `bytes` bytes in it, or "".
std::string strayFile(const ServerProcess& dir, off_t bytes) {
    std::string found;
    DIR* d = opendir(dir.path("").c_str());
    if (d == nullptr)
        return "(no directory)";
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        struct stat st;
        if (found.empty() && name != "." && name != ".." && name != "quelta.sav" && name != "entrada.jsonl" &&
            stat(dir.path(name).c_str(), &st) == 0 && st.st_size >= bytes)
            found = name;
    }
    closedir(d);
    return found;
}

// Whether a load into dir's quelta.sav (840 bytes before it) has begun to
// write: the file has another size, or a file beside it has bytes.
bool loadWrites(const ServerProcess& dir) {
    struct stat st;
    return stat(dir.path("quelta.sav").c_str(), &st) != 0 || st.st_size != 840 || !strayFile(dir, 1).empty();
}

TEST(RegistryLoad, KilledWhileWritingLeavesTheFileAsItWas) {
    const std::string antes = record("ana@exemplo.pt");
    ServerProcess dir;
    ASSERT_TRUE(dir.makeDir());
    ASSERT_TRUE(dir.writeFile("quelta.sav", antes));
    std::string entrada;
    for (int i = 0; i < 200000; i++)
        entrada += "{\"email\":\"u" + std::to_string(i) + "@exemplo.pt\",\"name\":\"Usuario " + std::to_string(i) + "\"}\n";
    ASSERT_TRUE(dir.writeFile("entrada.jsonl", entrada));
    const std::string arquivo = dir.path("quelta.sav"), caminhoEntrada = dir.path("entrada.jsonl");

    pid_t pid = fork();
    if (pid == 0) {
        int i = open(caminhoEntrada.c_str(), O_RDONLY), nada = open("/dev/null", O_WRONLY);
        if (i < 0 || nada < 0)
            _exit(126);
        dup2(i, 0);
        dup2(nada, 1);
        dup2(nada, 2);
        execl(QUELTA_REGISTRY_BINARY, QUELTA_REGISTRY_BINARY, "load", arquivo.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    // Killed as soon as its first bytes are seen: some 168 MB are still to
    // come, so the kill lands well inside the writing.
    bool escrevendo = false, terminou = false;
    int status = 0;
    auto prazo = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int n = 0; n < 1000000 && !escrevendo && !terminou && std::chrono::steady_clock::now() < prazo; n++) {
        terminou = waitpid(pid, &status, WNOHANG) == pid;
        escrevendo = !terminou && loadWrites(dir);
        if (!escrevendo && !terminou)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (!terminou) {
        kill(pid, SIGKILL);
        prazo = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (int n = 0; n < 10000 && !terminou && std::chrono::steady_clock::now() < prazo; n++) {
            terminou = waitpid(pid, &status, WNOHANG) == pid;
            if (!terminou)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ASSERT_TRUE(terminou) << "the load outlived SIGKILL";
    ASSERT_TRUE(escrevendo) << "the load ended, status " << status << ", before it was seen writing";
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    // Not one record of the load, nor a piece of one.
    std::string depois = dir.readFile("quelta.sav");
    EXPECT_EQ(depois.size(), antes.size());
    EXPECT_TRUE(depois == antes);
    RunResult r = runTool({"check", arquivo});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    // The next load goes through, and what the killed one left is gone.
    r = runTool({"load", arquivo}, "{\"email\":\"novo@exemplo.pt\",\"name\":\"Fulano de Tal\"}\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.readFile("quelta.sav").size(), 2u * 840);
    EXPECT_EQ(strayFile(dir, 0), "");
}

uint32_t minuteNow() {
    PlatformLocalTime t = platformLocalTime();
    return uint32_t(dateToMinutesWide(t.mday, t.mon, t.year) + t.hour * 60 + t.min);
}

// Everything one server tells about every user: a GET each, the whole
// FIND listing and the active ones, and whether a password opens a LOGON
// (asked last, since it changes the entry).
std::string whatServerTells(int port, const std::vector<std::string>& emails) {
    Client c;
    if (!c.connect(port))
        return "no connection";
    std::string told = c.readLine();
    for (const std::string& e : emails) {
        c.send("GET " + e + "\r\n");
        told += c.readUntil("\r\n.\r\n");
    }
    for (const char* find : {"FIND\r\n", "FIND +\r\n"}) {
        c.send(find);
        told += c.readUntil("\r\n.\r\n");
    }
    for (const char* logon : {"LOGON bia@exemplo.pt:errada\r\n", "LOGON bia@exemplo.pt:segredo casa\r\n"}) {
        c.send(logon);
        told += c.readLine();
    }
    return told;
}

TEST(RegistryRoundTrip, DumpThenLoadIsServedIdentically) {
    uint32_t agora = minuteNow();
    uint8_t segredo[20], vazio[20];
    digestText("segredo", segredo);
    digestText("", vazio);
    std::string crafted =
        makeRecord("joao@exemplo.pt", "Jo\xE3o Concei\xE7\xE3o", ipOf("10.0.0.2"), agora - 10, vazio, 1,
                   "Rua das Ac\xE1" "cias\n\nTelefone 123", "trabalh\xF4") +
        makeRecord("bia@exemplo.pt", "Beatriz Gon\xE7" "alves", ipOf("10.0.0.3"), agora - 5000, segredo, 2, "", "casa") +
        makeRecord("Carlos.Silva@exemplo.pt", "Carlos Silva", ipOf("10.0.0.4"), agora, vazio, 0,
                   std::string(686, 'y'), "");
    // Bytes after a field's terminator are never served; the rebuilt file
    // holds zeros there.
    crafted[80 + 20] = 'Q';
    const std::vector<std::string> emails = {"joao@exemplo.pt", "bia@exemplo.pt", "carlos.silva@exemplo.pt"};

    ServerProcess original, rebuilt;
    ASSERT_TRUE(original.makeDir());
    ASSERT_TRUE(original.writeFile("dump.sav", crafted));
    RunResult dump = runTool({"dump", "--digests", original.path("dump.sav")});
    ASSERT_EQ(dump.status, 0) << dump.err;
    ASSERT_TRUE(rebuilt.makeDir());
    // A journal another file left: the new file must not start with it.
    ASSERT_TRUE(rebuilt.writeFile("quelta.sav.lote", "QLT1 of another file"));
    RunResult load = runTool({"load", rebuilt.path("quelta.sav")}, dump.out);
    ASSERT_EQ(load.status, 0) << load.err;
    ASSERT_NE(rebuilt.readFile("quelta.sav"), crafted);  // the stray byte is gone
    EXPECT_NE(access(rebuilt.path("quelta.sav.lote").c_str(), F_OK), 0);

    // A wrong password and the right one in a row: no delay between them.
    const std::string cfg = "ender = 127.0.0.1\ndiasreg = 0\npenalidade = 0\n";
    ASSERT_TRUE(original.start(cfg, "quelta", crafted)) << original.error;
    ASSERT_TRUE(rebuilt.start(cfg)) << rebuilt.error;
    std::string fromOriginal = whatServerTells(original.port, emails);
    EXPECT_EQ(whatServerTells(rebuilt.port, emails), fromOriginal);
    // Not two empty answers compared: every user and the logon were there.
    EXPECT_NE(fromOriginal.find("Jo\xE3o Concei\xE7\xE3o\r\n10.0.0.2\r\ntrabalh\xF4"), std::string::npos) << fromOriginal;
    EXPECT_NE(fromOriginal.find("Beatriz Gon\xE7" "alves"), std::string::npos) << fromOriginal;
    EXPECT_NE(fromOriginal.find("Carlos.Silva@exemplo.pt Carlos Silva 10.0.0.4"), std::string::npos) << fromOriginal;
    EXPECT_NE(fromOriginal.find("+OK Entrada registrada"), std::string::npos) << fromOriginal;
}

}  // namespace
