#include "app/SavePicture.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string ErrorText(int error) { return std::strerror(error); }

// Copies source to a new file target (never overwriting); false with errno on failure,
// and no partial target is left behind.
bool CopyNew(const std::string& source, const std::string& target) {
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) {
    const int e = errno;
    ::close(in);
    errno = e;
    return false;
  }
  std::vector<char> buffer(1 << 16);
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  const int e = errno;
  if (::close(out) != 0) ok = false;
  ::close(in);
  if (!ok) {
    ::unlink(target.c_str());
    errno = e;
  }
  return ok;
}

}  // namespace

std::string BuildSaveName(const std::string& folder, bool yuv, const std::tm& now) {
  char name[64];
  std::snprintf(name, sizeof name, "%s_%04d%02d%02d_%02d%02d%02d.%s", yuv ? "yuv" : "jpeg",
                now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min,
                now.tm_sec, yuv ? "yuv" : "jpg");
  return folder + name;
}

bool IsYuvTemporaryFile(const std::string& path) {
  const std::string name = "yuv.tmp";
  return path.size() >= name.size() &&
         path.compare(path.size() - name.size(), name.size(), name) == 0;
}

std::string DefaultPictureFolder() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = QDir::homePath();
  if (!QFileInfo(folder).isDir()) folder = QDir::currentPath();
  return WithTrailingSlash(QDir::fromNativeSeparators(folder).toStdString());
}

std::string WithTrailingSlash(const std::string& folder) {
  if (folder.empty() || folder.back() == '/') return folder;
  return folder + "/";
}

SaveOutcome MovePictureFile(const std::string& source, const std::string& target) {
  SaveOutcome outcome;
  if (source.empty() || !Exists(source)) return outcome;
  outcome.target = target;
  outcome.kind = SaveOutcome::Failed;
  // rename() would silently replace a picture saved earlier in the same second.
  if (Exists(target)) {
    outcome.error = "A file with this name already exists.";
    return outcome;
  }
  if (::rename(source.c_str(), target.c_str()) == 0) {
    outcome.kind = SaveOutcome::Saved;
    return outcome;
  }
  if (errno != EXDEV) {
    outcome.error = ErrorText(errno);
    return outcome;
  }
  // Another file system: copy, then remove the temporary file only once the copy is whole.
  if (!CopyNew(source, target)) {
    outcome.error = ErrorText(errno);
    return outcome;
  }
  ::unlink(source.c_str());
  outcome.kind = SaveOutcome::Saved;
  return outcome;
}
