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

using namespace testing_support;

namespace {

std::atomic<int> reports{0};
WNDPROC productProc = nullptr;

// Counts the check's reports on their way to the product's procedure.
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kCheckResultMessage) {
        ++reports;
    }
    return CallWindowProcW(productProc, window, message, wParam, lParam);
}

std::string Answer(const std::string& url)
{
    return "{\"latest_version\":\"1.3.0\",\"download_url\":\"" + url + "\"}";
}

class UpdateCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetAppState();
        ResetSeams();
        ASSERT_TRUE(test_service::Reset());
        window_ = CreateHiddenWindow();
        ASSERT_NE(window_, nullptr);
        KillTimer(window_, kStartupTimerId);  // the tests drive the check themselves
        productProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc)));
        reports = 0;
    }
    void TearDown() override
    {
        StopWorkers();
        DestroyWindow(window_);
        MSG quit;
        PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        seams::Reset();
        test_service::Reset();
    }

    // Records only: the real notification area adds seconds per test and
    // shows nothing these tests read.
    static void ResetSeams()
    {
        seams::Reset();
        seams::workerTickMs = 5;
        seams::shellNotifyIconHook = [](DWORD, PNOTIFYICONDATAW) { return TRUE; };
    }

    // Runs the check thread's routine here, then handles what it posted.
    void RunCheck()
    {
        EXPECT_EQ(CheckThreadProc(nullptr), 0u);
        EXPECT_TRUE(PumpUntil([] { return reports > 0; }, 5000));
        PumpUntil([] { return true; }, 0);  // anything else it posted is queued by now
        EXPECT_EQ(reports, 1);
    }
    std::vector<NOTIFYICONDATAW> Balloons() const
    {
        std::vector<NOTIFYICONDATAW> balloons;
        for (const auto& call : seams::NotifyCalls()) {
            if (call.message == NIM_MODIFY && (call.data.uFlags & NIF_INFO)) {
                balloons.push_back(call.data);
            }
        }
        return balloons;
    }
    void ExpectNothingOffered()
    {
        const CheckResult& result = AppState::checkResult;
        EXPECT_FALSE(result.showBalloon);
        EXPECT_EQ(result.balloonText, L"");
        EXPECT_EQ(result.balloonInfoFlags, static_cast<std::uint32_t>(NIIF_INFO));
        EXPECT_EQ(result.balloonKind, BalloonKind::Plain);
        EXPECT_FALSE(result.updateAvailable);
        EXPECT_EQ(result.downloadUrl, L"");
        EXPECT_EQ(result.latestVersion, L"");
        EXPECT_FALSE(AppState::updateAvailable);
        EXPECT_EQ(AppState::latestVersion, L"");
        EXPECT_EQ(AppState::downloadUrl, L"");
        EXPECT_TRUE(Balloons().empty());
        // Keeping awake begins with the report, whatever it says.
        EXPECT_TRUE(AppState::active);
        EXPECT_TRUE(seams::WaitForLiveWorkers(1, 5000));
        EXPECT_STREQ(AppState::trayData.szTip, L"Noctara v1.2.2 (Ativo)");
    }
    LRESULT TrayEvent(WORD event) { return SendMessageW(window_, kTrayCallbackMessage, 0, MAKELPARAM(event, 1)); }

    HWND window_ = nullptr;
};

}  // namespace

TEST_F(UpdateCheck, NothingOfferedStillReportsOnceAndStartsKeepingAwake)
{
    const struct {
        const char* what;
        const wchar_t* mode;
        double seconds;
        std::string script;  // used when mode is nullptr
    } rows[] = {
        {"our own version", L"current", -1, ""},
        {"empty version", L"empty_version", -1, ""},
        {"missing version", L"missing_version", -1, ""},
        {"empty body", L"empty_body", -1, ""},
        {"not JSON", nullptr, -1, "<html>Bad gateway</html>"},
        {"service closes without answering", L"stall", 0.5, ""},
        {"answer over 1 MiB", L"big", -1, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        StopWorkers();
        ResetSeams();
        reports = 0;
        // A stale record must be replaced by the defaults.
        AppState::checkResult = CheckResult{true, L"old", 2, BalloonKind::Update, true, L"https://old/", L"0.9"};
        ASSERT_TRUE(row.mode ? test_service::SetMode(row.mode, row.seconds) : test_service::Script(200, row.script));
        RunCheck();
        ExpectNothingOffered();
    }
}

namespace {

struct Offer {
    const char* name;
    const wchar_t* mode;  // nullptr: the scripted answer
    std::string script;
    std::wstring version;
    std::wstring url;
    bool opens;
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const Offer& offer, std::ostream* os)
{
    *os << offer.name;
}

class UpdateOffer : public UpdateCheck, public ::testing::WithParamInterface<Offer> {};

const Offer kOffers[] = {
    {"Newer", L"newer", "", L"1.3.0", L"https://localhost/dl/Noctara-1.3.0.zip", true},
    {"Older", L"older", "", L"1.2.1", L"https://localhost/dl/Noctara-1.2.1.zip", true},
    {"OwnVersionWithTrailingSpace", L"trailing_space", "", L"1.2.2 ", L"https://localhost/dl/Noctara.zip", true},
    {"ErrorStatusWithBody", L"status404", "", L"1.3.0", L"https://localhost/dl/Noctara-1.3.0.zip", true},
    {"ByteOrderMark", L"bom", "", L"1.3.0", L"https://localhost/dl/Noctara-1.3.0.zip", true},
    {"UpperCaseSchemeAndQuery", nullptr, Answer("HTTPS://LOCALHOST/dl/x.zip?a=1&b=2"), L"1.3.0",
     L"HTTPS://LOCALHOST/dl/x.zip?a=1&b=2", true},
    {"EscapedSlashes", L"escaped_slashes", "", L"1.3.0", L"https:\\/\\/localhost\\/dl\\/x.zip", false},
    {"PlainHttp", L"http_url", "", L"1.3.0", L"http://localhost/x.zip", false},
    {"FileUrl", L"file_url", "", L"1.3.0", L"file:///C:/windows/notepad.exe", false},
    {"UncPath", nullptr, Answer("\\\\server\\share\\setup.exe"), L"1.3.0", L"\\\\server\\share\\setup.exe", false},
    {"DrivePath", nullptr, Answer("C:\\Temp\\setup.exe"), L"1.3.0", L"C:\\Temp\\setup.exe", false},
    {"ExecutableName", nullptr, Answer("calc.exe"), L"1.3.0", L"calc.exe", false},
    {"JavaScript", nullptr, Answer("javascript:alert(1)"), L"1.3.0", L"javascript:alert(1)", false},
    {"NoHost", nullptr, Answer("https:///x.zip"), L"1.3.0", L"https:///x.zip", false},
    {"SpaceInside", nullptr, Answer("https://localhost/a b.zip"), L"1.3.0", L"https://localhost/a b.zip", false},
    {"ControlCharacter", nullptr, Answer("https://localhost/a\x01.zip"), L"1.3.0", L"https://localhost/a\x01.zip",
     false},
    {"EmptyUrl", nullptr, Answer(""), L"1.3.0", L"", false},
    {"MissingUrl", nullptr, "{\"latest_version\":\"1.3.0\"}", L"1.3.0", L"", false},
};

}  // namespace

TEST_P(UpdateOffer, IsShownAndOpensOnlyHttpsAddresses)
{
    const Offer& offer = GetParam();
    ASSERT_TRUE(offer.mode ? test_service::SetMode(offer.mode) : test_service::Script(200, offer.script));
    RunCheck();

    EXPECT_TRUE(AppState::updateAvailable);
    EXPECT_EQ(AppState::latestVersion, offer.version);
    EXPECT_EQ(AppState::downloadUrl, offer.url) << "stored verbatim";
    EXPECT_TRUE(seams::WaitForLiveWorkers(1, 5000));
    const auto balloons = Balloons();
    ASSERT_EQ(balloons.size(), 1u);
    EXPECT_STREQ(balloons[0].szInfoTitle, L"Noctara");
    EXPECT_STREQ(balloons[0].szInfo, L"Nova versão disponível! Clique para baixar.");
    EXPECT_EQ(balloons[0].dwInfoFlags, static_cast<DWORD>(NIIF_INFO));
    EXPECT_EQ(AppState::lastBalloonKind, BalloonKind::Update);

    SendMessageW(window_, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window_), 0);
    const auto menus = seams::TrackedMenus();
    ASSERT_EQ(menus.size(), 1u);
    const auto& items = menus[0].items;
    const auto download =
        std::find_if(items.begin(), items.end(), [](const auto& item) { return item.id == CmdDownloadUpdate; });
    ASSERT_NE(download, items.end());
    EXPECT_EQ(download->text, L"★ Baixar Nova Versão (" + offer.version + L")");

    // The balloon click and the menu command open the same address, or nothing.
    TrayEvent(NIN_BALLOONUSERCLICK);
    SendMessageW(window_, WM_COMMAND, CmdDownloadUpdate, 0);
    const auto opened = seams::ShellExecuteCalls();
    ASSERT_EQ(opened.size(), offer.opens ? 2u : 0u);
    for (const auto& call : opened) {
        EXPECT_EQ(call.owner, nullptr);
        EXPECT_EQ(call.verb, L"open");
        EXPECT_EQ(call.file, offer.url);
        EXPECT_FALSE(call.hasParameters);
        EXPECT_FALSE(call.hasDirectory);
        EXPECT_EQ(call.show, SW_SHOWNORMAL);
    }

    // A click on a later plain balloon opens nothing; no second check starts.
    SendMessageW(window_, WM_COMMAND, CmdToggleActive, 0);
    ASSERT_EQ(AppState::lastBalloonKind, BalloonKind::Plain);
    TrayEvent(NIN_BALLOONUSERCLICK);
    EXPECT_EQ(seams::ShellExecuteCalls().size(), opened.size());
    for (const auto& call : seams::ThreadCalls()) {
        EXPECT_NE(call.routine, &CheckThreadProc);
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, UpdateOffer, ::testing::ValuesIn(kOffers),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateCheck, UiStaysResponsiveWhileTheServiceStalls)
{
    // The service holds the request for 6 s, then drops the connection.
    ASSERT_TRUE(test_service::SetMode(L"stall", 6));
    std::atomic<bool> probed{false};
    std::atomic<bool> answered{false};
    std::atomic<int> reportsAtProbe{-1};
    std::thread probe([&] {
        const ULONGLONG deadline = GetTickCount64() + 15000;
        while (test_service::Log().empty() && GetTickCount64() < deadline) {
            Sleep(20);
        }
        reportsAtProbe = reports.load();
        DWORD_PTR result = 0;
        answered = SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) != 0;
        probed = true;
    });

    // What the start-up timer's first tick does.
    SendMessageW(window_, WM_TIMER, kStartupTimerId, 0);
    EXPECT_TRUE(PumpUntil([&] { return probed.load(); }, 20000));
    probe.join();
    EXPECT_TRUE(answered) << "the UI thread did not answer while the check ran";
    EXPECT_EQ(reportsAtProbe, 0) << "the check was not in progress when probed";
    SendMessageW(window_, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window_), 0);
    EXPECT_EQ(seams::TrackedMenus().size(), 1u);

    EXPECT_TRUE(PumpUntil([] { return reports > 0; }, 40000));
    PumpUntil([] { return true; }, 0);
    EXPECT_EQ(reports, 1);
    ExpectNothingOffered();
}
