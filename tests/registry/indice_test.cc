// The index against a std::multimap model under random inserts and
// removals, lookups under folding, the resume point of FIND and activity.
#include "registry/indice.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ambiente.h"

namespace {

using teste::libertaIndice;

class Indice : public ::testing::Test {
protected:
    void SetUp() override {
        buildFoldTable();
        libertaIndice();
        config.ativomin = 480;
        minuteClock = 220000000;
    }
    void TearDown() override { libertaIndice(); }

    TUsuario* insere(const char* email) {
        TUsuario* no = new TUsuario;
        cInsere(no, email, minuteClock);
        return no;
    }
};

struct PorDobra {
    bool operator()(const std::string& a, const std::string& b) const { return compareFolded(a.c_str(), b.c_str()) < 0; }
};
using Modelo = std::multimap<std::string, TUsuario*, PorDobra>;

void confereArvore(const Modelo& modelo, const std::map<TUsuario*, std::string>& conteudo) {
    ASSERT_TRUE(indice.raiz == nullptr || (indice.raiz->cor & 1)) << "red root";
    ASSERT_EQ(teste::confereRubroNegra(), indice.registros);
    ASSERT_EQ(size_t(indice.registros), modelo.size());
    // The walk visits the model's nodes in the model's order (equal keys in
    // insertion order, since an equal key goes to the right), and no node's
    // contents ever moved to another node.
    auto it = modelo.begin();
    const TUsuario* anterior = nullptr;
    for (TUsuario* no = cPrimeiro(); no != nullptr; no = cProximo(no), ++it) {
        ASSERT_NE(it, modelo.end());
        ASSERT_EQ(no, it->second);
        ASSERT_EQ(conteudo.at(no), no->email());
        if (anterior != nullptr) {
            ASSERT_LE(compareFolded(anterior->email(), no->email()), 0);
        }
        anterior = no;
    }
    ASSERT_EQ(it, modelo.end());
    if (indice.cursor != nullptr) {
        ASSERT_EQ(conteudo.count(indice.cursor), 1u) << "cursor on a dead node";
    }
}

TEST_F(Indice, RandomInsertsAndRemovalsKeepTreeAndModelInStep) {
    std::mt19937 gerador(20240607);
    // Variants fold to the same key: case and vowel accents.
    const char* variantes[] = {"jo\xE3o", "JOAO", "Jo\xC3o", "joao"};
    Modelo modelo;
    std::map<TUsuario*, std::string> conteudo;
    for (int passo = 0; passo < 6000; passo++) {
        bool remove = !modelo.empty() && gerador() % 100 < (passo < 3000 ? 35 : 60);
        if (!remove) {
            char email[80];
            unsigned n = gerador() % 700;
            // A third of the keys 23 to 37 characters long: some live in
            // their nodes, some too long for that live apart.
            std::string meio = n % 3 == 0 ? std::string(n % 13 + 11, 'x') : "";
            snprintf(email, sizeof email, "%s%s%u@ex%u.pt", variantes[gerador() % 4], meio.c_str(), n, n % 7);
            TUsuario* no = insere(email);
            modelo.emplace(email, no);
            conteudo[no] = email;
        } else {
            auto it = modelo.begin();
            std::advance(it, long(gerador() % modelo.size()));
            TUsuario* no = it->second;
            auto depois = std::next(it);
            TUsuario* esperado = indice.cursor == no ? (depois == modelo.end() ? nullptr : depois->second) : indice.cursor;
            modelo.erase(it);
            conteudo.erase(no);
            cRetira(no);
            cLiberaUsuario(no);
            ASSERT_EQ(indice.cursor, esperado) << "step " << passo;
        }
        // Park the ageing cursor somewhere now and then.
        if (!modelo.empty() && gerador() % 10 == 0) {
            auto it = modelo.begin();
            std::advance(it, long(gerador() % modelo.size()));
            indice.cursor = it->second;
        }
        confereArvore(modelo, conteudo);
        if (HasFatalFailure() || HasFailure())
            FAIL() << "step " << passo;
    }
    // Every key still present is found, and keys never inserted are not.
    for (auto& [chave, no] : modelo) {
        TUsuario* achado = cBusca(chave.c_str());
        ASSERT_NE(achado, nullptr);
        EXPECT_EQ(compareFolded(achado->email(), chave.c_str()), 0);
    }
    EXPECT_EQ(cBusca("joao999@ex1.pt"), nullptr);
}

TEST_F(Indice, EmptyIndexFindsNothing) {
    EXPECT_EQ(cPrimeiro(), nullptr);
    EXPECT_EQ(cBusca("a@b.c"), nullptr);
    EXPECT_EQ(cAPartir("a@b.c"), nullptr);
}

TEST_F(Indice, APartirBeforeBetweenAtAndAfterKeys) {
    TUsuario* b = insere("b@x.pt");
    TUsuario* d = insere("d@x.pt");
    TUsuario* f = insere("f@x.pt");
    struct {
        const char* chave;
        TUsuario* esperado;
    } casos[] = {
        {"a", b},      {"b@x.pt", b}, {"B@X.PT", b}, {"   b@x.pt", b}, {"b@x.pt0", d}, {"c", d},
        {"d@x.pt", d}, {"e", f},      {"f@x.pt", f}, {"f@x.pu", nullptr}, {"g", nullptr},
        {"", nullptr}, {"   ", nullptr},
    };
    for (auto& c : casos)
        EXPECT_EQ(cAPartir(c.chave), c.esperado) << '"' << c.chave << '"';
}

TEST_F(Indice, KeysEqualUnderFoldingFindTheSameNode) {
    TUsuario* joao = insere("jo\xE3o@ex.pt");
    TUsuario* dois = insere("ana  maria@ex.pt");
    TUsuario* acao = insere("a\xE7\xE3o@ex.pt");
    TUsuario* volta = insere("\xD5@ex.pt");
    struct {
        const char* chave;
        TUsuario* esperado;
    } casos[] = {
        {"JOAO@EX.PT", joao},           {"Jo\xC3o@ex.pt", joao}, {"jo\xE1o@ex.pt", joao}, {"  joao@ex.pt", joao},
        {"ana maria@ex.pt", dois},      {"ANA   MARIA@EX.PT", dois},
        {"A\xC7\xC3O@EX.PT", acao},     {"acao@ex.pt", nullptr},   // ç is not c
        {"\xF5@ex.pt", nullptr},        {"o@ex.pt", nullptr},      // Õ folds to nothing
        {"\xD5@EX.PT", volta},
    };
    for (auto& c : casos)
        EXPECT_EQ(cBusca(c.chave), c.esperado) << '"' << c.chave << '"';
}

TEST_F(Indice, LongKeyFindsTheEntryItCreated) {
    std::string longa(100, 'x');
    longa.replace(0, 6, "longo@");
    longa += ".pt";
    TUsuario* no = insere(longa.c_str());
    EXPECT_EQ(strlen(no->email()), 79u);
    EXPECT_EQ(cBusca(longa.c_str()), no);
    EXPECT_EQ(cBusca(("  " + longa).c_str()), no);
    EXPECT_EQ(cAPartir(longa.c_str()), no);
    // Beyond 79 characters the tail no longer matters; within it, it does.
    EXPECT_EQ(cBusca((longa.substr(0, 79) + "outra coisa").c_str()), no);
    EXPECT_EQ(cBusca(longa.substr(0, 78).c_str()), nullptr);
    TUsuario* depois = insere("longo@xy");
    EXPECT_EQ(cAPartir(longa.substr(0, 78).c_str()), no);
    EXPECT_EQ(cAPartir((longa + "zzz").c_str()), no);
    (void)depois;
}

TEST_F(Indice, RemovingCursorNodeMovesCursorOn) {
    TUsuario* a = insere("a@x.pt");
    TUsuario* b = insere("b@x.pt");
    TUsuario* c = insere("c@x.pt");
    indice.cursor = b;
    cRetira(b);
    delete b;
    EXPECT_EQ(indice.cursor, c);
    cRetira(a);  // not at the cursor: the cursor stays
    delete a;
    EXPECT_EQ(indice.cursor, c);
    cRetira(c);
    delete c;
    EXPECT_EQ(indice.cursor, nullptr);
    EXPECT_EQ(indice.registros, 0);
}

TEST_F(Indice, InsertSetsPositionDateAndCount) {
    minuteClock = 12345;
    TUsuario* a = insere("a@x.pt");
    TUsuario* b = insere("b@x.pt");
    EXPECT_EQ(a->cPosicao(), 0u);
    EXPECT_EQ(b->cPosicao(), 1u);
    EXPECT_EQ(b->data, 12345u);
    EXPECT_EQ(indice.registros, 2);
}

TEST_F(Indice, ActiveUntilAtivominAndNeverWhenLoggedOff) {
    TUsuario* no = insere("a@x.pt");
    no->estado = 1;
    no->data = minuteClock - uint32_t(config.ativomin);
    EXPECT_TRUE(cAtivo(no, config.ativomin, minuteClock));
    no->data--;
    EXPECT_FALSE(cAtivo(no, config.ativomin, minuteClock));
    no->data = minuteClock;
    no->estado = 2;
    EXPECT_FALSE(cAtivo(no, config.ativomin, minuteClock));
    // A date near the top of the range is in the future, not in the past.
    no->estado = 1;
    no->data = 0xFFFFFF00u;
    EXPECT_TRUE(cAtivo(no, config.ativomin, minuteClock));
}

}  // namespace
