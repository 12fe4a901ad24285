// The lookup table beside the tree: its hash must agree with
// compareFolded's equality, its answers with the tree's descent, through
// growth, removals and equal keys.
#include "registry/dispersao.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "ambiente.h"

namespace {

using teste::libertaIndice;

class Dispersao : public ::testing::Test {
protected:
    void SetUp() override {
        buildFoldTable();
        libertaIndice();
        minuteClock = 220000000;
    }
    void TearDown() override { libertaIndice(); }

    TUsuario* insere(const std::string& email) {
        TUsuario* no = new TUsuario;
        cInsere(no, email.c_str(), minuteClock);
        return no;
    }
};

// What the tree alone answers: cAPartir descends as cBusca does and stops
// at the first node equal to the key.
TUsuario* pelaArvore(const char* chave) {
    TUsuario* no = cAPartir(chave);
    const char* k = chave;
    while (*k == ' ')
        k++;
    std::string corte(k, std::min<size_t>(strlen(k), 79));
    return no != nullptr && compareFolded(corte.c_str(), no->email()) == 0 ? no : nullptr;
}

// Each group folds to one byte; a variant swaps letters within a group and
// changes the length of blank runs, trailing ones included.
const char* const kGrupos[] = {"aA\xE3\xE1\xE0\xE2\xC2\xC3\xC1\xC0", "eE\xEA\xE9\xE8\xCA\xC9\xC8", "oO\xF4\xF5\xF3\xD4",
                               "cC",   "\xE7\xC7", "\xD5", "b", "@", ".", "\x01", "-"};

std::string variante(const std::string& base, std::mt19937& g) {
    std::string out;
    for (char c : base) {
        if (c == ' ') {
            out.append(1 + g() % 3, ' ');
            continue;
        }
        const char* grupo = nullptr;
        for (const char* gr : kGrupos)
            if (strchr(gr, c) != nullptr)
                grupo = gr;
        out += grupo != nullptr ? grupo[g() % strlen(grupo)] : c;
    }
    if (g() % 2)
        out.append(g() % 3, ' ');
    return out;
}

TEST_F(Dispersao, KeysThatCompareEqualHashAlike) {
    std::mt19937 g(20261209);
    int iguais = 0, diferentes = 0;
    for (int i = 0; i < 5000; i++) {
        std::string base;
        int n = 1 + int(g() % 12);
        for (int k = 0; k < n; k++) {
            const char* grupo = kGrupos[g() % (sizeof kGrupos / sizeof kGrupos[0])];
            base += g() % 5 == 0 ? ' ' : grupo[g() % strlen(grupo)];
        }
        std::string a = variante(base, g), b = variante(base, g);
        ASSERT_EQ(compareFolded(a.c_str(), b.c_str()), 0) << "'" << a << "' / '" << b << "'";
        ASSERT_EQ(TDispersao::hashOf(a.c_str()), TDispersao::hashOf(b.c_str())) << "'" << a << "' / '" << b << "'";
        // Taken a word at a time from a field, whatever lies past its end,
        // and from a key's own bytes.
        char campo[registro_campo::kEmailLen];
        memset(campo, 'A' + i % 26, sizeof campo);
        memcpy(campo, a.c_str(), a.size() + 1);
        ASSERT_EQ(TDispersao::hashOfField(campo), TDispersao::hashOf(a.c_str())) << "'" << a << "'";
        ASSERT_EQ(TDispersao::hashOfKey(a.data(), int32_t(a.size())), TDispersao::hashOf(a.c_str())) << "'" << a << "'";
        memcpy(campo, b.c_str(), b.size() + 1);
        ASSERT_TRUE(TDispersao::chaveIgualAoCampo(a.data(), int32_t(a.size()), campo)) << "'" << a << "' / '" << b << "'";
        iguais++;
        // A near miss: one byte changed to another group, or a blank run
        // opened where there was none.
        std::string c = a;
        size_t pos = g() % c.size();
        c.insert(pos, 1, g() % 2 ? ' ' : 'b');
        memcpy(campo, c.c_str(), c.size() + 1);
        EXPECT_EQ(TDispersao::chaveIgualAoCampo(a.data(), int32_t(a.size()), campo),
                  compareFolded(a.c_str(), c.c_str()) == 0) << "'" << a << "' / '" << c << "'";
        if (compareFolded(a.c_str(), c.c_str()) != 0) {
            diferentes++;
            EXPECT_NE(TDispersao::hashOf(a.c_str()), TDispersao::hashOf(c.c_str())) << "'" << a << "' / '" << c << "'";
        }
    }
    EXPECT_EQ(iguais, 5000);
    EXPECT_GT(diferentes, 2500);
    // Plain keys of every length, ending inside a word and on its edge.
    std::string chave, dobrada;
    for (int n = 1; n < registro_campo::kEmailLen; n++) {
        char c = char((n % 3 == 0 ? 'A' : 'a') + n % 26);
        chave += c;
        dobrada += char(fold(uint8_t(c)));
        char campo[registro_campo::kEmailLen];
        memset(campo, '#', sizeof campo);
        memcpy(campo, chave.c_str(), chave.size() + 1);
        ASSERT_EQ(TDispersao::hashOfField(campo), TDispersao::hashOf(dobrada.c_str())) << n;
        ASSERT_EQ(TDispersao::hashOfKey(campo, n), TDispersao::hashOf(dobrada.c_str())) << n;
        // Equal to itself, and not to a longer key that begins with it.
        ASSERT_TRUE(TDispersao::chaveIgualAoCampo(dobrada.data(), n, campo)) << n;
        if (n + 1 < registro_campo::kEmailLen) {
            campo[n] = 'x';
            campo[n + 1] = 0;
            ASSERT_FALSE(TDispersao::chaveIgualAoCampo(chave.data(), n, campo)) << n;
        }
    }
}

TEST_F(Dispersao, LookupsAgreeWithTheTreeThroughGrowthAndRemovals) {
    std::mt19937 g(7);
    std::set<std::string> presentes;
    std::vector<std::pair<std::string, TUsuario*>> nos;
    auto confere = [&](int fase) {
        ASSERT_TRUE(indice.tabela.ativa()) << "phase " << fase;
        for (auto& [email, no] : nos) {
            ASSERT_EQ(cBusca(email.c_str()), no) << email;
            std::string outra = variante(email, g);
            ASSERT_EQ(cBusca(outra.c_str()), no) << outra;
        }
        for (int i = 0; i < 2000; i++) {
            std::string k = "u" + std::to_string(g() % 40000) + "@ex.pt";
            ASSERT_EQ(cBusca(k.c_str()), pelaArvore(k.c_str())) << k;
        }
    };
    // Enough keys to grow the table several times, then removals that
    // leave many removed entries, then inserts reusing their places.
    for (int fase = 0; fase < 3; fase++) {
        for (int i = 0; i < 6000; i++) {
            std::string k = "u" + std::to_string(g() % 40000) + "@ex.pt";
            if (!presentes.insert(k).second)
                continue;
            nos.emplace_back(k, insere(k));
        }
        confere(fase);
        for (size_t i = 0; i < nos.size();) {
            if (g() % 3 == 0) {
                presentes.erase(nos[i].first);
                cRetira(nos[i].second);
                delete nos[i].second;
                nos[i] = nos.back();
                nos.pop_back();
            } else {
                i++;
            }
        }
        confere(fase);
    }
}

TEST_F(Dispersao, EqualKeysLeaveLookupsToTheTreeUntilTheIndexEmpties) {
    TUsuario* a = insere("jo\xE3o@ex.pt");
    insere("b@ex.pt");
    EXPECT_TRUE(indice.tabela.ativa());
    // A second entry equal to the first, as a file from elsewhere may hold.
    TUsuario* outro = insere("JOAO@EX.PT");
    EXPECT_FALSE(indice.tabela.ativa());
    for (const char* k : {"joao@ex.pt", "JO\xC3O@ex.pt", "b@ex.pt", "c@ex.pt"})
        EXPECT_EQ(cBusca(k), pelaArvore(k)) << k;
    EXPECT_NE(cBusca("joao@ex.pt"), nullptr);
    cRetira(outro);
    delete outro;
    EXPECT_EQ(cBusca("joao@ex.pt"), a);
    // Still the tree's answers with the equal key gone; once empty, the
    // table serves again.
    EXPECT_FALSE(indice.tabela.ativa());
    libertaIndice();
    EXPECT_TRUE(indice.tabela.ativa());
    TUsuario* c = insere("c@ex.pt");
    EXPECT_TRUE(indice.tabela.ativa());
    EXPECT_EQ(cBusca("C@EX.PT"), c);
    EXPECT_EQ(cBusca("joao@ex.pt"), nullptr);
}

TEST_F(Dispersao, KeysWithBlanksOrControlBytesLeaveLookupsToTheTree) {
    // Among such keys compareFolded is no consistent order, so a descent
    // may miss a key the table would find: the table steps aside.
    for (const char* estranha : {"ana maria@ex.pt", "x\x01@ex.pt", "fim@ex.pt "}) {
        libertaIndice();
        TUsuario* a = insere("a@ex.pt");
        EXPECT_TRUE(indice.tabela.ativa());
        TUsuario* e = insere(estranha);
        EXPECT_FALSE(indice.tabela.ativa()) << estranha;
        EXPECT_EQ(cBusca("A@EX.PT"), a);
        EXPECT_EQ(cBusca(estranha), pelaArvore(estranha)) << estranha;
        EXPECT_EQ(cBusca(estranha), e) << estranha;
    }
}

}  // namespace
