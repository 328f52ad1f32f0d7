// The parameter table: records the host sees, value mapping, display text and parsing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "controller/param_table.h"

using namespace vst3;

namespace {

std::string narrow(const char16* text)
{
    std::string s;
    for (; *text; text++)
        s += (char)*text;
    return s;
}

std::string format(int index, double normalized)
{
    TChar buffer[128];
    if (param_format(index, normalized, buffer) != 0)
        return "<refused>";
    return narrow(buffer);
}

double parse(int index, const char* text)
{
    std::u16string wide(text, text + strlen(text));
    double value = -12345;
    EXPECT_EQ(param_parse(index, wide.c_str(), &value), 0);
    return value;
}

TEST(ParamTable, RecordsAsTheHostSeesThem)
{
    struct expected {
        uint32 id;
        const char* title;
        const char* units;
        int32 steps;
        double def;
        int32 flags;
        double max;
    } rows[] = {
        {1955105482u, "Drive", "%", 0, 0.5, 1, 100},  {1278044914u, "Tone", "%", 0, 0.5, 1, 100},
        {417465296u, "Heat", "%", 0, 0.5, 1, 100},     {907392060u, "Mix", "%", 0, 1.0, 1, 100},
        {115099194u, "Volume", "%", 0, 0.5, 1, 200},   {150732888u, "Bypass", "", 1, 0.0, 65537, 1},
    };
    for (int i = 0; i < 6; i++) {
        const ParameterInfo& p = param_info_table[i];
        EXPECT_EQ(p.id, rows[i].id);
        EXPECT_EQ(narrow(p.title), rows[i].title);
        EXPECT_EQ(narrow(p.shortTitle), rows[i].title);
        EXPECT_EQ(narrow(p.units), rows[i].units);
        EXPECT_EQ(p.stepCount, rows[i].steps);
        EXPECT_EQ(p.defaultNormalizedValue, rows[i].def);
        EXPECT_EQ(p.unitId, 0);
        EXPECT_EQ(p.flags, rows[i].flags);
        // Zero fill after the text, to the end of each 128-unit field.
        for (size_t k = narrow(p.title).size(); k < 128; k++)
            ASSERT_EQ(p.title[k], 0);
        EXPECT_EQ(param_index_of(p.id), i);
        EXPECT_EQ(param_range_table[i].index, (uint64_t)i);
        EXPECT_EQ(param_range_table[i].max, rows[i].max);
        // The default plain value is the default normalized value mapped.
        EXPECT_EQ(param_to_plain(i, p.defaultNormalizedValue), param_range_table[i].default_plain);
    }
    EXPECT_EQ(param_index_of(0), -1);
    EXPECT_EQ(param_index_of(0x74888ACB), -1);
}

TEST(ParamTable, ApplyNormalizedRoundsTheToggleAndClamps)
{
    EXPECT_EQ(param_apply_normalized(param_bypass, 0.49), 0.0);
    EXPECT_EQ(param_apply_normalized(param_bypass, 0.5), 1.0);
    EXPECT_EQ(param_apply_normalized(param_bypass, 1.7), 1.0);
    EXPECT_EQ(param_apply_normalized(param_bypass, -3.0), 0.0);
    EXPECT_EQ(param_apply_normalized(param_volume, 1.2), 200.0);
    EXPECT_EQ(param_apply_normalized(param_volume, -0.3), 0.0);
    EXPECT_EQ(param_apply_normalized(param_volume, 0.65), 130.0);
    EXPECT_EQ(param_apply_normalized(param_drive, 0.25), 25.0);
    EXPECT_EQ(param_apply_normalized(param_drive, INFINITY), 100.0);
    EXPECT_EQ(param_apply_normalized(param_drive, -INFINITY), 0.0);
    EXPECT_TRUE(std::isnan(param_apply_normalized(param_drive, NAN)));
    // Plain input (editor, state) starts at the toggle rounding.
    EXPECT_EQ(param_clamp_plain(param_bypass, 0.49), 0.0);
    EXPECT_EQ(param_clamp_plain(param_bypass, 0.5), 1.0);
    EXPECT_EQ(param_clamp_plain(param_volume, 250.0), 200.0);
    EXPECT_EQ(param_clamp_plain(param_drive, -5.0), 0.0);
}

TEST(ParamTable, PlainAndNormalizedAreInverses)
{
    for (int i = 0; i < 6; i++)
        for (double n = 0; n <= 1.0; n += 1.0 / 64)  // dyadic steps: every product is exact
            EXPECT_EQ(param_to_normalized(i, param_to_plain(i, n)), n) << i << " " << n;
    EXPECT_EQ(param_to_normalized(param_bypass, 0.3), 0.3);  // no toggle rounding
    EXPECT_EQ(param_to_plain(param_volume, 1.5), 300.0);     // no clamping
}

TEST(ParamTable, FormatTruncatesToTwoDecimals)
{
    // Worked examples of the display text.
    EXPECT_EQ(format(param_drive, 0.5), "50.00");
    EXPECT_EQ(format(param_volume, 0.5), "100.00");
    EXPECT_EQ(format(param_volume, 1.0), "200.00");
    EXPECT_EQ(format(param_drive, 0.123456), "12.34");
    EXPECT_EQ(format(param_drive, 0.0029), "0.28");  // truncated, and 0.29 is below 0.29 in binary
    EXPECT_EQ(format(param_bypass, 1.0), "1.00");
    EXPECT_EQ(format(param_drive, 0.0), "0.00");
    EXPECT_EQ(format(param_tone, 0.999999), "99.99");  // never rounded up to 100.00
    EXPECT_EQ(format(param_drive, -0.05), "-5.00");
    EXPECT_EQ(format(param_mix, 0.07), "7.00");
}

TEST(ParamTable, FormatRefusesWhatCannotBePrinted)
{
    TChar buffer[130];
    for (auto& u : buffer)
        u = 0x7777;
    // Not a parameter, not finite, or too long for the 128-unit buffer: refused,
    // buffer untouched (no endless digit loop, no overrun).
    EXPECT_EQ(param_format(6, 0.5, buffer), -1);
    EXPECT_EQ(param_format(-1, 0.5, buffer), -1);
    EXPECT_EQ(param_format(param_drive, NAN, buffer), -1);
    EXPECT_EQ(param_format(param_drive, INFINITY, buffer), -1);
    EXPECT_EQ(param_format(param_drive, -INFINITY, buffer), -1);
    EXPECT_EQ(param_format(param_drive, 1e300, buffer), -1);
    EXPECT_EQ(param_format(param_drive, std::numeric_limits<double>::max(), buffer), -1);
    for (auto u : buffer)
        ASSERT_EQ(u, 0x7777);
    // A long value that still fits is written whole and ends inside the buffer.
    EXPECT_EQ(param_format(param_drive, 1e100, buffer), 0);
    EXPECT_EQ(buffer[128], 0x7777);
    EXPECT_EQ(buffer[129], 0x7777);
}

TEST(ParamTable, ParseReadsSignAndIntegerDigitsOnly)
{
    EXPECT_EQ(parse(param_drive, "50.00"), 0.5);
    EXPECT_EQ(parse(param_drive, "-5"), -0.05);
    EXPECT_EQ(parse(param_drive, "150"), 1.5);
    EXPECT_EQ(parse(param_drive, "abc"), 0.0);
    EXPECT_EQ(parse(param_drive, "12.9"), 0.12);  // the fraction is ignored
    EXPECT_EQ(parse(param_volume, "100 %"), 0.5);
    EXPECT_EQ(parse(param_bypass, "1"), 1.0);
    double value = 7;
    EXPECT_EQ(param_parse(6, u"5", &value), -1);
    EXPECT_EQ(value, 7);
}

}  // namespace
