// A hash table beside the index tree, so that a lookup by address costs a
// probe or two instead of a descent through some twenty nodes, each one a
// cache miss in a large registry. The tree stays the order and the truth:
// the table only answers "which node equals this key", and only while
// every key in the index is distinct and made of bytes from 0x21 up. A file
// from elsewhere may hold two addresses that compare equal, or blanks and
// control bytes, among which compareFolded is no consistent order; then
// the tree's descent decides what a lookup meets, and the table steps
// aside until the index is empty.
//
// Keys hash by the equality of compareFolded: letters and accented vowels
// folded, each run of blanks as one blank, trailing blanks dropped.
#pragma once

#include <cstddef>
#include <cstdint>

struct TUsuario;

class TDispersao {
public:
    TDispersao() = default;
    TDispersao(const TDispersao&) = delete;
    TDispersao& operator=(const TDispersao&) = delete;

    // Empties the table and makes it usable again.
    void limpa();
    // Room for n keys without growing, before the load inserts them.
    void reserva(int32_t n);
    // The memory of a table that holds no entry, lent to the load as
    // scratch (its size in bytes), so that a start does not take as much
    // again for it; null when there is none to lend. The borrower calls
    // esvazia before anything else uses the table.
    void* emprestaVazia(size_t& bytes);
    void esvazia();
    // A node just linked into the tree. Finding an equal key already there,
    // or a key with a byte below 0x21, retires the table (its answers could
    // differ from the tree's).
    void insere(TUsuario* no);
    // insere for n nodes at once, as the load links them, hashes[i] being
    // hashOf(nos[i]->email()). The caller has found the keys distinct and made
    // of bytes from 0x21 up.
    void insereTodos(TUsuario* const* nos, const uint64_t* hashes, int32_t n);
    // A node about to be unlinked; its key is still intact.
    void retira(const TUsuario* no);
    // The node whose email equals the key of n bytes at chave (in stored
    // form: no leading blanks, 1 to 79 bytes; none past them is read), or
    // null. False when the table cannot answer and
    // the tree must be asked.
    bool busca(const char* chave, int32_t n, TUsuario*& achado) const;
    // Hints for lookups about to come, by their keys' hashes: fetches their
    // entries, then the nodes whose tags match, so that the misses of a
    // batch overlap. Reads nothing a later change could make invalid.
    void antecipa(const uint64_t* hashes, int n) const;
    // The hash of a key, as the table uses it, and whether the table answers
    // lookups now (both for tests).
    static uint64_t hashOf(const char* chave);
    // The same hash from a key's folded bytes, which the key's blanks leave
    // as compareFolded sees them: n bytes in words little-endian, the last
    // one zero beyond them. hashOf gives hashOfFolded of what it folds.
    static uint64_t hashOfFolded(const uint64_t* palavras, int32_t n);
    // hashOf a word at a time while the key's bytes are plain ASCII above
    // the blank, as every address REGISTER takes is: of a node's key (a
    // terminated key whose terminator's word of eight is readable whole),
    // or of the n bytes at k (busca's).
    static uint64_t hashOfField(const char* campo);
    static uint64_t hashOfKey(const char* k, int32_t n);
    // compareFolded(key, campo) == 0 for the n bytes at k and a field.
    static bool chaveIgualAoCampo(const char* k, int32_t n, const char* campo);
    bool ativa() const;

private:
    bool cheia(uint32_t mais) const;
    void abandona();
    TUsuario* igual(const char* chave, int32_t n, uint64_t h) const;
    void coloca(uintptr_t entrada, uint64_t h);
    void refaz(uint64_t minimo);
    void insereComHash(TUsuario* no, uint64_t h);

    uintptr_t* tabela = nullptr;
    uint32_t capacidade = 0;  // a power of two, or 0 before the first key
    uint32_t ocupados = 0;    // entries holding a node
    uint32_t retirados = 0;   // entries marked removed
    bool usavel = true;       // false from the first equal or unorderable key until limpa
};
