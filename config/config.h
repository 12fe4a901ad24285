// Process-wide configuration: one struct whose members carry their
// compiled-in defaults, one instance read from the ".cfg" file at start-up
// and read again on SIGHUP, where the keys that can change while the
// server runs take their new values.
#pragma once

#include <cstdint>

// sincronia: the system writes the registry file to the disk when it
// will (nunca); the server syncs it, or the journal of its changes, at
// most once a second (segundo); or syncs the journal after each batch of
// changes, before their replies (sempre).
constexpr int32_t kSincroniaNunca = 0, kSincroniaSegundo = 1, kSincroniaSempre = 2;

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
    int32_t sincronia = 1;        // when writes reach the disk: kSincroniaNunca, kSincroniaSegundo or kSincroniaSempre
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

// What a reading found wrong with a file, one text per problem in the
// form "LINE: key: what is wrong; what is used instead". Only the first
// kAvisosMax are kept; total counts them all.
struct AvisosConfiguracao {
    static constexpr int32_t kAvisosMax = 32;
    int32_t total = 0;
    char itens[kAvisosMax][200];
};

// The largest configuration file read: far above any real one, small
// enough that a mistaken name cannot take the server's memory or time.
constexpr int64_t kConfiguracaoMax = 1 << 20;

// Opens a configuration file to read it: without waiting for a writer (a
// FIFO opens at once) and only when it is a regular file of at most
// kConfiguracaoMax bytes, so that no name can hold or spin the loop. The
// descriptor, or -1 and *motivo: null when the open itself failed
// (platformErrorText says why), otherwise the reason.
int abreConfiguracao(const char* nome, const char** motivo);

// The command word a senhaadm value begins with, or null: set by the
// interpreter, whose table it is. Such a password could never unlock,
// since that line runs its command, so the reader refuses it: the value
// becomes empty (administration disabled), and it is a problem.
extern const char* (*comandoNoInicio)(const char* texto);

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
// applies every recognised key to destino. A value that is not one the
// key takes (not a whole number, out of its range, too long, not
// ADDRESS:PORT) leaves the key as reserva has it (null: the defaults), a
// value longer than senhaadm's 19 characters is cut, and each such value,
// an unknown key and a line that sets nothing without being blank or a
// '#' comment is a problem told to avisos when given. False when a read
// failed or the file ran past kConfiguracaoMax bytes; what was applied so
// far stays in destino.
bool readConfiguration(int fd, Configuracao& destino = config, const Configuracao* reserva = nullptr,
                       AvisosConfiguracao* avisos = nullptr);

// SIGHUP: reads the configuration file afresh, every key starting from its
// default as at start-up, and takes at once what may change while the
// server runs (senhaadm, penalidade, maxconec, maxtempo, regtempo,
// ativomin, diasreg, proxies, the TLS pair's names). porta and ender keep
// their values until a restart, and the log says so for each one that
// changed. A key whose value is wrong keeps its current value, with a
// warning. A file that cannot be opened or read, or is not a regular file
// of bounded size, changes nothing. One log line names the keys that
// changed.
void reloadConfiguration();

// Says on standard error (logEvent) what in the configuration read leaves
// the server open or surprises its operator: administration disabled, or a
// short password.
void reportConfiguration();

// Logs each problem of avisos as a warning, "warning: NAME:LINE: ...".
void reportProblems(const char* nome, const AvisosConfiguracao& avisos);

// "ADDRESS:PORT" into its parts; false unless both are there, the address
// fits tamanho with its terminator and the port is 1..65535.
bool separaEnderecoPorta(const char* texto, char* endereco, int32_t tamanho, uint16_t* porta);

// Line parser of the configuration file; its state carries across chunks,
// so a line may span two reads. readConfiguration feeds it.
class TLeitorConfiguracao {
public:
    // reserva and avisos as readConfiguration takes them; both may be null.
    explicit TLeitorConfiguracao(Configuracao& destino = config, const Configuracao* reserva = nullptr,
                                 AvisosConfiguracao* avisos = nullptr)
        : destino(destino), reserva(reserva), avisos(avisos) {}
    void feed(const char* bytes, int n);
private:
    void endOfLine();
    void apply();
    void problema(const char* formato, ...);
    Configuracao& destino;
    const Configuracao* reserva;
    AvisosConfiguracao* avisos;
    char chave[256];
    char valor[256];
    int tamChave = 0;
    int tamValor = 0;
    bool noValor = false;
    bool cortado = false;     // the value lost characters past 255 (a key's first word is all that counts)
    bool visivel = false;     // the line holds something besides blanks and controls
    bool anteriorCr = false;  // a CR ended the last line: an LF right after it ends no other
    int32_t linha = 1;        // of the byte being read
};
