// The worker's input record, injected for real, must not move the pointer.
#include "tests/engine/engine_fixture.h"

using engine_testing::PumpUntil;

TEST(ZeroMotionInput, LeavesThePointerWhereItWas)
{
    seams::forwardSendInput = true;
    ASSERT_TRUE(SetCursorPos(400, 300));
    POINT at{};
    ASSERT_TRUE(PumpUntil([&] { return GetCursorPos(&at) && at.x == 400 && at.y == 300; }, 5000));
    INPUT zero = keep_awake_detail::ZeroMotionInput();
    EXPECT_EQ(SendInput(1, &zero, sizeof(INPUT)), 1u);
    // A small known move after it (below acceleration): once it lands, the zero one has.
    INPUT nudge = zero;
    nudge.mi.dx = 3;
    nudge.mi.dy = 2;
    EXPECT_EQ(SendInput(1, &nudge, sizeof(INPUT)), 1u);
    EXPECT_TRUE(PumpUntil([&] { return GetCursorPos(&at) && (at.x != 400 || at.y != 300); }, 5000));
    EXPECT_EQ(at.x, 403);
    EXPECT_EQ(at.y, 302);
}
