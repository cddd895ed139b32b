#include "app/QtCameraHost.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QMetaObject>
#include <QThread>

#include "app/MainDlg.h"
#include "controls/TrafficView.h"
#include "controls/UiMessageBox.h"
#include "protocol/CommandCodes.h"

#include "controls/ImageStatic.h"

CQtCameraHost::CQtCameraHost(CMainDlg* dlg, CTrafficView* traffic)
    : m_pDlg(dlg), m_pTraffic(traffic) {}

template <typename F>
void CQtCameraHost::Post(F&& call) {
  // Queued on the window: kept in order, dropped if the window is gone.
  QMetaObject::invokeMethod(m_pDlg, std::forward<F>(call), Qt::QueuedConnection);
}

bool CQtCameraHost::OnGuiThread() const { return QThread::currentThread() == m_pDlg->thread(); }

std::vector<std::string> CQtCameraHost::RecentStatusLines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return {m_recent.begin(), m_recent.end()};
}

int CQtCameraHost::ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                               MsgButtons buttons) {
  return ShowMessageBox(m_pDlg, text, caption, icon, buttons);
}

void CQtCameraHost::ShowStatusLine(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_latestLine = line;
    m_recent.push_back(line);
    if (m_recent.size() > kRecentLines) m_recent.pop_front();
    if (!OnGuiThread()) {
      if (m_bLinePosted) return;
      m_bLinePosted = true;
      Post([this] { FlushStatusLine(); });
      return;
    }
  }
  // The line shown is always the newest, so showing it now cannot be undone by an older
  // line still queued.
  FlushStatusLine();
}

void CQtCameraHost::FlushStatusLine() {
  std::string line;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    line = m_latestLine;
    m_bLinePosted = false;
  }
  m_pDlg->ShowStatusLine(QString::fromStdString(line));
}

// The view keeps the traffic as bytes (TraceBytes) and forms the same text itself.
void CQtCameraHost::AppendTraffic(const std::string&) {}

void CQtCameraHost::TraceBytes(bool transmit, const uint8_t* bytes, size_t count) {
  m_pTraffic->Model().Append(transmit, bytes, count);
}

void CQtCameraHost::ClearTraffic() { m_pTraffic->Clear(); }

void CQtCameraHost::SetVersionText(const std::string& text) {
  Post([this, t = QString::fromStdString(text)] { m_pDlg->m_pVersion->setText(t); });
}

// The window learns only whether the camera answered "Open"'s version query.
// The window acts on the result itself: the version answered (no hint needed), and the
// image-parameter values of this very reply (a later reply cannot overwrite them first).
void CQtCameraHost::CommandFinished(const CommandResult& result) {
  const bool answered = result.outcome == Outcome::Done || result.outcome == Outcome::Refused;
  if (result.code == CMD_GET_VERSION && answered) Post([this] { m_pDlg->OnVersionAnswered(); });
  if (const ImageParams* values = result.Data<ImageParams>())
    Post([this, p = *values] { m_pDlg->ImageParamsUpdated(p); });
}

void CQtCameraHost::ApplySettingsReadBack(const SettingsReadBack& values) {
  Post([this, values] { m_pDlg->ApplySettingsReadBack(values); });
}

void CQtCameraHost::SetDetectRadio(int w) {
  Post([this, w] { m_pDlg->SetDetectRadio(w); });
}

void CQtCameraHost::SetProgressRange(uint32_t maximum) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_progressMax = maximum;
  }
  FlushProgress();
}

void CQtCameraHost::SetProgressPos(uint32_t pos) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_progressPos = pos;
  }
  FlushProgress();
}

void CQtCameraHost::FlushProgress() {
  uint32_t maximum = 0, pos = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!OnGuiThread()) {
      if (m_bProgressPosted) return;
      m_bProgressPosted = true;
      Post([this] { FlushProgress(); });
      return;
    }
    m_bProgressPosted = false;
    maximum = m_progressMax;
    pos = m_progressPos;
  }
  m_pDlg->SetProgress(maximum, pos);
}

PictureResult CQtCameraHost::ShowPicture(const std::string& path, int frameWidth,
                                         int frameHeight) {
  PictureResult result;
  CImageStatic* view = m_pDlg->Picture();
  view->m_nFrameWidth = frameWidth;
  view->m_nFrameHeight = frameHeight;
  // The view decodes on this (worker) thread and schedules its own repaint.
  result.ok = view->ShowImageFile(path) != 0;
  if (result.ok) {
    if (const std::shared_ptr<const CDib> dib = view->CurrentDib()) {
      result.width = dib->GetWidth();
      result.height = dib->GetHeight();
    }
  }
  return result;
}

void CQtCameraHost::CaptureStateChanged() {
  Post([this] { m_pDlg->CaptureStateChanged(); });
}

void CQtCameraHost::SetReadButton(bool enabled, const std::string& caption) {
  Post([this, enabled, c = QString::fromStdString(caption)] { m_pDlg->SetReadButton(enabled, c); });
}

void CQtCameraHost::TransferStalled(bool stalled) {
  Post([this, stalled] { m_pDlg->ShowTransferStalled(stalled); });
}

void CQtCameraHost::ShowStopNotice(bool show) {
  Post([this, show] { m_pDlg->ShowStopNotice(show); });
}

void CQtCameraHost::SetMultiCaptureReadButton(bool enabled, const std::string& caption) {
  Post([this, enabled, c = QString::fromStdString(caption)] {
    m_pDlg->SetMultiCaptureReadButton(enabled, c);
  });
}

void CQtCameraHost::SetMultiCaptureTestButton(bool enabled) {
  Post([this, enabled] { m_pDlg->SetMultiCaptureTestButton(enabled); });
}

void CQtCameraHost::OpenAutoCaptureFinish(int count) {
  Post([this, count] { m_pDlg->OpenAutoCaptureFinish(count); });
}

// The window closes the port on its own thread (not on the monitor, which is reporting).
void CQtCameraHost::LineFailed(const std::string& reason) {
  Post([this, reason] { m_pDlg->CloseAfterLineFailure(reason); });
}
