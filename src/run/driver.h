// The run driver: start-up, the run sequence, the exit path and the progress
// state shown in the process title.
#pragma once

#include <cstdint>
#include <ctime>

namespace run {

/// Exit statuses of the program.
enum Status : int {
  kStatusOk = 0,
  kStatusInternal = 1,
  kStatusUsage = 2,
  kStatusNoConnection = 3,
  kStatusRefused = 4,
  kStatusOutgoing = 5,
  kStatusIncoming = 6,
  kStatusConfig = 8,
  kStatusBroken = 9,
  kStatusAuthSetup = 10,
  kStatusConnectScript = 11,
  kStatusEnquiryNegative = 12,
  kStatusLockTimeout = 13,
};

/// The version this program reports.
inline constexpr const char* kVersion = "1.6";

/// Program entry: start-up, then the run; returns the process exit status.
int main_entry(int argc, char** argv);

/// The run sequence; returns the exit status (other statuses arise in exit_run).
int run();

/// Ends the run after a fatal error: finishes an interrupted fetch, removes the locks.
[[noreturn]] void exit_run(int status);

/// The body of exit_run, with the progress state to show.
[[noreturn]] void terminate_run(const char* text, int status);

/// The final exit without the fetch cleanup: removes the locks and exits.
[[noreturn]] void unlock_exit(int status);

/// Sets the progress state shown in the process title (and as a notice at verbosity 4+).
void set_state(const char* text, const char* suffix = nullptr);

/// Sets the text that stands before the state in the process title.
void set_title_prefix(const char* text);

/// Records the argument area the process title is written into (none when argc is 0).
void record_argument_area(int argc, char** argv);

/// Free kilobytes and file nodes of the file system holding path; false when unknown.
bool free_space(const char* path, int64_t* kilobytes, int64_t* nodes);

/// The time of day the connection was made (after the greeting).
extern time_t g_connect_time;

}  // namespace run
