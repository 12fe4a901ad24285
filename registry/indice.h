// In-memory index of the registry: a red-black tree of users ordered by
// compareFolded on the e-mail address. Walks follow parent links, so they
// need no stack and can stop after any node. Nodes belong to the index;
// whoever unlinks one frees it.
#pragma once

#include <cstdint>

#include "registry/antecipa.h"
#include "registry/dispersao.h"
#include "registry/ficha.h"

// A user's state, as the record and the node store it.
enum Estado : uint8_t {
    kRegistrado = 0,    // registered, not logged on since
    kConectado = 1,     // logged on
    kDesconectado = 2,  // logged off
};

// Where a node keeps its key.
enum OndeChave : uint8_t {
    kChaveNoNo = 0,     // in chave.curta: fewer than kChaveCurta bytes
    kChaveNoHeap = 1,   // chave.longa is new[] of the node's own, freed with it
    kChaveDaCarga = 2,  // chave.longa lies in the load's key blocks, freed with the index
};

// Keys shorter than this live in the node; most addresses are. Longer ones
// live apart, so a node is 104 bytes instead of the 152 a whole 80-byte
// field made it: the load of a million users touches 48 MB less.
constexpr int kChaveCurta = 32;

struct TUsuario {
    uint32_t data;        // minutes since 1601 of the last REGISTER/LOGON/LOGOFF (or DATE)
    uint8_t posicao[3];   // slot in the registry file, 24 bits, low byte first
    uint8_t estado;       // an Estado; a foreign file may hold any byte
    char nome[registro_campo::kNomeLen];
    uint32_t ip;          // network byte order
    uint8_t cor;          // bit 0 set: black
    uint8_t ondeChave = kChaveNoNo;  // an OndeChave; changed by cDefineChave alone
    // The key, at most 79 characters (set with cDefineChave, read with
    // email()). Either way it is zero up to the end of the word of eight
    // its terminator lies in, so that a key can be read a word at a time.
    union {
        char curta[kChaveCurta];
        char* longa;
    } chave;
    TUsuario* esq;
    TUsuario* dir;
    TUsuario* pai;

    const char* email() const { return ondeChave == kChaveNoNo ? chave.curta : chave.longa; }

    uint32_t cPosicao() const {
        return uint32_t(posicao[0]) | (uint32_t(posicao[1]) << 8) | (uint32_t(posicao[2]) << 16);
    }
    void cDefinePosicao(uint32_t slot) {
        posicao[0] = uint8_t(slot);
        posicao[1] = uint8_t(slot >> 8);
        posicao[2] = uint8_t(slot >> 16);
    }
};

// posicao holds 24 bits: the registry never grows beyond this many records.
constexpr int32_t kMaxRegistros = 1 << 24;

// The index's whole state: one object, so that tests start afresh with
// one reset.
struct Indice {
    TUsuario* raiz = nullptr;    // null while the registry is empty
    int32_t registros = 0;       // nodes in the index == records in the file
    TUsuario* cursor = nullptr;  // where the ageing pass goes on; null: from the first node
    TDispersao tabela;           // lookups by address beside the tree
    // The node of every slot below registros, by slot: compaction finds the
    // last record's node here, since a foreign file's key may be one that
    // no lookup meets. Room for capacidadeSlots entries.
    TUsuario** porSlot = nullptr;
    int32_t capacidadeSlots = 0;
    // Each slot's stored password digest, as its record holds it: the
    // password checks and the writes of LOGON and LOGOFF take it from
    // here, not from the file. Room for capacidadeSenhas slots.
    uint8_t (*senhas)[registro_campo::kSenhaLen] = nullptr;
    int32_t capacidadeSenhas = 0;
    // The nodes of a load, laid out in one block in key order, so that a
    // walk in key order reads memory in order; nodes of later
    // registrations come from the heap, or from the block's nodes that
    // removals gave back (chained through esq).
    TUsuario* bloco = nullptr;
    int32_t tamBloco = 0;
    TUsuario* devolvidos = nullptr;
    // The blocks the load's long keys lie in, each chained to the one
    // before through its first word, and the room left in the newest.
    char* blocosDeChaves = nullptr;
    char* livreDeChaves = nullptr;
    size_t restaDeChaves = 0;

    // Unlinks and frees every node and empties the tables: the index of a
    // process that has loaded nothing.
    void reset();
};

// n nodes in one block, their fields undefined. The index owns a block
// once cMontaIndice has it, and frees it with cLiberaBloco.
TUsuario* cNovoBloco(int32_t n);
void cLiberaBloco(TUsuario* bloco, int32_t n);

// A node for a new user, every field but ondeChave undefined;
// cLiberaUsuario gives it back, with its key, once it is out of the index.
TUsuario* cNovoUsuario();
void cLiberaUsuario(TUsuario* no);

// Sets a node's key to email cut to 79 characters, giving back the one it
// held. cDefineChaveDaCarga takes the n bytes at email (n < kEmailLen, no
// terminator among them) and puts a long one in the load's key blocks
// rather than one allocation each; the index frees those in reset, and
// cDescartaChavesDaCarga frees them after a load the index did not take.
void cDefineChave(TUsuario* no, const char* email);
void cDefineChaveDaCarga(TUsuario* no, const char* email, int32_t n);
void cDescartaChavesDaCarga();

extern Indice indice;

// Keys: leading blanks are skipped and the key is cut to the stored form
// of an address (79 characters), so a key finds the entry it created
// whatever its length. An empty key finds nothing.
TUsuario* cBusca(const char* chave);
// The node equal to the key, else the first one after it; null past the end.
TUsuario* cAPartir(const char* chave);
TUsuario* cPrimeiro();
TUsuario* cProximo(const TUsuario* no);
// cProximo for a long walk in key order: nodes lie wherever the heap put
// them, so the walk jumps through memory; this one also starts fetching
// the lines of the node after the one it returns (both its cache lines,
// and the link the step after it will follow), so that they arrive while
// the caller works on this one. Only hints: nothing is read that a later
// change could make invalid.
TUsuario* cProximoAntecipando(const TUsuario* no);
// Links a new node under email (cut to 79 characters); an equal key goes
// to the right. Sets cor, email, data, posicao = registros, then counts
// it. Returns the new registros.
int32_t cInsere(TUsuario* novo, const char* email, uint32_t data);
// Fills the empty index with n nodes at once; nos[i] is the node of slot
// i, with every field but the links, cor and posicao already set. Lookups,
// walks, posicao, the slot table and registros come out as from n cInsere
// in slot order (data included). When the keys are distinct and made of
// bytes from 0x21 up (all that REGISTER accepts) the tree is built
// balanced in linear time after one sort instead of n descents, its nodes
// copied into one block in key order; otherwise by n cInsere. The index
// takes nos (new[] of capacidade >= n entries) as its slot table and frees
// it in reset, and the nodes: bloco, when not null, is the cNovoBloco of
// capacidade nodes that holds slot i's node at bloco[i] (the nodes then
// move within it when sorted); null means each was made alone by new.
//
// chaves, when not null, holds the keys of nos[0..n) already prepared (the
// index takes it and frees it); null prepares them here.
struct TChavesDeCarga;
void cMontaIndice(TUsuario** nos, int32_t capacidade, int32_t n, TUsuario* bloco = nullptr,
                  TChavesDeCarga* chaves = nullptr);
// The keys of a load, prepared one at a time as the load decodes each node,
// while the node's lines are still in the cache, instead of in a pass of
// their own over the whole block: room for capacidade keys.
TChavesDeCarga* cNovasChaves(int32_t capacidade);
// The node of the next slot (0, 1, 2 ... in turn), its fields filled as
// cMontaIndice takes them: sets its posicao and prepares its key.
void cPreparaChave(TChavesDeCarga* chaves, TUsuario* no, int32_t slot);
// Frees keys that no cMontaIndice took (a load that failed); null is fine.
void cLiberaChaves(TChavesDeCarga* chaves);
// The stored digest of no's slot, 20 bytes.
const uint8_t* cSenhaDoNo(const TUsuario* no);
// Sets it, once the node's record holds senha.
void cDefineSenha(const TUsuario* no, const uint8_t* senha);
// Takes senhas (new[] of capacidade >= registros entries, the digest of
// each slot) as the digest table, which frees it in reset.
void cAdotaSenhas(uint8_t (*senhas)[registro_campo::kSenhaLen], int32_t capacidade);
// Unlinks a node (moving cursor on first when it stands there); registros
// decreases. Other nodes never move in memory. The caller frees the node.
// The slots stay dense only when the node holds the last slot or another
// node has been moved into its slot (cMudaDeSlot) first.
void cRetira(TUsuario* no);
// The node holding slot, or null when slot is not below registros or no
// node holds it.
TUsuario* cNoDoSlot(int32_t slot);
// Moves a node to another slot, as compaction moves its record: posicao,
// the slot table and the digest follow, and the slot it left has no node until one
// is moved or inserted there.
void cMudaDeSlot(TUsuario* no, int32_t slot);
// Logged on or registered within ativomin minutes before agora (minutes
// since 1601), and not logged off.
bool cAtivo(const TUsuario* no, int32_t ativomin, uint32_t agora);
