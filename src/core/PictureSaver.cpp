#include "core/PictureSaver.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string WithTrailingSlash(const std::string& folder) {
  if (folder.empty() || folder.back() == '/') return folder;
  return folder + "/";
}

std::string SavedPictureName(const std::string& folder, bool yuv, const std::tm& when,
                             int attempt) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "_%04d%02d%02d_%02d%02d%02d", when.tm_year + 1900,
                when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
  std::string name = WithTrailingSlash(folder) + (yuv ? "yuv" : "jpeg") + stamp;
  if (attempt >= 2) name += "_" + std::to_string(attempt);
  return name + (yuv ? ".yuv" : ".jpg");
}

namespace {

enum class Step { Done, Exists, Unsupported, Failed };

Step RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return Step::Done;
  if (errno == EEXIST) return Step::Exists;
  // EXDEV: another file system, which only a copy crosses.
  if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP || errno == EXDEV)
    return Step::Unsupported;
  return Step::Failed;
}

// For file systems without RENAME_NOREPLACE: a hard link refuses an existing name too.
Step LinkThenUnlink(const std::string& from, const std::string& to) {
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return Step::Done;
  }
  if (errno == EEXIST) return Step::Exists;
  if (errno == EPERM || errno == ENOTSUP || errno == ENOSYS || errno == EXDEV)
    return Step::Unsupported;
  return Step::Failed;
}

// Last resort: an exclusive create and a copy; the temporary file goes only once the
// copy is whole, and no partial copy is left behind.
Step CopyExclusive(const std::string& from, const std::string& to) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Step::Failed;
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) {
    const int e = errno;
    close(in);
    errno = e;
    return e == EEXIST ? Step::Exists : Step::Failed;
  }
  bool ok = true;
  char buffer[65536];
  while (ok) {
    const ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      const ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      ok = w > 0;
      if (ok) done += w;
    }
  }
  const int savedErrno = errno;
  close(in);
  if (close(out) != 0) ok = false;
  if (!ok) {
    unlink(to.c_str());
    errno = savedErrno;
    return Step::Failed;
  }
  unlink(from.c_str());
  return Step::Done;
}

}  // namespace

SaveOutcome SavePicture(const std::string& from, const std::string& folder, bool yuv,
                        const std::tm& when) {
  SaveOutcome outcome;
  if (from.empty()) return outcome;
  outcome.kind = SaveOutcome::Failed;
  int method = 0;  // 0 rename, 1 link, 2 copy: once a method is unsupported, the next one
  for (int attempt = 1; attempt <= 100000;) {
    outcome.target = SavedPictureName(folder, yuv, when, attempt);
    const Step step = method == 0   ? RenameNoReplace(from, outcome.target)
                      : method == 1 ? LinkThenUnlink(from, outcome.target)
                                    : CopyExclusive(from, outcome.target);
    if (step == Step::Done) {
      outcome.kind = SaveOutcome::Saved;
      return outcome;
    }
    if (step == Step::Exists) {
      ++attempt;
    } else if (step == Step::Unsupported && method < 2) {
      ++method;
    } else {
      outcome.error = std::strerror(errno);
      return outcome;
    }
  }
  outcome.error = "no free name";
  return outcome;
}
