#include "engine/keep_awake.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

TEST(ZeroMotionInput, LeavesThePointerWhereItWas) {
    seams::forwardSendInput = true;
    INPUT centre = keep_awake_detail::ZeroMotionInput(), zero = centre, nudge = centre;
    centre.mi.dx = centre.mi.dy = 32768, centre.mi.dwFlags |= MOUSEEVENTF_ABSOLUTE;  // syncs Wine's pointer with X's, which other clients may have moved
    nudge.mi.dx = nudge.mi.dy = 3;  // a small known move after the zero one: once it lands, the zero one has
    ASSERT_EQ(SendInput(1, &centre, sizeof(INPUT)), 1u);
    POINT start{}, at{};
    ASSERT_TRUE(testing_support::PumpUntil([&] { return GetCursorPos(&start) && abs(start.x - GetSystemMetrics(SM_CXSCREEN) / 2) <= 1 && abs(start.y - GetSystemMetrics(SM_CYSCREEN) / 2) <= 1; }, 5000));
    EXPECT_EQ(SendInput(1, &zero, sizeof(INPUT)) + SendInput(1, &nudge, sizeof(INPUT)), 2u);
    EXPECT_TRUE(testing_support::PumpUntil([&] { return GetCursorPos(&at) && (at.x != start.x || at.y != start.y); }, 5000));
    EXPECT_EQ(std::make_pair(at.x, at.y), std::make_pair(start.x + 3, start.y + 3));
}
