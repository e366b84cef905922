// Run statistics: the counters every subsystem raises. The run reports them
// at its end.
#pragma once

#include <cstdint>

namespace report {

struct Counters {
  int64_t post = 0;
  int64_t fetc = 0;
  int64_t dupl = 0;
  int64_t alre = 0;
  int64_t hist = 0;
  int64_t miss = 0;
  int64_t grps = 0;
  int64_t ua_g = 0;
  int64_t us_g = 0;
  int64_t grossbyt = 0;
  int64_t netbytes = 0;
  int64_t fail = 0;
  int64_t bnce = 0;
  int64_t filtered = 0;
  int64_t fake = 0;
  bool fetch_aborted = false;
};

/// The counters of this run.
extern Counters g_counters;

}  // namespace report
