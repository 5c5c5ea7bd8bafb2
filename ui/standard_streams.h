#pragma once
// The program's standard streams are the caller's: a closed or broken one must
// never end an update, change its outcome, or take the place of a file or port.

// Makes sure descriptors 0 to 2 are open (on /dev/null when the caller closed
// them), so that no log, settings file or serial port opened later gets one of
// them and receives the display lines; and ignores SIGPIPE, so that output to a
// pipe whose reader has gone only fails that write.
void guard_standard_streams();
