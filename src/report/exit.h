// The exit path. Every fatal error in any subsystem ends here; the layers
// above register what must be undone (an interrupted fetch finished, temporary
// files removed, locks released), so nothing here knows them.
#pragma once

#include <csignal>

namespace report {

/// Number of terminating signals (SIGHUP, SIGINT, SIGQUIT, SIGTERM) received
/// so far; the signal handlers count them, the exit path says "via interrupt".
extern volatile sig_atomic_t g_interrupt_count;

/// When a registered cleanup runs.
enum class ExitStage {
  kRun,    // terminate_run: before the locks go (finish the fetch, drop temporary files)
  kFinal,  // unlock_exit: last of all (release the locks)
};

/// Registers a cleanup for the stage; each stage runs its cleanups in the
/// order they were registered. Registering the same function twice has no effect.
void register_exit_cleanup(ExitStage stage, void (*cleanup)());

/// Ends the run after a fatal error: finishes an interrupted fetch, removes the locks.
[[noreturn]] void exit_run(int status);

/// The body of exit_run, with the progress state to show.
[[noreturn]] void terminate_run(const char* text, int status);

/// The final exit without the fetch cleanup: removes the locks and exits.
[[noreturn]] void unlock_exit(int status);

/// True once the exit path has been entered.
bool exiting();
/// Marks the exit path as entered: further terminating signals are only reported.
void mark_exiting();

}  // namespace report
