// The check against the local HTTPS service, answered as a hostile or broken one would, and the address test.
#include "tests/support/fixture.h"
#include "tests/support/seams.h"
#include "update/request_client.h"
#include "update/update_check.h"

#include <gtest/gtest.h>

#include <algorithm>

using fixture::Offer;

TEST(UpdateCheck, OffersWhatAWholeAnswerNamesAndNothingElse)
{
    const std::string url = "https://localhost/dl/Noctara-1.3.0.zip";
    const std::string newer = Offer("1.3.0", url);
    const std::wstring wideUrl(url.begin(), url.end());
    const size_t mib = 1024 * 1024;
    const struct {
        std::string body;
        std::wstring version;  // empty: nothing offered
        std::wstring url;
        int status = 200;
        const char* how = "whole";
    } rows[] = {
        {newer, L"1.3.0", wideUrl},
        {"{\r\n  \"latest_version\" : \"1.3.0\",\n\t\"download_url\":\"" + url + "\"\n}", L"1.3.0", wideUrl},
        {Offer("1.2.2", url), L"", L""},
        {Offer("1.2.2 ", url), L"1.2.2 ", wideUrl},
        {Offer("", url), L"", L""},
        // An address the download command refuses is no offer (PHP's escaped slashes), nor is none.
        {Offer("1.3.0", R"(https:\/\/localhost\/dl\/Noctara-1.3.0.zip)"), L"", L""},
        {R"({"latest_version":"1.3.0"})", L"", L""},
        {"", L"", L""},
        // A name is found quoted, exactly and first: not inside another value, not in another case, not later.
        {R"({"download_url":"https://h/latest_version:1","Latest_Version":"9","latest_version":"1.3.0",)"
         R"("older":{"latest_version":"1.2.2"}})",
         L"1.3.0", L"https://h/latest_version:1"},
        {newer, L"1.3.0", wideUrl, 500},
        {Offer("1.3\xFF", url), L"1.3\xFFFD", wideUrl},
        {Offer(std::string(64, '9'), url), std::wstring(64, L'9'), wideUrl},
        {Offer(std::string(65, '9'), url), L"", L""},
        {Offer(std::string("1.3\0evil", 8), url), L"", L""},
        {Offer("1.3\x7F", url), L"", L""},
        {newer + std::string(mib - newer.size(), ' '), L"1.3.0", wideUrl},
        {newer + std::string(mib + 1 - newer.size(), ' '), L"", L""},
        {newer + std::string(mib - newer.size(), ' '), L"1.3.0", wideUrl, 200, "unsized"},
        {newer + std::string(mib + 1 - newer.size(), ' '), L"", L"", 200, "unsized"},
        {newer, L"", L"", 200, "short"},
        {newer, L"", L"", 200, "stall"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.body.substr(0, 60));
        ASSERT_TRUE(fixture::SetAnswer(row.status, row.how, row.body));
        std::wstring version = L"stale";
        std::wstring address = L"stale";
        EXPECT_EQ(CheckForUpdate(version, address), !row.version.empty());
        EXPECT_EQ(version, row.version);
        EXPECT_EQ(address, row.url);
    }

    std::wstring response = L"stale";
    EXPECT_FALSE(SendJsonRequest(L"https://localhost:1/", L"", response)) << "nobody listens";
    EXPECT_EQ(response, L"");
}

// 5 s to resolve and connect, 10 s to send and to begin an answer, 30 s from the send to the body's end.
TEST(UpdateCheck, GivesUpOnAServiceAfterItsTimeOutsAndThirtySecondsInAll)
{
    ASSERT_TRUE(fixture::SetAnswer(200, "whole", Offer("1.3.0", "https://localhost/dl/N.zip")));
    const size_t before = seams::httpSettings.size();
    for (const ULONGLONG leap : {29999, 30000}) {
        seams::LeapClockAfterNextReading(leap);
        std::wstring version;
        std::wstring address;
        EXPECT_EQ(CheckForUpdate(version, address), leap < 30000) << leap;
    }
    const std::vector<std::wstring>& settings = seams::httpSettings;
    for (const wchar_t* setting : {L"timeouts 5000 5000 10000 10000", L"option 7=10000"}) {
        EXPECT_EQ(std::count(settings.begin() + before, settings.end(), setting), 2) << setting;
    }
}

TEST(DownloadAddress, OnlyAnAbsoluteHttpsAddressWithAHostGoesToTheShell)
{
    const struct {
        std::wstring url;
        bool opens;
    } rows[] = {
        {L"https://localhost/dl/Noctara-1.3.0.zip?x=1#y", true},
        {L"https://localhost/" + std::wstring(2048 - 18, L'x'), true},
        {L"https://localhost/" + std::wstring(2049 - 18, L'x'), false},
        {L"HTTPS://Localhost", true},
        {L"http://localhost/x", false},
        {L"https://", false},
        {L"https://h", true},
        {L"https:/host", false},
        {L"https:///x", false},
        {L"https://?x", false},
        {L"https://#x", false},
        {L"https://@host/x", false},
        {L"https://:443/x", false},
        {L"https://h/a b", false},
        {L"https://h/\"x", false},
        {L"https://h/a\\b", false},
        {L"https://h/\x1F", false},
        {L"https://h/!~\xA1", true},
        {L"https://h/\x7F", false},
        {L"https://h/\x9F", false},
        {L"https://h/\x3000", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(IsOpenableDownloadUrl(row.url), row.opens) << row.url;
    }
}

// A proxy's 407 offering Windows sign-in gets one more request, kept alive, with the user's own sign-in for the
// proxy, Negotiate first; Basic or Digest alone, a second 407 or a spent deadline end the check.
TEST(UpdateCheck, AProxySignInIsAnsweredOnceWithTheUsersOwnCredentials)
{
    const std::wstring first = L"timeouts 5000 5000 10000 10000|option 7=10000|option 63=8|status 407|schemes|";
    const std::wstring retry = first + L"option 7=10000|credentials 1 ";
    const struct {
        const char* name;
        int challenges;
        DWORD schemes;  // Basic 1, NTLM 2, Digest 8, Negotiate 16
        ULONGLONG leap;
        std::wstring calls;
    } rows[] = {
        {"negotiate", 1, 1 | 2 | 16, 0, retry + L"16 none|status 200|"},
        {"ntlm", 1, 2 | 8, 0, retry + L"2 none|status 200|"},
        {"basic", 1, 1 | 8, 0, first},
        {"second 407", 2, 16, 0, retry + L"16 none|status 407|"},
        {"past the deadline", 1, 16, 30000, first},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(fixture::SetAnswer(200, "whole", Offer("1.3.0", "https://localhost/dl/N.zip")));
        seams::proxyChallenges = row.challenges;
        seams::proxySchemes = row.schemes;
        seams::httpSettings.clear();
        seams::LeapClockAfterNextReading(row.leap);
        std::wstring version;
        std::wstring address;
        EXPECT_EQ(CheckForUpdate(version, address), row.calls.ends_with(L"200|"));
        std::wstring calls;
        for (const std::wstring& call : seams::httpSettings) {
            calls += call + L"|";
        }
        EXPECT_EQ(calls, row.calls);
        const std::wstring log = fixture::ServiceLog();
        EXPECT_EQ(log.rfind(L"GET ") > 0, row.calls != first) << "two requests, or one: " << log;
    }
}
