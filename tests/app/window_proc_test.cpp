// The window procedure in-process; the shell read at the seam, the clipboard and registry as others read them.
#include "engine/keep_awake.h"
#include "tests/support/fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace fixture;
using seams::notifications;

namespace {

enum class Trouble { None, ClipboardHeld, NoPath, NoMemory, NoRunKey, RunKeyReadOnly, WriteRefused };

// Another program's copy: its rich text and its plain text, the clipboard its own.
void CopyElsewhere(HWND other)
{
    OpenClipboard(other);
    EmptyClipboard();
    const UINT rich = RegisterClipboardFormatW(L"Rich Text Format");
    for (const UINT format : {rich, UINT{CF_UNICODETEXT}}) {
        const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, sizeof(L"antes"));
        memcpy(GlobalLock(block), L"antes", sizeof(L"antes"));
        GlobalUnlock(block);
        SetClipboardData(format, block);
    }
    CloseClipboard();
}

// Brings the trouble about; each step begins without any.
void Cause(Trouble trouble, HWND other)
{
    switch (trouble) {
    case Trouble::ClipboardHeld:
        OpenClipboard(other);
        break;
    case Trouble::NoPath:
        seams::modulePath = L"C:\\" + std::wstring(32766, L'p');
        break;
    case Trouble::NoMemory:
        seams::failedAllocs = 1;
        break;
    case Trouble::WriteRefused:
        seams::refusedWrites = 1;
        break;
    case Trouble::NoRunKey:
        RegDeleteKeyW(HKEY_CURRENT_USER, kRunKey);
        break;
    case Trouble::RunKeyReadOnly:
        SetKeyAccess(kRunKey, L"D:(A;;KRWD;;;WD)");
        break;
    case Trouble::None:
        break;
    }
}

}  // namespace

// Each command and each way it can fail: the balloon says which, after the effect, and nothing else changes.
TEST(Dispatch, EachCommandSaysWhatItDidOrThatItFailedAndChangesNothingElse)
{
    const HWND window = CreateHiddenWindow();
    const HWND other = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, 0, 0, 0);
    const std::wstring active = L"v4 0x97 active 'Noctara v1.2.2 (Ativo)' ";
    const std::wstring theirs = L"clipboard other Rich Text Format 13 16 1 7";
    const std::wstring off = L"; Run; Approved missing";
    const std::wstring on = L"; Run Noctara=1:\"C:\\Programas\\Noctara.exe\"␀; Approved missing";
    const std::wstring failed = L"balloon|modify|";
    const std::wstring set = L"set Noctara \"C:\\Programas\\Noctara.exe\"␀|";
    const std::wstring unchanged =
        active + L"Configuração: Não foi possível alterar a inicialização com o Windows. (2)";
    const std::wstring uncopied = active + L"Noctara: Não foi possível copiar o caminho. (2)";
    const struct {
        WPARAM command;  // 0: a double-click on the icon
        Trouble trouble;
        std::wstring calls;
        std::wstring balloon;
        std::wstring state;
    } steps[] = {
        {0, Trouble::None, L"modify|balloon|modify|",
         L"v4 0x97 paused 'Noctara v1.2.2 (Pausado)' Noctara: Pausado. O dispositivo pode dormir. (1)", theirs + off},
        {40001, Trouble::None, L"modify|balloon|modify|", active + L"Noctara: Ativo! O dispositivo não irá dormir. (1)",
         theirs + off},
        {40002, Trouble::None, set + L"balloon|modify|", active + L"Configuração: Iniciará com o Windows. (1)",
         theirs + on},
        {40002, Trouble::RunKeyReadOnly, failed, unchanged, theirs + on},
        {40002, Trouble::WriteRefused, L"unset Noctara|" + failed, unchanged, theirs + on},
        {40002, Trouble::None, L"unset Noctara|balloon|modify|",
         active + L"Configuração: Removido da inicialização com o Windows. (1)", theirs + off},
        {40002, Trouble::NoRunKey, failed, unchanged, theirs + L"; Run missing; Approved missing"},
        {40002, Trouble::WriteRefused, set + failed, unchanged, theirs + off},
        {40005, Trouble::None, L"clipboard 13 C:\\Programas\\Noctara.exe␀|balloon|modify|",
         active + L"Sucesso: Caminho copiado. (1)", L"clipboard ours 13 16 1 7" + off},
        {40005, Trouble::ClipboardHeld, failed, uncopied, theirs + off},
        {40005, Trouble::NoPath, failed, uncopied, theirs + off},
        {40005, Trouble::NoMemory, failed, uncopied, theirs + off},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(&step - steps);
        SetKeyAccess(kRunKey, L"D:(A;;KA;;;WD)");
        seams::modulePath = L"C:\\Programas\\Noctara.exe";
        seams::failedAllocs = 0;
        seams::refusedWrites = 0;
        CopyElsewhere(other);
        Cause(step.trouble, other);
        notifications.clear();
        Sequence();
        if (step.command == 0) {
            Tray(window, WM_LBUTTONDBLCLK);
        } else {
            SendMessageW(window, WM_COMMAND, step.command, 0);
        }
        EXPECT_EQ(Sequence(), step.calls);
        ASSERT_GE(notifications.size(), 2u);
        EXPECT_EQ(Record(notifications.rbegin()[1].data), step.balloon);
        // Read with the Run key still as the step left it, and the clipboard free.
        if (step.trouble == Trouble::ClipboardHeld) {
            CloseClipboard();
        }
        EXPECT_EQ(SharedState(), step.state);
    }

    // Quitting removes the icon and withdraws this thread's request.
    SendMessageW(window, WM_COMMAND, 40006, 0);
    EXPECT_EQ(Sequence(), L"delete|") << "a ghost icon stays behind";
    EXPECT_EQ(seams::Shape(GetCurrentThreadId()), "RR");
}

// Another program's timer or result message starts and applies nothing; the one check is applied once.
TEST(Dispatch, StrayTimersAndResultsChangeNothing)
{
    const HWND window = CreateHiddenWindow();
    ASSERT_TRUE(SetAnswer(200, "whole", Offer("1.3.0", "https://localhost/dl/N.zip")));
    seams::timers.clear();
    SendMessageW(window, WM_TIMER, 7, 0);
    SendMessageW(window, WM_APP + 2, 0, 0);
    EXPECT_EQ(seams::timers, std::vector<std::wstring>{}) << "a stray timer taken for the start-up one";
    SendMessageW(window, WM_TIMER, 1, 0);
    SendMessageW(window, WM_APP + 2, 0, 0);
    EXPECT_TRUE(seams::Workers().empty()) << "a result applied before the check stored it";
    ASSERT_TRUE(PumpUntil([] { return !Balloon().empty(); }));
    SendMessageW(window, WM_TIMER, 1, 0);
    SendMessageW(window, WM_TIMER, 7, 0);
    SendMessageW(window, WM_APP + 2, 0, 0);
    PumpUntil([] { return false; }, 1500);

    const std::wstring log = ServiceLog();
    EXPECT_EQ(log.rfind(L"GET "), 0u) << "not one check: " << log;
    const auto balloons = std::count_if(notifications.begin(), notifications.end(),
                                        [](const seams::Notification& call) { return call.data.uFlags & NIF_INFO; });
    EXPECT_EQ(balloons, 1) << "the result applied again";
    EXPECT_EQ(seams::Workers().size(), 1u);
}

// A resume whose worker cannot start (no thread, no seed) stays paused and warns instead of "Ativo!".
TEST(Dispatch, AResumeThatCannotStartStaysPausedAndWarns)
{
    const HWND window = CreateHiddenWindow();
    for (int* failures : {&seams::failedWorkers, &seams::failedSeeds}) {
        SCOPED_TRACE(failures == &seams::failedSeeds ? "no seed" : "no thread");
        SetActive(false);
        *failures = 1;
        SendMessageW(window, WM_COMMAND, 40001, 0);
        const std::wstring warning = L"Noctara: Não foi possível manter o dispositivo acordado. (2)";
        EXPECT_EQ(Record(notifications.rbegin()[1].data), L"v4 0x97 paused 'Noctara v1.2.2 (Pausado)' " + warning);
        EXPECT_TRUE(seams::Workers().empty());
    }
}
