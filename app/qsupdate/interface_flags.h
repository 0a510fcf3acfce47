// The network interface's flags, read and changed through a socket: an
// update of some kinds takes the interface down while it writes.
#pragma once

// The flags, or -1 with errno; flags that read as negative count as a
// failure (EIO).
int get_if_flags(int sock, const char *ifname);
// The ioctl's result.
int set_if_flags(int sock, const char *ifname, int flags);
