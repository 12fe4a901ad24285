// Process-wide configuration: one struct whose members carry their
// compiled-in defaults, one instance overridden once at start-up from the
// ".cfg" file and read-only once the listener is open.
#pragma once

#include <cstdint>

struct Configuracao {
    // Administration password, at most 19 characters, zero-filled to the
    // end of the buffer. Empty: no line unlocks administration.
    char senhaadm[20] = "";
    int32_t senhaadmLida = 0;     // characters senhaadm had in the file, before the cut to 19
    char ender[100] = "";         // listening address text; empty: every local address
    int32_t porta = 1956;         // 1..65535 (anything else read from the file gives 1956)
    int32_t maxconec = 2;         // simultaneous connections per client address
    int32_t diasreg = 90;         // days without activity before an entry expires; <= 0: never
    int32_t ativomin = 480;       // minutes a logon counts as active, 1..6000
    int32_t maxtempo = 120;       // idle time-out of a client in seconds (the timer clamps to 0..300)
    int32_t regtempo = 120;       // seconds between two registrations from one address
    int32_t penalidade = 2;       // delay after an address's first failed password, 0..60 s; 0: none
    char metricas[64] = "";       // "ADDRESS:PORT" of the metrics endpoint; empty: none
    int32_t portatls = 0;         // the TLS port, 1..65535; 0: none
    char certificado[256] = "";   // PEM certificate chain of the TLS port
    char chave[256] = "";         // PEM private key of the TLS port
    // "proxies": the IPv4 networks (host order) whose connections begin
    // with a PROXY protocol header; entries that are none are counted.
    struct Rede {
        uint32_t rede, mascara;
    };
    Rede proxies[32] = {};
    int32_t totalProxies = 0;
    int32_t proxiesInvalidos = 0;
};

// Whether a peer address (network order) lies in one of config.proxies.
bool enderecoDeProxy(uint32_t ip);

// The one configuration of the process. Tests reset it with
// config = Configuracao{}.
extern Configuracao config;

// File names derived from the program name: the last path component up to
// its first '.', cut to 95 characters, plus ".sav" / ".cfg".
extern char registryFileName[100];
extern char configFileName[100];

void deriveFileNames(const char* programName);

// Reads an open configuration file to its end in 1024-byte chunks and
// applies every recognised key to destino. False when a read failed; what
// was applied so far stays in destino.
bool readConfiguration(int fd, Configuracao& destino = config);

// SIGHUP: reads the configuration file afresh, every key starting from its
// default as at start-up, and takes at once what may change while the
// server runs (senhaadm, penalidade, maxconec, maxtempo, regtempo,
// ativomin, diasreg). porta and ender keep their values until a restart,
// and the log says so for each one that changed. A file that cannot be
// opened or read changes nothing. One log line names the keys that changed.
void reloadConfiguration();

// Says on standard error (logEvent) what in the configuration read leaves
// the server open or surprises its operator: administration disabled, a
// short password, or one cut to 19 characters.
void reportConfiguration();

// Line parser of the configuration file; its state carries across chunks,
// so a line may span two reads. readConfiguration feeds it.
class TLeitorConfiguracao {
public:
    explicit TLeitorConfiguracao(Configuracao& destino = config) : destino(destino) {}
    void feed(const char* bytes, int n);
private:
    void endOfLine();
    Configuracao& destino;
    char chave[256];
    char valor[256];
    int tamChave = 0;
    int tamValor = 0;
    bool noValor = false;
};
