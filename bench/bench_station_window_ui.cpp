// The station window with a rack transferring at once, against the same window idle and
// against one camera alone.
//
//   stall ratio = longest gap between ticks of a 5 ms timer on the GUI thread while 16
//                 tiles run / the same gap with the window idle for as long
//                 (target <= 2x, the stall bench's rule)
//   wall ratio  = wall time of 16 tiles started together / one tile alone (target <= 1.1x;
//                 each camera is paced at the line rate, so one camera is what the line allows)
//
// Each camera is a camsim process at 115200 baud; the plan is the version check and one
// 640x480 capture. Each tile runs the command line's station in a child process, as always.
// BENCH_GAPS=1 also prints when the tiles ended and the longest gaps, each with the time the
// window's thread spent in events during it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <memory>
#include <vector>

#include "dialogs/StationDlg.h"
#include "dialogs/StationTile.h"
#include "test_files.h"
#include "BenchGuiStall.h"

namespace {

constexpr int kPorts = 16;

// A camsim process; its first line names its pseudo-terminal. Started without QProcess:
// the cameras stand for hardware on the far side of a serial line, so nothing of theirs
// (their pipes, their exit notifiers) may sit in the window's event loop, which would poll
// it on every turn.
struct Camera {
  pid_t pid = -1;
  QString device;
  bool Start() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::string program = BREVANT_BINARY_DIR "/tools/camsim/camsim";
    char* argv[] = {program.data(), const_cast<char*>("--baud"), const_cast<char*>("115200"), nullptr};
    const int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (failed) {
      pid = -1;
      close(fds[0]);
      return false;
    }
    // A virtual camera costs the host no CPU when it is hardware: it must not take the
    // window's share either. At the tiles' runs' priority (nice 10).
    setpriority(PRIO_PROCESS, static_cast<id_t>(pid), 10);
    // Its one line on stdout; it writes nothing there after it.
    std::string line;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') line += c;
    close(fds[0]);
    device = QString::fromStdString(line).trimmed();
    return !device.isEmpty();
  }
  ~Camera() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
};

// The longest event the GUI thread handled, and whose: where a stall comes from.
class CTimingApp : public QApplication {
 public:
  using QApplication::QApplication;
  double m_longestMs = 0;
  QString m_longestWhat;
  double m_busyMs = 0;  // in events since the last look
  int m_events = 0;
  bool notify(QObject* receiver, QEvent* event) override {
    // The window's thread only: the tiles' children are started and read on another.
    if (QThread::currentThread() != thread()) return QApplication::notify(receiver, event);
    if (m_depth++ > 0) {
      const bool r = QApplication::notify(receiver, event);
      --m_depth;
      return r;
    }
    QElapsedTimer clock;
    clock.start();
    const QString what = QString("%1 event %2").arg(receiver->metaObject()->className()).arg(event->type());
    const bool r = QApplication::notify(receiver, event);
    --m_depth;
    m_busyMs += clock.nsecsElapsed() / 1e6;
    ++m_events;
    if (clock.nsecsElapsed() / 1e6 > m_longestMs) {
      m_longestMs = clock.nsecsElapsed() / 1e6;
      m_longestWhat = what;
    }
    return r;
  }

 private:
  int m_depth = 0;
};

// CPU time of the calling thread.
double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Row {
  double stallMs = 0, seconds = 0, cpuMs = 0;
  int passed = 0;
};

Row Run(const QString& plan, const QString& out, std::vector<std::unique_ptr<Camera>>& cameras, int count) {
  QString ports;
  for (int i = 0; i < count; ++i) ports += (i ? "," : "") + cameras[i]->device;
  CStationDlg dlg(nullptr, plan, ports, out);
  dlg.show();
  LongestGapMs([] { return false; }, 500);  // shown and settled
  // Started (each on its turn of the event loop) and all ended.
  QElapsedTimer clock;
  std::vector<double> ended(dlg.Tiles().size(), 0);
  const auto idle = [&] {
    bool all = true;
    for (size_t i = 0; i < dlg.Tiles().size(); ++i) {
      const CStationTile* tile = dlg.Tiles()[i];
      const bool done = !tile->Running() && tile->Result() != CStationTile::State::Idle;
      if (done && ended[i] == 0) ended[i] = clock.elapsed() / 1000.0;
      all = all && done;
    }
    return all;
  };
  clock.start();
  dlg.findChild<QPushButton*>("stationStartAll")->click();
  Row row;
  // Each gap with the time the window's thread spent in events during it: a gap far longer
  // than that is time the thread waited for the CPU.
  auto* timing = static_cast<CTimingApp*>(QCoreApplication::instance());
  std::vector<std::array<double, 3>> gaps;
  QTimer probe;
  QElapsedTimer since;
  since.start();
  QObject::connect(&probe, &QTimer::timeout, [&] {
    gaps.push_back({since.nsecsElapsed() / 1e6, timing->m_busyMs, double(timing->m_events)});
    since.restart();
    timing->m_busyMs = 0;
    timing->m_events = 0;
  });
  probe.start(5);
  const double cpuBefore = ThreadCpuMs();
  row.stallMs = LongestGapMs(idle, 300000);
  row.seconds = clock.elapsed() / 1000.0;
  row.cpuMs = ThreadCpuMs() - cpuBefore;
  if (std::getenv("BENCH_GAPS")) {
    std::sort(ended.begin(), ended.end());
    std::printf("tiles ended after %.2f (first) %.2f (median) %.2f (last) s\n", ended.front(),
                ended[ended.size() / 2], ended.back());
    std::sort(gaps.begin(), gaps.end(), [](auto& a, auto& b) { return a[0] > b[0]; });
    for (size_t i = 0; i < std::min<size_t>(8, gaps.size()); ++i)
      std::printf("gap %.1f ms: %.1f ms in %d events\n", gaps[i][0], gaps[i][1], int(gaps[i][2]));
  }
  for (CStationTile* tile : dlg.Tiles()) row.passed += tile->Result() == CStationTile::State::Passed;
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  CTimingApp app(argc, argv);
  testsupport::TempFolder folder("brevant-bench-station-window");
  const QString out = QString::fromStdString(folder.Path());
  const QString plan = out + "/plan.toml";
  std::ofstream(plan.toStdString()) << "baud = 115200\n[[step]]\nkind = \"version\"\nexpect = \"*\"\n"
                                       "[[step]]\nkind = \"capture\"\n";
  std::vector<std::unique_ptr<Camera>> cameras;
  for (int i = 0; i < kPorts; ++i) {
    cameras.push_back(std::make_unique<Camera>());
    if (!cameras.back()->Start()) {
      std::fprintf(stderr, "bench_station_window: cannot start camsim\n");
      return 1;
    }
  }
  // The idle anchor: the full window, nothing running, for about as long as a run.
  double idleMs = 0;
  {
    QString ports;
    for (int i = 0; i < kPorts; ++i) ports += (i ? "," : "") + cameras[i]->device;
    CStationDlg dlg(nullptr, plan, ports, out);
    dlg.show();
    LongestGapMs([] { return false; }, 500);
    idleMs = LongestGapMs([] { return false; }, 3000);
  }
  const Row one = Run(plan, out, cameras, 1);
  app.m_longestMs = 0;
  const Row all = Run(plan, out, cameras, kPorts);
  std::printf("longest event with 16 tiles: %.1f ms (%s)\n", app.m_longestMs, qPrintable(app.m_longestWhat));
  std::printf("%-22s %9s %9s %9s %7s\n", "station window", "stall ms", "x idle", "wall s", "x one");
  std::printf("%-22s %9.1f %9.2f %9s %7s\n", "idle (anchor)", idleMs, 1.0, "-", "-");
  std::printf("%-22s %9.1f %9.2f %9.2f %7.2f  %d/1 passed\n", "1 tile", one.stallMs,
              one.stallMs / idleMs, one.seconds, 1.0, one.passed);
  std::printf("%-22s %9.1f %9.2f %9.2f %7.2f  %d/%d passed\n", "16 tiles at once", all.stallMs,
              all.stallMs / idleMs, all.seconds, all.seconds / one.seconds, all.passed, kPorts);
  std::printf("window thread's CPU: %.0f ms for 1 tile, %.0f ms for 16 (%.0f %% of the run)\n",
              one.cpuMs, all.cpuMs, all.cpuMs / (10 * all.seconds));
  std::printf("\ntarget: 16 tiles stall <= 2x idle; wall <= 1.1x one tile\n");
  return one.passed == 1 && all.passed == kPorts ? 0 : 1;
}
