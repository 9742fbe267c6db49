#pragma once

// Bounded polling for tests: wait until a condition holds or a deadline
// passes, never a bare sleep.

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace test_support {

// Polls every few milliseconds until `predicate` holds or `timeout` passes.
// Returns a failed assertion naming `what` when the deadline passes.
inline testing::AssertionResult wait_until(const std::function<bool()>& predicate,
                                           const std::string& what,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return testing::AssertionFailure() << "timed out after " << timeout.count()
                                               << " ms waiting for " << what;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return testing::AssertionSuccess();
}

}  // namespace test_support
