// The check against the local HTTPS service, answered as a hostile or broken one would, and the address test.
#include "tests/support/fixture.h"
#include "tests/support/seams.h"
#include "update/request_client.h"
#include "update/update_check.h"

#include <gtest/gtest.h>

using fixture::Offer;

namespace {

const std::string kUrl = "https://localhost/dl/Noctara-1.3.0.zip";
const std::wstring kWideUrl = L"https://localhost/dl/Noctara-1.3.0.zip";
const size_t kMiB = 1024 * 1024;

struct Case {
    const char* name;
    std::string body;
    std::wstring version;  // empty: nothing offered
    std::wstring url;
    int status = 200;
    const char* how = "whole";
};

void Check(const std::vector<Case>& cases)
{
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(fixture::SetAnswer(row.status, row.how, row.body)) << "the test service is down";
        std::wstring version = L"stale";
        std::wstring address = L"stale";
        EXPECT_EQ(CheckForUpdate(version, address), !row.version.empty());
        EXPECT_EQ(version, row.version);
        EXPECT_EQ(address, row.url);
    }
}

}  // namespace

// A whole answer offers the version it names, when it is another one, and its address, when the shell takes it.
TEST(UpdateCheck, OffersWhatAWholeAnswerNames)
{
    const std::string spaced = "{\r\n  \"latest_version\" : \"1.3.0\",\n\t\"download_url\":\"" + kUrl + "\"\n}";
    // Quoted, exactly and first: not inside another value, not in another case, not a later one.
    const std::string tricky = R"({"download_url":"https://h/latest_version:1","Latest_Version":"9",)"
                               R"("latest_version":"1.3.0","older":{"latest_version":"1.2.2"}})";
    Check({
        {"compact", Offer("1.3.0", kUrl), L"1.3.0", kWideUrl},
        {"spaced over lines", spaced, L"1.3.0", kWideUrl},
        {"names found quoted, exactly and first", tricky, L"1.3.0", L"https://h/latest_version:1"},
        {"any text but this version", Offer("1.2.2 ", kUrl), L"1.2.2 ", kWideUrl},
        {"whatever the status", Offer("1.3.0", kUrl), L"1.3.0", kWideUrl, 500},
        {"a bad UTF-8 byte replaced", Offer("1.3\xFF", kUrl), L"1.3\xFFFD", kWideUrl},
        {"64 characters", Offer(std::string(64, '9'), kUrl), std::wstring(64, L'9'), kWideUrl},
        {"65 characters", Offer(std::string(65, '9'), kUrl), L"", L""},
        {"a NUL", Offer(std::string("1.3\0evil", 8), kUrl), L"", L""},
        {"a DEL", Offer("1.3\x7F", kUrl), L"", L""},
        {"this version", Offer("1.2.2", kUrl), L"", L""},
        {"empty version", Offer("", kUrl), L"", L""},
        {"no address", R"({"latest_version":"1.3.0"})", L"", L""},
        {"escaped slashes", Offer("1.3.0", R"(https:\/\/localhost\/dl\/Noctara-1.3.0.zip)"), L"", L""},
        {"empty answer", "", L"", L""},
    });
}

// Only a whole answer of at most 1 MiB is read, whether its length is announced or not.
TEST(UpdateCheck, ReadsOnlyWholeAnswersUpTo1MiB)
{
    const std::string newer = Offer("1.3.0", kUrl);
    const std::string full = newer + std::string(kMiB - newer.size(), ' ');
    Check({
        {"1 MiB", full, L"1.3.0", kWideUrl},
        {"1 MiB + 1", full + " ", L"", L""},
        {"1 MiB, no length", full, L"1.3.0", kWideUrl, 200, "unsized"},
        {"1 MiB + 1, no length", full + " ", L"", L"", 200, "unsized"},
        {"cut short", newer, L"", L"", 200, "short"},
        {"stalled", newer, L"", L"", 200, "stall"},
    });
}

// The check gives up 30 s after it sends, at 30,000 ms and not before.
TEST(UpdateCheck, GivesUpAfter30Seconds)
{
    ASSERT_TRUE(fixture::SetAnswer(200, "whole", Offer("1.3.0", kUrl))) << "the test service is down";
    for (const ULONGLONG leap : {29999, 30000}) {
        SCOPED_TRACE(testing::Message() << "the clock leaps " << leap << " ms");
        seams::LeapClockAfterNextReading(leap);
        std::wstring version;
        std::wstring address;
        EXPECT_EQ(CheckForUpdate(version, address), leap < 30000);
    }
}

// Only an absolute https address with a host, of at most 2048 characters, goes to the shell.
TEST(DownloadAddress, OnlyHttpsWithAHost)
{
    const struct {
        const char* name;
        std::wstring url;
        bool opens;
    } rows[] = {
        {"query and fragment", L"https://localhost/dl/Noctara-1.3.0.zip?x=1#y", true},
        {"2048 characters", L"https://localhost/" + std::wstring(2048 - 18, L'x'), true},
        {"2049 characters", L"https://localhost/" + std::wstring(2049 - 18, L'x'), false},
        {"scheme in capitals", L"HTTPS://Localhost", true},
        {"scheme alone", L"https://", false},
        {"shortest", L"https://h", true},
        {"one slash", L"https:/host", false},
        {"no host before the path", L"https:///x", false},
        {"no host before the query", L"https://?x", false},
        {"no host before the fragment", L"https://#x", false},
        {"empty user part", L"https://@host/x", false},
        {"port without host", L"https://:443/x", false},
        {"space", L"https://h/a b", false},
        {"quotation mark", L"https://h/\"x", false},
        {"backslash", L"https://h/a\\b", false},
        {"last C0 control", L"https://h/\x1F", false},
        {"printable, past the controls", L"https://h/!~\xA1", true},
        {"DEL", L"https://h/\x7F", false},
        {"last C1 control", L"https://h/\x9F", false},
        {"ideographic space", L"https://h/\x3000", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(IsOpenableDownloadUrl(row.url), row.opens);
    }
}

// A proxy's 407 offering Windows sign-in gets one more request, kept alive, with the user's own sign-in (Negotiate
// first); Basic or Digest alone, a second 407 or a spent deadline end the check.
TEST(UpdateCheck, ProxySignInAnsweredOnceWithOwnCredentials)
{
    // WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, then WINHTTP_OPTION_DISABLE_FEATURE with keep-alive.
    const seams::Calls first = {L"WinHttpSetTimeouts 5000 5000 10000 10000", L"WinHttpSetOption 7 10000",
                                L"WinHttpSetOption 63 8", L"WinHttpQueryHeaders 407", L"WinHttpQueryAuthSchemes"};
    seams::Calls retry = first;
    retry.push_back(L"WinHttpSetOption 7 10000");
    // WINHTTP_AUTH_TARGET_PROXY is 1; WINHTTP_AUTH_SCHEME_ BASIC 1, NTLM 2, DIGEST 8, NEGOTIATE 16.
    const struct {
        const char* name;
        int challenges;
        DWORD schemes;
        ULONGLONG leap;
        seams::Calls then;
    } rows[] = {
        {"negotiate", 1, 1 | 2 | 16, 0, {L"WinHttpSetCredentials 1 16 none", L"WinHttpQueryHeaders 200"}},
        {"ntlm", 1, 2 | 8, 0, {L"WinHttpSetCredentials 1 2 none", L"WinHttpQueryHeaders 200"}},
        {"basic or digest", 1, 1 | 8, 0, {}},
        {"second 407", 2, 16, 0, {L"WinHttpSetCredentials 1 16 none", L"WinHttpQueryHeaders 407"}},
        {"past the deadline", 1, 16, 30000, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(fixture::SetAnswer(200, "whole", Offer("1.3.0", kUrl))) << "the test service is down";
        seams::proxyChallenges = row.challenges;
        seams::proxySchemes = row.schemes;
        seams::ClearLog();
        seams::LeapClockAfterNextReading(row.leap);
        std::wstring version;
        std::wstring address;
        const bool retried = !row.then.empty();
        EXPECT_EQ(CheckForUpdate(version, address), retried && row.challenges == 1);
        seams::Calls calls = retried ? retry : first;
        calls.insert(calls.end(), row.then.begin(), row.then.end());
        EXPECT_EQ(seams::Log(L"WinHttp"), calls);
        const std::wstring log = fixture::ServiceLog();
        EXPECT_EQ(log.rfind(L"GET ") > 0, retried) << "two requests, or one: " << log;
    }
}
