#pragma once
// The terminal this program runs in (its controlling terminal, or the one on
// a standard stream) is never a serial link: the packets would go to the
// user's screen and the keys would be taken for replies.

#include <sys/types.h>

// Whether the character device `device` (st_rdev) is that terminal.
bool is_own_terminal(dev_t device);
