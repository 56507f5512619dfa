// The worker's input record, injected for real: it must not move the pointer.
#include "engine/keep_awake.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

using testing_support::PumpUntil;

TEST(ZeroMotionInput, LeavesThePointerWhereItWas)
{
    seams::Reset();
    seams::forwardSendInput = true;
    ASSERT_TRUE(SetCursorPos(400, 300));
    POINT at{};
    ASSERT_TRUE(PumpUntil([&] { return GetCursorPos(&at) && at.x == 400 && at.y == 300; }, 5000));

    INPUT zero = keep_awake_detail::ZeroMotionInput();
    EXPECT_EQ(SendInput(1, &zero, sizeof(INPUT)), 1u);
    // A known move after it: once that has landed, the zero move has too.
    // Small enough to stay below the pointer's acceleration thresholds.
    INPUT nudge = zero;
    nudge.mi.dx = 3;
    nudge.mi.dy = 2;
    EXPECT_EQ(SendInput(1, &nudge, sizeof(INPUT)), 1u);
    EXPECT_TRUE(PumpUntil([&] { return GetCursorPos(&at) && (at.x != 400 || at.y != 300); }, 5000));
    EXPECT_EQ(at.x, 403);
    EXPECT_EQ(at.y, 302);
    seams::Reset();
}
