// A bare name is looked up among the credentials first: relative to the
// working directory it would name a file in the state directory, where no
// key belongs, and a credential takes its place only when the unit hands
// one over under that very name.
#include "engine/credencial.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/platform.h"

const char* credencialCaminho(const char* nome, char* out, size_t tamanho) {
    const char* pasta = getenv("CREDENTIALS_DIRECTORY");
    if (pasta == nullptr || pasta[0] == 0 || nome[0] == 0 || strchr(nome, '/') != nullptr)
        return nome;
    int n = snprintf(out, tamanho, "%s/%s", pasta, nome);
    if (n < 0 || size_t(n) >= tamanho)
        return nome;
    PlatformFileStatus s;
    return platformNameStatus(out, &s) ? out : nome;
}
