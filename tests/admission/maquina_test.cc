// The machine table against a std::set model: random inserts and removals,
// every lookup, the search order and the red-black rules after each step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "admission/maquina.h"
#include "protocol/envelhecimento.h"
#include "registry/registro.h"

namespace {

// Climbs from any record to the root of the table.
const TMaquina* rootOf(const TMaquina* n) {
    while (n != nullptr && n->pai != nullptr)
        n = n->pai;
    return n;
}

bool black(const TMaquina* n) { return n == nullptr || (n->cor & 1) != 0; }

// Checks links, order (unsigned), colours and equal black heights below n;
// returns the black height, or -1 after a reported failure. Counts nodes.
int check(const TMaquina* n, const TMaquina* parent, int64_t lo, int64_t hi, int* count) {
    if (n == nullptr)
        return 1;
    (*count)++;
    if (n->pai != parent) {
        ADD_FAILURE() << "parent link of " << n->ip;
        return -1;
    }
    if (int64_t(n->ip) < lo || int64_t(n->ip) > hi) {
        ADD_FAILURE() << "order broken at " << n->ip;
        return -1;
    }
    if (!black(n) && (!black(n->esq) || !black(n->dir))) {
        ADD_FAILURE() << "red node " << n->ip << " has a red child";
        return -1;
    }
    int l = check(n->esq, n, lo, int64_t(n->ip) - 1, count);
    int r = check(n->dir, n, int64_t(n->ip) + 1, hi, count);
    if (l < 0 || r < 0)
        return -1;
    if (l != r) {
        ADD_FAILURE() << "black heights differ below " << n->ip;
        return -1;
    }
    return l + (black(n) ? 1 : 0);
}

void checkTable(const std::map<uint32_t, TMaquina*>& model) {
    ASSERT_EQ(maquinas, int32_t(model.size()));
    if (model.empty())
        return;
    const TMaquina* root = rootOf(model.begin()->second);
    ASSERT_TRUE(black(root));
    int count = 0;
    ASSERT_GT(check(root, nullptr, 0, UINT32_MAX, &count), 0);
    ASSERT_EQ(count, int(model.size()));  // every record is in the one tree
    for (const auto& [ip, m] : model)
        ASSERT_EQ(cBuscaMaquina(ip), m);
}

class MachineTable : public ::testing::Test {
protected:
    // The registry's ageing timer must not run when a test turns the wheel.
    void SetUp() override {
        envelhecimento.cArma(0);
        ASSERT_EQ(maquinas, 0);
    }
};

TEST_F(MachineTable, RandomInsertsAndRemovalsKeepTheTreeValid) {
    std::mt19937 rng(1956);
    std::map<uint32_t, TMaquina*> model;
    // Keys from a small range collide often, so lookups of absent keys and
    // removals next to present ones both happen; a few extremes test the
    // unsigned order (0x80000000 and above must sort after 0x7FFFFFFF).
    std::uniform_int_distribution<uint32_t> small(0, 300);
    for (int step = 0; step < 4000; step++) {
        uint32_t ip = step % 7 == 0 ? rng() : small(rng) * 0x01010101u;
        auto it = model.find(ip);
        ASSERT_EQ(cBuscaMaquina(ip), it == model.end() ? nullptr : it->second);
        // Grow during the first half, shrink during the second.
        bool insert = (rng() % 100) < (step < 2000 ? 65u : 35u);
        if (it == model.end() && insert) {
            TMaquina* m = new TMaquina(ip);
            EXPECT_EQ(m->conexoes, 0);
            model[ip] = m;
        } else if (it != model.end() && !insert) {
            delete it->second;
            model.erase(it);
            ASSERT_EQ(cBuscaMaquina(ip), nullptr);
        }
        if (step % 50 == 0 || model.size() < 8)
            checkTable(model);
        if (HasFatalFailure())
            return;
    }
    checkTable(model);
    while (!model.empty()) {
        delete model.begin()->second;
        model.erase(model.begin());
        checkTable(model);
    }
    EXPECT_EQ(maquinas, 0);
}

TEST_F(MachineTable, AscendingAndDescendingRunsStayBalanced) {
    // Sorted input is the worst case for an unbalanced tree: the height of a
    // red-black tree of n nodes stays within 2 log2(n + 1).
    std::map<uint32_t, TMaquina*> model;
    for (uint32_t i = 0; i < 1023; i++)
        model[i] = new TMaquina(i);
    for (uint32_t i = 0; i < 1023; i++)
        model[0xFFFFFFFFu - i] = new TMaquina(0xFFFFFFFFu - i);
    checkTable(model);
    std::function<int(const TMaquina*)> height = [&](const TMaquina* n) {
        return n == nullptr ? 0 : 1 + std::max(height(n->esq), height(n->dir));
    };
    EXPECT_LE(height(rootOf(model.begin()->second)), 22);
    for (auto& [ip, m] : model)
        delete m;
    EXPECT_EQ(maquinas, 0);
    EXPECT_EQ(cBuscaMaquina(0), nullptr);
}

TEST_F(MachineTable, WaitRunningOutEndsOnlyARecordWithoutClients) {
    TMaquina* idle = new TMaquina(0x0200007F);
    TMaquina* busy = new TMaquina(0x0300007F);
    busy->conexoes = 1;  // as a client would hold it
    idle->cArma(2);
    busy->cArma(2);
    wheelAdvance(1);
    EXPECT_EQ(maquinas, 2);
    wheelAdvance(1);
    EXPECT_EQ(maquinas, 1);
    EXPECT_EQ(cBuscaMaquina(0x0200007F), nullptr);
    EXPECT_EQ(cBuscaMaquina(0x0300007F), busy);
    busy->conexoes = 0;
    delete busy;
    EXPECT_EQ(maquinas, 0);
}

TEST_F(MachineTable, DestroyedRecordLeavesTheWheel) {
    TMaquina* m = new TMaquina(0x0400007F);
    m->cArma(1);
    delete m;
    wheelAdvance(1);  // would touch freed memory if the timer stayed armed
    EXPECT_EQ(maquinas, 0);
}

}  // namespace
