#pragma once
// Saving a finished temporary picture under the window's timestamped name, without ever
// replacing a file that is already there.
#include <ctime>
#include <string>

namespace cli {

// Prefix and extension follow the temporary file's own kind ("yuv.tmp" holds an NV12
// frame, anything else a JPEG), so a stored JPEG read while the session is set to NV12 is
// still saved as .jpg.
struct PictureKind {
  std::string prefix;     // "jpeg" or "yuv"
  std::string extension;  // "jpg" or "yuv"
};
PictureKind KindOfTemporaryFile(const std::string& path);

// "%s%s_%04d%02d%02d_%02d%02d%02d.%s"; attempt n >= 2 adds "_n" before the extension.
std::string SavedPictureName(const std::string& folder, const PictureKind& kind, const std::tm& when,
                             int attempt);

// Moves `from` to the first free name of the sequence above. Returns the new path, or ""
// with `error` set; the temporary file is left in place on failure.
std::string SavePictureNoReplace(const std::string& from, const std::string& folder,
                                 const std::tm& when, std::string& error);

}  // namespace cli
