// The context menu built for real and read back, and how it is shown.
#include "tray/tray_menu.h"
#include "tests/tray/tray_fixture.h"

#include <string>
#include <vector>

using namespace testing_support;

namespace {

struct Entry {
    std::wstring text;  // empty for a separator
    UINT id;
    bool checked;
    bool grayed;
    bool operator==(const Entry&) const = default;
};

void PrintTo(const Entry& e, std::ostream* out)
{
    *out << "{" << (e.text.empty() ? std::string("---") : Narrow(e.text)) << ", " << e.id
         << (e.checked ? ", checked" : "") << (e.grayed ? ", grayed" : "") << "}";
}

std::vector<Entry> Read(const std::vector<seams::MenuItem>& items)
{
    std::vector<Entry> entries;
    for (const auto& item : items) {
        // The system reports separators as disabled; only the id and place matter.
        if (item.type & MFT_SEPARATOR) {
            entries.push_back(Entry{L"", item.id, false, false});
            continue;
        }
        entries.push_back(Entry{item.text, item.id, (item.state & MFS_CHECKED) != 0, (item.state & MFS_GRAYED) != 0});
    }
    return entries;
}

std::vector<Entry> Build()
{
    HMENU menu = BuildTrayMenu();
    auto entries = Read(seams::ReadMenu(menu));
    DestroyMenu(menu);
    return entries;
}

const Entry kSeparator{L"", 0, false, false};

}  // namespace

class TrayMenu : public TrayTest {
protected:
    RunKeyGuard runKey_;
};

TEST_F(TrayMenu, EntriesFollowTheState)
{
    struct Case {
        bool active;
        bool autostart;
        bool update;
        const wchar_t* latest;
        std::vector<Entry> expected;
    };
    const Entry toggleAutostartOff{L"Iniciar com Windows", 40002, false, false};
    const Entry toggleAutostartOn{L"Iniciar com Windows", 40002, true, false};
    const Entry copy{L"Copiar caminho do .exe", 40005, false, false};
    const Entry version{L"Versão: 1.2.2", 0, false, true};
    const Entry exit{L"Sair", 40006, false, false};
    const Case cases[] = {
        {true, false, false, L"",
         {{L"Pausar", 40001, false, false}, kSeparator, toggleAutostartOff, kSeparator, copy, kSeparator, version,
          exit}},
        {false, true, false, L"9.9.9",  // the version is shown only with the flag
         {{L"Retomar", 40001, false, false}, kSeparator, toggleAutostartOn, kSeparator, copy, kSeparator, version,
          exit}},
        {true, true, true, L"1.3.0",
         {{L"Pausar", 40001, false, false}, kSeparator, toggleAutostartOn, kSeparator,
          {L"\u2605 Baixar Nova Versão (1.3.0)", 40010, false, false}, kSeparator, copy, kSeparator, version, exit}},
        {false, false, true, L"",
         {{L"Retomar", 40001, false, false}, kSeparator, toggleAutostartOff, kSeparator,
          {L"\u2605 Baixar Nova Versão ()", 40010, false, false}, kSeparator, copy, kSeparator, version, exit}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "active " << c.active << ", autostart " << c.autostart << ", update "
                                        << c.update);
        AppState::active = c.active;
        AppState::updateAvailable = c.update;
        AppState::latestVersion = c.latest;
        ASSERT_TRUE(c.autostart ? WriteRunValue(REG_SZ, L"\"C:\\Outro\\Noctara.exe\"") : DeleteRunValue());

        const auto entries = Build();
        EXPECT_EQ(entries, c.expected);
        ASSERT_FALSE(entries.empty());
        EXPECT_NE(entries.front(), kSeparator);
        EXPECT_NE(entries.back(), kSeparator);
        for (size_t i = 1; i < entries.size(); ++i) {
            EXPECT_FALSE(entries[i] == kSeparator && entries[i - 1] == kSeparator) << "at " << i;
        }
    }
}

TEST_F(TrayMenu, CheckMarkIsReadFromTheRegistryAtEveryOpening)
{
    auto checked = [] { return Build()[2].checked; };
    ASSERT_TRUE(DeleteRunValue());
    EXPECT_FALSE(checked());

    // Changed by another program while we run: the next opening shows it.
    ASSERT_TRUE(WriteRunValue(REG_SZ, L"C:\\Outro\\app.exe"));
    EXPECT_TRUE(checked());
    ASSERT_TRUE(WriteRunValue(REG_SZ, L""));
    EXPECT_FALSE(checked());
    ASSERT_TRUE(WriteRunValue(REG_EXPAND_SZ, L"%ProgramFiles%\\app.exe"));
    EXPECT_FALSE(checked());
    ASSERT_TRUE(WriteRunValue(REG_SZ, L"C:\\Outro\\app.exe"));
    EXPECT_TRUE(checked());
    ASSERT_TRUE(DeleteRunValue());
    EXPECT_FALSE(checked());
}

TEST_F(TrayMenu, ShownAtThePointerOwnedByTheWindowThenDestroyed)
{
    SetCursorPos(321, 234);
    POINT pointer{};
    ASSERT_TRUE(GetCursorPos(&pointer));
    MSG stale;
    while (PeekMessageW(&stale, window_, WM_NULL, WM_NULL, PM_REMOVE)) {
    }

    ShowTrayMenu(window_);

    const auto menus = seams::TrackedMenus();
    ASSERT_EQ(menus.size(), 1u);
    EXPECT_EQ(menus[0].flags, 0x22u) << "right button, bottom-aligned, no TPM_RETURNCMD";
    EXPECT_EQ(menus[0].x, pointer.x);
    EXPECT_EQ(menus[0].y, pointer.y);
    EXPECT_EQ(menus[0].owner, window_);
    EXPECT_EQ(menus[0].items.size(), 8u);
    EXPECT_FALSE(IsMenu(menus[0].menu)) << "the menu is destroyed after it closed";
    MSG null;
    EXPECT_TRUE(PeekMessageW(&null, window_, WM_NULL, WM_NULL, PM_REMOVE)) << "WM_NULL posted to the window";
    EXPECT_EQ(GetForegroundWindow(), window_);
}
