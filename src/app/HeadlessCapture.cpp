#include "app/HeadlessCapture.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "app/PictureFolder.h"
#include "core/PictureSaver.h"
#include "imaging/JpegFile.h"
#include "protocol/CameraHost.h"
#include "protocol/CameraProtocol.h"

namespace {

// Prints the activity log and remembers what the capture waits for.
class CHeadlessCaptureHost : public CameraHost {
 public:
  int ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                  MsgButtons) override {
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    // A warning (the picture file cannot be created, the line failed) ends the wait; the
    // decoder's own complaints do not stop the capture.
    if ((icon == MsgIcon::Warning || icon == MsgIcon::Error) && caption.rfind("JPEG", 0) != 0) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_bFailed = true;
      m_cv.notify_all();
    }
    return IDOK;
  }
  void ShowStatusLine(const std::string& line) override {
    // Per-block progress lines ("(hh:mm:ss) 51%,512,1000") would drown the rest.
    const size_t p = line.find(") ");
    const bool progress = p != std::string::npos && line.find("%,", p) != std::string::npos;
    if (!progress) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (p != std::string::npos && line.compare(p + 2, 5, "Time:") == 0) m_bTimed = true;
    m_cv.notify_all();
  }
  void SetVersionText(const std::string& text) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_version = text;
    m_cv.notify_all();
  }
  PictureResult ShowPicture(const std::string& path, int frameWidth, int frameHeight) override {
    PictureResult result;
    result.ok = DecodePictureFile(path, frameWidth, frameHeight, this, result.width, result.height);
    return result;
  }
  void LineFailed(const std::string& reason) override {
    std::fprintf(stderr, "Line failed: %s\n", reason.c_str());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bFailed = true;
    m_cv.notify_all();
  }

  bool WaitForVersion(std::chrono::seconds limit, std::string& version) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, limit, [this] { return !m_version.empty() || m_bFailed; });
    version = m_version;
    return !m_version.empty();
  }
  bool WaitForTimingLine(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, limit, [this] { return m_bTimed || m_bFailed; });
    return m_bTimed;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::string m_version;
  bool m_bTimed = false;
  bool m_bFailed = false;
};

}  // namespace

int RunHeadlessCapture() {
  constexpr int kPort = 1;
  constexpr unsigned kBaud = 38400;
  CHeadlessCaptureHost host;
  CCameraProtocol camera(&host);
  camera.StartSender();
  const std::string folder = DefaultPictureFolder();
  SessionSettings settings = camera.Settings();
  settings.savePath = folder;
  camera.ApplySettings(settings);

  if (!camera.OpenPort(kPort, kBaud)) {
    std::fprintf(stderr, "Cannot open COM%d: %s\n", kPort, camera.LastOpenError().c_str());
    return 1;
  }
  camera.Issue({.code = CMD_GET_VERSION});
  std::string version;
  if (!host.WaitForVersion(std::chrono::seconds(10), version)) {
    std::fprintf(stderr, "The camera did not answer the version request.\n");
    return 1;
  }
  camera.SingleCapture();
  // Generous: a 4K picture at 38400 baud takes minutes.
  if (!host.WaitForTimingLine(std::chrono::seconds(900))) {
    std::fprintf(stderr, "The capture did not finish.\n");
    return 1;
  }
  const SessionView view = camera.State();
  const std::string& source = view.lastImageFile;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const SaveOutcome saved = SavePicture(source, folder, view.lastImageYuv, local);
  if (saved.kind != SaveOutcome::Saved) {
    std::fprintf(stderr, "Could not save the picture %s: %s\n", source.c_str(),
                 saved.error.empty() ? "no picture was received" : saved.error.c_str());
    return 1;
  }
  std::printf("Picture saved: %s\n", saved.target.c_str());
  return 0;
}
