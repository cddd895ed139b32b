// How the main window holds up while a 4K NV12 frame (12,441,600 bytes, 37 MB of hex in
// the traffic trace) streams in from the virtual camera with no line pacing.
//
//   stall  = the longest gap between ticks of a 5 ms timer on the GUI thread (wall time)
//   anchor = the same timer's longest gap with the window idle, measured in this run
//   busy   = the longest single event the GUI thread handled, in CPU time of that thread:
//            the window's own work, without the time a loaded machine kept it waiting
//   traffic kept = bytes of traffic the trace holds afterwards (the whole transfer fits the
//                  default 16 MiB ring)
//
// Rows: the picture area shown (the usual case), the traffic view shown (it follows the
// newest line while the frame streams in) and the traffic view with its decoded column.
// Each row is the median of five captures (by stall). Target: stall with the traffic view
// shown, decoded column or not, at most 2x the anchor.
//
// Then, with no camera: the trace's memory for the same 12 MB of traffic (RSS growth per
// byte kept), saving a full 16 MiB trace (against writing a file of the same size), and
// jumping about a trace of a million lines (against Qt's text view painting one screen).
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QScrollBar>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <utility>
#include <vector>
#include <string>

#include "app/MainDlg.h"
#include "controls/TrafficView.h"
#include "controls/ControlName.h"
#include "controls/UiMessageBox.h"
#include "camsim/CamSim.h"
#include "protocol/CameraProtocol.h"
#include "serial/PortMap.h"
#include "test_files.h"
#include "BenchGuiStall.h"

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

// CPU time of the process's threads by name (summed over threads of the same name). A
// thread's CPU clock is named by its id the way the kernel numbers per-thread clocks.
std::map<std::string, double> ThreadCpuByName() {
  std::map<std::string, double> cpu;
  const QStringList tasks = QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  for (const QString& tid : tasks) {
    std::ifstream comm(("/proc/self/task/" + tid + "/comm").toStdString());
    std::string name;
    std::getline(comm, name);
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid.toInt()) << 3) | 6);
    timespec t{};
    if (!name.empty() && clock_gettime(clock, &t) == 0) cpu[name] += t.tv_sec * 1e3 + t.tv_nsec / 1e6;
  }
  return cpu;
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
  size_t trafficBytes = 0;
  uint64_t trafficLines = 0;
  long rssGrowthKb = 0;
  double monitorCpuMs = 0;  // the serial monitor thread, for the whole capture
  bool ok = false;
};

enum class View { Picture, Traffic, Decoded };

Row Measure(CTimingApp& app, View view) {
  const bool showTraffic = view != View::Picture;
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
  if (view == View::Decoded) {
    TraceFormat format = dlg.Traffic()->Format();
    format.decoded = true;
    dlg.Traffic()->SetFormat(format);
  }

  const long rssBefore = RssKb();
  const double monitorBefore = ThreadCpuByName()["serial monitor"];
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
  row.monitorCpuMs = ThreadCpuByName()["serial monitor"] - monitorBefore;
  const TraceExtent kept = dlg.Traffic()->Model().Extent();
  row.trafficBytes = kept.bytes;
  row.trafficLines = kept.end - kept.first;
  row.rssGrowthKb = RssKb() - rssBefore;
  return row;
}


// Fills a trace the way a capture does: a request, then its reply in 8 KiB chunks.
void FillTrace(CTraceModel& model, size_t replyBytes, size_t total) {
  std::vector<uint8_t> chunk(8192);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 7);
  const uint8_t request[] = {0x56, 0x00, 0x32, 0x0C, 0x00, 0x0A, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x0A};
  for (size_t done = 0; done < total;) {
    model.Append(true, request, sizeof request);
    done += sizeof request;
    for (size_t left = replyBytes; left > 0 && done < total;) {
      const size_t n = std::min({left, chunk.size(), total - done});
      model.Append(false, chunk.data(), n);
      left -= n;
      done += n;
    }
  }
}

double MsSince(const QElapsedTimer& t) { return t.nsecsElapsed() / 1e6; }

// Measured first, before any window has freed memory the trace could reuse.
void TraceMemory(long& grownKb, size_t& kept) {
  const long before = RssKb();
  static CTraceModel model;  // kept until the figures are printed
  FillTrace(model, 12441600, 12441600 + 16);
  grownKb = RssKb() - before;
  kept = model.Extent().bytes;
}

// A 4K NV12 picture read in 8 KiB blocks, each between its markers, in 8 KiB reads.
void FillBlocks(CTraceModel& model) {
  constexpr uint32_t kBlock = 8192, kPicture = 12441600;
  std::vector<uint8_t> reply{0x76, 0x00, 0x32, 0x00, 0x00};
  for (uint32_t i = 0; i < kBlock; ++i) reply.push_back(static_cast<uint8_t>(i * 7));
  reply.insert(reply.end(), {0x76, 0x00, 0x32, 0x00, 0x00});
  for (uint32_t offset = 0; offset < kPicture; offset += kBlock) {
    uint8_t request[] = {0x56, 0x00, 0x32, 0x0C, 0x00, 0x0A, 0, 0,
                         0,    0,    0x00, 0x00, 0x20, 0x00, 0x00, 0x0A};
    for (int b = 0; b < 4; ++b) request[6 + b] = static_cast<uint8_t>(offset >> (24 - 8 * b));
    model.Append(true, request, sizeof request);
    for (size_t at = 0; at < reply.size(); at += kBlock)
      model.Append(false, reply.data() + at, std::min<size_t>(kBlock, reply.size() - at));
  }
}

// Picture blocks shown as one line each: what finding them costs the appending thread, and
// what switching "Show Full Hex" costs the window on a whole 4K NV12 transfer.
void PictureBlockFigures(double screenMs) {
  double plainMs = 1e9, foundMs = 1e9;  // best of three each, alternating
  for (int run = 0; run < 3; ++run) {
    CTraceModel plain, found;
    found.SetShortening(true);
    QElapsedTimer t;
    t.start();
    FillBlocks(plain);
    plainMs = std::min(plainMs, MsSince(t));
    t.restart();
    FillBlocks(found);
    foundMs = std::min(foundMs, MsSince(t));
  }
  CTrafficView view;
  view.resize(640, 480);
  view.show();
  FillBlocks(view.Model());
  view.Refresh();
  QCoreApplication::processEvents();
  const int toggles = 20;
  QElapsedTimer t;
  t.start();
  for (int i = 0; i < toggles; ++i) {
    TraceFormat format = view.Format();
    format.shortBlocks = !format.shortBlocks;
    view.SetFormat(format);
    view.viewport()->grab();
  }
  const double toggleMs = MsSince(t) / toggles;
  std::printf("picture blocks: appending a 4K NV12 transfer with its blocks found %.0f ms (%.2fx "
              "appending it plain, %.0f ms); Show Full Hex on or off and paint %.2f ms (%.1fx a "
              "text view painting one screen)\n",
              foundMs, plainMs > 0 ? foundMs / plainMs : 0.0, plainMs, toggleMs,
              screenMs > 0 ? toggleMs / screenMs : 0.0);
}

void TraceFigures(long grownKb, size_t kept) {
  std::printf("trace memory: %zu bytes kept, RSS +%ld KB = %.2fx the traffic\n", kept, grownKb,
              grownKb * 1024.0 / static_cast<double>(kept));
  // Saving a full 16 MiB trace, against writing a file of the same size in one go.
  {
    const testsupport::TempFolder dir("brevant-bench");
    CTrafficView view;
    FillTrace(view.Model(), 64u << 10, CTraceModel::kDefaultLimitBytes + (1u << 20));
    const QString path = QString::fromStdString(dir.File("trace.txt"));
    QString error;
    bool ok = view.SaveTrace(path, &error);
    const qint64 size = QFileInfo(path).size();
    const QByteArray same(size, 'A');
    double saveMs = 1e9, plainMs = 1e9;  // best of three each, alternating
    for (int run = 0; run < 3; ++run) {
      QElapsedTimer t;
      t.start();
      QSaveFile plain(QString::fromStdString(dir.File("plain.txt")));
      plain.open(QIODevice::WriteOnly);
      plain.write(same);
      plain.commit();
      plainMs = std::min(plainMs, MsSince(t));
      t.restart();
      ok = view.SaveTrace(path, &error) && ok;
      saveMs = std::min(saveMs, MsSince(t));
    }
    std::printf("save trace: %zu bytes kept -> %lld bytes of text in %.0f ms (%.1fx writing "
                "the same size, %.0f ms)%s\n",
                view.Model().Extent().bytes, static_cast<long long>(size), saveMs,
                plainMs > 0 ? saveMs / plainMs : 0.0, plainMs, ok ? "" : "  (save failed)");
  }
  // Jumping about a million lines.
  {
    CTrafficView::SetDefaultLimit(size_t(40) << 20);
    CTrafficView view;
    CTrafficView::SetDefaultLimit(CTraceModel::kDefaultLimitBytes);
    view.resize(640, 480);
    view.show();
    QCoreApplication::processEvents();
    FillTrace(view.Model(), 4u << 20, 32u << 20);
    view.Refresh();
    // Anchor: Qt's own text view painting one screen of the same lines.
    QPlainTextEdit screen;
    screen.setFont(view.font());
    screen.resize(view.size());
    screen.setPlainText(view.Text().left(100 * 30));
    screen.show();
    QCoreApplication::processEvents();
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < 20; ++i) screen.viewport()->grab();
    const double screenMs = MsSince(t) / 20;
    QScrollBar* bar = view.verticalScrollBar();
    const int jumps = 200;
    t.restart();
    for (int i = 0; i < jumps; ++i) {
      bar->setValue(static_cast<int>((static_cast<long long>(i) * 7919 % jumps) * bar->maximum() / jumps));
      view.viewport()->grab();
    }
    const double jumpMs = MsSince(t) / jumps;
    const TraceExtent e = view.Model().Extent();
    std::printf("scrolling: %llu lines, a jump and paint %.2f ms (%.1fx a text view painting "
                "one screen of them, %.2f ms)\n",
                static_cast<unsigned long long>(e.end - e.first), jumpMs,
                screenMs > 0 ? jumpMs / screenMs : 0.0, screenMs);
    PictureBlockFigures(screenMs);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  CTimingApp app(argc, argv);
  SetMessageBoxHook([](const BoxRecord& box) {
    std::fprintf(stderr, "box: [%s] %s\n", box.caption.c_str(), box.text.c_str());
    return IDOK;
  });

  long traceGrownKb = 0;
  size_t traceKept = 0;
  TraceMemory(traceGrownKb, traceKept);

  // Anchor: the idle window's own timer jitter over a similar stretch, the median of five
  // (a loaded machine's one long hiccup must not set it).
  double anchor = 0;
  {
    CMainDlg idle;
    idle.show();
    LongestGapMs([] { return false; }, 500);  // the first paint sets up fonts and styles
    std::vector<double> gaps;
    for (int run = 0; run < 5; ++run) gaps.push_back(LongestGapMs([] { return false; }, 3000));
    std::sort(gaps.begin(), gaps.end());
    anchor = gaps[2];
  }

  std::printf("GUI responsiveness: 4K NV12 frame (12,441,600 bytes) unpaced, \"Read all once\"\n");
  std::printf("anchor (idle window, longest 5 ms timer gap, median of five): %.1f ms\n\n", anchor);
  std::printf("%-20s %9s %8s %8s %8s %14s %11s %9s %11s\n", "view", "stall ms", "x anchor",
              "busy ms", "seconds", "traffic kept B", "kept lines", "RSS +KB", "monitor ms");
  const std::pair<View, const char*> views[] = {{View::Picture, "picture shown"},
                                                {View::Traffic, "traffic view shown"},
                                                {View::Decoded, "decoded column shown"}};
  for (const auto& [view, name] : views) {
    std::vector<Row> runs;
    for (int run = 0; run < 5; ++run) runs.push_back(Measure(app, view));
    std::sort(runs.begin(), runs.end(),
              [](const Row& a, const Row& b) { return a.stallMs < b.stallMs; });
    const Row& r = runs[2];
    std::printf("%-20s %9.1f %8.1f %8.1f %8.2f %14zu %11llu %9ld %11.0f%s\n", name, r.stallMs,
                anchor > 0 ? r.stallMs / anchor : 0.0, r.busyMs, r.seconds, r.trafficBytes,
                static_cast<unsigned long long>(r.trafficLines), r.rssGrowthKb, r.monitorCpuMs,
                r.ok ? "" : "  (capture did not finish)");
    std::printf("%-20s five stalls:", "");
    for (const Row& each : runs) std::printf(" %.1f", each.stallMs);
    std::printf(" ms\n");
  }
  std::printf("(RSS growth of a capture includes the picture: frame, bitmap and display copy;\n"
              " monitor ms: CPU time of the serial monitor thread for the capture)\n");
  std::printf("(each row: the median of five captures by stall)\n");
  std::printf("\ntarget: traffic view shown, with or without the decoded column, stall <= 2x "
              "anchor; the whole transfer kept\n\n");
  TraceFigures(traceGrownKb, traceKept);
  return 0;
}
