// Configuration values and the reader of the ".cfg" file. The parser keeps
// its state between chunks, so a line may straddle two 1024-byte reads.
#include "config/config.h"

#include <cstring>

#include "engine/diario.h"
#include "engine/platform.h"
#include "text/fold.h"

Configuracao config;

char registryFileName[100];
char configFileName[100];

namespace {

constexpr int kBaseMax = 299;  // the base is built in a 300-byte buffer
constexpr int kNameMax = 95;   // of the base in a file name, before the extension
constexpr int kChunk = 1024;

// Leading blanks, an optional sign, decimal digits; anything else ends the
// number, and no digits give 0. Values beyond 32 bits saturate rather than
// wrap, so a huge port can never come out as a small valid one.
int32_t parseNumber(const char* s) {
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        s++;
    bool negativo = false;
    if (*s == '+' || *s == '-')
        negativo = *s++ == '-';
    int64_t v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > int64_t(INT32_MAX) + 1)
            v = int64_t(INT32_MAX) + 1;
    }
    if (negativo)
        return int32_t(-v);
    return v > INT32_MAX ? INT32_MAX : int32_t(v);
}

void stripTrailingBlanks(char* text, int& len) {
    while (len > 0 && text[len - 1] == ' ')
        len--;
    text[len] = 0;
}

// "a.b.c.d" of four numbers 0..255, nothing else; host order.
bool leEndereco(const char* p, const char* fim, uint32_t& ip) {
    ip = 0;
    for (int k = 0; k < 4; k++) {
        if (p == fim || *p < '0' || *p > '9')
            return false;
        uint32_t v = 0;
        int digitos = 0;
        while (p != fim && *p >= '0' && *p <= '9' && digitos < 4) {
            v = v * 10 + uint32_t(*p++ - '0');
            digitos++;
        }
        if (v > 255)
            return false;
        ip = (ip << 8) | v;
        if (k < 3 && (p == fim || *p++ != '.'))
            return false;
    }
    return p == fim;
}

// Networks separated by commas or blanks, each an address or address/bits.
void leProxies(Configuracao& destino, const char* valor) {
    destino.totalProxies = destino.proxiesInvalidos = 0;
    const char* p = valor;
    while (*p != 0) {
        while (*p == ',' || *p == ' ')
            p++;
        const char* inicio = p;
        while (*p != 0 && *p != ',' && *p != ' ')
            p++;
        if (p == inicio)
            continue;
        const char* barra = inicio;
        while (barra != p && *barra != '/')
            barra++;
        uint32_t ip;
        int32_t bits = 32;
        bool ok = leEndereco(inicio, barra, ip);
        if (ok && barra != p) {
            bits = 0;
            const char* b = barra + 1;
            ok = b != p && p - b <= 2;
            for (; ok && b != p; b++)
                ok = *b >= '0' && *b <= '9' && (bits = bits * 10 + (*b - '0')) <= 32;
        }
        if (!ok || destino.totalProxies == int32_t(sizeof destino.proxies / sizeof destino.proxies[0])) {
            destino.proxiesInvalidos++;
            continue;
        }
        uint32_t mascara = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
        destino.proxies[destino.totalProxies++] = Configuracao::Rede{ip & mascara, mascara};
    }
}

void apply(Configuracao& destino, const char* chave, const char* valor) {
    if (compareWord(chave, "senhaadm") == 0) {
        // Zero to its end: the interpreter compares the whole buffer.
        memset(destino.senhaadm, 0, sizeof destino.senhaadm);
        copyBounded(destino.senhaadm, valor, sizeof destino.senhaadm);
        destino.senhaadmLida = int32_t(strlen(valor));
    } else if (compareWord(chave, "proxies") == 0) {
        leProxies(destino, valor);
    } else if (compareWord(chave, "portatls") == 0) {
        int32_t p = parseNumber(valor);
        destino.portatls = p >= 1 && p <= 65535 ? p : 0;
    } else if (compareWord(chave, "certificado") == 0) {
        copyBounded(destino.certificado, valor, sizeof destino.certificado);
    } else if (compareWord(chave, "chave") == 0) {
        copyBounded(destino.chave, valor, sizeof destino.chave);
    } else if (compareWord(chave, "metricas") == 0) {
        copyBounded(destino.metricas, valor, sizeof destino.metricas);
    } else if (compareWord(chave, "ender") == 0) {
        copyBounded(destino.ender, valor, sizeof destino.ender);
    } else if (compareWord(chave, "porta") == 0) {
        int32_t p = parseNumber(valor);
        destino.porta = p >= 1 && p <= 65535 ? p : Configuracao{}.porta;
    } else if (compareWord(chave, "maxconec") == 0) {
        destino.maxconec = parseNumber(valor);
    } else if (compareWord(chave, "diasreg") == 0) {
        destino.diasreg = parseNumber(valor);
    } else if (compareWord(chave, "ativomin") == 0) {
        int32_t m = parseNumber(valor);
        destino.ativomin = m < 1 ? 1 : m > 6000 ? 6000 : m;
    } else if (compareWord(chave, "maxtempo") == 0) {
        destino.maxtempo = parseNumber(valor);
    } else if (compareWord(chave, "regtempo") == 0) {
        destino.regtempo = parseNumber(valor);
    } else if (compareWord(chave, "penalidade") == 0) {
        // At most a minute: the longest delay, eight times the first,
        // then stays under ten minutes.
        int32_t s = parseNumber(valor);
        destino.penalidade = s < 0 ? 0 : s > 60 ? 60 : s;
    }
    // Unknown keys are ignored on purpose: a file may carry keys of other
    // versions or notes.
}

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

void TLeitorConfiguracao::feed(const char* bytes, int n) {
    for (int i = 0; i < n; i++) {
        uint8_t c = uint8_t(bytes[i]);
        if (c == '\r' || c == '\n') {
            endOfLine();
        } else if (c == ' ' && (noValor ? tamValor == 0 : tamChave == 0)) {
            // leading blanks of key and value are dropped
        } else if (c < 0x20) {
            // control bytes, the tab included, vanish wherever they are
        } else if (!noValor) {
            if (c == '=') {
                stripTrailingBlanks(chave, tamChave);
                noValor = true;
                tamValor = 0;
            } else if (tamChave < 255) {
                chave[tamChave++] = char(c);
            }
        } else if (tamValor < 255) {
            valor[tamValor++] = char(c);
        }
    }
}

void TLeitorConfiguracao::endOfLine() {
    // A line without '=' sets nothing, nor does one with nothing after it,
    // which keeps the default; but "senhaadm =" says there is no
    // password, and must not leave one in force.
    if (noValor) {
        stripTrailingBlanks(valor, tamValor);
        if (tamValor > 0 || compareWord(chave, "senhaadm") == 0)
            apply(destino, chave, valor);
    }
    noValor = false;
    tamChave = 0;
    tamValor = 0;
}

void reportConfiguration() {
    // A short password falls to a patient guesser with many addresses in
    // spite of the delays that failures cost; twelve letters and digits
    // do not.
    size_t n = strlen(config.senhaadm);
    if (n == 0)
        logEvent("administration disabled: %s sets no senhaadm", configFileName);
    else if (n < 12)
        logEvent("warning: senhaadm is shorter than 12 characters");
    // Cut without a word, the configured password would never unlock and
    // every try would count as a guess; the server still starts, since a
    // directory without administration still serves its users.
    if (config.proxiesInvalidos > 0)
        logEvent("warning: proxies holds %d entries that are no IPv4 address or network (or more than %d); they "
                 "are left out",
                 config.proxiesInvalidos, int32_t(sizeof config.proxies / sizeof config.proxies[0]));
    if (config.senhaadmLida > int32_t(n))
        logEvent("warning: senhaadm has %d characters; only its first %d count", config.senhaadmLida, int32_t(n));
}

bool readConfiguration(int fd, Configuracao& destino) {
    TLeitorConfiguracao parser(destino);
    char chunk[kChunk];
    for (;;) {
        long n = platformRead(fd, chunk, kChunk);
        if (n < 0)
            return false;  // a read error ends the reading; what was applied stays
        // A short read is the end of the file: the line feed ends a last
        // line that has none. A full chunk is followed by another read.
        if (n < kChunk)
            chunk[n++] = '\n';
        parser.feed(chunk, int(n));
        if (n != kChunk)
            return true;
    }
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
    int fd = platformOpenReadOnly(configFileName);
    if (fd < 0) {
        logEvent("configuration not reloaded: cannot open %s: %s; every value stays", configFileName,
                 platformErrorText());
        return;
    }
    // From the defaults, as at start-up: a key removed from the file
    // returns to its default.
    Configuracao nova;
    bool lida = readConfiguration(fd, nova);
    platformCloseFile(fd);
    if (!lida) {
        logEvent("configuration not reloaded: reading %s failed: %s; every value stays", configFileName,
                 platformErrorText());
        return;
    }
    char mudadas[200] = "";
    // The listener is open on the old address and port.
    if (strcmp(nova.ender, config.ender) != 0)
        logEvent("ender changed: needs a restart");
    if (nova.porta != config.porta)
        logEvent("porta changed: needs a restart");
    if (strcmp(nova.metricas, config.metricas) != 0)
        logEvent("metricas changed: needs a restart");
    if (nova.portatls != config.portatls)
        logEvent("portatls changed: needs a restart");
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
    logEvent("configuration reloaded; changed: %s", mudadas[0] != 0 ? mudadas : "nothing");
    if (senhaMudou || redesMudaram)
        reportConfiguration();
}
