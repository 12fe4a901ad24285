// Queries (IP, GET, FIND and its paced listing) and administration (REMOVE,
// DATE, IP2). Every text taken from a record is copied into a local buffer
// bounded by its field first, so no reply reads past a field, whatever the
// registry file held.
#include <cstring>

#include "config/config.h"
#include "engine/clock.h"
#include "engine/diario.h"
#include "engine/platform.h"
#include "protocol/cliente.h"
#include "protocol/comandos.h"
#include "admission/maquina.h"
#include "registry/indice.h"
#include "registry/registro.h"
#include "text/fold.h"
#include "text/format.h"
#include "util/calendario.h"

namespace {

// Indexed by (days since 1 January 1601 + 1) % 7; that day was a Monday.
const char* const kDiasSemana[7] = {"Sun (Domingo)", "Mon (Segunda)", "Tue (Terça)", "Wed (Quarta)",
                                    "Thu (Quinta)",  "Fry (Sexta)",   "Sat (Sábado)"};

// Users a listing step examines at most. A pattern that matches nobody
// would otherwise walk the whole index in one call and hold every other
// client for as long; a few thousand nodes cost well under a millisecond.
constexpr int kNosPorPasso = 4096;

// The logon note shown by GET: the field has room for 11 characters and a
// terminator, but the file may hold no terminator in its last byte.
constexpr int kNotaMax = 11;

}  // namespace

// From the node alone, which the registry's operations keep equal to the
// record: the query asked most costs no system call.
void comandoIp(TCliente& c, const Pedido& p) {
    // A change of this user waiting in the batch is written first: the
    // reply must not tell of one that may yet fail.
    if (registro.lotePendente() && registro.cNoLote(p.usuario))
        registro.cGravaLote();
    if (!cAtivo(p.usuario, config.ativomin, minuteClock)) {
        responde(c, "+OK 0.0.0.0\r\n");
        return;
    }
    char resposta[24];
    char* fim = formatDotted(copyString(resposta, "+OK "), p.usuario->ip);
    copyString(fim, "\r\n");
    responde(c, resposta);
}

void comandoGet(TCliente& c, const Pedido&) {
    using namespace registro_campo;
    char nome[kNomeLen];
    char info[kInfoLen];
    char nota[kNotaMax + 1];
    copyBounded(nome, registro.nome(), sizeof nome);
    copyBounded(info, registro.info(), sizeof info);
    copyBounded(nota, registro.logon(), sizeof nota);

    const char* situacao;
    switch (registro.estado()) {
    case kRegistrado:
        situacao = "register";
        break;
    case kDesconectado:
        situacao = "logoff";
        break;
    default:
        situacao = nota[0] != 0 ? nota : "logon";
        break;
    }
    char pontos[16];
    formatDotted(pontos, registro.ip());

    // minutesToDate covers every 32-bit count, so a foreign file's date
    // prints as some real date rather than misbehaving.
    uint32_t data = registro.data();
    int32_t dia, mes, ano, hora, minuto;
    minutesToDate(data, dia, mes, ano);
    minutesToTime(data, hora, minuto);
    // The longest reply (31-character name, 686 characters of information,
    // a year of four digits) comes to about 810 bytes.
    char resposta[kRespostaGet];
    formatText(resposta, sizeof resposta,
               "+OK Informações do usuário:\r\n%s\r\n%s\r\n%s %s %d/%d/%d %d:%d\r\n%s%s.\r\n", nome, pontos,
               situacao, kDiasSemana[(data / kMinutosPorDia + 1) % 7], dia, mes, ano, hora, minuto, info, info[0] != 0 ? "\r\n" : "");
    responde(c, resposta);
}

void comandoFind(TCliente& c, const Pedido& p) {
    c.cIniciaLista(p.email);
    responde(c, "+OK Lista de usuários encontrados se segue\r\n");
    c.cLista();
}

// The listing writes as fast as the client reads: each step fills the
// output ring and stops at the first line that does not fit, remembering
// that line's address; the drained event resumes there. An address rather
// than a node pointer survives users being removed between two steps.
void TCliente::cLista() {
    if (estado == kFimDaLista) {
        if (cEnvia(".\r\n", 3))
            cMuda(kOcioso);
        return;
    }
    if (estado != kListando)
        return;
    registro.cGravaLote();  // the lines tell of written changes only

    const char* p = padrao;
    while (*p == '-')
        p++;
    bool soAtivos = false;
    while (*p == '+') {
        p++;
        soAtivos = true;
    }

    // The lines go out in batches of up to a ring's worth, one cEnvia
    // each: the bytes are those of one cEnvia per line. A batch that does
    // not fit is given up whole, and the listing resumes at its first
    // line's address.
    char lote[TComunica::kMaiorTexto];
    int32_t usado = 0;
    char primeiroDoLote[registro_campo::kEmailLen];
    // "email name address\r\n": the node's fields are bounded and
    // terminated, so a line needs at most this much.
    constexpr int32_t kMaiorLinha = registro_campo::kEmailLen + registro_campo::kNomeLen + 24;
    static_assert(kMaiorLinha <= int32_t(sizeof lote), "a line fits a batch");

    TUsuario* seguinte;
    int vistos = 0;
    for (TUsuario* no = cadEmail[0] == 0 ? cPrimeiro() : cAPartir(cadEmail); no != nullptr; no = seguinte) {
        if (++vistos > kNosPorPasso) {
            // The rest in the next pass, from this node on; the lines
            // behind the FIND wait for it so a burst of them cannot add up.
            if (usado > 0 && !cEnvia(lote, usado)) {
                copyBounded(cadEmail, primeiroDoLote, sizeof cadEmail);
                return;
            }
            copyBounded(cadEmail, no->email(), sizeof cadEmail);
            cMuda(kListaAdiada);
            cPedeVez();
            return;
        }
        // The next node is fetched while this one's line is written. A
        // level-4 send never waits, so no node can go away before the
        // next step.
        seguinte = cProximoAntecipando(no);
        bool ativo = cAtivo(no, config.ativomin, minuteClock);
        if (!ativo && soAtivos)
            continue;
        if (!containsNoCase(p, no->email()))
            continue;
        if (usado + kMaiorLinha > int32_t(sizeof lote)) {
            if (!cEnvia(lote, usado)) {
                copyBounded(cadEmail, primeiroDoLote, sizeof cadEmail);
                return;
            }
            usado = 0;
        }
        if (usado == 0)
            copyBounded(primeiroDoLote, no->email(), sizeof primeiroDoLote);
        char* fim = lote + usado;
        size_t n = strlen(no->email());
        memcpy(fim, no->email(), n);
        fim += n;
        *fim++ = ' ';
        n = strlen(no->nome);
        memcpy(fim, no->nome, n);
        fim += n;
        *fim++ = ' ';
        fim = ativo ? formatDotted(fim, no->ip) : copyString(fim, "0.0.0.0");
        *fim++ = '\r';
        *fim++ = '\n';
        usado = int32_t(fim - lote);
    }
    if (usado > 0 && !cEnvia(lote, usado)) {
        copyBounded(cadEmail, primeiroDoLote, sizeof cadEmail);
        return;
    }
    cMuda(kFimDaLista);
    if (cEnvia(".\r\n", 3))
        cMuda(kOcioso);
}

namespace {

// A change made under administration, for the operators' log: the
// client's address and the user's, never a password.
void anotaAdministracao(const TCliente& c, const char* acao, const char* email, const char* novo) {
    char quem[16];
    formatDotted(quem, c.maquina->ip);
    char alvo[registro_campo::kEmailLen];
    copyPrintable(alvo, email, sizeof alvo);
    logEventAt(Gravidade::kNota, "administration: %s %s%s%s from %s", acao, alvo, novo[0] != 0 ? " set to " : "", novo, quem);
}

}  // namespace

void comandoRemove(TCliente& c, const Pedido& p) {
    char email[registro_campo::kEmailLen];
    copyBounded(email, p.usuario->email(), sizeof email);  // the node goes with the entry
    if (!registro.cRemove(p.usuario)) {
        responde(c, "-Erro interno\r\n");
        return;
    }
    // Unlocked, a REMOVE checks no password: the administration did it.
    if (c.desbloqueado())
        anotaAdministracao(c, "REMOVE", email, "");
    responde(c, "+OK Usuário removido\r\n");
}

namespace {

// One number of DATE: non-digits before it are skipped, a missing number
// reads as 0. A number beyond 32 bits is flagged rather than wrapped, so it
// can never land inside a valid range by accident.
const char* leNumero(const char* p, int64_t& valor, bool& excede) {
    while (*p != 0 && (*p < '0' || *p > '9'))
        p++;
    valor = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        if (valor <= INT32_MAX)
            valor = valor * 10 + (*p - '0');
        if (valor > INT32_MAX)
            excede = true;
    }
    return p;
}

}  // namespace

void comandoDate(TCliente& c, const Pedido& pedido) {
    int64_t n[5];  // day, month, year, hour, minute
    bool excede = false;
    const char* p = pedido.resto;
    for (int i = 0; i < 5; i++)
        p = leNumero(p, n[i], excede);
    bool valida = !excede && n[0] >= 1 && n[0] <= 31 && n[1] >= 1 && n[1] <= 12 && n[2] >= 1601 && n[3] <= 23 &&
                  n[4] <= 59;
    int64_t minutos = 0;
    if (valida) {
        minutos = dateToMinutesWide(int32_t(n[0]), int32_t(n[1]), int32_t(n[2])) + n[3] * 60 + n[4];
        // Stored dates stay below 2^31 minutes (late January 5684), the
        // range the clock's conversions are exact in both directions.
        valida = minutos <= INT32_MAX;
    }
    if (!valida) {
        responde(c, "-Data inválida\r\n");
        return;
    }
    if (!registro.cMudaData(pedido.usuario, uint32_t(minutos))) {
        responde(c, "-Erro interno\r\n");
        return;
    }
    char data[40];
    formatText(data, sizeof data, "%d/%d/%d %d:%d", int32_t(n[0]), int32_t(n[1]), int32_t(n[2]), int32_t(n[3]),
               int32_t(n[4]));
    anotaAdministracao(c, "DATE", pedido.usuario->email(), data);
    responde(c, "+OK Data alterada\r\n");
}

void comandoIp2(TCliente& c, const Pedido& p) {
    uint32_t ip = platformInetAddr(p.resto);
    if (!registro.cMudaIp(p.usuario, ip)) {
        responde(c, "-Erro interno\r\n");
        return;
    }
    char pontos[16];
    formatDotted(pontos, ip);
    anotaAdministracao(c, "IP2", p.usuario->email(), pontos);
    responde(c, "+OK Endereço IP alterado\r\n");
}
