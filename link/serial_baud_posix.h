#pragma once
// Line speeds that termios has no Bxxx constant for (31250 baud), set through
// the kernel's termios2 interface. Kept apart because <asm/termbits.h> and
// <termios.h> cannot share one file.

// Sets input and output speed of the open terminal `fd` to `baud` bits per
// second. 1 on success, 0 when the platform cannot.
int set_any_baud(int fd, int baud);
// The output speed in bits per second of the open terminal `fd`; 0 when unknown.
int get_any_baud(int fd);
