// Process-wide configuration: compiled-in defaults, overridden once at
// start-up from the ".cfg" file, read-only once the listener is open.
#pragma once

#include <cstdint>

extern char senhaadm[20];   // administration password, at most 19 characters
extern char ender[100];     // listening address text; empty: every local address
extern int32_t porta;       // 1..65535 (anything else read from the file gives 1956)
extern int32_t maxconec;    // simultaneous connections per client address
extern int32_t diasreg;     // days without activity before an entry expires; <= 0: never
extern int32_t ativomin;    // minutes a logon counts as active, 1..6000
extern int32_t maxtempo;    // idle time-out of a client in seconds (the timer clamps to 0..300)
extern int32_t regtempo;    // seconds between two registrations from one address

// File names derived from the program name: the last path component up to
// its first '.', cut to 95 characters, plus ".sav" / ".cfg".
extern char registryFileName[100];
extern char configFileName[100];

void deriveFileNames(const char* programName);

// Reads an open configuration file to its end in 1024-byte chunks and
// applies every recognised key. Reports nothing; a read error ends the
// reading with what was applied so far kept.
void readConfiguration(int fd);

// Line parser of the configuration file; its state carries across chunks,
// so a line may span two reads. readConfiguration feeds it.
class ConfigParser {
public:
    void feed(const char* bytes, int n);
private:
    void endOfLine();
    char chave[256];
    char valor[256];
    int tamChave = 0;
    int tamValor = 0;
    bool noValor = false;
};

// The common exit routine: releases the sockets layer and ends the process.
[[noreturn]] void exitServer(int status);
