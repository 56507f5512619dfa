// The once-per-run check through a real hidden window against the local test
// service; the shell, the tray and the threads are observed at the link seam.
#include "app/window_proc.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"
#include "tests/update/service.h"
#include "update/update_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <tuple>

using namespace testing_support;

namespace {

std::atomic<int> reports{0};
WNDPROC productProc = nullptr;

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    reports += message == kCheckResultMessage;
    return CallWindowProcW(productProc, window, message, wParam, lParam);
}

class UpdateCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetAppState();
        seams::Reset();
        seams::workerTickMs = 5;
        // Records only: the real notification area adds seconds and shows nothing read here.
        seams::shellNotifyIconHook = [](DWORD, PNOTIFYICONDATAW) { return TRUE; };
        ASSERT_TRUE(test_service::Reset());
        window_ = CreateHiddenWindow();
        ASSERT_NE(window_, nullptr);
        KillTimer(window_, kStartupTimerId);  // the tests start the check themselves
        productProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc)));
        reports = 0;
    }
    void TearDown() override
    {
        DestroyHiddenWindow(window_);
        test_service::Reset();
    }

    // Exactly one report, handled with all it posted; keeping awake then begins whatever it said.
    static void ExpectOneReportAndKeepingAwake(DWORD timeoutMs)
    {
        EXPECT_TRUE(PumpUntil([] { return reports > 0; }, timeoutMs));
        PumpUntil([] { return true; }, 0);
        EXPECT_EQ(reports, 1);
        EXPECT_TRUE(AppState::active);
        EXPECT_TRUE(seams::WaitForLiveWorkers(1, 5000));
        EXPECT_STREQ(AppState::trayData.szTip, L"Noctara v1.2.2 (Ativo)");
    }
    static std::vector<NOTIFYICONDATAW> Balloons()
    {
        std::vector<NOTIFYICONDATAW> balloons;
        for (const auto& call : seams::NotifyCalls()) {
            if (call.message == NIM_MODIFY && (call.data.uFlags & NIF_INFO)) {
                balloons.push_back(call.data);
            }
        }
        return balloons;
    }

    HWND window_ = nullptr;
};

struct Row {
    const char* name;
    std::string body;     // the answer; "stall": the service closes without one
    std::string version, url;  // offered (empty: nothing is) and stored verbatim
    bool opens;
};
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

Row Offer(const char* name, const std::string& version, const std::string& url, bool opens)
{
    return {name, "{\"latest_version\":\"" + version + "\",\"download_url\":\"" + url + "\"}", version, url, opens};
}

// One offer per kind of address; OpenableDownloadUrl below has the finer cases.
const Row kRows[] = {
    {"OwnVersion", R"({"latest_version":"1.2.2","download_url":"https://localhost/x"})", "", "", false},
    {"EmptyVersion", R"({"latest_version":"","download_url":"https://localhost/x"})", "", "", false},
    {"MissingVersion", "{\"download_url\":\"https://localhost/x\"}", "", "", false},
    {"EmptyBody", "", "", "", false},
    {"Unreachable", "stall", "", "", false},
    Offer("Newer", "1.3.0", "https://localhost/dl/Noctara-1.3.0.zip", true),
    Offer("Older", "1.2.1", "https://localhost/dl/Noctara-1.2.1.zip", true),
    Offer("OwnVersionWithTrailingSpace", "1.2.2 ", "https://localhost/dl/Noctara.zip", true),
    Offer("EscapedSlashes", "1.3.0", "https:\\/\\/localhost\\/dl\\/x.zip", false),
    Offer("PlainHttp", "1.3.0", "http://localhost/x.zip", false),
    Offer("FileUrl", "1.3.0", "file:///C:/windows/notepad.exe", false),
    Offer("UncPath", "1.3.0", "\\\\server\\share\\setup.exe", false),
    Offer("DrivePath", "1.3.0", "C:\\Temp\\setup.exe", false),
    Offer("JavaScript", "1.3.0", "javascript:alert(1)", false),
    Offer("Empty", "1.3.0", "", false),
};

class UpdateAnswer : public UpdateCheck, public ::testing::WithParamInterface<Row> {};

}  // namespace

TEST_P(UpdateAnswer, OffersAnotherVersionAndOpensOnlyHttpsAddresses)
{
    const Row& row = GetParam();
    ASSERT_TRUE(row.body == "stall" ? test_service::SetMode(L"stall", 0.5) : test_service::Script(200, row.body));
    AppState::checkResult = CheckResult{true, L"old", 2, BalloonKind::Update, true, L"https://old/", L"0.9"};
    EXPECT_EQ(CheckThreadProc(nullptr), 0u);
    ExpectOneReportAndKeepingAwake(5000);
    const std::wstring version(row.version.begin(), row.version.end()), url(row.url.begin(), row.url.end());
    EXPECT_EQ(std::tie(AppState::updateAvailable, AppState::latestVersion, AppState::downloadUrl),
              std::make_tuple(!version.empty(), version, url));
    const auto balloons = Balloons();
    ASSERT_EQ(balloons.size(), version.empty() ? 0u : 1u);
    if (const CheckResult& r = AppState::checkResult; version.empty()) {  // the stale record became a default one
        EXPECT_EQ(std::tie(r.showBalloon, r.balloonText, r.balloonInfoFlags, r.balloonKind, r.updateAvailable,
                           r.downloadUrl, r.latestVersion),
                  std::make_tuple(false, L"", std::uint32_t{NIIF_INFO}, BalloonKind::Plain, false, L"", L""));
        return;
    }
    const NOTIFYICONDATAW& b = balloons[0];
    EXPECT_EQ(std::wstring(b.szInfoTitle) + L": " + b.szInfo,
              L"Noctara: Nova versão disponível! Clique para baixar.");
    EXPECT_EQ(std::tie(b.dwInfoFlags, AppState::lastBalloonKind), std::tuple(DWORD{NIIF_INFO}, BalloonKind::Update));

    SendMessageW(window_, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window_), 0);
    ASSERT_EQ(seams::TrackedMenus().size(), 1u);
    const auto items = seams::TrackedMenus()[0].items;
    const auto download = std::find_if(items.begin(), items.end(), [](auto& i) { return i.id == CmdDownloadUpdate; });
    ASSERT_NE(download, items.end());
    EXPECT_EQ(download->text, L"★ Baixar Nova Versão (" + version + L")");

    // The balloon click and the menu command open the same address, or nothing;
    // a click on a later plain balloon opens nothing.
    SendMessageW(window_, kTrayCallbackMessage, 0, MAKELPARAM(NIN_BALLOONUSERCLICK, 1));
    SendMessageW(window_, WM_COMMAND, CmdDownloadUpdate, 0);
    SendMessageW(window_, WM_COMMAND, CmdToggleActive, 0);
    SendMessageW(window_, kTrayCallbackMessage, 0, MAKELPARAM(NIN_BALLOONUSERCLICK, 1));
    const auto opened = seams::ShellExecuteCalls();
    ASSERT_EQ(opened.size(), row.opens ? 2u : 0u);
    for (const auto& call : opened) {
        EXPECT_EQ(std::tie(call.owner, call.verb, call.file, call.show, call.hasParameters, call.hasDirectory),
                  std::make_tuple(nullptr, L"open", url, SW_SHOWNORMAL, false, false));
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, UpdateAnswer, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OpenableDownloadUrl, OnlyAbsoluteHttpsWithAHostAndNoUnsafeCharacter)
{
    for (const wchar_t* url : {L"https://h/x.zip?a=1&b=2", L"HTTPS://LOCALHOST/x", L"https://h"}) {
        EXPECT_TRUE(IsOpenableDownloadUrl(url)) << Narrow(url);
    }
    for (const wchar_t* url : {L"https://", L"https:///x", L"https://?x", L"https://@h", L"https://h/a b",
                               L"https://h/\t", L"https://h/\x01", L"https://h/\x85", L"https://h/\"",
                               L"https://h\\x", L" https://h", L"http://h/x"}) {
        EXPECT_FALSE(IsOpenableDownloadUrl(url)) << Narrow(url);
    }
}

TEST_F(UpdateCheck, UiStaysResponsiveWhileTheServiceStalls)
{
    ASSERT_TRUE(test_service::SetMode(L"stall", 6));  // then it drops the connection
    std::atomic<bool> answered{false};
    std::atomic<int> reportsAtProbe{-1};  // set last
    std::thread probe([&] {  // once the service holds the request
        for (const auto end = GetTickCount64() + 15000; test_service::Log().empty() && GetTickCount64() < end;) {
            Sleep(20);
        }
        const int before = reports;
        answered = SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_NORMAL, 1000, nullptr) != 0;
        reportsAtProbe = before;
    });
    SendMessageW(window_, WM_TIMER, kStartupTimerId, 0);  // the start-up timer's first tick
    EXPECT_TRUE(PumpUntil([&] { return reportsAtProbe >= 0; }, 20000));
    probe.join();
    EXPECT_TRUE(answered) << "the UI thread did not answer while the check ran";
    EXPECT_EQ(reportsAtProbe, 0) << "the check was not in progress when probed";
    SendMessageW(window_, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window_), 0);
    EXPECT_EQ(seams::TrackedMenus().size(), 1u);

    ExpectOneReportAndKeepingAwake(40000);
    EXPECT_FALSE(AppState::updateAvailable);
    EXPECT_TRUE(Balloons().empty());
}
