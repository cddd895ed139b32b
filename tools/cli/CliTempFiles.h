#pragma once
// The files this process may leave half-written: a picture under way (jpeg.tmp, yuv.tmp in
// each folder a session saves to) and a report before its rename. A second Ctrl+C ends the
// process without waiting for the run to finish; it removes them first.
#include <string>

namespace cli {

// Registers path until the guard goes; one path may be registered more than once.
class CTemporaryFile {
 public:
  explicit CTemporaryFile(std::string path);
  ~CTemporaryFile();
  CTemporaryFile(const CTemporaryFile&) = delete;
  CTemporaryFile& operator=(const CTemporaryFile&) = delete;

 private:
  std::string m_path;
};

// The temporary pictures a session saving to folder writes, registered while it lives.
class CPictureFolder {
 public:
  explicit CPictureFolder(const std::string& folder);

 private:
  CTemporaryFile m_jpeg, m_yuv;
};

// Deletes every registered file there is; for the abrupt exit, from any thread.
void RemoveTemporaryFiles();

}  // namespace cli
