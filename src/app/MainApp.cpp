#include "app/MainApp.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QPixmap>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>

#include "app/KeyboardAccess.h"
#include "app/MainDlg.h"
#include "app/Screenshots.h"
#include "common/Version.h"
#include "core/ControlStates.h"
#include "controls/ControlName.h"
#include "dialogs/StationDlg.h"
#include "protocol/CameraProtocol.h"

namespace {

// Presses "Open", then "Single Capture" once the camera is identified and quiet, and
// when the picture is in, shown and timed optionally saves a screenshot and quits.
class CDemoDriver : public QObject {
 public:
  CDemoDriver(CMainDlg* dlg, QString screenshot)
      : QObject(dlg), m_pDlg(dlg), m_screenshot(std::move(screenshot)) {
    connect(&m_timer, &QTimer::timeout, this, [this] { Step(); });
    connect(dlg, &CMainDlg::commandFinished, this, [this](const CommandResult& result) {
      if (m_nStep != 2) return;
      const CaptureEnd end = CaptureEndOf(result);
      if (end == CaptureEnd::Captured) {
        Captured();
      } else if (end == CaptureEnd::Failed) {
        m_nStep = 3;
        Finish(1, "the demo capture failed");
      }
    });
    m_timer.start(100);
    m_elapsed.start();
  }
  int Result() const { return m_nResult; }

 private:
  QAbstractButton* Button(int id) { return FindControl<QAbstractButton>(m_pDlg, id); }

  void Step() {
    if (m_elapsed.elapsed() > kLimitMs) return Finish(1, "the demo capture did not finish");
    switch (m_nStep) {
      case 0:
        Button(IDC_OPEN)->click();
        if (!m_pDlg->IsPortOpen()) return Finish(1, "COM1 could not be opened");
        m_nStep = 1;
        break;
      case 1: {
        const bool identified = !FindControl<QLineEdit>(m_pDlg, IDC_VERSION)->text().isEmpty();
        // Wait for the replies that follow identification, so the capture starts clean.
        if (!identified || m_pDlg->AwaitingReplies()) break;
        if (!Button(IDC_SINGLE_CAPTURE)->isEnabled()) break;
        Button(IDC_SINGLE_CAPTURE)->click();
        m_nStep = 2;
        break;
      }
      default:
        break;
    }
  }

  void Captured() {
    m_nStep = 3;
    if (m_screenshot.isEmpty()) {
      m_timer.stop();
      return;
    }
    // Let the queued repaint and the last status line land before grabbing.
    QTimer::singleShot(300, this, [this] {
      const bool ok = m_pDlg->grab().save(m_screenshot);
      Finish(ok ? 0 : 1, ok ? "" : "the screenshot could not be written");
    });
  }

  void Finish(int result, const char* why) {
    m_timer.stop();
    m_nResult = result;
    if (result != 0) std::fprintf(stderr, "brevant: %s\n", why);
    if (result != 0 || !m_screenshot.isEmpty()) m_pDlg->done(result);
  }

  static constexpr qint64 kLimitMs = 300000;
  CMainDlg* m_pDlg;
  QString m_screenshot;
  QTimer m_timer;
  QElapsedTimer m_elapsed;
  int m_nStep = 0;
  int m_nResult = 0;
};

}  // namespace

CMainApp::CMainApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName("Brevant");
  setApplicationVersion(BREVANT_VERSION);
  setDesktopFileName("brevant");  // Wayland and taskbars match the window to its menu entry
  InstallKeyboardAccess(this);
}

// --station with --screenshots: every tile run once, then the window saved as
// DIR/station-window.png (the README's picture).
static int StationScreenshot(CStationDlg& station, const std::string& dir) {
  station.resize(1200, 1250);  // four tiles, two by two, whole
  station.show();
  station.StartAll();
  QElapsedTimer clock;
  clock.start();
  // Started one per turn of the event loop; then until every run has ended.
  while (clock.elapsed() < 500 || (!station.Idle() && clock.elapsed() < 300000))
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  const QString path = QString::fromStdString(dir) + "/station-window.png";
  if (!station.grab().save(path)) {
    std::fprintf(stderr, "brevant: cannot save %s\n", qPrintable(path));
    return 1;
  }
  std::printf("%s\n", qPrintable(path));
  return station.Idle() ? 0 : 1;
}

int CMainApp::InitInstance(const AppOptions& options) {
  if (!options.stationPlan.empty()) {
    CStationDlg station(nullptr, QString::fromStdString(options.stationPlan),
                        QString::fromStdString(options.stationPorts));
    if (!options.screenshotsDir.empty()) return StationScreenshot(station, options.screenshotsDir);
    station.exec();
    return 0;
  }
  CMainDlg dlg;
  if (!options.screenshotsDir.empty())
    return RunScreenshots(dlg, QString::fromStdString(options.screenshotsDir));
  CDemoDriver* demo = nullptr;
  if (options.demoCapture) demo = new CDemoDriver(&dlg, QString::fromStdString(options.screenshotFile));
  dlg.exec();
  return demo ? demo->Result() : 0;
}
