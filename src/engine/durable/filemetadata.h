#pragma once

#include <sys/types.h>

// Gives the file open as to the POSIX ACL and extended attributes of the file open as
// from, drops those to has of its own (a folder's default ACL, inherited at creation)
// and sets mode when setMode says its bits may differ. What only root may copy
// (security.*, trusted.*) is copied where allowed and otherwise left out. False when
// the ACL or a user.* attribute could not be given.
bool copyAccessAndAttributes(int from, int to, mode_t mode, bool setMode);

// The process's umask, read once without changing it (umask(2) would, for a moment,
// for every thread).
mode_t processUmask();
