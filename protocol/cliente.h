// A client connection: the buffered connection it reads and writes, its
// idle timer and the timer of a penalty's wait. A TCliente owns itself:
// admission creates it, and it destroys itself on QUIT, on the idle
// time-out or when the connection breaks. It holds one unit of its
// machine's conexoes for its whole life.
#pragma once

#include <cstdint>

#include "engine/alarme.h"
#include "engine/comunica.h"
#include "registry/registro.h"
#include "text/sha0.h"

class TMaquina;

// Where a client's conversation stands.
enum Dialogo : uint8_t {
    kOcioso = 0,             // every line is a command
    kAguardaNome = 1,        // REGISTER accepted: the next line is the name
    kAguardaInformacao = 2,  // information lines are collected up to a "." line
    kListando = 3,           // a FIND listing is being written; lines are commands
    kFimDaLista = 4,         // only the listing's final "." line is still to be queued
};

class TCliente : public TComunica, public TAlarme {
public:
    // Counts itself in usuarios and in m's conexoes and arms the idle timer
    // for maxtempo seconds (0 or less: never times out).
    explicit TCliente(TMaquina* m);
    // Uncounts itself; queues the statistics line again under --debug;
    // ends the machine record when it was the last client and no
    // registration wait is pending; one flush attempt, then the socket closes.
    ~TCliente() override;

    // Data, drained, closed and input-ended events: framing and
    // interpretation. A line is interpreted only when the ring has room
    // for the longest reply it may give; otherwise the client keeps the
    // line and the bytes after it, stops reading, and goes on from there
    // at the next drained event, before any new input. So no reply is
    // lost and the order of replies is the order of the lines. Once the
    // peer has finished sending, the client ends itself when every line
    // is answered and the output has left.
    void cEvento(const char* dados, int32_t len) override;
    // Idle time-out: "-Tempo esgotado", then the client destroys itself.
    virtual void cTempoEsgotado();
    void cDispara() override { cTempoEsgotado(); }

    // Interprets linha (or, in dialogue 2, the finished information block).
    // False only when the client has destroyed itself (QUIT).
    bool cComando();
    // Queues the statistics line.
    void cEstatistica();
    // A password check of this client failed: one log line naming the
    // address token (null: the administration password) and the client's
    // address. The failure counts against that password and the address,
    // and the reply (at most 119 bytes) waits out the delay it earned,
    // with everything else of this client; with the penalty off it is
    // queued at once.
    void cFalhou(const char* resposta, const char* email);
    // A password check of this client passed: the delay of that password
    // (the address token's account; null: the administration) ends.
    void cConfirmou(const char* email);
    // The wait ran out: the held reply goes out, and a drained event in
    // the next flush step takes up the held line and input.
    void cFimDaEspera();
    // One step of a FIND listing; nothing unless one is under way. A step
    // stops when the ring is full, or after a bounded number of users
    // (listaAdiada: the listing goes on in the next pass, and later lines
    // wait for it).
    void cLista();

    TMaquina* maquina;
    uint16_t tamanho = 0;         // characters held in linha
    char linha[2049];             // current line, or the information block
    bool multilinha = false;      // collecting information lines
    uint8_t fimLinha = 0;         // remembered line end: '\r', '\n' or 0
    uint8_t estadoLinha = 0;      // 0 line start, 1 the line is ".", 2 other
    bool depura = false;          // statistics again when destroyed
    bool desbloqueado = false;    // administration unlocked
    // A registration was refused: the lines the client wrote ahead for it,
    // up to its "." line or a command, are not compared with the
    // administration password.
    bool restoRecusado = false;
    uint8_t dialogo = kOcioso;    // a Dialogo
    char padrao[registro_campo::kEmailLen];   // FIND argument
    PasswordDigest cadSenha;                  // digest of the last password argument
    char cadEmail[registro_campo::kEmailLen]; // address being registered; the FIND resume key
    char cadNome[registro_campo::kNomeLen];   // name being registered

    // Held input: bytes handed over but not yet interpreted, at most one
    // receive's worth (allocated at the first wait, kept until the end).
    char* retido = nullptr;
    uint16_t retidos = 0;
    bool linhaPronta = false;   // linha is complete and waits for room
    bool fimDaEntrada = false;  // the peer has finished sending
    bool listaAdiada = false;   // the listing stopped at its bound, not for room

    // The penalty of failed password checks (protocol/penalidade.h). While
    // emEspera, nothing of this client is interpreted, the listing stands
    // still, reading is suspended and the idle timer is off: the server
    // holds the client, not the client the server.
    struct TEspera : TAlarme {
        TCliente* dono = nullptr;
        void cDispara() override { dono->cFimDaEspera(); }
    };
    TEspera espera;
    bool emEspera = false;
    int64_t fimEspera = 0;          // the second (clockSeconds) the wait ends at
    uint8_t tamRetida = 0;          // bytes in respostaRetida; 0: no reply held
    char respostaRetida[120];       // the failure's reply, sent when the wait ends

private:
    // Frames and interprets bytes; at a line that must wait, holds it and
    // the rest. False when the client has destroyed itself.
    bool cProcessa(const char* dados, int32_t len);
    // The complete line in linha, with resto (n bytes) not yet framed behind
    // it: run now, or held with resto.
    enum Seguimento : uint8_t { kSegue, kRetido, kFim /* the client is gone */ };
    Seguimento cLinhaCompleta(const char* resto, int32_t n);
    // The held line and bytes, in order; false when the client is gone.
    bool cRetoma();
    // Whether the line in linha may run now: no wait is on, the address
    // is in no penalty if the line checks a password (otherwise the wait
    // starts here), and there is room for its longest reply after one flush.
    bool cPodeInterpretar();
    // Starts a wait of the given seconds (1 or more; past the 300 of one
    // timer it re-arms).
    void cEspera(int32_t segundos);
    // Keeps the bytes not yet framed and stops reading; with linhaEspera,
    // linha holds a complete line that waits as well (linhaPronta).
    void cRetem(const char* dados, int32_t len, bool linhaEspera);
    bool retendo() const { return linhaPronta || retidos > 0 || emEspera; }
    // Ends the client when the peer is done and nothing is left to say;
    // true when it did (touch nothing then).
    bool cEncerraSeConcluido();
};
