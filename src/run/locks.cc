#include "run/locks.h"

namespace run {

int lock(const char*, const char*, bool) { return -1; }
void unlock(int) {}
void unlock_all() {}
bool lock_held(const char*) { return false; }
pid_t read_lock_pid(const char*, bool) { return 0; }

}  // namespace run
