#pragma once
// Reading a file a user names (a profile, a plan, a picture to check): only a regular file
// of bounded size is read, so a FIFO, a device such as /dev/zero or a folder is refused
// with what it is instead of hanging or eating memory.
#include <cstddef>
#include <string>

// True when `path` names a regular file this process may open; otherwise *why says what it
// is instead, in plain words ("no such file", "is a folder", "is a FIFO, not a file" ...).
bool CheckInputFile(const std::string& path, std::string* why);

// Reads the whole of a regular file of at most maxBytes into *contents. On failure *why
// says what the path is or why it could not be read ("is 2000000 bytes, more than the
// 1048576 allowed"); *contents is then empty. Never blocks on a FIFO.
bool ReadInputFile(const std::string& path, size_t maxBytes, std::string* contents,
                   std::string* why);
