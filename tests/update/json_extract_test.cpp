// Values are found by plain text search: these rows pin down its quirks.
#include "update/json_extract.h"

#include <gtest/gtest.h>

TEST(ExtractJsonString, TakesWhatLiesBetweenTheTwoQuotationMarksAfterTheName)
{
    const struct {
        std::wstring json;
        std::wstring key;
        bool found;
        std::wstring value;
    } rows[] = {
        {LR"({"a":"","b":"x"})", L"a", true, L""},
        {L"{\"a\" \r\n\t:\r\n  \"x\"}", L"a", true, L"x"},
        {LR"({"a":"say \"hi\""})", L"a", true, L"say \\"},
        {LR"({"u":"https:\/\/h\/x"})", L"u", true, LR"(https:\/\/h\/x)"},
        {LR"({"n":12,"b":"x"})", L"n", true, L"b"},
        {LR"({"n":12})", L"n", false, L""},
        {LR"({"title":"a","b":"x"})", L"a", true, L"x"},
        {LR"({"b":"x"})", L"a", false, L""},
        {L"", L"a", false, L""},
        {LR"({"Latest_Version":"1.3.0"})", L"latest_version", false, L""},
    };
    for (const auto& row : rows) {
        std::wstring value = L"stale";
        EXPECT_EQ(ExtractJsonString(row.json, row.key, value), row.found) << row.json;
        EXPECT_EQ(value, row.value) << row.json;
    }
}
