// The copy-path command: what reaches the clipboard, and the balloon that
// tells whether it did.
#include "app/window_proc.h"
#include "tests/tray/clipboard_holder.h"
#include "tests/tray/tray_fixture.h"

#include <string>

using namespace testing_support;

namespace {

std::wstring OwnPath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

bool PutOnClipboard(HWND window, const std::wstring& text)
{
    if (!PumpUntil([&] { return OpenClipboard(window) != FALSE; }, 2000)) {
        return false;
    }
    EmptyClipboard();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    auto* units = static_cast<wchar_t*>(GlobalLock(block));
    text.copy(units, text.size());
    units[text.size()] = L'\0';
    GlobalUnlock(block);
    const bool placed = seams::RealSetClipboardData(CF_UNICODETEXT, block) != nullptr;
    CloseClipboard();
    return placed;
}

}  // namespace

class CopyPath : public TrayTest {
protected:
    void ExpectOnlyBalloon(const wchar_t* title, const wchar_t* text, DWORD flags)
    {
        const auto shown = Balloons();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_STREQ(shown[0].data.szInfoTitle, title);
        EXPECT_STREQ(shown[0].data.szInfo, text);
        EXPECT_EQ(shown[0].data.dwInfoFlags, flags);
        EXPECT_EQ(AppState::lastBalloonKind, BalloonKind::Plain);
    }
};

TEST_F(CopyPath, PutsThePathUnquotedAndTerminatedAsUnicodeText)
{
    ASSERT_TRUE(PutOnClipboard(window_, L"conteúdo anterior"));
    AppState::lastBalloonKind = BalloonKind::Update;

    Command(CmdCopyExePath);

    SIZE_T bytes = 0;
    const std::wstring path = OwnPath();
    EXPECT_EQ(ReadClipboardText(&bytes), path);
    EXPECT_EQ(bytes, (path.size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(GetClipboardOwner(), window_);
    ExpectOnlyBalloon(L"Sucesso", L"Caminho copiado.", NIIF_INFO);
}

TEST_F(CopyPath, ClipboardHeldByAnotherProcessGivesWarningAndKeepsItsContent)
{
    ASSERT_TRUE(PutOnClipboard(window_, L"conteúdo anterior"));
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, kClipboardHeldEvent);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kClipboardReleaseEvent);
    ASSERT_NE(held, nullptr);
    ASSERT_NE(release, nullptr);
    std::wstring holder = OwnPath();
    holder.replace(holder.find_last_of(L'\\') + 1, std::wstring::npos, L"clipboard_holder.exe");
    HANDLE process = StartProduct(holder);
    ASSERT_NE(process, nullptr);
    ASSERT_EQ(WaitForSingleObject(held, 20000), WAIT_OBJECT_0) << "the holder opened the clipboard";

    Command(CmdCopyExePath);
    ExpectOnlyBalloon(L"Noctara", L"Não foi possível copiar o caminho.", NIIF_WARNING);

    SetEvent(release);
    EXPECT_EQ(WaitForExit(process, 20000), 0u);
    EXPECT_EQ(ReadClipboardText(), L"conteúdo anterior");
    CloseHandle(process);
    CloseHandle(release);
    CloseHandle(held);
}

TEST_F(CopyPath, RefusedHandOverGivesWarningAndFreesTheBlock)
{
    HANDLE offered = nullptr;
    seams::setClipboardDataHook = [&](UINT format, HANDLE data) -> HANDLE {
        EXPECT_EQ(format, static_cast<UINT>(CF_UNICODETEXT));
        EXPECT_EQ(GlobalSize(data), (OwnPath().size() + 1) * sizeof(wchar_t));
        offered = data;
        return nullptr;
    };
    Command(CmdCopyExePath);
    ASSERT_NE(offered, nullptr);
    ExpectOnlyBalloon(L"Noctara", L"Não foi possível copiar o caminho.", NIIF_WARNING);
    EXPECT_EQ(GlobalFlags(offered), static_cast<UINT>(GMEM_INVALID_HANDLE)) << "the refused block was freed";
}

TEST_F(CopyPath, EmptyTextPlacesNothing)
{
    ASSERT_TRUE(PutOnClipboard(window_, L"conteúdo anterior"));
    EXPECT_FALSE(CopyTextToClipboard(window_, L""));
    EXPECT_EQ(ReadClipboardText(), L"conteúdo anterior");
}
