#include "SavedPicture.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cli {

PictureKind KindOfTemporaryFile(const std::string& path) {
  const std::string yuv = "yuv.tmp";
  if (path.size() >= yuv.size() && path.compare(path.size() - yuv.size(), yuv.size(), yuv) == 0)
    return {"yuv", "yuv"};
  return {"jpeg", "jpg"};
}

std::string SavedPictureName(const std::string& folder, const PictureKind& kind, const std::tm& when,
                             int attempt) {
  std::string dir = folder;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "_%04d%02d%02d_%02d%02d%02d", when.tm_year + 1900,
                when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
  std::string name = dir + kind.prefix + stamp;
  if (attempt >= 2) name += "_" + std::to_string(attempt);
  return name + "." + kind.extension;
}

namespace {

enum class Outcome { Done, Exists, Unsupported, Failed };

Outcome RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return Outcome::Done;
  if (errno == EEXIST) return Outcome::Exists;
  if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) return Outcome::Unsupported;
  return Outcome::Failed;
}

// For file systems without RENAME_NOREPLACE: a hard link refuses an existing name too.
Outcome LinkThenUnlink(const std::string& from, const std::string& to) {
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return Outcome::Done;
  }
  if (errno == EEXIST) return Outcome::Exists;
  if (errno == EPERM || errno == ENOTSUP || errno == ENOSYS) return Outcome::Unsupported;
  return Outcome::Failed;
}

// Last resort: an exclusive create and a copy.
Outcome CopyExclusive(const std::string& from, const std::string& to) {
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) return errno == EEXIST ? Outcome::Exists : Outcome::Failed;
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = in >= 0;
  char buffer[65536];
  while (ok) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      ok = w > 0;
      if (ok) done += w;
    }
  }
  int savedErrno = errno;
  if (in >= 0) close(in);
  if (close(out) != 0) ok = false;
  if (!ok) {
    unlink(to.c_str());
    errno = savedErrno;
    return Outcome::Failed;
  }
  unlink(from.c_str());
  return Outcome::Done;
}

}  // namespace

std::string SavePictureNoReplace(const std::string& from, const std::string& folder,
                                 const std::tm& when, std::string& error) {
  PictureKind kind = KindOfTemporaryFile(from);
  int method = 0;  // 0 rename, 1 link, 2 copy: once a method is unsupported, the next one
  for (int attempt = 1; attempt <= 100000;) {
    std::string to = SavedPictureName(folder, kind, when, attempt);
    Outcome outcome = method == 0   ? RenameNoReplace(from, to)
                      : method == 1 ? LinkThenUnlink(from, to)
                                    : CopyExclusive(from, to);
    switch (outcome) {
      case Outcome::Done:
        return to;
      case Outcome::Exists:
        ++attempt;
        break;
      case Outcome::Unsupported:
        if (method == 2) {
          error = "cannot save " + from + " as " + to + ": " + std::strerror(errno);
          return "";
        }
        ++method;
        break;
      case Outcome::Failed:
        error = "cannot save " + from + " as " + to + ": " + std::strerror(errno);
        return "";
    }
  }
  error = "cannot save " + from + ": no free name";
  return "";
}

}  // namespace cli
