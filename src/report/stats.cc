#include "report/stats.h"

namespace report {

Counters g_counters;

void write_statistics(time_t, time_t) {}

}  // namespace report
