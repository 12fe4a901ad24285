// A buffered connection: replies are queued in a 2048-byte output ring and
// pushed out by the flush step; input goes to cEvento unchanged. The ring
// keeps one byte free, so head == tail means empty and it holds 2047 bytes.
// Behind the ring a connection that answers a batch may stage up to
// kPalco bytes, so that the batch leaves in one send rather than one per
// ring; the stage exists only while it holds bytes.
#pragma once

#include <cstdint>

class TTransporte;

// Level being served by the receive or flush step; 6 outside them.
extern int8_t currentLevel;

// Work that must be done before any queued reply leaves (a batch of
// changes that the replies report on): set while there is some, and called
// before every send of queued output, before queued output is taken
// without a socket, and at the end of each pass. It clears itself.
extern void (*antesDeEnviar)();

// What cEvento's len says when dados is null.
enum Evento : int32_t {
    kEventoFechada = 0,       // the sockets are already closed
    kEventoEsvaziada = 1,     // the ring drained, or the turn cPedeVez asked for
    kEventoFimDaEntrada = 2,  // the peer finished sending (under cMantemAposFim)
    kEventoSeguro = 3,        // the transport's handshake finished (cConecta)
};

class TComunica {
public:
    // Enters level list 4 without sockets, send level 4, empty ring.
    TComunica();
    // One flush attempt without waiting, then the socket closes and the
    // connection leaves its list. Safe inside any callback, its own
    // cEvento included: the walks' marks and cursors are repaired here.
    virtual ~TComunica();
    TComunica(const TComunica&) = delete;
    TComunica& operator=(const TComunica&) = delete;

    // Gives the connection its accepted socket (read and write side) and
    // starts watching it. The socket belongs to the connection from then on.
    void cConecta(int socket);
    // The same with a transport of the connection's own (engine/transporte.h,
    // a TLS session), which it then owns: every receive and send goes
    // through it. Null (none could be made) closes the connection in the
    // next receive step. With apertoFeito false the receive step drives the
    // handshake first and reports kEventoSeguro when it has finished; a
    // handshake that fails closes the connection.
    void cConecta(int socket, TTransporte* proprio, bool apertoFeito);
    // The connected socket goes through proprio from now on, as cConecta
    // with it would have it: the watch on the socket stays as it is.
    void cAssume(TTransporte* proprio, bool apertoFeito);
    // Hands the socket, its transport and its watch to destino, which has
    // none: no system call, and the wait set keeps its registration. This
    // object's pending output is discarded and it stays as if closed.
    void cPassa(TComunica& destino);

    // Queues len bytes (len < 0: the NUL-terminated length) whole or not
    // at all. True when queued (or empty). A text needs strictly less than
    // the room left: an empty ring takes 2046 bytes at send levels 4 and 5.
    // At levels 0..3 it may wait for room while lower levels are served.
    bool cEnvia(const char* texto, int32_t len);
    // Sends what the socket takes now, staged bytes first; true when
    // nothing is left pending. With maisAVir the caller promises another
    // send soon (a reply queued right after, or the close): the kernel may
    // then join the two, which spares the peer a wake-up per ring of a
    // long batch.
    bool cDescarrega(bool maisAVir = false);
    // Empties the ring without waiting, if it can: into the stage behind
    // what is staged already, without a system call, while the stage has
    // room (the flush step of the pass sends it); otherwise by cDescarrega.
    // True when the ring is empty then. Needs a socket.
    bool cAbreEspaco();
    // Changes the send level and the list level; a value above 5 keeps it.
    void cNivel(uint8_t envio, uint8_t lista);
    // Closes the sockets (one flush attempt first when asked and the send
    // level is not 5); pending output is discarded. Stays in its list.
    void cFecha(bool descarregaAntes);
    // Gives the socket up without closing it: it leaves the wait set,
    // pending output is discarded, and this object stays as if closed. The
    // socket, or -1.
    int cSolta();

    // Events: data (bytes, 1..kRecepcao, valid only during the call), or with
    // dados null one of Evento: drained (the flush step just emptied the
    // ring, or cPedeVez asked for a turn), closed (the sockets are already
    // closed), input ended (only under cMantemAposFim, see there). May
    // destroy the object.
    virtual void cEvento(const char* dados, int32_t len);

    // Stops or resumes reading the socket. While suspended the receive step
    // hands nothing to cEvento and the wait ignores the socket's input, so
    // what the peer sends waits in the kernel and costs no pass; resuming
    // reads again in the next pass. A broken peer is still found by the
    // next send.
    void cSuspende(bool suspende);
    bool suspensa() const { return leituraSuspensa != 0; }
    // With this set, the peer's end of stream does not close the
    // connection: reading stops for good, cEvento gets the input-ended
    // event, and the object ends itself once it has said what it had to.
    // A receive error still closes at once.
    void cMantemAposFim(bool mantem) { mantemAposFim = mantem ? 1 : 0; }
    // A drained event in the next flush step even if nothing is queued then:
    // work stopped at a bound goes on in the next pass.
    void cPedeVez();
    // A text queues whole when its length is below this (0..2047).
    int32_t livre() const { return (cabeca - cauda + kRing - 1) % kRing; }
    // Bytes ever queued (cEnvia), as a running count that wraps: names a
    // place in the output.
    uint32_t enfileirados() const { return enfileirado; }
    // Replaces the text of tamanho bytes that ends where enfileirados()
    // stood at fim by novo (novoLen <= tamanho), moving what was queued
    // after it up. False, with nothing changed, when those bytes are no
    // longer all pending (sent, or dropped by a close).
    bool cTroca(uint32_t fim, int32_t tamanho, const char* novo, int32_t novoLen);

    bool aberta() const { return socketLeitura >= 0 || socketEscrita >= 0; }
    // The connection's socket (read side), or -1: for a transport made for it.
    int socketAberto() const { return socketLeitura; }
    // Bytes queued and not yet sent: the stage's and the ring's.
    int32_t pendentes() const { return (cauda - cabeca + kRing) % kRing + (palcoUsado - palcoEnviado); }
    // Removes up to max pending bytes (the stage's first) into out as if
    // they had been sent, without a socket: lets tests and fuzzers collect
    // what was queued.
    int32_t takePending(char* out, int32_t max);

    static constexpr int32_t kRing = 2048;
    // The longest text one cEnvia queues into an empty ring: the ring keeps
    // one byte free and a text needs strictly less than the room.
    static constexpr int32_t kMaiorTexto = kRing - 2;
    // The most one receive hands to cEvento: a pipelining peer's batch of
    // some hundreds of requests in one system call.
    static constexpr int32_t kRecepcao = 8 * 1024;
    // The stage: a batch's replies (a few hundred short ones, or a listing)
    // in one send. Ring, stage and a held receive come to 18 KiB; with the
    // kernel's socket memory (92 KiB measured for a peer that floods and
    // never reads) a connection stays under 128 KiB. Twice these sizes
    // measured 132.
    static constexpr int32_t kPalco = 8 * 1024;

private:
    friend struct EngineCore;
    struct Elo {
        TComunica* anterior = nullptr;
        TComunica* proximo = nullptr;
        bool dentro = false;
    };
    int socketEscrita = -1;
    int socketLeitura = -1;
    uint8_t fechaPendente = 0;
    uint8_t nivelEnvio = 4;
    uint8_t nivelLista = 4;
    uint8_t legivel = 0;    // the last wait found the read socket readable
    uint8_t cheio = 0;      // the socket took less than offered: wait until writable
    uint8_t interesse = 0;  // readiness registered with the wait set
    uint8_t leituraSuspensa = 0;
    uint8_t mantemAposFim = 0;
    uint8_t fimDaEntrada = 0;  // end of stream seen: never read again
    uint8_t querVez = 0;       // a drained event is due in the next flush step
    uint8_t empurra = 0;       // the last receive step emptied the socket: push the next full stage
    int16_t cabeca = 0;
    int16_t cauda = 0;
    uint32_t enfileirado = 0;
    TTransporte* transporte;    // never null: the plain one, or the connection's own
    uint8_t apertoFeito = 1;    // its handshake has finished
    // The stage: palcoEnviado..palcoUsado still to send; null when empty.
    char* palco = nullptr;
    int32_t palcoUsado = 0;
    int32_t palcoEnviado = 0;
    bool temSaida() const { return cabeca != cauda || palcoUsado != palcoEnviado; }
    // One send of two pieces; false (the connection then closes in the
    // next receive step) when the socket failed.
    bool cManda(const char* a, int32_t na, const char* b, int32_t nb, bool mais, int32_t& enviados);
    // Moves the ring behind the stage's bytes, making the stage when there
    // is none; false, with nothing moved, when they do not fit.
    bool cEncenaAnel();
    void cLargaPalco();
    // Gives the transport up (the plain one when it had none of its own).
    TTransporte* cSoltaTransporte();
    Elo elos[3];  // level list, ready chain, pending chain (see core.h)
    char anel[kRing];
};
