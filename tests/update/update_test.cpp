// The request client and the once-per-run check against the local HTTPS test service, read at the link seams.
#include "app/window_proc.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"
#include "update/request_client.h"

#include <gtest/gtest.h>
#include <winhttp.h>
#include <atomic>
#include <thread>

using namespace testing_support;

namespace {

const auto kPort = static_cast<unsigned short>(std::atoi(std::getenv("NOCTARA_TEST_SERVICE_PORT")));
std::wstring Url(const std::wstring& path) { return L"https://localhost:" + std::to_wstring(kPort) + path; }

std::wstring response;  // of the last Send
bool Send(const std::wstring& url, const std::wstring& body = L"") { seams::Reset(); response = L"stale"; return request_client_detail::SendJsonRequestWithin(url, body, response, 5000); }
std::wstring Ctl(const std::wstring& path) { std::wstring a; return request_client_detail::SendJsonRequestWithin(Url(path), L"", a, 5000) ? a : L"failed"; }

std::atomic<int> reports{0};
WNDPROC productProc = nullptr;
LRESULT CALLBACK CountingProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { reports += m == kCheckResultMessage; return CallWindowProcW(productProc, w, m, wp, lp); }

struct Row { std::wstring mode, version, url; bool opens; };  // version empty: nothing offered
void PrintTo(const Row& row, std::ostream* os) { *os << Narrow(row.mode); }

class UpdateCheck : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override
    {
        ResetAppState(), seams::Reset();
        seams::workerTickMs = 5;
        seams::shellNotifyIconHook = [](DWORD, PNOTIFYICONDATAW) { return TRUE; };
        ASSERT_EQ(Ctl(L"/__reset"), L"ok");
        ASSERT_NE(window_ = CreateHiddenWindow(), nullptr);
        productProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc)));
        reports = 0;
    }
    void TearDown() override { DestroyHiddenWindow(window_); }
    HWND window_ = nullptr;
};

}  // namespace

TEST(RequestClient, GetHasNoBodyPostSendsUtf8AndHttpGoesWithoutSecureFlag)
{
    const auto flags = [] { for (const auto& e : seams::HttpEvents()) if (e.kind == seams::HttpEvent::OpenRequest) return e.flags; return DWORD{0}; };
    const auto expectLogged = [](std::initializer_list<const wchar_t*> parts) { for (const std::wstring log = Ctl(L"/__log"); auto p : parts) EXPECT_NE(log.find(p), log.npos) << Narrow(p) << Narrow(log); };
    EXPECT_EQ(BuildEndpointUrl(ServiceEndpoint::CheckUpdate), Url(L"/api/proxy?file=check_update.php"));  // reaching the service proves its explicit port
    ASSERT_TRUE(Ctl(L"/__reset") == L"ok" && Send(BuildEndpointUrl(ServiceEndpoint::CheckUpdate)));
    EXPECT_EQ(flags(), DWORD{WINHTTP_FLAG_REFRESH | WINHTTP_FLAG_SECURE});
    expectLogged({L"[{\"method\": \"GET\", \"path\": \"/api/proxy?file=check_update.php\"", L"[\"Content-Type\", \"application/json\"]", L"[\"Accept\", \"application/json\"]", L"\"body_hex\": \"\"}]"});
    ASSERT_TRUE(Ctl(L"/__reset") == L"ok" && Send(Url(L"/x"), L"{\"nome\":\"ação ☕ 𝄞\"}"));  // 2-, 3- and 4-byte forms
    expectLogged({L"[{\"method\": \"POST\"", L"[\"Content-Length\", \"26\"]", L"\"body_hex\": \"7b226e6f6d65223a2261c3a7c3a36f20e2989520f09d849e227d\"}]"});
    EXPECT_FALSE(Send(L"http://localhost:" + std::to_wstring(kPort) + L"/a"));  // plain text to the TLS port
    EXPECT_EQ(flags(), DWORD{WINHTTP_FLAG_REFRESH});
}

TEST(RequestClient, AnswersComeBackWholeWhateverTheStatusOrNotAtAll)
{
    const std::wstring a = Url(L"/a"), newer = LR"({"latest_version":"1.3.0","download_url":"https://localhost/dl/Noctara-1.3.0.zip"})";
    const struct { const wchar_t* mode; std::wstring url; bool ok; std::wstring body; } rows[] = {
        {L"status404", a, true, newer}, {L"status500", a, true, newer}, {L"empty_body", a, true, L""}, {L"bom", a, true, L"\xFEFF" + newer},
        {L"malformed_utf8", a, true, L"{\"latest_version\":\"1.3.0\",\"download_url\":\"https://localhost/dl/x.zip\",\"notes\":\"ok \xFFFD\xFFFD\xFFFD( ok\"}"},
        {L"big", a, false, L""}, {L"trickle", a, false, L""}, {L"stall", a, false, L""},  // a stall ends by the response time-out
        {L"current", L"https://localhost:1/a", false, L""}, {L"current", L"https://" + std::wstring(70, L'n') + L".invalid/a", false, L""},  // a 70-character label fails locally: no DNS query
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(Narrow(row.mode + (L" " + row.url)));
        ASSERT_EQ(Ctl(L"/__mode?name=" + std::wstring(row.mode)), L"ok");
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(Send(row.url), row.ok);
        EXPECT_EQ(response, row.body);
        EXPECT_LT(GetTickCount64() - start, 20000u);
    }
}

TEST_P(UpdateCheck, KeepsTheUiResponsiveOffersAnotherVersionAndOpensOnlyHttpsAddresses)
{
    const Row& row = GetParam();
    ASSERT_EQ(Ctl(L"/__mode?name=" + row.mode), L"ok");
    AppState::checkResult = CheckResult{true, L"old", 2, BalloonKind::Update, true, L"https://old/", L"0.9"};  // must become a default record
    std::atomic<int> answered{-1};
    std::thread probe([&] {  // once the service holds the request
        for (const auto end = GetTickCount64() + 15000; Ctl(L"/__log") == L"[]" && GetTickCount64() < end;) Sleep(20);
        answered = SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_NORMAL, 1000, nullptr) != 0;
    });
    SendMessageW(window_, WM_TIMER, kStartupTimerId, 0);  // the start-up timer's tick, before the real one can come
    EXPECT_TRUE(PumpUntil([&] { return answered >= 0; }, 20000));
    probe.join();
    EXPECT_EQ(answered, 1) << "the UI thread did not answer while the check ran";
    SendMessageW(window_, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window_), 0);
    EXPECT_EQ(seams::TrackedMenus().size(), 1u);
    EXPECT_TRUE(PumpUntil([] { return reports > 0; }, 40000));
    PumpUntil([] { return true; }, 0);
    EXPECT_EQ(reports, 1);
    EXPECT_TRUE(AppState::active && seams::WaitForLiveWorkers(1, 5000)) << "keeping awake did not begin";
    EXPECT_EQ(std::tie(AppState::updateAvailable, AppState::latestVersion, AppState::downloadUrl), std::make_tuple(!row.version.empty(), row.version, row.url));
    std::vector<NOTIFYICONDATAW> balloons;
    for (const auto& c : seams::NotifyCalls()) if (c.message == NIM_MODIFY && (c.data.uFlags & NIF_INFO)) balloons.push_back(c.data);
    ASSERT_EQ(balloons.size(), row.version.empty() ? 0u : 1u);
    if (const CheckResult& r = AppState::checkResult; row.version.empty()) {
        EXPECT_EQ(std::tie(r.showBalloon, r.balloonText, r.balloonKind, r.updateAvailable, r.downloadUrl, r.latestVersion), std::make_tuple(false, L"", BalloonKind::Plain, false, L"", L""));
        return;
    }
    EXPECT_EQ(std::wstring(balloons[0].szInfoTitle) + L": " + balloons[0].szInfo, L"Noctara: Nova versão disponível! Clique para baixar.");
    EXPECT_EQ(std::tie(balloons[0].dwInfoFlags, AppState::lastBalloonKind), std::tuple(DWORD{NIIF_INFO}, BalloonKind::Update));
    SendMessageW(window_, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window_), 0);
    const auto items = seams::TrackedMenus().back().items;
    EXPECT_TRUE(std::any_of(items.begin(), items.end(), [&](auto& i) { return i.id == CmdDownloadUpdate && i.text == L"★ Baixar Nova Versão (" + row.version + L")"; }));
    SendMessageW(window_, kTrayCallbackMessage, 0, MAKELPARAM(NIN_BALLOONUSERCLICK, 1));
    SendMessageW(window_, WM_COMMAND, CmdDownloadUpdate, 0);
    const auto opened = seams::ShellExecuteCalls();
    ASSERT_EQ(opened.size(), row.opens ? 2u : 0u);
    for (const auto& c : opened) EXPECT_EQ(std::tie(c.verb, c.file, c.show), std::make_tuple(L"open", row.url, SW_SHOWNORMAL));
}

INSTANTIATE_TEST_SUITE_P(Answers, UpdateCheck, ::testing::Values(  // "stall": accepted, held 6 s, closed without an answer
    Row{L"stall&seconds=6", L"", L"", false}, Row{L"current", L"", L"", false}, Row{L"empty_version", L"", L"", false}, Row{L"missing_version", L"", L"", false},
    Row{L"empty_body", L"", L"", false}, Row{L"newer", L"1.3.0", L"https://localhost/dl/Noctara-1.3.0.zip", true}, Row{L"http_url", L"1.3.0", L"http://localhost/x.zip", false},
    Row{L"older", L"1.2.1", L"https://localhost/dl/Noctara-1.2.1.zip", true}, Row{L"trailing_space", L"1.2.2 ", L"https://localhost/dl/Noctara.zip", true},
    Row{L"escaped_slashes", L"1.3.0", LR"(https:\/\/localhost\/dl\/x.zip)", false}));
