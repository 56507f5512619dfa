// Start-up as a whole: this thread runs the program, with its own icons
// linked in; what the session, the shell and others see is read back.
#include "app/startup.h"
#include "tests/support/fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <algorithm>

using namespace fixture;
using seams::notifications;

namespace {

APTTYPE apartment = APTTYPE_CURRENT;
ULONGLONG giveUpAt = 0;
bool (*quitWhen)() = [] { return AppState::workerRunning.load(); };

// In the program's loop, on its UI thread: once keeping awake has begun (or
// what quitWhen waits for has come), notes the thread's COM apartment and quits from the menu.
void CALLBACK QuitOnceAwake(HWND, UINT, UINT_PTR timer, DWORD)
{
    if (!quitWhen() && GetTickCount64() < giveUpAt) {
        return;
    }
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    CoGetApartmentType(&apartment, &qualifier);
    KillTimer(nullptr, timer);
    PostMessageW(ProgramWindow(), WM_COMMAND, 40006, 0);
}

// Runs the program, the service offering 1.3.0 at `url` as `how` says, until keeping awake begins.
int RunUntilAwake(const std::string& how, const std::string& url = "https://localhost/dl/N.zip")
{
    seams::workerTickMs = 5;
    EXPECT_TRUE(SetAnswer(200, how, Offer("1.3.0", url)));
    giveUpAt = GetTickCount64() + 20000;
    SetTimer(nullptr, 0, 20, QuitOnceAwake);
    return RunTrayApplication(GetModuleHandleW(nullptr));
}

// An icon as "WxH" and "green" or "grey": how much greener than red its visible pixels are on average.
std::wstring Look(HICON icon)
{
    ICONINFO info{};
    GetIconInfo(icon, &info);
    BITMAP bitmap{};
    GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
    BITMAPINFO format{};
    format.bmiHeader = {sizeof(BITMAPINFOHEADER), bitmap.bmWidth, -bitmap.bmHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<RGBQUAD> pixels(static_cast<size_t>(bitmap.bmWidth) * bitmap.bmHeight);
    const HDC screen = GetDC(nullptr);
    GetDIBits(screen, info.hbmColor, 0, bitmap.bmHeight, pixels.data(), &format, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    long greener = 0;
    for (const RGBQUAD& pixel : pixels) {
        greener += pixel.rgbReserved > 128 ? pixel.rgbGreen - pixel.rgbRed : 0;
    }
    const bool green = greener > 20 * static_cast<long>(pixels.size());
    return std::to_wstring(bitmap.bmWidth) + L"x" + std::to_wstring(bitmap.bmHeight) + (green ? L" green" : L" grey");
}

int toggles = 0;
bool checkBegan = false;

// On the UI thread as soon as the window is there, long before the check: the user toggles keeping awake.
void CALLBACK ToggleOnceThere(HWND, UINT, UINT_PTR timer, DWORD)
{
    const HWND window = ProgramWindow();
    if (window == nullptr) {
        return;
    }
    KillTimer(nullptr, timer);
    checkBegan = !seams::timers.empty() && seams::timers.back() == L"1 off";
    for (int i = 0; i < toggles; ++i) {
        SendMessageW(window, WM_COMMAND, 40001, 0);
    }
}

// Runs the program, the user toggling `times` before the check, until the check's offer is announced; then the
// icon as "tooltip [icon]", the menu's first item, and whether the menu offers the download.
std::wstring RunTogglingBeforeTheCheck(int times)
{
    toggles = times;
    quitWhen = [] { return Balloon() == L"Noctara: Nova versão disponível! Clique para baixar."; };
    SetTimer(nullptr, 0, 5, ToggleOnceThere);
    EXPECT_EQ(RunUntilAwake("whole"), 0);
    EXPECT_FALSE(checkBegan) << "the toggle came too late to test anything";
    EXPECT_TRUE(quitWhen()) << "the offer was never announced";
    const NOTIFYICONDATAW& rest = notifications.back().data;
    const std::wstring icon =
        rest.szTip + std::wstring(rest.hIcon == AppState::iconPaused ? L" [paused] " : L" [active] ");
    Tray(ProgramWindow(), WM_RBUTTONUP);
    const std::wstring& menu = seams::lastMenu;
    const bool offered = menu.find(L"|★ Baixar Nova Versão (1.3.0) 40010|") != std::wstring::npos;
    return icon + menu.substr(0, menu.find(L'|')) + (offered ? L", offered" : L"");
}

}  // namespace

TEST(StartUp, TheFirstCopyComesUpAsTheShellAndOtherProgramsExpectAndQuitsWithZero)
{
    EXPECT_EQ(RunUntilAwake("whole"), 0);
    EXPECT_TRUE(AppState::workerRunning.load()) << "keeping awake never began";

    // One copy per session: the mutex outlives the loop, in the session's own namespace.
    const HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"Local\\NoctaraTray_SingleInstance");
    EXPECT_NE(mutex, nullptr) << "a second copy would start";
    CloseHandle(mutex);
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\NoctaraTray_SingleInstance"), nullptr)
        << "a copy in another session would end at once";
    EXPECT_EQ(apartment, APTTYPE_MAINSTA) << "the shell's handlers expect a single-threaded apartment";
    EXPECT_EQ(seams::processIdentity, L"Qorvex.NoctaraTray");
    EXPECT_EQ(seams::shortcutIdentity, L"Qorvex.NoctaraTray");
    EXPECT_EQ(seams::messageFilters, std::vector<std::wstring>{L"TaskbarCreated 1"}) << "lost when elevated";

    // The icons at the system's default size: green while active, grey while paused.
    EXPECT_EQ(Look(AppState::iconActive), L"32x32 green");
    EXPECT_EQ(Look(AppState::iconPaused), L"32x32 grey");
    const HWND window = ProgramWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GetClassLongPtrW(window, GCLP_HICON), reinterpret_cast<LONG_PTR>(AppState::iconActive));
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & ~WS_CLIPSIBLINGS, 0x00CF0000) << "shown, or not overlapped";

    // The icon as the shell takes it: the full record, its id and callback message.
    ASSERT_FALSE(notifications.empty());
    const NOTIFYICONDATAW& added = notifications[0].data;
    EXPECT_EQ(notifications[0].message, DWORD{NIM_ADD});
    EXPECT_EQ(added.cbSize, 976u);
    EXPECT_EQ(added.uID, 1u);
    EXPECT_EQ(added.uCallbackMessage, 0x8001u);

    // One check, 600 ms after the window came, whose offer is announced.
    EXPECT_EQ(seams::timers, std::vector<std::wstring>({L"1 600", L"1 off"})) << "a check at every tick";
    EXPECT_EQ(Balloon(), L"Noctara: Nova versão disponível! Clique para baixar.");

    // The window, never destroyed, still answers: the offer's balloon and menu item open its address, but
    // neither a later, plain balloon nor an address that is not https does.
    Tray(window, NIN_BALLOONUSERCLICK);
    SendMessageW(window, WM_COMMAND, 40010, 0);
    SendMessageW(window, WM_COMMAND, 40001, 0);
    Tray(window, NIN_BALLOONUSERCLICK);
    AppState::downloadUrl = L"http://localhost/dl/N.zip";
    SendMessageW(window, WM_COMMAND, 40010, 0);
    const std::wstring open = L"open https://localhost/dl/N.zip 1";
    EXPECT_EQ(seams::opened, std::vector<std::wstring>({open, open}));
}

// As PHP's json_encode writes an address, taken verbatim: the download command would refuse it.
TEST(StartUp, AnOfferThatCouldNotOpenIsNoneAndKeepingAwakeStillBegins)
{
    EXPECT_EQ(RunUntilAwake("whole", "https:\\/\\/localhost\\/dl\\/N.zip"), 0);
    EXPECT_TRUE(AppState::workerRunning.load()) << "keeping awake never began";
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
    EXPECT_EQ(RunTogglingBeforeTheCheck(1), L"Noctara v1.2.2 (Pausado) [paused] Retomar 40001, offered");
    EXPECT_TRUE(seams::Workers().empty()) << "the check switched keeping awake back on";
}

TEST(StartUp, APauseAndAResumeBeforeTheCheckLeaveOneWorker)
{
    EXPECT_EQ(RunTogglingBeforeTheCheck(2), L"Noctara v1.2.2 (Ativo) [active] Pausar 40001, offered");
    EXPECT_EQ(seams::Workers().size(), 1u);
    EXPECT_EQ(seams::LiveWorkers(), 1);
}
