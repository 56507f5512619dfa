// The worker's input record, injected for real, must not move the pointer.
#include "tests/engine/engine_fixture.h"

using engine_testing::PumpUntil;

TEST(ZeroMotionInput, LeavesThePointerWhereItWas)
{
    seams::forwardSendInput = true;
    // An absolute move first: it syncs Wine's idea of the pointer with the X
    // server's, which other X clients (the end-to-end suite) may have moved.
    INPUT centre = keep_awake_detail::ZeroMotionInput();
    centre.mi.dwFlags |= MOUSEEVENTF_ABSOLUTE;
    centre.mi.dx = centre.mi.dy = 32768;
    ASSERT_EQ(SendInput(1, &centre, sizeof(INPUT)), 1u);
    POINT start{};
    const POINT middle{GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2};
    ASSERT_TRUE(PumpUntil([&] { return GetCursorPos(&start) && abs(start.x - middle.x) <= 1 && abs(start.y - middle.y) <= 1; }, 5000));

    INPUT zero = keep_awake_detail::ZeroMotionInput();
    EXPECT_EQ(SendInput(1, &zero, sizeof(INPUT)), 1u);
    // A small known move after it (below acceleration): once it lands, the zero one has.
    INPUT nudge = zero;
    nudge.mi.dx = 3;
    nudge.mi.dy = 2;
    EXPECT_EQ(SendInput(1, &nudge, sizeof(INPUT)), 1u);
    POINT at{};
    EXPECT_TRUE(PumpUntil([&] { return GetCursorPos(&at) && (at.x != start.x || at.y != start.y); }, 5000));
    EXPECT_EQ(at.x, start.x + 3);
    EXPECT_EQ(at.y, start.y + 2);
}
