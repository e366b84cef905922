#include "report/stats.h"

namespace report {

Counters g_counters;

}  // namespace report
