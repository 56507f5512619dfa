// The executable's path, as GetModuleFileNameW reports it at the link seam.
#include "shell/autostart.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

TEST(ExecutablePath, IsWholeAtAnyLengthTheSystemReportsAndEmptyWhenCut)
{
    const struct {
        size_t length;
        bool whole;
    } rows[] = {{20, true}, {259, true}, {260, true}, {5000, true}, {32767, true}, {32768, false}, {40000, false}};
    for (const auto& row : rows) {
        seams::modulePath = L"C:\\" + std::wstring(row.length - 3, L'p');
        EXPECT_EQ(GetExecutablePath(), row.whole ? seams::modulePath : L"") << row.length;
    }
}
