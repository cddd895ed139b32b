#include "InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// What a non-regular file is, as the operator would call it.
const char* Kind(mode_t mode) {
  if (S_ISDIR(mode)) return "is a folder, not a file";
  if (S_ISFIFO(mode)) return "is a FIFO (named pipe), not a file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a file";
  if (S_ISSOCK(mode)) return "is a socket, not a file";
  return "is not a regular file";
}

std::string Errno(int err) {
  return err == ENOENT ? std::string("no such file") : std::string(std::strerror(err));
}

// Opens without blocking (a FIFO with no writer would block the open itself) and checks
// the kind on the open descriptor, so the file checked is the file read.
int OpenRegular(const std::string& path, struct stat* st, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *why = Errno(errno);
    return -1;
  }
  if (::fstat(fd, st) != 0) {
    *why = Errno(errno);
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(st->st_mode)) {
    *why = Kind(st->st_mode);
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool CheckInputFile(const std::string& path, std::string* why) {
  struct stat st {};
  const int fd = OpenRegular(path, &st, why);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool ReadInputFile(const std::string& path, size_t maxBytes, std::string* contents,
                   std::string* why) {
  contents->clear();
  struct stat st {};
  const int fd = OpenRegular(path, &st, why);
  if (fd < 0) return false;
  auto tooLarge = [&](unsigned long long size) {
    *why = "is " + std::to_string(size) + " bytes, more than the " + std::to_string(maxBytes) +
           " allowed";
    contents->clear();
    ::close(fd);
    return false;
  };
  if (static_cast<unsigned long long>(st.st_size) > maxBytes) return tooLarge(st.st_size);
  contents->resize(static_cast<size_t>(st.st_size));
  size_t have = 0;
  // The size may change while we read: never read more than maxBytes + 1.
  for (;;) {
    if (have == contents->size()) {
      if (have > maxBytes) return tooLarge(have);
      contents->resize(std::min(have + 4096, maxBytes + 1));
    }
    const ssize_t n = ::read(fd, contents->data() + have, contents->size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = Errno(errno);
      contents->clear();
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  ::close(fd);
  if (have > maxBytes) return tooLarge(have);
  contents->resize(have);
  return true;
}
