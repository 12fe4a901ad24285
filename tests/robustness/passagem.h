// The first ageing pass of a real server, waited for instead of slept
// through: it closes the registry file, which the load left open, so from
// then on the server holds the file by one descriptor only, the lock's.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/harness.h"

namespace passagem {

// Descriptors of the server process open on its registry file; -1 when
// its descriptor table cannot be read.
inline int descritoresDoRegistro(const ServerProcess& srv) {
    char alvo[PATH_MAX];
    if (realpath(srv.path("quelta.sav").c_str(), alvo) == nullptr)
        return -1;
    std::string pasta = "/proc/" + std::to_string(srv.pid) + "/fd";
    DIR* d = opendir(pasta.c_str());
    if (d == nullptr)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d)) {
        char destino[PATH_MAX];
        ssize_t k = readlink((pasta + "/" + e->d_name).c_str(), destino, sizeof destino - 1);
        if (k > 0 && std::string(destino, size_t(k)) == alvo)
            n++;
    }
    closedir(d);
    return n;
}

// Waits, at most timeoutMs, until the first ageing pass has closed the
// registry file; false when it did not within the time.
inline bool esperaPrimeiraPassagem(const ServerProcess& srv, int timeoutMs = 5000) {
    auto fim = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < fim) {
        if (descritoresDoRegistro(srv) == 1)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace passagem
