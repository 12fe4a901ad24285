// The registry's side of the running server: its ageing pass as a timer
// of the wheel, and the end of the process when index and file disagree.
#pragma once

#include "engine/alarme.h"

// Armed for 1 second at construction, so the first ageing pass runs as
// soon as the loop turns the wheel; then every 5 seconds, at the minute
// clock of the pass that fires it.
class TEnvelhecimento : public TAlarme {
public:
    TEnvelhecimento();
    void cDispara() override;
};

// The one ageing timer, created before main runs.
extern TEnvelhecimento envelhecimento;

// Every second: under sincronia = segundo, what was written since the
// last sync reaches the disk, so a power loss takes at most about the
// last second's changes.
class TSincroniaPeriodica : public TAlarme {
public:
    TSincroniaPeriodica();
    void cDispara() override;
};

extern TSincroniaPeriodica sincroniaPeriodica;

// What the server does when the registry finds that its index and file
// disagree (TRegistro::aoDiscordar): one line on standard output naming
// the file, and exit status 1.
[[noreturn]] void registroDiscordante(const char* arquivo);
