// The reader of the ".cfg" file: the line parser, which keeps its state
// between chunks so that a line may straddle two 1024-byte reads, each
// key's rule and the problems a file may hold.
#include "config/config.h"

#include <cstdarg>
#include <cstddef>
#include <cstring>

#include "engine/platform.h"
#include "text/fold.h"
#include "text/format.h"

namespace {

constexpr int kChunk = 1024;

// A whole number: blanks, an optional sign, decimal digits, blanks, and
// nothing else. False for anything else and for values beyond 32 bits.
bool parseNumber(const char* s, int32_t* v) {
    while (*s == ' ')
        s++;
    bool negativo = false;
    if (*s == '+' || *s == '-')
        negativo = *s++ == '-';
    if (*s < '0' || *s > '9')
        return false;
    int64_t n = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        n = n * 10 + (*s - '0');
        if (n > int64_t(INT32_MAX) + 1)
            return false;
    }
    while (*s == ' ')
        s++;
    if (*s != 0)
        return false;
    n = negativo ? -n : n;
    if (n > INT32_MAX)
        return false;
    *v = int32_t(n);
    return true;
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

// The numeric keys with the values each takes.
struct ChaveNumerica {
    const char* nome;
    int32_t Configuracao::*campo;
    int32_t minimo, maximo;
};

// diasreg: 0 or less keeps every entry; past 1,491,308 days the age in
// minutes no longer fits 32 bits. maxtempo and regtempo are seconds of the
// wheel, which holds 300 of them; penalidade at most a minute, so that
// the longest delay, eight times the first, stays under ten minutes.
const ChaveNumerica kNumericas[] = {
    {"porta", &Configuracao::porta, 1, 65535},
    {"portatls", &Configuracao::portatls, 0, 65535},
    {"maxconec", &Configuracao::maxconec, 0, 1000000},
    {"diasreg", &Configuracao::diasreg, INT32_MIN, 1491308},
    {"ativomin", &Configuracao::ativomin, 1, 6000},
    {"maxtempo", &Configuracao::maxtempo, 0, 300},
    {"regtempo", &Configuracao::regtempo, 0, 300},
    {"penalidade", &Configuracao::penalidade, 0, 60},
};

// The text keys with their buffers; senhaadm and proxies are read apart.
struct ChaveTexto {
    const char* nome;
    size_t campo;  // offsetof the buffer
    int32_t tamanho;
};

#define QUELTA_TEXTO(k) {#k, offsetof(Configuracao, k), int32_t(sizeof Configuracao::k)}
const ChaveTexto kTextos[] = {
    QUELTA_TEXTO(ender),
    QUELTA_TEXTO(metricas),
    QUELTA_TEXTO(certificado),
    QUELTA_TEXTO(chave),
};
#undef QUELTA_TEXTO

char* campoDe(Configuracao& c, const ChaveTexto& k) { return reinterpret_cast<char*>(&c) + k.campo; }
const char* campoDe(const Configuracao& c, const ChaveTexto& k) { return reinterpret_cast<const char*>(&c) + k.campo; }

const Configuracao kPadrao{};

}  // namespace

void TLeitorConfiguracao::feed(const char* bytes, int n) {
    for (int i = 0; i < n; i++) {
        uint8_t c = uint8_t(bytes[i]);
        if (c == '\r' || c == '\n') {
            // CR LF is one line end; a lone CR or LF is one too.
            bool mesmaLinha = c == '\n' && anteriorCr;
            anteriorCr = c == '\r';
            if (!mesmaLinha) {
                endOfLine();
                linha++;
            }
            continue;
        }
        anteriorCr = false;
        if (c > ' ')
            visivel = true;
        if (c == ' ' && (noValor ? tamValor == 0 : tamChave == 0)) {
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
        } else if (c != ' ') {
            cortado = true;  // blanks past the cut would have been stripped anyway
        }
    }
}

void TLeitorConfiguracao::problema(const char* formato, ...) {
    if (avisos == nullptr)
        return;
    if (avisos->total < AvisosConfiguracao::kAvisosMax) {
        char* texto = avisos->itens[avisos->total];
        char* p = formatText(texto, sizeof avisos->itens[0], "%d: ", linha);
        va_list ap;
        va_start(ap, formato);
        formatTextV(p, int32_t(texto + sizeof avisos->itens[0] - p), formato, ap);
        va_end(ap);
    }
    avisos->total++;
}

void TLeitorConfiguracao::endOfLine() {
    // A line without '=' sets nothing, nor does one with nothing after it,
    // which keeps the default; but "senhaadm =" says there is no
    // password, and must not leave one in force. Blank lines and '#'
    // comments are no problem; any other line that sets nothing is.
    if (noValor) {
        stripTrailingBlanks(valor, tamValor);
        if (tamValor > 0 || compareWord(chave, "senhaadm") == 0)
            apply();
    } else if (visivel && !(tamChave > 0 && chave[0] == '#')) {
        chave[tamChave] = 0;
        char eco[41];
        copyPrintable(eco, chave, sizeof eco);
        problema("%s: no '=' in the line, which sets nothing", eco);
    }
    noValor = false;
    cortado = false;
    visivel = false;
    tamChave = 0;
    tamValor = 0;
}

void TLeitorConfiguracao::apply() {
    if (chave[0] == '#')
        return;  // a comment that holds an '='
    const Configuracao& antes = reserva != nullptr ? *reserva : kPadrao;
    char eco[41];
    copyPrintable(eco, valor, sizeof eco);
    for (const ChaveNumerica& k : kNumericas) {
        if (compareWord(chave, k.nome) != 0)
            continue;
        int32_t v;
        bool numero = !cortado && parseNumber(valor, &v);
        if (numero && v >= k.minimo && v <= k.maximo) {
            destino.*k.campo = v;
        } else {
            destino.*k.campo = antes.*k.campo;
            if (!numero)
                problema("%s: %s is not a whole number; %d stays", k.nome, eco, antes.*k.campo);
            else if (k.minimo == INT32_MIN)
                problema("%s: %s is over %d; %d stays", k.nome, eco, k.maximo, antes.*k.campo);
            else
                problema("%s: %s is not within %d..%d; %d stays", k.nome, eco, k.minimo, k.maximo, antes.*k.campo);
        }
        return;
    }
    for (const ChaveTexto& k : kTextos) {
        if (compareWord(chave, k.nome) != 0)
            continue;
        char* campo = campoDe(destino, k);
        char endereco[64];
        uint16_t porta;
        if (cortado || int32_t(strlen(valor)) >= k.tamanho) {
            copyString(campo, campoDe(antes, k));
            problema("%s: longer than %d characters; %s", k.nome, k.tamanho - 1,
                     campo[0] != 0 ? "the value before stays" : "left empty");
        } else if (campo == destino.metricas && !separaEnderecoPorta(valor, endereco, sizeof endereco, &porta)) {
            copyString(campo, antes.metricas);
            problema("metricas: %s is not ADDRESS:PORT with a port 1..65535; %s", eco,
                     campo[0] != 0 ? "the value before stays" : "no metrics endpoint");
        } else {
            copyString(campo, valor);
        }
        return;
    }
    if (compareWord(chave, "sincronia") == 0) {
        const char* const nomes[] = {"nunca", "segundo", "sempre"};
        for (int32_t i = 0; i < 3; i++)
            if (!cortado && compareWord(valor, nomes[i]) == 0 && strlen(valor) == strlen(nomes[i])) {
                destino.sincronia = i;
                return;
            }
        destino.sincronia = antes.sincronia;
        problema("sincronia: %s is none of nunca, segundo, sempre; %s stays", eco, nomes[antes.sincronia]);
        return;
    }
    if (compareWord(chave, "senhaadm") == 0) {
        // Zero to its end: the interpreter compares the whole buffer.
        memset(destino.senhaadm, 0, sizeof destino.senhaadm);
        copyBounded(destino.senhaadm, valor, sizeof destino.senhaadm);
        destino.senhaadmLida = int32_t(strlen(valor));
        // Cut without a word, the configured password would never unlock
        // and every try would count as a guess; the server still starts,
        // since a directory without administration still serves its users.
        const char* palavra = comandoNoInicio != nullptr ? comandoNoInicio(destino.senhaadm) : nullptr;
        if (palavra != nullptr) {
            memset(destino.senhaadm, 0, sizeof destino.senhaadm);
            problema("senhaadm: begins with the command word %s, so no line can unlock it; administration "
                     "disabled",
                     palavra);
        } else if (cortado)
            problema("senhaadm: it has over 255 characters; only its first %d count",
                     int32_t(sizeof destino.senhaadm) - 1);
        else if (destino.senhaadmLida >= int32_t(sizeof destino.senhaadm))
            problema("senhaadm: it has %d characters; only its first %d count", destino.senhaadmLida,
                     int32_t(sizeof destino.senhaadm) - 1);
    } else if (compareWord(chave, "proxies") == 0) {
        leProxies(destino, valor);
        if (destino.proxiesInvalidos > 0)
            problema("proxies: %d entries are no IPv4 address or network (or more than %d); they are left out",
                     destino.proxiesInvalidos, int32_t(sizeof destino.proxies / sizeof destino.proxies[0]));
    } else {
        // A misspelt key would otherwise leave its default in force
        // without a word.
        chave[tamChave < 40 ? tamChave : 40] = 0;
        char nome[41];
        copyPrintable(nome, chave, sizeof nome);
        problema("%s: unknown key, ignored", nome);
    }
}

int abreConfiguracao(const char* nome, const char** motivo) {
    *motivo = nullptr;
    int fd = platformOpenReadOnly(nome);
    if (fd < 0)
        return -1;
    PlatformFileStatus st;
    if (!platformFileStatus(fd, &st))
        *motivo = "cannot read its status";
    else if (!st.regular)
        *motivo = "not a regular file";
    else if (st.size > kConfiguracaoMax)
        *motivo = "larger than 1 MiB";
    if (*motivo != nullptr) {
        platformCloseFile(fd);
        return -1;
    }
    return fd;
}

bool readConfiguration(int fd, Configuracao& destino, const Configuracao* reserva, AvisosConfiguracao* avisos) {
    TLeitorConfiguracao parser(destino, reserva, avisos);
    char chunk[kChunk];
    // A file that grows while it is read still ends at the bound.
    for (int64_t total = 0; total <= kConfiguracaoMax;) {
        long n = platformRead(fd, chunk, kChunk);
        if (n < 0)
            return false;  // a read error ends the reading; what was applied stays
        total += n;
        // A short read is the end of the file: the line feed ends a last
        // line that has none. A full chunk is followed by another read.
        if (n < kChunk)
            chunk[n++] = '\n';
        parser.feed(chunk, int(n));
        if (n != kChunk)
            return true;
    }
    return false;
}

bool separaEnderecoPorta(const char* texto, char* endereco, int32_t tamanho, uint16_t* porta) {
    const char* doisPontos = strrchr(texto, ':');
    if (doisPontos == nullptr || doisPontos == texto || int32_t(doisPontos - texto) >= tamanho)
        return false;
    int32_t valor = 0;
    const char* d = doisPontos + 1;
    for (; *d >= '0' && *d <= '9' && valor <= 65535; d++)
        valor = valor * 10 + (*d - '0');
    if (*d != 0 || d == doisPontos + 1 || valor < 1 || valor > 65535)
        return false;
    memcpy(endereco, texto, size_t(doisPontos - texto));
    endereco[doisPontos - texto] = 0;
    *porta = uint16_t(valor);
    return true;
}
