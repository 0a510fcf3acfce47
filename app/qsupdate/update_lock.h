// One update at a time: the actions that write to adapters hold an
// exclusive lock on a well-known file until the run ends, and the holder
// writes its process id into the file so that a second run can name it.
// The file lives in a directory of root's own, so that no other user can
// create it, hold it or plant anything in its place.
#pragma once

#include <sys/types.h>

inline constexpr char UPDATE_LOCK_DIR[] = "/run/qsupdate";
inline constexpr char UPDATE_LOCK_PATH[] = "/run/qsupdate/qsupdate.lock";

// Takes the lock and records this process in the file.  Returns the
// descriptor that holds the lock (closing it lets go), or -1 with errno:
// EWOULDBLOCK when another process holds it, *holder then being that
// process (0 when it has not named itself yet); EPERM with *unsafe_dir set
// when UPDATE_LOCK_DIR is not a directory that root alone can write to.
int update_lock_take(pid_t *holder, bool *unsafe_dir);
