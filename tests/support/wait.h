// Waiting for a condition instead of for a fixed time: a test that needs
// something to have happened looks for it again and again, and gives up only
// after a bound far beyond any normal wait, which keeps a broken test from
// hanging but never decides a pass.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <functional>

namespace testsupport {

/// The bound of a wait that only guards against a hang.
inline constexpr std::chrono::milliseconds kWaitLimit{30000};

/// How often a wait looks at its condition unless told otherwise.
inline constexpr std::chrono::microseconds kWaitInterval{5000};

/// Checks condition every interval until it holds or limit has passed; true
/// when it held.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = kWaitLimit,
                std::chrono::microseconds interval = kWaitInterval);

/// True while thread tid of process pid (its first thread when tid is 0)
/// sleeps in poll or ppoll, as /proc shows it: a process that reads with a
/// time-out is then waiting for its input.
bool sleeps_in_poll(pid_t pid, pid_t tid = 0);

}  // namespace testsupport
