#include "app/QtCameraHost.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include "app/MainDlg.h"
#include "controls/TrafficView.h"
#include "controls/GuiPost.h"
#include "controls/UiMessageBox.h"

#include "controls/ImageStatic.h"
#include "imaging/PictureFigures.h"

CQtCameraHost::CQtCameraHost(CMainDlg* dlg, CTrafficView* traffic)
    : m_pDlg(dlg), m_pTraffic(traffic) {}

template <typename F>
void CQtCameraHost::Post(F&& call) {
  // Queued on the window: kept in order, dropped if the window is gone.
  PostToGui(m_pDlg, std::forward<F>(call));
}

template <typename F>
void CQtCameraHost::PostForOpening(F&& call) {
  Post([this, opening = m_opening.load(), call = std::forward<F>(call)]() mutable {
    if (opening == m_opening.load()) call();
  });
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

// Straight into the view's model on the calling thread (a copy under a short lock); the view
// forms only the lines it paints.
void CQtCameraHost::TraceBytes(bool transmit, const uint8_t* bytes, size_t count) {
  m_pTraffic->Model().Append(transmit, bytes, count);
}

void CQtCameraHost::ClearTraffic() { m_pTraffic->Clear(); }

// Results and events travel whole, with their own values: by the time the GUI thread gets
// there, the engine's records may hold a later reply's.
void CQtCameraHost::CommandFinished(const CommandResult& result) {
  PostForOpening([this, result] { m_pDlg->OnCommandFinished(result); });
}

void CQtCameraHost::CameraEventArrived(const CameraEvent& event) {
  PostForOpening([this, event] { m_pDlg->OnCameraEvent(event); });
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

void CQtCameraHost::ShowPicture(const DecodedPicture& picture) {
  CImageStatic* view = m_pDlg->Picture();
  // The view's sink keeps a noisy line's boxes to one at a time.
  if (MessageSink* boxes = view->Boxes())
    for (const PictureBox& box : picture.boxes)
      boxes->ShowMessage(box.text, box.caption, box.icon, MsgButtons::Ok);
  if (!picture.result.bitmap) return;  // the view keeps the picture it has
  view->ShowBitmap(picture.result.bitmap);
  // Measured here, on the worker, where the bitmap is at hand (about two milliseconds for a
  // 4K picture), so the focus assist has the latest figures when it is opened; the edges'
  // MTF50 only while it shows.
  MeasureOptions options;
  options.mtf = m_bMeasureEdges;
  if (options.mtf) options.edgeRegion = m_pDlg->EdgeRegion();  // the operator's rectangle, if any
  Post([this, figures = MeasurePicture(*picture.result.bitmap, options)] {
    m_pDlg->ShowPictureFigures(figures);
  });
}

// The snapshot travels whole: by the time the GUI thread gets there, the engine may have
// moved on, and each step is shown in order.
void CQtCameraHost::CaptureStateChanged(const SessionView& state) {
  PostForOpening([this, state] { m_pDlg->CaptureStateChanged(state); });
}

void CQtCameraHost::TransferStalled(bool stalled) {
  PostForOpening([this, stalled] { m_pDlg->ShowTransferStalled(stalled); });
}

// The window closes the port on its own thread (not on the monitor, which is reporting).
void CQtCameraHost::LineFailed(const std::string& reason) {
  PostForOpening([this, reason] { m_pDlg->CloseAfterLineFailure(reason); });
}
