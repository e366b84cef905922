// Lock files: a file holding the owner's process id and a newline, made with
// link() so that exactly one process can take it.
#pragma once

#include <sys/types.h>

namespace sys {

/// Number of locks one process can hold at once.
inline constexpr int kLockSlots = 10;

/// Takes the lock name in directory (null: LOCKS; empty: name is a whole path).
/// Returns the slot index, or -1 when locking is off or the list was full.
/// Ends the run itself when the lock cannot be had.
int lock(const char* directory, const char* name, bool dont_queue);

/// Removes the lock in slot; other indexes and empty slots are ignored.
void unlock(int slot);

/// Removes every lock this process holds.
void unlock_all();

/// True when the file names a process that exists.
bool lock_held(const char* path);

/// The process id in a lock file, or 0.
pid_t read_lock_pid(const char* path, bool report_missing);

}  // namespace sys
