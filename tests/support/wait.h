// Waiting for a condition instead of for a fixed time: a test that needs
// something to have happened looks for it again and again, and gives up only
// after a bound far beyond any normal wait, which keeps a broken test from
// hanging but never decides a pass.
#pragma once

#include <chrono>
#include <functional>

namespace testsupport {

/// The bound of a wait that only guards against a hang.
inline constexpr std::chrono::milliseconds kWaitLimit{30000};

/// Checks condition every few milliseconds until it holds or limit has
/// passed; true when it held.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = kWaitLimit);

}  // namespace testsupport
