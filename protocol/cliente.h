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

// The longest line: characters beyond it are dropped as the line is framed.
constexpr uint16_t kLinhaMax = 2048;
// The buffer of an unknown line's echo, the longest reply a penalty's wait
// can hold back: the echo is cut to fit, line end and all.
constexpr int16_t kRespostaDesconhecido = 120;

// One row of the command table (protocol/interpretador.cc).
struct Comando;

// Where a client's conversation stands: what the next complete line means
// and whether a listing is under way. Every move goes through
// TCliente::cMuda(Conversa).
enum Conversa : uint8_t {
    kOcioso,         // every line is a command
    kRestoRecusado,  // a registration was refused: the lines its client wrote ahead for
                     // it are commands, but one that is none is not compared with the
                     // administration password; a command or a "." line ends this
    kNome,           // REGISTER accepted: the next line is the name
    kInformacao,     // information lines are collected up to a "." line
    kBloco,          // the "." line came: linha holds the whole block, to be taken
    // A FIND listing is being written; lines are commands. The listing
    // states come last (emLista).
    kListando,       // it stopped for room, or runs
    kListaAdiada,    // it stopped at its bound: the lines behind it wait for its next step
    kFimDaLista,     // only its final "." line is still to be queued
};

// How a connection's input flows, beside the conversation: a line may be
// held, or a penalty waited out, whatever the conversation expects next.
// Every move goes through TCliente::cMuda(Fluxo).
enum Fluxo : uint8_t {
    kLendo,      // nothing held: bytes are framed and each line runs as it completes
    kRetida,     // a line and what followed it wait, reading suspended, for the next
                 // drained event: room in the ring, the listing's next step, or the
                 // turn that follows a penalty's wait
    kEsperando,  // a penalty's wait: nothing runs and the idle timer is off until its
                 // timer fires; then kRetida, or kLendo when nothing is held
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

    // Queues the statistics line.
    void cEstatistica();
    // A password check of this client failed: one log line naming the
    // address token and the client's address; for the administration
    // password (null) the line only once the address has failed
    // kPenalidadeLimiteEndereco times. The failure counts against that
    // password and the address (with the penalty off too),
    // and the reply (at most 119 bytes) waits out the delay it earned,
    // with everything else of this client; with the penalty off it is
    // queued at once.
    void cFalhou(const char* resposta, const char* email);
    // A password check of this client passed: the delay of that password
    // (the address token's account; null: the administration) ends.
    void cConfirmou(const char* email);
    // One step of a FIND listing; nothing unless one is under way. A step
    // stops when the ring is full, or after a bounded number of users
    // (kListaAdiada: the listing goes on in the next pass, and later lines
    // wait for it).
    void cLista();

    // Administration: unlocked by this client's line, until the client
    // ends or cBloqueiaTodos.
    bool desbloqueado() const { return desbloqueio.dentro; }
    void cDesbloqueia();
    // Locks administration again in every client that had unlocked it
    // (their connections go on; their next administration command is
    // refused as for any locked client). Returns how many there were.
    static int32_t cBloqueiaTodos();

    Conversa conversa() const { return estado; }
    Fluxo fluxo() const { return estadoFluxo; }
    bool emLista() const { return estado >= kListando; }  // a FIND listing is under way
    // The peer has finished sending: the lines it sent are still answered.
    bool pedidosEncerrados() const { return semMaisPedidos; }

    // The conversation's moves, made by the command handlers.
    // REGISTER accepted for email: the next line is the name; a listing
    // under way is abandoned.
    void cAguardaNome(const char* email);
    // The name in linha accepted: information lines follow, up to ".".
    void cAguardaInformacao();
    // A registration refused, at its start or at its name: the lines the
    // client wrote ahead for it, up to its "." line or a command, are not
    // compared with the administration password.
    void cRecusaRegistro();
    // The information block was taken: back to commands.
    void cConcluiDialogo() { cMuda(kOcioso); }
    // FIND: a listing of the addresses that contain padrao starts.
    void cIniciaLista(const char* padrao);

    TMaquina* maquina;
    char linha[kLinhaMax + 1];    // current line, or the information block
    bool depura = false;          // statistics again when destroyed
    PasswordDigest cadSenha;                  // digest of the last password argument
    char cadEmail[registro_campo::kEmailLen]; // address being registered; the FIND resume key
    char cadNome[registro_campo::kNomeLen];   // name being registered

    // Replies queued for the registry's batch and not yet settled (lote.cc).
    uint32_t respostasNoLote = 0;

private:
    // --- Framing (enquadramento.cc) ---
    // Frames and interprets bytes; at a line that must wait, holds it and
    // the rest. False when the client has destroyed itself.
    bool cProcessa(const char* dados, int32_t len);
    // Before a receive is framed: the users its IP, LOGON and LOGOFF
    // requests name have their entries and nodes fetched at once (registry
    // hints, no effect on what is answered).
    void cAntecipaUsuarios(const char* dados, int32_t len);

    // --- Holding and waiting (retencao.cc) ---
    // The one place each of the two states changes. The conversation's
    // move has no side effect; the input's suspends reading in every
    // state but kLendo, and turns the idle timer off while kEsperando.
    void cMuda(Conversa nova) { estado = nova; }
    void cMuda(Fluxo nova);
    void cDrenada();
    // The complete line in linha, with resto (n bytes) not yet framed behind
    // it: run now, or held with resto.
    enum Seguimento : uint8_t { kSegue, kRetido, kFim /* the client is gone */ };
    Seguimento cLinhaCompleta(const char* resto, int32_t n);
    // The held line and bytes, in order; false when the client is gone.
    bool cRetoma();
    // Whether the line in linha (its row cmd) may run now: no wait is on,
    // the password it checks is in no penalty (otherwise the wait starts
    // here), and there is room for its longest reply after one flush.
    bool cPodeInterpretar(const Comando* cmd);
    // Starts a wait of the given seconds (1 or more; past the 300 of one
    // timer it re-arms).
    void cEspera(int32_t segundos);
    // The wait ran out: the held reply goes out, and a drained event in
    // the next flush step takes up the held line and input.
    void cFimDaEspera();
    // Keeps the bytes not yet framed and stops reading; with linhaEspera,
    // linha holds a complete line (row cmd) that waits as well.
    void cRetem(const char* dados, int32_t len, bool linhaEspera, const Comando* cmd);
    // Ends the client when the peer is done and nothing is left to say;
    // true when it did (touch nothing then).
    bool cEncerraSeConcluido();

    // --- Interpretation (interpretador.cc) ---
    // The row of linha's command, once per line; null for a dialogue line
    // or a line that is no command.
    const Comando* cReconhece() const;
    // Interprets linha (or, in the dialogue, the name or the finished
    // information block) by its row. False only when the client has
    // destroyed itself (QUIT).
    bool cComando(const Comando* cmd);
    // Whether the line runs a password check whose failure counts, and
    // then which password: the account of its address token, or the
    // administration password.
    bool cConfereSenha(const Comando* cmd) const;
    uint64_t cContaDaLinha(const Comando* cmd) const;

    // --- Passwords (senhas.cc) ---
    // The digest of the password token (kept in cadSenha) against the
    // user's stored one, which the index holds.
    bool cSenhaConfere(const char* senha, const TUsuario* usuario);
    // linha against the administration password, in constant time.
    bool cSenhaAdmConfere() const;
    // The longest reply the line may give, in bytes.
    int32_t cRespostaMaxima(const Comando* cmd) const;

    // The client's state: the conversation, and beside it the input's
    // flow and whether the peer has finished sending.
    Conversa estado = kOcioso;
    Fluxo estadoFluxo = kLendo;
    bool semMaisPedidos = false;
    char padrao[registro_campo::kEmailLen];   // FIND argument
    uint16_t tamanho = 0;         // characters held in linha
    uint8_t fimLinha = 0;         // remembered line end: '\r', '\n' or 0
    uint8_t estadoLinha = 0;      // 0 line start, 1 the line is ".", 2 other

    // Held input: bytes handed over but not yet interpreted, at most one
    // receive's worth, kRecepcao (allocated at the first hold, kept until
    // the end).
    char* retido = nullptr;
    uint16_t retidos = 0;
    bool linhaPronta = false;             // linha is complete and waits
    const Comando* comandoRetido = nullptr;  // its row

    // The penalty of failed password checks (operations/penalidade.h). While
    // kEsperando, nothing of this client is interpreted, the listing stands
    // still, reading is suspended and the idle timer is off: the server
    // holds the client, not the client the server.
    struct TEspera : TAlarme {
        TCliente* dono = nullptr;
        void cDispara() override { dono->cFimDaEspera(); }
    };
    TEspera espera;
    int64_t fimEspera = 0;          // the second (clockSeconds) the wait ends at
    // The chain of unlocked clients, which a reload that changes the
    // administration password walks; a client in it leaves at its end.
    struct Desbloqueio {
        TCliente* anterior = nullptr;
        TCliente* proximo = nullptr;
        bool dentro = false;
    };
    Desbloqueio desbloqueio;
    void cBloqueia();
    uint8_t tamRetida = 0;          // bytes in respostaRetida; 0: no reply held
    char respostaRetida[kRespostaDesconhecido];  // the failure's reply, sent when the wait ends
};

// The command word (as the table spells it) that texto begins with, as
// the interpreter recognises a line's command; null when none. A line that
// begins with one runs that command and is never compared with the
// administration password, so the configuration refuses a password that
// does (comandoNoInicio).
const char* palavraDeComandoNoInicio(const char* texto);
