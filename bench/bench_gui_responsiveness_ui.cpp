// How the main window holds up while a 4K NV12 frame (12,441,600 bytes, 37 MB of hex in
// the traffic trace) streams in from the virtual camera with no line pacing.
//
//   stall  = the longest gap between ticks of a 5 ms timer on the GUI thread (wall time)
//   anchor = the same timer's longest gap with the window idle, measured in this run
//   busy   = the longest single event the GUI thread handled, in CPU time of that thread:
//            the window's own work, without the time a loaded machine kept it waiting
//   traffic kept = characters the traffic view holds afterwards (cap: 512 KiB of text)
//
// Rows: the picture area shown (the usual case) and the traffic view shown (every flush
// goes into the text view). Target: stall under 50 ms, traffic memory bounded.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "app/MainDlg.h"
#include "app/TrafficLog.h"
#include "controls/ControlName.h"
#include "controls/UiMessageBox.h"
#include "camsim/CamSim.h"
#include "protocol/CameraProtocol.h"
#include "serial/PortMap.h"

namespace {

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Records the longest top-level event delivery on the GUI thread, in thread CPU time.
class CTimingApp : public QApplication {
 public:
  using QApplication::QApplication;
  double m_longestMs = 0;
  bool notify(QObject* receiver, QEvent* event) override {
    if (m_nDepth++ > 0) {
      const bool r = QApplication::notify(receiver, event);
      --m_nDepth;
      return r;
    }
    const double start = ThreadCpuMs();
    const bool r = QApplication::notify(receiver, event);
    --m_nDepth;
    m_longestMs = std::max(m_longestMs, ThreadCpuMs() - start);
    return r;
  }

 private:
  int m_nDepth = 0;
};

long RssKb() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    long value = 0;
    if (key == "VmRSS:" && status >> value) return value;
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

// Runs the event loop until done() or the limit, and reports the longest timer gap.
template <typename Done>
double LongestGapMs(Done done, int limitMs) {
  QElapsedTimer clock;
  clock.start();
  qint64 last = clock.nsecsElapsed();
  double worst = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    worst = std::max(worst, (now - last) / 1e6);
    last = now;
  });
  tick.start(5);
  while (!done() && clock.elapsed() < limitMs)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  // The last event before done() may have been the long one.
  return std::max(worst, (clock.nsecsElapsed() - last) / 1e6);
}

bool HasLine(CMainDlg& dlg, const std::string& text) {
  for (const std::string& line : dlg.RecentStatusLines())
    if (line.find(text) != std::string::npos) return true;
  return false;
}

struct Row {
  double stallMs = 0;
  double busyMs = 0;
  double seconds = 0;
  qsizetype trafficChars = 0;
  int viewChars = 0;
  long rssGrowthKb = 0;
  bool ok = false;
};

Row Measure(CTimingApp& app, bool showTraffic) {
  CamSimOptions options;
  options.model = "QVX8M0 2.00";
  CCamSim sim(options);
  Row row;
  if (!sim.Start()) return row;
  sim.SetImageSizeIndex(14);  // 3840X2160
  GlobalPortMap().AddOverride(1, sim.SlavePath());

  CMainDlg dlg;
  dlg.SetSavePath(QDir::tempPath());
  dlg.show();
  auto button = [&](int id) { return FindControl<QPushButton>(&dlg, id); };
  button(IDC_OPEN)->click();
  auto* version = dlg.findChild<QLineEdit*>("id1011");
  LongestGapMs([&] { return !version->text().isEmpty() && !dlg.AwaitingReplies(); },
               20000);
  auto* type = dlg.findChild<QComboBox*>("id1053");
  type->setCurrentIndex(type->findText("YUV(NV12)"));
  if (showTraffic) button(IDC_COMMAND_MODE)->click();

  const long rssBefore = RssKb();
  app.m_longestMs = 0;
  QElapsedTimer clock;
  clock.start();
  button(IDC_SINGLE_CAPTURE)->click();
  row.stallMs = LongestGapMs(
      [&] { return HasLine(dlg, ") Time:") && dlg.Camera()->State().captureMode == 0; }, 300000);
  row.seconds = clock.elapsed() / 1000.0;
  row.ok = HasLine(dlg, "Image Size:3840X2160");
  // The last flushes and the first paint of the new picture belong to the transfer too.
  row.stallMs = std::max(row.stallMs, LongestGapMs([] { return false; }, 1000));
  row.busyMs = app.m_longestMs;
  row.trafficChars = dlg.Traffic()->Text().size();
  row.viewChars = dlg.findChild<QPlainTextEdit*>("id1006")->document()->characterCount();
  row.rssGrowthKb = RssKb() - rssBefore;
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  CTimingApp app(argc, argv);
  SetMessageBoxHook([](const BoxRecord& box) {
    std::fprintf(stderr, "box: [%s] %s\n", box.caption.c_str(), box.text.c_str());
    return IDOK;
  });

  // Anchor: the idle window's own timer jitter over a similar stretch.
  double anchor = 0;
  {
    CMainDlg idle;
    idle.show();
    LongestGapMs([] { return false; }, 500);  // the first paint sets up fonts and styles
    anchor = LongestGapMs([] { return false; }, 3000);
  }

  std::printf("GUI responsiveness: 4K NV12 frame (12,441,600 bytes) unpaced, \"Read all once\"\n");
  std::printf("anchor (idle window, longest 5 ms timer gap): %.1f ms\n\n", anchor);
  std::printf("%-20s %9s %8s %8s %8s %12s %11s %9s\n", "view", "stall ms", "x anchor",
              "busy ms", "seconds", "traffic kept", "view chars", "RSS +KB");
  for (bool showTraffic : {false, true}) {
    const Row r = Measure(app, showTraffic);
    std::printf("%-20s %9.1f %8.1f %8.1f %8.2f %12lld %11d %9ld%s\n",
                showTraffic ? "traffic view shown" : "picture shown", r.stallMs,
                anchor > 0 ? r.stallMs / anchor : 0.0, r.busyMs, r.seconds,
                static_cast<long long>(r.trafficChars), r.viewChars, r.rssGrowthKb,
                r.ok ? "" : "  (capture did not finish)");
  }
  std::printf("\ntarget: stall < 50 ms; traffic kept <= %d characters (+ display line breaks)\n",
              CTrafficLog::kTrafficCapChars);
  return 0;
}
