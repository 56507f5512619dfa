// The request client against the local HTTPS test service; flags, port and
// handle order (which Wine does not report) are read at the WinHTTP link seam.
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"
#include "tests/update/service.h"
#include "update/request_client.h"

#include <gtest/gtest.h>

#include <algorithm>

using seams::HttpEvent;
using test_service::Field;
using test_service::Header;
using testing_support::Narrow;

namespace {

const std::wstring kNewer =
    L"{\"latest_version\":\"1.3.0\",\"download_url\":\"https://localhost/dl/Noctara-1.3.0.zip\"}";

class RequestClient : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test_service::Reset()); }
    void TearDown() override { test_service::Reset(); }

    // One exchange; a failure leaves the pre-filled response empty, and every
    // handle opened is closed, the last opened first.
    bool Send(const std::wstring& url, const std::wstring& body = L"", unsigned long long ms = kExchangeDeadlineMs)
    {
        seams::Reset();
        response_ = L"stale";
        const bool ok = request_client_detail::SendJsonRequestWithin(url, body, response_, ms);
        EXPECT_TRUE(ok || response_.empty()) << Narrow(response_.substr(0, 80));
        std::vector<void*> opened, closed;
        for (const HttpEvent& event : seams::HttpEvents()) {
            (event.kind == HttpEvent::Close ? closed : opened).push_back(event.handle);
        }
        std::erase(opened, nullptr);
        EXPECT_EQ(closed, std::vector<void*>(opened.rbegin(), opened.rend()));
        return ok;
    }

    // The first event of that kind in the last exchange.
    static HttpEvent Find(HttpEvent::Kind kind)
    {
        const auto events = seams::HttpEvents();
        const auto it = std::find_if(events.begin(), events.end(), [&](const auto& e) { return e.kind == kind; });
        return it == events.end() ? HttpEvent{} : *it;
    }

    std::wstring response_;
};

}  // namespace

TEST_F(RequestClient, CheckEndpointGetCarriesQueryAgentAndJsonHeadersWithoutBody)
{
    const std::wstring url = BuildEndpointUrl(ServiceEndpoint::CheckUpdate);
    EXPECT_EQ(url, test_service::Url(L"/api/proxy?file=check_update.php"));
    ASSERT_TRUE(Send(url));
    EXPECT_EQ(response_.substr(0, 18), L"{\"latest_version\":");
    EXPECT_EQ(Find(HttpEvent::OpenRequest).flags, static_cast<DWORD>(WINHTTP_FLAG_REFRESH | WINHTTP_FLAG_SECURE));
    EXPECT_EQ(Find(HttpEvent::Connect).port, test_service::Port()) << "the explicit port";
    const auto log = test_service::Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(Field(log[0], "method") + " " + Field(log[0], "path"), "GET /api/proxy?file=check_update.php");
    EXPECT_EQ(Field(log[0], "body_hex"), "");
    EXPECT_EQ(Header(log[0], "Content-Type") + Header(log[0], "Accept"), "application/jsonapplication/json");
    EXPECT_EQ(Header(log[0], "User-Agent"), "Noctara/1.2");
    EXPECT_TRUE(Header(log[0], "Content-Length").empty() || Header(log[0], "Content-Length") == "0");
}

TEST_F(RequestClient, PostSendsUtf8BytesWithByteCountAsLength)
{
    ASSERT_TRUE(Send(test_service::Url(L"/api/proxy?file=x.php"), L"{\"nome\":\"ação ☕ 𝄞\"}"));
    const auto log = test_service::Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(Field(log[0], "method"), "POST");
    // 2-, 3- and 4-byte forms: 26 bytes for 20 UTF-16 units.
    EXPECT_EQ(Field(log[0], "body_hex"), "7b226e6f6d65223a2261c3a7c3a36f20e2989520f09d849e227d");
    EXPECT_EQ(Header(log[0], "Content-Length"), "26");
    EXPECT_EQ(Header(log[0], "Content-Type"), "application/json");
}

TEST_F(RequestClient, HttpAddressGoesWithoutSecureFlag)
{
    // To the TLS port: the exchange fails after the request was opened.
    EXPECT_FALSE(Send(L"http://localhost:" + std::to_wstring(test_service::Port()) + L"/a"));
    EXPECT_EQ(Find(HttpEvent::OpenRequest).flags, static_cast<DWORD>(WINHTTP_FLAG_REFRESH));
    EXPECT_EQ(Find(HttpEvent::Connect).port, test_service::Port());
}

// Whatever the status, an answer read whole comes back verbatim; nothing of a
// partial, oversized or late one does, and no failure holds the caller for
// long (a stall ends by the 10 s response time-out).
TEST_F(RequestClient, AnswersComeBackWholeOrNotAtAll)
{
    const std::wstring a = test_service::Url(L"/a");
    std::wstring mib = kNewer.substr(0, kNewer.size() - 1) + L",\"pad\":\"";  // as the service pads it
    mib += std::wstring(kMaxResponseBytes - mib.size() - 2, L'x') + L"\"}";
    const struct {
        const char* what;
        std::wstring url;
        const wchar_t* mode;  // a service mode; "script": a body cut short
        bool ok;
        std::wstring expected;
    } rows[] = {
        {"404 with body", a, L"status404", true, kNewer},
        {"500 with body", a, L"status500", true, kNewer},
        {"empty body", a, L"empty_body", true, L""},
        {"byte order mark", a, L"bom", true, L"\xFEFF" + kNewer},
        // \xff and \xfe are invalid, \xc3 is cut short by "(".
        {"malformed UTF-8", a, L"malformed_utf8", true,
         L"{\"latest_version\":\"1.3.0\",\"download_url\":\"https://localhost/dl/x.zip\","
         L"\"notes\":\"ok \xFFFD\xFFFD\xFFFD( ok\"}"},
        {"exactly 1 MiB", a, L"exactly_1mib", true, mib},
        {"over 1 MiB", a, L"big", false, L""},
        {"body shorter than announced", a, L"script", false, L""},
        {"trickles past the deadline", a, L"trickle", false, L""},
        {"accepts and never answers", a, L"stall", false, L""},
        {"refused connection", L"https://localhost:1/a", nullptr, false, L""},
        // A label over 63 characters fails in the local resolver: no query leaves.
        {"unresolvable name", L"https://" + std::wstring(70, L'n') + L".invalid/a", nullptr, false, L""},
        {"not an address", L"not an address", nullptr, false, L""},
        {"host over 255 units", L"https://" + std::wstring(300, L'a') + L"/x", nullptr, false, L""},
        {"path over 1023 units", test_service::Url(L"/" + std::wstring(1100, L'p')), nullptr, false, L""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(!row.mode || (std::wstring(row.mode) == L"script"
                                      ? test_service::Script(200, "{\"latest_version\":\"9",
                                                             "{\"Content-Length\":\"100\",\"Connection\":\"close\"}")
                                      : test_service::SetMode(row.mode)));
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(Send(row.url, L"", 5000), row.ok);
        EXPECT_TRUE(response_ == row.expected) << Narrow(response_.substr(0, 80));
        EXPECT_LT(GetTickCount64() - start, 20000u);
    }
}
