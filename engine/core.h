// Engine state shared by the loop, the listener and the connection: the
// table from descriptor to owner, the per-level chains a pass walks, and
// the walks in progress that destructors repair.
#pragma once

#include <cstdint>

#include "engine/comunica.h"
#include "engine/escuta.h"

// Chains a connection can sit in, one of each per level. A pass walks only
// the ready and pending chains, so idle connections cost it nothing.
enum : uint8_t {
    kChainLevel = 0,    // every connection of the level, oldest last
    kChainReady = 1,    // readable after the last wait, or close pending
    kChainPending = 2,  // output waiting in the ring
    kChains = 3,
};
constexpr int kLevels = 6;

// A walk in progress over one chain of one level (or over nothing, for the
// waiting send that only guards itself). Walks nest: a waiting send runs
// the receive step for lower levels inside an event of a higher one.
struct LevelWalk {
    TComunica* servindo = nullptr;  // cleared when that connection is destroyed
    TComunica* proxima = nullptr;   // advanced when that connection leaves the chain
    int8_t cadeia = -1;
    int8_t nivel = -1;
    LevelWalk* externa = nullptr;
};

struct EngineCore {
    // Descriptor table: which object owns a watched descriptor.
    static void registerSocket(int fd, TComunica* c, TEscuta* e);
    static void forgetSocket(int fd);

    // Walk bookkeeping (passo.cc).
    static void beginWalk(LevelWalk& w, int cadeia, int nivel);
    static void endWalk(LevelWalk& w);
    // A connection being destroyed: the walks serving it learn it is gone.
    static void forgetServed(TComunica* c);
    static void join(TComunica* c, int cadeia, bool atCabeca);
    static void leave(TComunica* c, int cadeia);

    // Pass steps over connections (passo.cc).
    static void receiveLevels(int niveis);
    static bool waitForRoom(TComunica* c);
    static void flushLevels();
    // Registers write interest where output is stuck; false when some
    // connection needs service without waiting.
    static bool prepareConnections();
    static void connectionEvent(TComunica* c, uint32_t eventos);
    // Brings the wait set's interest in c's socket up to date (passo.cc).
    static bool watch(TComunica* c, bool wantWrite);

    // Pass steps over listeners (escuta.cc).
    static void acceptListeners();
    // Resumes listeners whose pause ended; returns the seconds until the
    // next one resumes (0 when none is paused).
    static int prepareListeners();
    static void listenerEvent(TEscuta* e);
    static void dropListenerSocket(TEscuta* e);
};
