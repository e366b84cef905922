#include "run/statistics.h"

#include <sys/stat.h>
#include <cstdio>
#include <string>

#include "base/settings.h"
#include "nntp/tls.h"
#include "report/message.h"
#include "report/stats.h"
#include "report/title.h"
#include "report/util.h"
#include "sys/locks.h"

namespace run {

namespace {

using report::Counters;
using report::g_counters;
using report::kNotice;
using report::message;

constexpr const char* kHeader =
    "# post fetc dupl alre hist miss grps ua-g us-g grossbyt netbytes totaltim fail bnce\n";

// Lock files beside the files several runs append to carry this suffix.
constexpr const char* kLockSuffix = ".LOCKtessu";

// asctime's text starts with the weekday and a blank, which the file leaves out.
constexpr int kWeekdayLength = 4;

const char* plural(int64_t count) {
  return count == 1 ? "" : "s";
}

bool filter_in_use() {
  return base::has_text(base::g_settings.mfilter) || base::has_text(base::g_settings.filter);
}

void report_summary(time_t start, time_t end) {
  const Counters& c = g_counters;
  if (c.dupl != 0 || c.miss != 0 || c.fail != 0) {
    message(kNotice, "posting errors: %d duplicate, %d missing, %d failed article%s",
            static_cast<int>(c.dupl), static_cast<int>(c.miss), static_cast<int>(c.fail),
            plural(c.fail));
  }
  if (c.bnce != 0) {
    message(kNotice, "bounced %d article%s", static_cast<int>(c.bnce), plural(c.bnce));
  }
  if (c.ua_g != 0) {
    message(kNotice, "%d group%s not available from this server", static_cast<int>(c.ua_g),
            c.ua_g == 1 ? " was" : "s were");
  }
  if (c.us_g != 0) {
    message(kNotice, "fetched %d group%s never seen before", static_cast<int>(c.us_g),
            plural(c.us_g));
  }
  const int64_t rejected = c.filtered + c.fake;
  if (c.alre != 0 || c.hist != 0 || rejected != 0) {
    if (filter_in_use() || rejected != 0) {
      message(kNotice, "omitted %ld article%s already in spool, %ld as crosspost%s, %ld filtered",
              static_cast<long>(c.hist), plural(c.hist), static_cast<long>(c.alre), plural(c.alre),
              static_cast<long>(rejected));
    } else {
      message(kNotice, "omitted %ld article%s already in spool, %ld as crosspost%s",
              static_cast<long>(c.hist), plural(c.hist), static_cast<long>(c.alre), plural(c.alre));
    }
  }
  if (c.fetch_aborted) message(kNotice, "article fetch aborted");
  if (!nntp::g_tls.description.empty())
    message(kNotice, "TLS: %s", nntp::g_tls.description.c_str());
  if (c.grossbyt > 0) {
    const int64_t seconds = static_cast<int64_t>(end - start);
    const int64_t rate = seconds != 0 ? c.netbytes / seconds : c.netbytes;
    message(kNotice, "posted %ld, fetched %d article%s in %ld group%s at %ld net cps",
            static_cast<long>(c.post), static_cast<int>(c.fetc), plural(c.fetc),
            static_cast<long>(c.grps), plural(c.grps), static_cast<long>(rate));
  }
}

void write_record(FILE* file, time_t start, time_t end) {
  const Counters& c = g_counters;
  struct stat status;
  if (fstat(fileno(file), &status) == 0 && status.st_size == 0) fputs(kHeader, file);

  struct tm local;
  localtime_r(&start, &local);
  char when[64];
  asctime_r(&local, when);
  fprintf(file, "T %s %s", c.fetch_aborted ? "Ab" : "OK", when + kWeekdayLength);

  fprintf(file, "N %4d %4ld %4d %4ld %4ld %4d %4ld %4ld %4ld %8ld %8ld %8ld %4d %4d\n",
          static_cast<int>(c.post), static_cast<long>(c.fetc), static_cast<int>(c.dupl),
          static_cast<long>(c.alre), static_cast<long>(c.hist), static_cast<int>(c.miss),
          static_cast<long>(c.grps), static_cast<long>(c.ua_g), static_cast<long>(c.us_g),
          static_cast<long>(c.grossbyt), static_cast<long>(c.netbytes),
          static_cast<long>(end - start), static_cast<int>(c.fail), static_cast<int>(c.bnce));
  if (filter_in_use() || c.filtered != 0) {
    fprintf(file, "F %4ld\n", static_cast<long>(c.filtered));
  }
}

}  // namespace

void write_statistics(time_t start, time_t end) {
  report::set_state("statistics");
  report_summary(start, end);

  const base::Text& stat_file = base::g_settings.stat;
  if (!base::has_text(stat_file)) return;

  report::set_state("locking statistics file");
  const std::string lock_name = *stat_file + kLockSuffix;
  const int slot = sys::lock("", lock_name.c_str(), false);
  FILE* file = report::open_append_file(stat_file->c_str());
  if (file == nullptr) {
    sys::unlock(slot);
    return;
  }
  write_record(file, start, end);
  fclose(file);
  sys::unlock(slot);
}

}  // namespace run
