// The window procedure, driven in-process through a hidden window made as
// start-up makes it; balloons, tooltip, icon and the shell are read at the seam.
#include "tests/support/fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

using namespace fixture;
using seams::notifications;

namespace {

// The tooltip of the record at rest, with the icon it shows.
std::wstring Tip()
{
    if (notifications.empty()) {
        return L"";
    }
    const NOTIFYICONDATAW& rest = notifications.back().data;
    EXPECT_EQ(rest.uFlags, 0x87u);
    return rest.szTip + std::wstring(rest.hIcon == AppState::iconPaused ? L" [paused]" : L" [active]");
}

}  // namespace

TEST(Dispatch, EachCommandIsConfirmedByItsBalloonAndTheTooltipFollows)
{
    const HWND window = CreateHiddenWindow();
    const std::wstring active = L"Noctara v1.2.2 (Ativo) [active]";
    const struct {
        WPARAM command;  // 0: a double-click on the icon
        bool failing;    // another window holds the clipboard, and the Run key is gone
        const wchar_t* balloon;
        std::wstring tip;
    } steps[] = {
        {0, false, L"Noctara: Pausado. O dispositivo pode dormir.", L"Noctara v1.2.2 (Pausado) [paused]"},
        {40001, false, L"Noctara: Ativo! O dispositivo não irá dormir.", active},
        {40002, false, L"Configuração: Iniciará com o Windows.", active},
        {40002, false, L"Configuração: Removido da inicialização com o Windows.", active},
        {40002, true, L"Configuração: Não foi possível alterar a inicialização com o Windows. (!)", active},
        {40005, false, L"Sucesso: Caminho copiado.", active},
        {40005, true, L"Noctara: Não foi possível copiar o caminho. (!)", active},
    };
    const HWND other = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, 0, 0, 0);
    for (const auto& step : steps) {
        if (step.failing) {
            OpenClipboard(other);
            RegDeleteKeyW(HKEY_CURRENT_USER, kRunKey);
        }
        notifications.clear();
        if (step.command == 0) {
            Tray(window, WM_LBUTTONDBLCLK);
        } else {
            SendMessageW(window, WM_COMMAND, step.command, 0);
        }
        EXPECT_EQ(Balloon(), step.balloon);
        EXPECT_EQ(Tip(), step.tip);
        if (step.failing) {
            CloseClipboard();
            HKEY key = nullptr;
            EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND)
                << "the Run key is not the program's to make";
            RegCreateKeyW(HKEY_CURRENT_USER, kRunKey, &key);
            RegCloseKey(key);
        }
    }

    // Quitting removes the icon and withdraws this thread's request.
    notifications.clear();
    SendMessageW(window, WM_COMMAND, 40006, 0);
    ASSERT_EQ(notifications.size(), 1u);
    EXPECT_EQ(notifications[0].message, DWORD{NIM_DELETE}) << "a ghost icon stays behind";
    EXPECT_EQ(seams::Shape(GetCurrentThreadId()), "RR");
}
