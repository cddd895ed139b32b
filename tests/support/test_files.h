#pragma once
// Files and folders for tests, header-only so that the rooms built without the engine (serial,
// imaging) use the same ones: every test makes its temporary folder and reads a file back
// through these.
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace testsupport {

// The whole file (empty when it cannot be read), as bytes or as text.
inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
// Replaces the file with bytes; false when it could not be written whole.
inline bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

// A fresh empty folder under the system's temporary folder (or under `base`), removed with its
// contents when it goes out of scope (Path() is empty when none could be made).
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "brevant-test", const std::string& base = {}) {
    const std::filesystem::path under =
        base.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(base);
    std::string pattern = (under / (prefix + "-XXXXXX")).string();
    if (char* made = mkdtemp(pattern.data())) m_path = made;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return m_path; }
  // The folder with a trailing '/', as the engine's picture path wants it.
  std::string Slash() const { return m_path + "/"; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

}  // namespace testsupport
