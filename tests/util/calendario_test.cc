// Calendar conversions against the C library's own proleptic Gregorian
// arithmetic (timegm/gmtime on 64-bit time), over the whole 32-bit range.
#include "util/calendario.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

// Days from 1 January 1601 to 1 January 1970.
constexpr int64_t kDays1601To1970 = 134774;

struct Data {
    int32_t dia, mes, ano;
};

Data civilOfDay(int64_t dia) {
    time_t t = time_t((dia - kDays1601To1970) * 86400);
    tm g;
    gmtime_r(&t, &g);
    return Data{g.tm_mday, g.tm_mon + 1, g.tm_year + 1900};
}

int64_t dayOfCivil(int32_t dia, int32_t mes, int32_t ano) {
    tm g{};
    g.tm_mday = dia;
    g.tm_mon = mes - 1;
    g.tm_year = ano - 1900;
    return int64_t(timegm(&g)) / 86400 + kDays1601To1970;
}

void expectDay(int64_t dia, uint32_t minutoNoDia) {
    Data esperado = civilOfDay(dia);
    Data d{};
    minutesToDate(uint32_t(dia * 1440 + minutoNoDia), d.dia, d.mes, d.ano);
    ASSERT_EQ(d.dia, esperado.dia) << dia;
    ASSERT_EQ(d.mes, esperado.mes) << dia;
    ASSERT_EQ(d.ano, esperado.ano) << dia;
    ASSERT_EQ(dateToMinutesWide(d.dia, d.mes, d.ano), dia * 1440) << dia;
    ASSERT_EQ(uint32_t(dateToMinutes(d.dia, d.mes, d.ano)), uint32_t(dia * 1440)) << dia;
}

TEST(Calendario, DatesAgreeWithAnIndependentCalendarOverTheWholeRange) {
    const int64_t ultimoDia = int64_t(UINT32_MAX) / 1440;
    for (int64_t dia = 0; dia <= ultimoDia; dia += 61)  // 61 walks every day of the month and both parities
        expectDay(dia, uint32_t(dia % 1440));
    // Every day of the years around the century rules: 1700, 1900, 2000, 2100, 2400.
    for (int ano : {1601, 1700, 1899, 1900, 1999, 2000, 2001, 2024, 2100, 2399, 2400})
        for (int64_t dia = dayOfCivil(1, 1, ano); dia < dayOfCivil(1, 1, ano + 1); dia++)
            expectDay(dia, 1439);
    expectDay(ultimoDia, uint32_t(UINT32_MAX - ultimoDia * 1440));
}

TEST(Calendario, EdgesOfTheCalendar) {
    struct Caso {
        Data d;
        int64_t dia;
    } casos[] = {
        {{1, 1, 1601}, 0},
        {{31, 12, 2000}, dayOfCivil(31, 12, 2000)},
        {{1, 1, 2001}, dayOfCivil(31, 12, 2000) + 1},
        {{29, 2, 2000}, dayOfCivil(29, 2, 2000)},
        {{29, 2, 1900}, dayOfCivil(1, 3, 1900)},  // no such day: the day after 28 February
        {{31, 2, 2023}, dayOfCivil(3, 3, 2023)},
        {{31, 2, 2024}, dayOfCivil(2, 3, 2024)},
    };
    for (const Caso& c : casos)
        EXPECT_EQ(dateToMinutesWide(c.d.dia, c.d.mes, c.d.ano), c.dia * 1440) << c.d.dia << "/" << c.d.mes << "/" << c.d.ano;
    Data d{};
    minutesToDate(uint32_t(dayOfCivil(31, 12, 2000) * 1440), d.dia, d.mes, d.ano);
    EXPECT_EQ(d.dia * 10000 + d.mes * 100 + (d.ano - 2000), 311200);
    minutesToDate(UINT32_MAX, d.dia, d.mes, d.ano);
    Data fim = civilOfDay(int64_t(UINT32_MAX) / 1440);
    EXPECT_EQ(d.dia, fim.dia);
    EXPECT_EQ(d.mes, fim.mes);
    EXPECT_EQ(d.ano, fim.ano);
}

TEST(Calendario, InvalidDayOrMonthGivesZero) {
    for (Data d : {Data{0, 1, 2000}, Data{32, 1, 2000}, Data{1, 0, 2000}, Data{1, 13, 2000}, Data{-1, 5, 2000}})
        EXPECT_EQ(dateToMinutes(d.dia, d.mes, d.ano), 0) << d.dia << "/" << d.mes;
}

}  // namespace
