// Writes a registry file of N active users for the benchmarks, with the
// request files that go with it: "IP <e-mail>" lines for our server, and for
// the comparison store the same keys as SET commands (ready for a pipe) and
// "EXISTS <e-mail>" lines in the same random order; for the write scenario,
// "LOGON <e-mail>:<password>" and "LOGOFF <e-mail>:<password>" lines in turn
// and, for the comparison store, "SET <e-mail> <address>" over the same users.
//
// Every user is logged on (state 1) with today's date in the server's own
// minute unit, so IP answers with the user's address while the records are
// younger than the active period.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/clock.h"
#include "registry/ficha.h"
#include "text/sha0.h"

namespace {

const size_t kRecord = registro_campo::kRecord;

struct Options {
    long users = 0;
    std::string out;
    std::string ipRequests;     // "IP <e-mail>" lines
    std::string keyCommands;    // SET commands in the wire protocol of the other store
    std::string keyRequests;    // "EXISTS <e-mail>" lines
    std::string writeRequests;  // LOGON and LOGOFF lines in turn, with the password
    std::string setRequests;    // "SET <e-mail> <address>" lines over the same users
    std::string password;       // every user's password ("" unless given)
    long requests = 100000;     // lines in each request file
    uint64_t seed = 1956;
    bool sorted = false;        // records in e-mail order instead of shuffled
};

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: bench_mkregistry --users N --out FILE [--ip-requests FILE]\n"
            "       [--key-commands FILE] [--key-requests FILE] [--requests M]\n"
            "       [--write-requests FILE] [--set-requests FILE] [--password P]\n"
            "       [--seed S] [--sorted]\n");
    exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--users") o.users = atol(next());
        else if (a == "--out") o.out = next();
        else if (a == "--ip-requests") o.ipRequests = next();
        else if (a == "--key-commands") o.keyCommands = next();
        else if (a == "--key-requests") o.keyRequests = next();
        else if (a == "--requests") o.requests = atol(next());
        else if (a == "--write-requests") o.writeRequests = next();
        else if (a == "--set-requests") o.setRequests = next();
        else if (a == "--password") o.password = next();
        else if (a == "--seed") o.seed = strtoull(next(), nullptr, 10);
        else if (a == "--sorted") o.sorted = true;
        else usage();
    }
    // Slots are 24-bit in the index: keep well inside that.
    if (o.users < 0 || o.users > 2500000 || o.out.empty() || o.requests < 0)
        usage();
    // The password travels as "<e-mail>:<password>" in one word of a line.
    if (o.password.size() >= 64 || o.password.find_first_of(" \t\r\n") != std::string::npos)
        usage();
    return o;
}

FILE* openOut(const std::string& name) {
    FILE* f = fopen(name.c_str(), "wb");
    if (f == nullptr) {
        perror(name.c_str());
        exit(1);
    }
    setvbuf(f, nullptr, _IOFBF, 1 << 20);
    return f;
}

void closeOut(FILE* f, const std::string& name) {
    if (fflush(f) != 0 || ferror(f) || fclose(f) != 0) {
        perror(name.c_str());
        exit(1);
    }
}

// User number k (1-based) has this address and, in the file, this IP:
// 10.x.y.z with x.y.z the 24 low bits of k, so every address is distinct.
void emailOf(long k, char* out, size_t size) { snprintf(out, size, "user%07ld@example.com", k); }

void ipOf(long k, uint8_t ip[4]) {
    ip[0] = 10;
    ip[1] = uint8_t(k >> 16);
    ip[2] = uint8_t(k >> 8);
    ip[3] = uint8_t(k);
}

void fillRecord(uint8_t* r, long k, uint32_t now, const uint8_t senha[registro_campo::kSenhaLen]) {
    TFicha f;
    emailOf(k, f.email, sizeof f.email);
    snprintf(f.nome, sizeof f.nome, "Usuario %07ld", k);
    uint8_t ip[4];
    ipOf(k, ip);
    memcpy(&f.ip, ip, 4);  // network order: the bytes as they lie
    f.data = now;
    memcpy(f.senha, senha, sizeof f.senha);
    f.estado = 1;  // logged on
    snprintf(f.info, sizeof f.info, "Benchmark user %07ld\nlinha dois", k);
    // no logon note
    f.cCodifica(r);
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);

    // The server's own minute clock: local time in minutes since 1601.
    clockStart();
    uint32_t now = minuteClock;
    uint8_t senha[registro_campo::kSenhaLen];
    digestText(o.password.c_str(), senha);

    std::mt19937_64 rng(o.seed);
    std::vector<uint32_t> order(size_t(o.users));
    for (long i = 0; i < o.users; i++)
        order[size_t(i)] = uint32_t(i + 1);
    if (!o.sorted)
        for (size_t i = order.size(); i > 1; i--)
            std::swap(order[i - 1], order[size_t(rng() % i)]);

    FILE* reg = openOut(o.out);
    FILE* keys = o.keyCommands.empty() ? nullptr : openOut(o.keyCommands);
    const size_t kBatch = 8192;
    std::vector<uint8_t> buf(kBatch * kRecord);
    char email[registro_campo::kEmailLen], ip[16];
    for (size_t i = 0; i < order.size();) {
        size_t n = std::min(kBatch, order.size() - i);
        for (size_t j = 0; j < n; j++) {
            long k = order[i + j];
            fillRecord(&buf[j * kRecord], k, now, senha);
            if (keys != nullptr) {
                emailOf(k, email, sizeof email);
                uint8_t a[4];
                ipOf(k, a);
                snprintf(ip, sizeof ip, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
                fprintf(keys, "*3\r\n$3\r\nSET\r\n$%zu\r\n%s\r\n$%zu\r\n%s\r\n", strlen(email), email, strlen(ip),
                        ip);
            }
        }
        if (fwrite(buf.data(), kRecord, n, reg) != n) {
            perror(o.out.c_str());
            return 1;
        }
        i += n;
    }
    closeOut(reg, o.out);
    if (keys != nullptr)
        closeOut(keys, o.keyCommands);

    // Random users, the same sequence for both systems.
    FILE* ipReq = o.ipRequests.empty() ? nullptr : openOut(o.ipRequests);
    FILE* keyReq = o.keyRequests.empty() ? nullptr : openOut(o.keyRequests);
    if (o.users > 0 && (ipReq != nullptr || keyReq != nullptr)) {
        for (long i = 0; i < o.requests; i++) {
            emailOf(long(rng() % uint64_t(o.users)) + 1, email, sizeof email);
            if (ipReq != nullptr)
                fprintf(ipReq, "IP %s\n", email);
            if (keyReq != nullptr)
                fprintf(keyReq, "EXISTS %s\n", email);
        }
    }
    if (ipReq != nullptr)
        closeOut(ipReq, o.ipRequests);
    if (keyReq != nullptr)
        closeOut(keyReq, o.keyRequests);

    // Writes: the same random users for both systems, drawn after the
    // lookups so those stay as they were.
    FILE* writeReq = o.writeRequests.empty() ? nullptr : openOut(o.writeRequests);
    FILE* setReq = o.setRequests.empty() ? nullptr : openOut(o.setRequests);
    if (o.users > 0 && (writeReq != nullptr || setReq != nullptr)) {
        for (long i = 0; i < o.requests; i++) {
            long k = long(rng() % uint64_t(o.users)) + 1;
            emailOf(k, email, sizeof email);
            if (writeReq != nullptr)
                fprintf(writeReq, "%s %s:%s\n", i % 2 == 0 ? "LOGON" : "LOGOFF", email, o.password.c_str());
            if (setReq != nullptr) {
                uint8_t a[4];
                ipOf(k, a);
                fprintf(setReq, "SET %s %u.%u.%u.%u\n", email, a[0], a[1], a[2], a[3]);
            }
        }
    }
    if (writeReq != nullptr)
        closeOut(writeReq, o.writeRequests);
    if (setReq != nullptr)
        closeOut(setReq, o.setRequests);

    char lastEmail[registro_campo::kEmailLen] = "";
    char lastIp[16] = "0.0.0.0";
    if (o.users > 0) {
        long k = order.back();
        emailOf(k, lastEmail, sizeof lastEmail);
        uint8_t a[4];
        ipOf(k, a);
        snprintf(lastIp, sizeof lastIp, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    }
    printf("MKREGISTRY users=%ld bytes=%" PRIu64 " minutes=%u last_email=%s last_ip=%s\n", o.users,
           uint64_t(o.users) * kRecord, now, lastEmail, lastIp);
    return 0;
}
