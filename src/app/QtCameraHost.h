#pragma once
// The window's side of CameraHost. The engine calls it from its worker, sender and
// monitor threads; every call reaches the widgets on the GUI thread, in order, and never
// makes the caller wait for the GUI. Calls whose only effect is "show the newest value"
// (status line, progress) are coalesced, so a fast transfer posts a handful of events,
// not one per block.
#include <QObject>
#include <QPointer>
#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/CameraHost.h"

class CMainDlg;
class CTrafficView;

class CQtCameraHost : public QObject, public CameraHost {
 public:
  CQtCameraHost(CMainDlg* dlg, CTrafficView* traffic);

  static constexpr size_t kRecentLines = 256;
  // GUI thread, once the port is closed: what the engine posted for that opening (a reply
  // handled while Close joined the worker) is dropped when it comes.
  void PortClosed() { ++m_opening; }
  // Any thread: while Focus Assist shows, each picture's MTF50 is measured too (on the
  // worker, which has the picture at hand); otherwise only the cheap figures.
  void MeasureEdges(bool on) { m_bMeasureEdges = on; }
  std::vector<std::string> RecentStatusLines() const;

  // MessageSink
  int ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                  MsgButtons buttons) override;
  // CameraHost
  void ShowStatusLine(const std::string& line) override;
  void TraceBytes(bool transmit, const uint8_t* bytes, size_t count) override;
  void ClearTraffic() override;
  void SetProgressRange(uint32_t maximum) override;
  void SetProgressPos(uint32_t pos) override;
  void ShowPicture(const DecodedPicture& picture) override;
  void CaptureStateChanged(const SessionView& state) override;
  void TransferStalled(bool stalled) override;
  void CommandFinished(const CommandResult& result) override;
  void CameraEventArrived(const CameraEvent& event) override;
  void LineFailed(const std::string& reason) override;

 private:
  template <typename F>
  void Post(F&& call);
  // Post, unless the port has been closed since.
  template <typename F>
  void PostForOpening(F&& call);
  bool OnGuiThread() const;
  void FlushStatusLine();
  void FlushProgress();

  CMainDlg* m_pDlg;  // outlives the engine, so every caller
  CTrafficView* m_pTraffic;  // its model takes bytes from any thread

  std::atomic<unsigned> m_opening{0};  // bumped by every Close
  std::atomic<bool> m_bMeasureEdges{false};
  mutable std::mutex m_mutex;  // guards the members below
  std::string m_latestLine;
  bool m_bLinePosted = false;
  std::deque<std::string> m_recent;
  uint32_t m_progressMax = 0;
  uint32_t m_progressPos = 0;
  bool m_bProgressPosted = false;
};
