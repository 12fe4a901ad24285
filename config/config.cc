// Configuration values: the one instance, the file names, what the
// operator is told of them, and the reload on SIGHUP.
#include "config/config.h"

#include <cstdarg>
#include <cstddef>
#include <cstring>

#include "engine/diario.h"
#include "engine/platform.h"
#include "text/fold.h"
#include "text/format.h"

Configuracao config;
const char* (*comandoNoInicio)(const char* texto) = nullptr;

char registryFileName[100];
char configFileName[100];

namespace {

constexpr int kBaseMax = 299;  // the base is built in a 300-byte buffer
constexpr int kNameMax = 95;   // of the base in a file name, before the extension

}  // namespace

bool enderecoDeProxy(uint32_t ip) {
    // The peer's address comes in network order: its bytes in memory are
    // the four numbers.
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip);
    uint32_t h = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    for (int32_t i = 0; i < config.totalProxies; i++)
        if ((h & config.proxies[i].mascara) == config.proxies[i].rede)
            return true;
    return false;
}

void deriveFileNames(const char* programName) {
    // Only the last path component counts, however long the whole path is:
    // the component starts afresh after every separator, and only what
    // follows the last one is kept (cut to the buffer).
    char base[kBaseMax + 1];
    int n = 0;
    for (const char* p = programName; *p != 0; p++) {
        if (*p == '/' || *p == '\\')
            n = 0;
        else if (n < kBaseMax)
            base[n++] = *p;
    }
    base[n] = 0;
    for (int i = 0; i < n; i++)
        if (base[i] == '.') {
            base[i] = 0;
            n = i;
            break;
        }
    if (n > kNameMax)
        n = kNameMax;
    for (int i = 0; i < n; i++)
        registryFileName[i] = configFileName[i] = base[i];
    copyString(registryFileName + n, ".sav");
    copyString(configFileName + n, ".cfg");
}

void reportConfiguration() {
    // A short password falls to a patient guesser with many addresses in
    // spite of the delays that failures cost; twelve letters and digits
    // do not.
    size_t n = strlen(config.senhaadm);
    if (n == 0)
        logEventAt(Gravidade::kAviso, "administration disabled: %s sets no senhaadm", configFileName);
    else if (n < 12)
        logEventAt(Gravidade::kAviso, "warning: senhaadm is shorter than 12 characters");
}

void reportProblems(const char* nome, const AvisosConfiguracao& avisos) {
    int32_t guardados = avisos.total < AvisosConfiguracao::kAvisosMax ? avisos.total : AvisosConfiguracao::kAvisosMax;
    for (int32_t i = 0; i < guardados; i++)
        logEventAt(Gravidade::kAviso, "warning: %s:%s", nome, avisos.itens[i]);
    if (avisos.total > guardados)
        logEventAt(Gravidade::kAviso, "warning: %s: %d problems more", nome, avisos.total - guardados);
}

namespace {

// Appends ", name" (or just name) to the list of changed keys.
void anota(char* lista, size_t tamanho, const char* nome) {
    size_t n = strlen(lista);
    if (n + strlen(nome) + 3 > tamanho)
        return;  // the list is far larger than every key name together
    if (n > 0) {
        memcpy(lista + n, ", ", 2);
        n += 2;
    }
    memcpy(lista + n, nome, strlen(nome) + 1);
}

}  // namespace

void reloadConfiguration() {
    const char* motivo;
    int fd = abreConfiguracao(configFileName, &motivo);
    if (fd < 0) {
        if (motivo != nullptr)
            logEventAt(Gravidade::kAviso, "configuration not reloaded: %s is %s; every value stays", configFileName, motivo);
        else
            logEventAt(Gravidade::kAviso, "configuration not reloaded: cannot open %s: %s; every value stays", configFileName,
                     platformErrorText());
        return;
    }
    // From the defaults, as at start-up: a key removed from the file
    // returns to its default. A key whose value is wrong keeps the one in
    // force.
    Configuracao nova;
    AvisosConfiguracao avisos;
    bool lida = readConfiguration(fd, nova, &config, &avisos);
    platformCloseFile(fd);
    if (!lida) {
        logEventAt(Gravidade::kAviso, "configuration not reloaded: reading %s failed: %s; every value stays", configFileName,
                 platformErrorText());
        return;
    }
    reportProblems(configFileName, avisos);
    char mudadas[200] = "";
    // The listener is open on the old address and port.
    if (strcmp(nova.ender, config.ender) != 0)
        logEventAt(Gravidade::kAviso, "ender changed: needs a restart");
    if (nova.porta != config.porta)
        logEventAt(Gravidade::kAviso, "porta changed: needs a restart");
    if (strcmp(nova.metricas, config.metricas) != 0)
        logEventAt(Gravidade::kAviso, "metricas changed: needs a restart");
    if (nova.portatls != config.portatls)
        logEventAt(Gravidade::kAviso, "portatls changed: needs a restart");
    // The pair itself is loaded again by the caller; new handshakes use it.
    if (strcmp(nova.certificado, config.certificado) != 0) {
        memcpy(config.certificado, nova.certificado, sizeof config.certificado);
        anota(mudadas, sizeof mudadas, "certificado");
    }
    if (strcmp(nova.chave, config.chave) != 0) {
        memcpy(config.chave, nova.chave, sizeof config.chave);
        anota(mudadas, sizeof mudadas, "chave");
    }
    bool senhaMudou = memcmp(nova.senhaadm, config.senhaadm, sizeof config.senhaadm) != 0;
    if (senhaMudou) {
        memcpy(config.senhaadm, nova.senhaadm, sizeof config.senhaadm);
        anota(mudadas, sizeof mudadas, "senhaadm");
    }
    config.senhaadmLida = nova.senhaadmLida;
    struct {
        const char* nome;
        int32_t Configuracao::*campo;
    } const numeros[] = {
        {"maxconec", &Configuracao::maxconec}, {"diasreg", &Configuracao::diasreg},
        {"ativomin", &Configuracao::ativomin}, {"maxtempo", &Configuracao::maxtempo},
        {"regtempo", &Configuracao::regtempo}, {"penalidade", &Configuracao::penalidade},
        {"sincronia", &Configuracao::sincronia},
    };
    bool redesMudaram = nova.totalProxies != config.totalProxies;
    for (int32_t i = 0; i < nova.totalProxies && !redesMudaram; i++)
        redesMudaram = nova.proxies[i].rede != config.proxies[i].rede || nova.proxies[i].mascara != config.proxies[i].mascara;
    if (redesMudaram) {
        memcpy(config.proxies, nova.proxies, sizeof config.proxies);
        config.totalProxies = nova.totalProxies;
        anota(mudadas, sizeof mudadas, "proxies");
    }
    config.proxiesInvalidos = nova.proxiesInvalidos;
    for (const auto& k : numeros)
        if (nova.*k.campo != config.*k.campo) {
            config.*k.campo = nova.*k.campo;
            anota(mudadas, sizeof mudadas, k.nome);
        }
    logEventAt(Gravidade::kNota, "configuration reloaded; changed: %s", mudadas[0] != 0 ? mudadas : "nothing");
    if (senhaMudou || redesMudaram)
        reportConfiguration();
}
