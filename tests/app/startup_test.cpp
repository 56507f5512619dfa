// Start-up as a whole: this thread runs the program, its icons linked in.
#include "app/startup.h"
#include "tests/support/fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>
#include <objbase.h>

using namespace fixture;
using seams::Calls;
using seams::Log;

namespace {

constexpr WPARAM kCmdToggle = 40001;
constexpr WPARAM kCmdExit = 40006;
constexpr WPARAM kCmdDownload = 40010;
const std::wstring kOfferText = L"Nova versão disponível! Clique para baixar.";
const std::wstring kAwakeFailedText = L"Não foi possível manter o dispositivo acordado.";
APTTYPE apartment = APTTYPE_CURRENT;
int toggles = 0;
bool lateToggle = false;
bool (*quitWhen)() = [] { return AppState::workerRunning.load(); };
ULONGLONG giveUpAt = 0;

// On the program's UI thread, once its window is there: `toggles` toggles; exit once quitWhen holds or after 20 s.
void CALLBACK Drive(HWND, UINT, UINT_PTR timer, DWORD)
{
    const HWND window = ProgramWindow();
    for (; window != nullptr && toggles > 0; --toggles) {
        lateToggle = !Log(L"KillTimer 1").empty();
        SendMessageW(window, WM_COMMAND, kCmdToggle, 0);
    }
    if (window == nullptr || (!quitWhen() && GetTickCount64() < giveUpAt)) {
        return;
    }
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    CoGetApartmentType(&apartment, &qualifier);
    KillTimer(nullptr, timer);
    PostMessageW(window, WM_COMMAND, kCmdExit, 0);
}

// The program's whole run, the service offering 1.3.0 at `url`.
int RunProgram(const std::string& url = "https://localhost/dl/N.zip")
{
    seams::workerTickMs = 5;
    EXPECT_TRUE(SetAnswer(200, "whole", Offer("1.3.0", url))) << "the test service is down";
    giveUpAt = GetTickCount64() + 20000;
    SetTimer(nullptr, 0, 5, Drive);
    const int code = RunTrayApplication(GetModuleHandleW(nullptr));
    EXPECT_EQ(code, 0) << "exit code";
    return code;
}

// `times` toggles long before the check reports; exit once the offer is announced.
void RunTogglingBeforeTheCheck(int times)
{
    toggles = times;
    quitWhen = [] { return LastBalloon().text == kOfferText; };
    RunProgram();
    EXPECT_FALSE(lateToggle) << "the toggle came after the check";
}

// The tray's last record before the quit removed the icon.
Shown LastAtRest()
{
    return Read(seams::notifications.rbegin()[1].data);
}

struct Picture {
    LONG width;
    LONG height;
    bool green;
};

// An icon's size, and its fill a quarter of the way in.
Picture Look(HICON icon)
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
    return Picture{bitmap.bmWidth, bitmap.bmHeight, GetGValue(fill) > GetRValue(fill) + 40};
}

}  // namespace

// One copy per session: the mutex outlives the first copy's loop, and a second copy ends at once with 0.
TEST(StartUp, SingleInstance)
{
    RunProgram();
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\NoctaraTray_SingleInstance"), nullptr) << "another session";
    seams::notifications.clear();
    RunProgram();
    EXPECT_TRUE(seams::notifications.empty()) << "the second copy showed an icon";
}

// The UI thread is the process's main single-threaded apartment.
TEST(StartUp, SingleThreadedApartment)
{
    RunProgram();
    EXPECT_EQ(apartment, APTTYPE_MAINSTA);
}

// What start-up asks of Windows, once each: the balloons' identity; "TaskbarCreated" let through; a check at 600 ms.
TEST(StartUp, WhatItAsksOfWindows)
{
    RunProgram();
    const std::wstring id = L"Qorvex.NoctaraTray";
    EXPECT_EQ(Log(L"SetCurrentProcess"), Calls{L"SetCurrentProcessExplicitAppUserModelID " + id});
    EXPECT_EQ(Log(L"IPropertyStore"), (Calls{L"IPropertyStore::SetValue " + id, L"IPropertyStore::Commit"}));
    EXPECT_EQ(Log(L"ChangeWindow"), Calls{L"ChangeWindowMessageFilterEx TaskbarCreated 1"}) << "MSGFLT_ALLOW";
    EXPECT_EQ(Log(L"SetTimer"), Calls{L"SetTimer 1 600"});
    EXPECT_EQ(Log(L"KillTimer"), Calls{L"KillTimer 1"}) << "the start-up timer's first tick ends it";
}

// After start-up, a library loaded by name never comes from beside the program.
TEST(StartUp, NoLibraryFromBesideTheProgram)
{
    RunProgram();
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring beside = std::wstring(self, wcsrchr(self, L'\\') + 1) + L"probe.dll";
    ASSERT_TRUE(CopyFileW(PLANTED_WINHTTP, beside.c_str(), FALSE));
    EXPECT_EQ(LoadLibraryW(L"probe.dll"), nullptr) << "loaded from beside the program";
}

// Tray icons and the class's small one at the small size (16 px at 96 DPI, 24 at 144), the large one twice that.
TEST(StartUp, IconSizes)
{
    const HDC screen = GetDC(nullptr);
    const bool scaled = GetDeviceCaps(screen, LOGPIXELSY) == 144;
    ReleaseDC(nullptr, screen);
    ASSERT_EQ(scaled, GetEnvironmentVariableW(L"NOCTARA_TEST_DPI", nullptr, 0) > 0) << "the display's scale";
    const LONG small = scaled ? 24 : 16;
    RunProgram();
    const HWND window = ProgramWindow();
    const struct {
        const char* name;
        HICON icon;
        LONG side;
        bool green;
    } rows[] = {
        {"tray, active", AppState::iconActive, small, true},
        {"tray, paused", AppState::iconPaused, small, false},
        {"class, small", reinterpret_cast<HICON>(GetClassLongPtrW(window, GCLP_HICONSM)), small, true},
        {"class, large", reinterpret_cast<HICON>(GetClassLongPtrW(window, GCLP_HICON)), 2 * small, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Picture picture = Look(row.icon);
        EXPECT_EQ(picture.width, row.side);
        EXPECT_EQ(picture.height, row.side);
        EXPECT_EQ(picture.green, row.green);
    }
}

// The window is overlapped and never shown.
TEST(StartUp, WindowNeverShown)
{
    RunProgram();
    const HWND window = ProgramWindow();
    ASSERT_NE(window, nullptr) << "no window of class NoctaraTrayHiddenWindowClass titled Noctara";
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & ~WS_CLIPSIBLINGS, 0x00CF0000) << "WS_OVERLAPPEDWINDOW alone";
}

// A newer version on the service is announced in a balloon.
TEST(StartUp, AnnouncesTheOffer)
{
    RunProgram();
    EXPECT_EQ(LastBalloon(), (Shown{4, 0x97, L"active", L"Noctara v1.2.2 (Ativo)", L"Noctara", kOfferText, 1}));
}

// Only the offer's balloon and its menu item open its address: not a later, plain balloon, nor an http address.
TEST(StartUp, OnlyTheOfferOpensItsAddress)
{
    RunProgram();
    const HWND window = ProgramWindow();
    Tray(window, NIN_BALLOONUSERCLICK);
    SendMessageW(window, WM_COMMAND, kCmdDownload, 0);
    SendMessageW(window, WM_COMMAND, kCmdToggle, 0);
    Tray(window, NIN_BALLOONUSERCLICK);
    AppState::downloadUrl = L"http://localhost/dl/N.zip";
    SendMessageW(window, WM_COMMAND, kCmdDownload, 0);
    const std::wstring open = L"ShellExecuteW open https://localhost/dl/N.zip 1";
    EXPECT_EQ(Log(L"ShellExecuteW"), (Calls{open, open})) << "from the offer's balloon and item alone";
}

// An offer whose address could not open (as PHP's json_encode writes it) is none; keeping awake still begins.
TEST(StartUp, UnopenableOfferIsNone)
{
    RunProgram("https:\\/\\/localhost\\/dl\\/N.zip");
    EXPECT_EQ(LastBalloon(), Shown{}) << "a balloon was shown";
    EXPECT_FALSE(AppState::updateAvailable) << "the menu would offer it";
    EXPECT_TRUE(AppState::workerRunning.load()) << "the check never reported";
}

// Without its icon the program says so and ends with 1, having made no window and no icon.
TEST(StartUp, MissingIcon)
{
    EXPECT_EQ(RunTrayApplication(GetModuleHandleW(L"ntdll.dll")), 1);
    EXPECT_EQ(Log(L"MessageBoxW"), Calls{L"MessageBoxW Erro: Erro fatal: Ícone não carregado. 16"})
        << "MB_OK | MB_ICONERROR";
    EXPECT_EQ(ProgramWindow(), nullptr) << "a window was made";
    EXPECT_TRUE(seams::notifications.empty()) << "the shell was called";
}

// A pause made before the check reports stays a pause, and the offer is still announced.
TEST(StartUp, PauseBeforeTheCheckStays)
{
    RunTogglingBeforeTheCheck(1);
    EXPECT_EQ(seams::Workers().size(), 0u) << "workers started";
    EXPECT_EQ(LastAtRest(), (Shown{4, 0x87, L"paused", L"Noctara v1.2.2 (Pausado)"}));
    EXPECT_EQ(LastBalloon().text, kOfferText) << "the offer was never announced";
}

// A pause and a resume before the check reports leave one worker, running.
TEST(StartUp, PauseAndResumeLeaveOneWorker)
{
    RunTogglingBeforeTheCheck(2);
    EXPECT_EQ(seams::Workers().size(), 1u) << "workers started";
    EXPECT_EQ(seams::liveWorkers.load(), 1) << "workers live";
    EXPECT_EQ(LastAtRest(), (Shown{4, 0x87, L"active", L"Noctara v1.2.2 (Ativo)"}));
}

// A worker that cannot start with the check's result leaves the program paused: the offer, then a warning.
TEST(StartUp, NoWorkerLeavesItPausedAndWarns)
{
    seams::failedSeeds = 1;
    quitWhen = [] { return LastBalloon().text == kAwakeFailedText; };
    RunProgram();
    const std::wstring tip = L"Noctara v1.2.2 (Pausado)";
    const Shown offer = {4, 0x97, L"paused", tip, L"Noctara", kOfferText, 1};
    const Shown warning = {4, 0x97, L"paused", tip, L"Noctara", kAwakeFailedText, 2};
    std::vector<Shown> balloons = Records();
    std::erase_if(balloons, [](const Shown& record) { return record.text.empty(); });
    EXPECT_EQ(balloons, (std::vector<Shown>{offer, warning})) << "NIIF_INFO, then NIIF_WARNING";
    EXPECT_TRUE(AppState::updateAvailable) << "the download item left the menu";
}
