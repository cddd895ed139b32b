#pragma once
// A serial device opened for passing bytes through untouched: raw 8N1 at a rate, non-blocking,
// held exclusively, as CSerialChannel opens its port, but with the descriptor handed to the
// caller's own poll loop (the sniffer's), and its rate changeable while it is open.
#include <termios.h>

#include <string>

// The device's descriptor, or -1 with the operator's sentence in `error` (the same words as
// CSerialChannel::OpenErrorText, or the rate the device would not take).
int OpenRawLine(const std::string& device, unsigned baud, std::string& error);

// Sets both directions of `fd` to `baud`, keeping every other setting. Returns 0, or -1 with
// errno set (EINVAL when the driver runs at another rate than asked).
int SetRawLineSpeed(int fd, unsigned baud);

// Gives back the exclusive hold and closes the descriptor within a bound.
void CloseRawLine(int fd);

// The termios code for a rate that has one (B9600 ...); false for any other rate.
bool LookupSpeed(unsigned baud, speed_t* code);
// The rate `fd` runs at, in bits per second: exact where the driver says it, else its Bnnn
// code's; 0 with errno when it cannot be read.
unsigned LineSpeed(int fd);
