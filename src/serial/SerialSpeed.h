#pragma once
// Line speeds that termios has no Bnnn constant for. Kept apart because the kernel's
// struct termios2 header cannot share a translation unit with glibc's <termios.h>.

// Sets both directions of fd to baud through TCSETS2/BOTHER, keeping every other
// setting. Returns 0, or -1 with errno set.
int SetArbitrarySpeed(int fd, unsigned baud);
// The output speed the driver actually took, in bits per second; 0 with errno on failure.
unsigned ReadArbitrarySpeed(int fd);
