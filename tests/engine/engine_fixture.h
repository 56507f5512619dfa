// Shared by the engine tests: a clean engine per test, and the seam's
// ordered log read back as one short string per thread.
#pragma once

#include "tests/support/seams.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace engine_testing {

using Log = std::vector<seams::EngineCall>;

// One letter per call of `thread` from position `from` of the log on:
// H = SetThreadExecutionState(0x80000003), R = SetThreadExecutionState(0x80000000),
// I = SendInput of one record, t = a tick (a Sleep of more than half a tick,
// which only the first sleep of a tick asks for), ? = anything else.
// Top-up sleeps after an early wake-up are left out.
std::string Shape(const Log& log, DWORD thread, int tickMs, size_t from = 0);

// Threads other than `ui` in the order of their first call.
std::vector<DWORD> WorkerThreads(const Log& log, DWORD ui);

// Whole ticks between consecutive inputs of a shape.
std::vector<int> Waits(const std::string& shape);

// The first `count` waits a worker seeded with `seed` draws.
std::vector<int> DrawnWaits(std::uint32_t seed, size_t count);

// Seeds handed to the workers created so far, in creation order.
std::vector<std::uint32_t> CreatedSeeds();

size_t CountInputs(const Log& log);
size_t CountTicks(const Log& log, int tickMs);

// Polls the log until `done` holds or the deadline passes.
bool WaitForLog(const std::function<bool(const Log&)>& done, DWORD timeoutMs);

// A fresh engine: default state, empty records, no worker left behind.
class Engine : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    DWORD ui_ = 0;
};

}  // namespace engine_testing
