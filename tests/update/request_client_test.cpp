// The request client against the local HTTPS test service; what Wine does not
// report (flags, port, handle order) is read at the WinHTTP link seam.
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"
#include "tests/update/service.h"
#include "update/request_client.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <winhttp.h>

#include <optional>

using namespace testing_support;
using seams::HttpEvent;

namespace {

constexpr wchar_t kSentinel[] = L"\xDEAD sentinel";
const std::wstring kNewer = L"{\"latest_version\":\"1.3.0\",\"download_url\":\"https://localhost/dl/Noctara-1.3.0.zip\"}";

class RequestClient : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test_service::Reset()); }
    void TearDown() override { test_service::Reset(); }

    // One exchange: the response is pre-filled so clearing at entry shows.
    bool Send(const std::wstring& url, const std::wstring& body = L"",
              unsigned long long deadlineMs = kExchangeDeadlineMs)
    {
        seams::Reset();
        response_ = kSentinel;
        const bool ok = request_client_detail::SendJsonRequestWithin(url, body, response_, deadlineMs);
        if (!ok) {
            EXPECT_TRUE(response_.empty()) << Narrow(response_.substr(0, 80));
        }
        ExpectHandlesClosedInReverse();
        return ok;
    }

    // Every handle opened by the call is closed, the last opened first.
    void ExpectHandlesClosedInReverse() const
    {
        std::vector<void*> open;
        for (const HttpEvent& event : seams::HttpEvents()) {
            if (event.kind != HttpEvent::Close) {
                if (event.handle != nullptr) {
                    open.push_back(event.handle);
                }
            } else {
                ASSERT_FALSE(open.empty());
                EXPECT_EQ(event.handle, open.back());
                open.pop_back();
            }
        }
        EXPECT_TRUE(open.empty()) << open.size() << " handles left open";
    }

    // The first event of that kind since the exchange began.
    static std::optional<HttpEvent> Find(HttpEvent::Kind kind)
    {
        for (const auto& event : seams::HttpEvents()) {
            if (event.kind == kind) {
                return event;
            }
        }
        return std::nullopt;
    }

    std::wstring response_;
};

// A localhost port nobody listens on.
unsigned short ClosedPort()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    bind(s, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    closesocket(s);
    return ntohs(address.sin_port);
}

}  // namespace

TEST_F(RequestClient, CheckEndpointGetCarriesQueryAgentAndJsonHeadersWithoutBody)
{
    const std::wstring url = BuildEndpointUrl(ServiceEndpoint::CheckUpdate);
    EXPECT_EQ(url, test_service::Url(L"/api/proxy?file=check_update.php"));
    EXPECT_EQ(BuildEndpointUrl(static_cast<ServiceEndpoint>(7)), L"");

    ASSERT_TRUE(Send(url));
    EXPECT_EQ(response_.substr(0, 18), L"{\"latest_version\":");
    const auto request = Find(HttpEvent::OpenRequest);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->flags, static_cast<DWORD>(WINHTTP_FLAG_REFRESH | WINHTTP_FLAG_SECURE));
    EXPECT_EQ(Find(HttpEvent::Connect)->port, test_service::Port()) << "the explicit port is used";
    EXPECT_EQ(Find(HttpEvent::Open)->text, L"Noctara/1.2");

    const auto log = test_service::Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].path, "/api/proxy?file=check_update.php");
    EXPECT_EQ(log[0].body, "");
    EXPECT_EQ(log[0].Header("Content-Type"), "application/json");
    EXPECT_EQ(log[0].Header("Accept"), "application/json");
    EXPECT_EQ(log[0].Header("User-Agent"), "Noctara/1.2");
    EXPECT_TRUE(log[0].Header("Content-Length").empty() || log[0].Header("Content-Length") == "0");
}

TEST_F(RequestClient, PostSendsUtf8BytesWithByteCountAsLength)
{
    // Two-, three- and four-byte sequences; the length is in bytes, not units.
    const std::wstring body = L"{\"nome\":\"ação ☕ 𝄞\"}";
    const std::string utf8 = "{\"nome\":\"a\xC3\xA7\xC3\xA3o \xE2\x98\x95 \xF0\x9D\x84\x9E\"}";
    ASSERT_TRUE(Send(test_service::Url(L"/api/proxy?file=x.php"), body));
    const auto log = test_service::Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].method, "POST");
    EXPECT_EQ(log[0].body, utf8);
    EXPECT_EQ(log[0].Header("Content-Length"), std::to_string(utf8.size()));
    EXPECT_EQ(log[0].Header("Content-Type"), "application/json");
}

// Answers that are read whole, whatever their status or content.
TEST_F(RequestClient, AnswersAreReturnedVerbatimWhateverTheStatus)
{
    const std::wstring exactlyMiB = L"exactly_1mib";
    const struct {
        const wchar_t* mode;
        std::wstring expected;
    } rows[] = {
        {L"status404", kNewer},
        {L"status500", kNewer},
        {L"empty_body", L""},
        {L"bom", L"\xFEFF" + kNewer},
        // \xff and \xfe are invalid, \xc3 is cut short by "(".
        {L"malformed_utf8", L"{\"latest_version\":\"1.3.0\",\"download_url\":\"https://localhost/dl/x.zip\","
                            L"\"notes\":\"ok \xFFFD\xFFFD\xFFFD( ok\"}"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(Narrow(row.mode));
        ASSERT_TRUE(test_service::SetMode(row.mode));
        EXPECT_TRUE(Send(test_service::Url(L"/api/proxy?file=check_update.php")));
        EXPECT_EQ(response_, row.expected);
    }

    ASSERT_TRUE(test_service::SetMode(exactlyMiB));
    EXPECT_TRUE(Send(test_service::Url(L"/a")));
    EXPECT_EQ(response_.size(), kMaxResponseBytes);
}

// Exchanges that fail: nothing of a partial or oversized answer comes back.
TEST_F(RequestClient, FailedExchangesReturnFalseAndNothing)
{
    const std::wstring closed = L"https://localhost:" + std::to_wstring(ClosedPort()) + L"/api/proxy?file=x";
    const std::wstring longHost = L"https://" + std::wstring(300, L'a') + L"/x";
    const std::wstring longPath = test_service::Url(L"/" + std::wstring(1100, L'p'));
    // A label over 63 characters fails in the local resolver, so no query
    // ever leaves this machine.
    const std::wstring unresolvable = L"https://" + std::wstring(70, L'n') + L".invalid/api/proxy?file=x";
    const struct {
        const char* what;
        std::wstring url;
        const wchar_t* mode;  // nullptr: no service mode
        bool opensHandles;
    } rows[] = {
        {"over 1 MiB", test_service::Url(L"/a"), L"big", true},
        {"refused connection", closed, nullptr, true},
        {"unresolvable name", unresolvable, nullptr, true},
        {"not an address", L"not an address", nullptr, false},
        {"host over 255 units", longHost, nullptr, false},
        {"path over 1023 units", longPath, nullptr, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.mode != nullptr) {
            ASSERT_TRUE(test_service::SetMode(row.mode));
        }
        EXPECT_FALSE(Send(row.url));
        EXPECT_EQ(Find(HttpEvent::Open).has_value(), row.opensHandles);
    }
}

TEST_F(RequestClient, BodyShorterThanAnnouncedIsAFailure)
{
    // The server closes after 20 of 100 announced bytes; WinHTTP calls that
    // a normal end of data.
    ASSERT_TRUE(test_service::Script(200, "{\"latest_version\":\"9", {{"Content-Length", "100"}, {"Connection", "close"}}));
    EXPECT_FALSE(Send(test_service::Url(L"/a")));

    // The same answer complete passes.
    ASSERT_TRUE(test_service::Script(200, "{\"latest_version\":\"9\"}"));
    EXPECT_TRUE(Send(test_service::Url(L"/a")));
    EXPECT_EQ(response_, L"{\"latest_version\":\"9\"}");
}

TEST_F(RequestClient, TricklingBodyEndsAtTheDeadline)
{
    // The service trickles 4 bytes every half second for a minute.
    ASSERT_TRUE(test_service::SetMode(L"trickle"));
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(Send(test_service::Url(L"/a"), L"", 2000));
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_LT(elapsed, 20000u) << "the read went on past the deadline";
    RecordProperty("elapsed_ms", static_cast<int>(elapsed));
}

TEST_F(RequestClient, HttpAddressGoesWithoutSecureFlag)
{
    // Plain HTTP to the TLS port: the exchange fails, and the request was
    // opened without the secure flag.
    EXPECT_FALSE(Send(L"http://localhost:" + std::to_wstring(test_service::Port()) + L"/api/proxy?file=x"));
    ASSERT_TRUE(Find(HttpEvent::OpenRequest));
    EXPECT_EQ(Find(HttpEvent::OpenRequest)->flags, static_cast<DWORD>(WINHTTP_FLAG_REFRESH));
    EXPECT_EQ(Find(HttpEvent::Connect)->port, test_service::Port());

    // Without a port, https means 443 (nobody listens there on this host).
    Send(L"https://localhost/api/proxy?file=x");
    ASSERT_TRUE(Find(HttpEvent::Connect));
    EXPECT_EQ(Find(HttpEvent::Connect)->port, 443);
}

TEST_F(RequestClient, ServerThatNeverAnswersTimesOut)
{
    // Slow by nature: the response time-out is 10 s and the service would
    // stall for two minutes.
    ASSERT_TRUE(test_service::SetMode(L"stall"));
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(Send(test_service::Url(L"/api/proxy?file=check_update.php")));
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_LT(elapsed, 60000u);
    RecordProperty("elapsed_ms", static_cast<int>(elapsed));
}
