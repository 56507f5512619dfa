// Engine tests: a clean engine per test, the seam's ordered log read per thread.
#pragma once

#include "engine/keep_awake.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace engine_testing {

using Log = std::vector<seams::EngineCall>;
using testing_support::PumpUntil;

// One letter per call of `thread` (0: any) from log[from] on: H hold, R release,
// I one input, t a tick (a Sleep over half a tick, so top-ups are left out).
inline std::string Shape(const Log& log, DWORD thread, int tickMs, size_t from = 0)
{
    using Kind = seams::EngineCall::Kind;
    std::string shape;
    for (size_t i = from; i < log.size(); ++i) {
        const seams::EngineCall& c = log[i];
        if (thread != 0 && c.thread != thread) {
            continue;
        }
        if (c.kind == Kind::State) {
            shape += c.value == 0x80000003u ? 'H' : c.value == 0x80000000u ? 'R' : '?';
        } else if (c.kind == Kind::Input) {
            shape += c.value == 1 ? 'I' : '?';
        } else if (2 * static_cast<long long>(c.value) > tickMs) {
            shape += 't';
        }
    }
    return shape;
}

inline size_t Count(char letter, int tickMs)
{
    const std::string shape = Shape(seams::EngineCalls(), 0, tickMs);
    return std::count(shape.begin(), shape.end(), letter);
}

inline bool Matches(const std::string& shape, const char* pattern)
{
    return std::regex_match(shape, std::regex(pattern));
}

// Threads other than `ui` in the order of their first call.
inline std::vector<DWORD> Workers(const Log& log, DWORD ui)
{
    std::vector<DWORD> threads;
    for (const seams::EngineCall& c : log) {
        if (c.thread != ui && std::find(threads.begin(), threads.end(), c.thread) == threads.end()) {
            threads.push_back(c.thread);
        }
    }
    return threads;
}

class Engine : public ::testing::Test {
protected:
    void SetUp() override
    {
        testing_support::ResetAppState();
        seams::Reset();
    }
    void TearDown() override
    {
        testing_support::StopWorkers();
        EXPECT_EQ(seams::LiveWorkers(), 0) << "a worker outlived the test";
        seams::Reset();
    }
    const DWORD ui_ = GetCurrentThreadId();
};

}  // namespace engine_testing
