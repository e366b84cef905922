// The end of a run's report: the summary of its figures and the record
// appended to the --stat file.
#pragma once

#include <ctime>

namespace run {

/// Reports the run's figures and appends them to the --stat file.
void write_statistics(time_t start, time_t end);

}  // namespace run
