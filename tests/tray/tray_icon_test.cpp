// The tray record and the Shell_NotifyIconW calls made with it, and the
// balloons the commands raise.
#include "tray/tray_icon.h"
#include "tests/tray/tray_fixture.h"

#include <string>

using namespace testing_support;

namespace {

// A text whose every position differs from its neighbours, so a cut at the
// wrong place shows.
std::wstring Pattern(size_t length)
{
    std::wstring text;
    for (size_t i = 0; i < length; ++i) {
        text.push_back(static_cast<wchar_t>(L'a' + i % 26));
    }
    return text;
}

void ExpectRecordBasics(const NOTIFYICONDATAW& data, HWND window)
{
    EXPECT_EQ(data.cbSize, 976u);
    EXPECT_EQ(data.hWnd, window);
    EXPECT_EQ(data.uID, 1u);
    EXPECT_EQ(data.uCallbackMessage, 0x8001u);
    EXPECT_EQ(data.dwState, 0u);
    EXPECT_EQ(data.dwStateMask, 0u);
    EXPECT_EQ(data.guidItem, GUID{}) << "the icon is identified by window and id";
}

}  // namespace

TEST_F(TrayTest, AddWhilePausedSendsAddVersionModifyAndEndsOnThePausedPicture)
{
    Shell_NotifyIconW(NIM_DELETE, &AppState::trayData);  // the one WM_CREATE added
    AppState::active = false;
    AppState::trayData.szInfo[0] = L'X';  // leftovers of an earlier run are cleared
    seams::Reset();

    ASSERT_TRUE(AddTrayIcon(window_)) << "Wine's shell accepts the icon";

    const auto calls = seams::NotifyCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(calls[1].message, static_cast<DWORD>(NIM_SETVERSION));
    EXPECT_EQ(calls[2].message, static_cast<DWORD>(NIM_MODIFY));
    for (const auto& call : calls) {
        ExpectRecordBasics(call.data, window_);
        EXPECT_EQ(call.data.uFlags, 0x87u);
        EXPECT_STREQ(call.data.szInfo, L"");
    }
    EXPECT_EQ(calls[0].data.hIcon, AppState::iconActive);
    EXPECT_STREQ(calls[0].data.szTip, L"Noctara");
    EXPECT_EQ(calls[1].data.uVersion, 4u);
    EXPECT_EQ(calls[2].data.hIcon, AppState::iconPaused);
    EXPECT_STREQ(calls[2].data.szTip, L"Noctara v1.2.2 (Pausado)");

    EXPECT_EQ(AppState::trayData.hIcon, AppState::iconPaused);
    EXPECT_STREQ(AppState::trayData.szTip, L"Noctara v1.2.2 (Pausado)");
}

TEST_F(TrayTest, RefusedAddStopsBeforeVersionAndRefresh)
{
    seams::shellNotifyIconHook = [](DWORD message, PNOTIFYICONDATAW data) {
        return message == NIM_ADD ? FALSE : seams::RealShellNotifyIcon(message, data);
    };
    EXPECT_FALSE(AddTrayIcon(window_));
    const auto calls = seams::NotifyCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].message, static_cast<DWORD>(NIM_ADD));
}

TEST_F(TrayTest, BalloonIsShownByOneCallAndNeverAgain)
{
    AppState::active = false;
    ShowBalloon(L"Título", L"Texto do balão", NIIF_WARNING, BalloonKind::Update);
    EXPECT_EQ(AppState::lastBalloonKind, BalloonKind::Update);

    auto calls = seams::NotifyCalls();
    ASSERT_EQ(calls.size(), 2u);
    const NOTIFYICONDATAW& shown = calls[0].data;
    EXPECT_EQ(calls[0].message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(shown.uFlags, 0x97u);
    ExpectRecordBasics(shown, window_);
    EXPECT_STREQ(shown.szInfoTitle, L"Título");
    EXPECT_STREQ(shown.szInfo, L"Texto do balão");
    EXPECT_EQ(shown.dwInfoFlags, static_cast<DWORD>(NIIF_WARNING));
    EXPECT_EQ(shown.hBalloonIcon, nullptr);
    EXPECT_EQ(shown.hIcon, AppState::iconPaused);
    EXPECT_EQ(calls[1].message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(calls[1].data.uFlags, 0x87u);
    EXPECT_EQ(AppState::trayData.uFlags, 0x87u);

    RefreshTray();
    SendMessageW(window_, WM_COMMAND, CmdToggleActive, 0);
    EXPECT_EQ(Balloons().size(), 2u) << "only the toggle's own balloon is new";

    ShowBalloon(L"Noctara", L"x", NIIF_INFO, BalloonKind::Plain);
    EXPECT_EQ(AppState::lastBalloonKind, BalloonKind::Plain) << "the last balloon decides what a click does";
}

TEST_F(TrayTest, LongTitleAndTextAreCutAndTerminated)
{
    struct Case {
        size_t titleLength;
        size_t textLength;
    };
    for (const Case c : {Case{63, 255}, Case{64, 256}, Case{500, 5000}, Case{0, 0}}) {
        SCOPED_TRACE(testing::Message() << c.titleLength << "/" << c.textLength);
        seams::Reset();
        // Garbage from an earlier, longer balloon must not show through.
        std::fill(std::begin(AppState::trayData.szInfoTitle), std::end(AppState::trayData.szInfoTitle), L'#');
        std::fill(std::begin(AppState::trayData.szInfo), std::end(AppState::trayData.szInfo), L'#');
        const std::wstring title = Pattern(c.titleLength);
        const std::wstring text = Pattern(c.textLength);
        ShowBalloon(title, text, NIIF_INFO, BalloonKind::Plain);

        const auto shown = Balloons();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(std::wstring(shown[0].data.szInfoTitle), title.substr(0, 63));
        EXPECT_EQ(std::wstring(shown[0].data.szInfo), text.substr(0, 255));
    }
}

TEST(CopyTruncated, KeepsWhatFitsAndAlwaysTerminates)
{
    struct Case {
        size_t capacity;
        size_t length;
        size_t kept;
    };
    for (const Case c : {Case{128, 0, 0}, Case{128, 127, 127}, Case{128, 128, 127}, Case{128, 400, 127},
                         Case{1, 5, 0}}) {
        SCOPED_TRACE(testing::Message() << c.capacity << "/" << c.length);
        std::wstring field(c.capacity + 1, L'#');  // one guard unit beyond the field
        const std::wstring text = Pattern(c.length);
        CopyTruncated(field.data(), c.capacity, text);
        EXPECT_EQ(std::wstring(field.c_str()), text.substr(0, c.kept));
        EXPECT_EQ(field[c.capacity], L'#') << "nothing written past the field";
    }
    wchar_t untouched = L'#';
    CopyTruncated(&untouched, 0, L"abc");
    EXPECT_EQ(untouched, L'#');
}

// Every balloon a command raises: title, text, flags and kind.
TEST_F(TrayTest, ToggleCommandBalloonsAreWordedFromTheNewState)
{
    struct Case {
        bool activeBefore;
        const wchar_t* text;
    };
    for (const Case c : {Case{true, L"Pausado. O dispositivo pode dormir."},
                         Case{false, L"Ativo! O dispositivo não irá dormir."}}) {
        SCOPED_TRACE(Narrow(c.text));
        AppState::active = c.activeBefore;
        AppState::lastBalloonKind = BalloonKind::Update;
        seams::Reset();
        seams::workerTickMs = 5;
        Command(CmdToggleActive);
        EXPECT_EQ(AppState::active, !c.activeBefore);
        const auto shown = Balloons();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_STREQ(shown[0].data.szInfoTitle, L"Noctara");
        EXPECT_STREQ(shown[0].data.szInfo, c.text);
        EXPECT_EQ(shown[0].data.dwInfoFlags, static_cast<DWORD>(NIIF_INFO));
        EXPECT_EQ(shown[0].data.hIcon, c.activeBefore ? AppState::iconPaused : AppState::iconActive);
        EXPECT_EQ(AppState::lastBalloonKind, BalloonKind::Plain);
        // The refresh came first, so the tooltip already tells the new state.
        EXPECT_STREQ(shown[0].data.szTip, c.activeBefore ? L"Noctara v1.2.2 (Pausado)" : L"Noctara v1.2.2 (Ativo)");
        StopWorkers();
    }
}
