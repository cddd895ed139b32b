#include "CliTempFiles.h"

#include <unistd.h>

#include <mutex>
#include <set>

namespace cli {

namespace {

std::mutex g_tempMutex;
std::multiset<std::string>& Registered() {
  static std::multiset<std::string> paths;
  return paths;
}

std::string InFolder(const std::string& folder, const char* name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

CTemporaryFile::CTemporaryFile(std::string path) : m_path(std::move(path)) {
  std::lock_guard<std::mutex> lock(g_tempMutex);
  Registered().insert(m_path);
}

CTemporaryFile::~CTemporaryFile() {
  std::lock_guard<std::mutex> lock(g_tempMutex);
  auto& paths = Registered();
  if (auto it = paths.find(m_path); it != paths.end()) paths.erase(it);
}

CPictureFolder::CPictureFolder(const std::string& folder)
    : m_jpeg(InFolder(folder, "jpeg.tmp")), m_yuv(InFolder(folder, "yuv.tmp")) {}

void RemoveTemporaryFiles() {
  std::lock_guard<std::mutex> lock(g_tempMutex);
  for (const std::string& path : Registered()) ::unlink(path.c_str());
}

}  // namespace cli
