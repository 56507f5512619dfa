// Start-up as a whole: this thread runs the program, its icons linked in.
#include "app/startup.h"
#include "tests/support/fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>
#include <objbase.h>

using namespace fixture;
using seams::notifications;

namespace {

const std::wstring kOfferBalloon = L"Noctara: Nova versão disponível! Clique para baixar. (1)";
const std::wstring kAwakeFailed = L"Noctara: Não foi possível manter o dispositivo acordado. (2)";
APTTYPE apartment = APTTYPE_CURRENT;
int toggles = 0;
bool lateToggle = false;
bool (*quitWhen)() = [] { return AppState::workerRunning.load(); };
ULONGLONG giveUpAt = 0;

// On the program's UI thread, once its window is there: the user toggles `toggles` times; once quitWhen holds (or
// after 20 s), the menu quits.
void CALLBACK Drive(HWND, UINT, UINT_PTR timer, DWORD)
{
    const HWND window = ProgramWindow();
    for (; window != nullptr && toggles > 0; --toggles) {
        lateToggle = !seams::timers.empty() && seams::timers.back() == L"1 off";
        SendMessageW(window, WM_COMMAND, 40001, 0);
    }
    if (window == nullptr || (!quitWhen() && GetTickCount64() < giveUpAt)) {
        return;
    }
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    CoGetApartmentType(&apartment, &qualifier);
    KillTimer(nullptr, timer);
    PostMessageW(window, WM_COMMAND, 40006, 0);
}

int RunProgram(const std::string& url = "https://localhost/dl/N.zip")
{
    seams::workerTickMs = 5;
    EXPECT_TRUE(SetAnswer(200, "whole", Offer("1.3.0", url)));
    giveUpAt = GetTickCount64() + 20000;
    SetTimer(nullptr, 0, 5, Drive);
    return RunTrayApplication(GetModuleHandleW(nullptr));
}

// An icon as "WxH green" or "WxH grey", by its fill a quarter of the way in.
std::wstring Look(HICON icon)
{
    ICONINFO info{};
    GetIconInfo(icon, &info);
    BITMAP bitmap{};
    GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
    const HDC dc = CreateCompatibleDC(nullptr);
    SelectObject(dc, info.hbmColor);
    const COLORREF fill = GetPixel(dc, bitmap.bmWidth / 4, bitmap.bmHeight / 4);
    DeleteDC(dc);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    const bool green = GetGValue(fill) > GetRValue(fill) + 40;
    return std::to_wstring(bitmap.bmWidth) + L"x" + std::to_wstring(bitmap.bmHeight) + (green ? L" green" : L" grey");
}

// The user toggles `times` long before the check, whose offer must still be announced; then the workers and the icon.
std::wstring RunTogglingBeforeTheCheck(int times)
{
    toggles = times;
    quitWhen = [] { return Balloon() == kOfferBalloon; };
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_FALSE(lateToggle) << "the toggle came too late to test anything";
    EXPECT_TRUE(quitWhen()) << "the offer was never announced";
    const std::wstring workers = std::to_wstring(seams::Workers().size()) + L" started, " +
                                 std::to_wstring(seams::liveWorkers.load()) + L" live";
    // The icon and tooltip as the tray last showed them, before the quit removed them.
    return workers + L"; " + Record(notifications.rbegin()[1].data);
}

}  // namespace

TEST(StartUp, TheFirstCopyComesUpAsTheShellAndOtherProgramsExpectAndQuitsWithZero)
{
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AppState::workerRunning.load());

    // One copy per session: the mutex outlives the loop.
    EXPECT_NE(OpenMutexW(SYNCHRONIZE, FALSE, L"Local\\NoctaraTray_SingleInstance"), nullptr) << "a second copy";
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\NoctaraTray_SingleInstance"), nullptr) << "another session";
    EXPECT_EQ(apartment, APTTYPE_MAINSTA);
    EXPECT_EQ(seams::processIdentity, L"Qorvex.NoctaraTray");
    EXPECT_EQ(seams::shortcutIdentity, L"Qorvex.NoctaraTray committed");
    EXPECT_EQ(seams::messageFilters, std::vector<std::wstring>{L"TaskbarCreated 1"}) << "lost when elevated";
    // Libraries by name come from the system folder only, never from beside the program.
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring beside = std::wstring(self, wcsrchr(self, L'\\') + 1) + L"probe.dll";
    ASSERT_TRUE(CopyFileW(PLANTED_WINHTTP, beside.c_str(), FALSE));
    EXPECT_EQ(LoadLibraryW(L"probe.dll"), nullptr) << "loaded from beside the program";

    EXPECT_EQ(Look(AppState::iconActive), L"16x16 green");
    EXPECT_EQ(Look(AppState::iconPaused), L"16x16 grey");
    const HWND window = ProgramWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Look(reinterpret_cast<HICON>(GetClassLongPtrW(window, GCLP_HICON))), L"32x32 green");
    EXPECT_EQ(GetClassLongPtrW(window, GCLP_HICONSM), reinterpret_cast<LONG_PTR>(AppState::iconActive));
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & ~WS_CLIPSIBLINGS, 0x00CF0000) << "shown, or not overlapped";

    EXPECT_EQ(seams::timers, std::vector<std::wstring>({L"1 600", L"1 off"})) << "one check, not one per tick";
    EXPECT_EQ(Balloon(), kOfferBalloon);

    // The offer's balloon and menu item open its address; a later, plain balloon and an http address do not.
    Tray(window, NIN_BALLOONUSERCLICK);
    SendMessageW(window, WM_COMMAND, 40010, 0);
    SendMessageW(window, WM_COMMAND, 40001, 0);
    Tray(window, NIN_BALLOONUSERCLICK);
    AppState::downloadUrl = L"http://localhost/dl/N.zip";
    SendMessageW(window, WM_COMMAND, 40010, 0);
    const std::wstring open = L"open https://localhost/dl/N.zip 1";
    EXPECT_EQ(seams::opened, std::vector<std::wstring>({open, open}));
}

// As PHP's json_encode writes an address: the download command would refuse it.
TEST(StartUp, AnOfferThatCouldNotOpenIsNoneAndKeepingAwakeStillBegins)
{
    EXPECT_EQ(RunProgram("https:\\/\\/localhost\\/dl\\/N.zip"), 0);
    EXPECT_TRUE(AppState::workerRunning.load());
    EXPECT_EQ(Balloon(), L"");
    EXPECT_FALSE(AppState::updateAvailable);
}

TEST(StartUp, WithoutItsIconTheProgramSaysSoAndEndsWithOne)
{
    EXPECT_EQ(RunTrayApplication(GetModuleHandleW(L"ntdll.dll")), 1);
    EXPECT_EQ(seams::messageBoxes, std::vector<std::wstring>{L"Erro: Erro fatal: Ícone não carregado. (16)"});
    EXPECT_EQ(ProgramWindow(), nullptr);
    EXPECT_TRUE(notifications.empty());
}

TEST(StartUp, APauseBeforeTheCheckStaysAPauseAndTheOfferStillComes)
{
    EXPECT_EQ(RunTogglingBeforeTheCheck(1), L"0 started, 0 live; v4 0x87 paused 'Noctara v1.2.2 (Pausado)'");
}

TEST(StartUp, APauseAndAResumeBeforeTheCheckLeaveOneWorker)
{
    EXPECT_EQ(RunTogglingBeforeTheCheck(2), L"1 started, 1 live; v4 0x87 active 'Noctara v1.2.2 (Ativo)'");
}

// Every icon handed to the shell is as wide as the display's small icon: 16 px at 100 %, 24 px at 150 %.
TEST(StartUp, TrayIconIsTheSmallIconSize)
{
    wchar_t dpi[8] = {};
    GetEnvironmentVariableW(L"NOCTARA_TEST_DPI", dpi, ARRAYSIZE(dpi));
    const std::wstring side = std::wstring(dpi) == L"144" ? L"24" : L"16";
    ASSERT_EQ(std::to_wstring(GetSystemMetrics(SM_CXSMICON)), side) << "the display is not at the scale asked for";
    EXPECT_EQ(RunProgram(), 0);
    for (const seams::Notification& call : notifications) {
        EXPECT_EQ(Look(call.data.hIcon), side + L"x" + side + L" green");
    }
    EXPECT_EQ(Look(AppState::iconPaused), side + L"x" + side + L" grey");
}

// A worker that cannot start with the check's result leaves the program paused: the offer, then the warning.
TEST(StartUp, AWorkerThatCannotStartLeavesItPausedAndWarns)
{
    seams::failedSeeds = 1;
    quitWhen = [] { return Balloon() == kAwakeFailed; };
    EXPECT_EQ(RunProgram(), 0);
    std::wstring balloons;
    for (const seams::Notification& call : notifications) {
        balloons += (call.data.uFlags & NIF_INFO) != 0 ? Record(call.data) + L"|" : L"";
    }
    const std::wstring paused = L"v4 0x97 paused 'Noctara v1.2.2 (Pausado)' ";
    EXPECT_EQ(balloons, paused + kOfferBalloon + L"|" + paused + kAwakeFailed + L"|");
    EXPECT_TRUE(AppState::updateAvailable) << "the download item left the menu";
}
