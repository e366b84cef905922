// The run driver: start-up and the run sequence.
#pragma once

namespace run {

/// Program entry: start-up, then the run; returns the process exit status.
int main_entry(int argc, char** argv);

/// The run sequence; returns the exit status (other statuses arise in report::exit_run).
int run();

}  // namespace run
