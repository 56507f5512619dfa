// Values are found by plain text search: these rows pin down its quirks.
#include "tests/support/app_fixture.h"
#include "update/json_extract.h"

#include <gtest/gtest.h>

using testing_support::Narrow;

TEST(ExtractJsonString, EdgeCases)
{
    const struct {
        const char* what;
        std::wstring json, key;
        bool found;
        std::wstring value;
    } rows[] = {
        {"plain member", LR"({"v":"1.3.0","url":"https://h/x"})", L"url", true, L"https://h/x"},
        {"empty value", LR"({"a":"","b":"x"})", L"a", true, L""},
        {"spaces around the colon", LR"({"a" :  "x"})", L"a", true, L"x"},
        {"line breaks and tabs around the colon", L"{\"a\"\r\n\t:\r\n  \"x\"}", L"a", true, L"x"},
        {"escaped quotation mark cuts the value", LR"({"a":"say \"hi\""})", L"a", true, L"say \\"},
        {"escaped slashes are kept", LR"({"u":"https:\/\/h\/x"})", L"u", true, LR"(https:\/\/h\/x)"},
        {"non-ASCII value", L"{\"a\":\"ação 𝄞\"}", L"a", true, L"ação 𝄞"},
        {"number takes the next quoted text", LR"({"n":12,"b":"x"})", L"n", true, L"b"},
        {"object value takes its first name", LR"({"n":{"k":"v"}})", L"n", true, L"k"},
        {"number with nothing quoted after", LR"({"b":"x","n":12})", L"n", false, L""},
        {"no colon after the name", LR"({"a" "x"})", L"a", false, L""},
        {"name as another member's value", LR"({"title":"a","b":"x"})", L"a", true, L"x"},
        {"name in a nested object first", LR"({"o":{"v":"1.0"},"v":"1.3.0"})", L"v", true, L"1.0"},
        {"first occurrence wins", LR"({"a":"1","a":"2"})", L"a", true, L"1"},
        {"name inside a longer name is no match", LR"({"xa":"1"})", L"a", false, L""},
        {"missing name", LR"({"b":"x"})", L"a", false, L""},
        {"empty input", L"", L"a", false, L""},
        {"case differs", LR"({"Latest_Version":"1.3.0"})", L"latest_version", false, L""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::wstring value = L"\xDEAD sentinel";
        EXPECT_EQ(ExtractJsonString(row.json, row.key, value), row.found);
        EXPECT_EQ(value, row.value) << Narrow(value);
    }
}
