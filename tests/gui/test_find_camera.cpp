// "Find Camera…" in the window: the search runs off the GUI thread behind a progress dialog
// that can be cancelled, then selects the port and rate found and opens them; an "Open"
// nobody answers points at it.
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <stdlib.h>
#include <unistd.h>

#include "dialogs/FindCameraDlg.h"
#include "app/MainDlg.h"
#include "camsim/CamSim.h"
#include "controls/ControlName.h"
#include "controls/UiMessageBox.h"
#include "serial/PortMap.h"

namespace {

constexpr int kWaitMs = 20000;

// A pseudo-terminal with nothing behind it.
struct SilentPort {
  SilentPort() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
        ptsname_r(master, name, sizeof name) == 0)
      path = name;
  }
  ~SilentPort() { if (master >= 0) close(master); }
  int master = -1;
  std::string path;
};

}  // namespace

class TestFindCamera : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<CMainDlg> m_dlg;
  std::mutex m_boxMutex;
  std::vector<BoxRecord> m_boxes;

  QComboBox* Combo(int id) { return FindControl<QComboBox>(m_dlg.get(), id); }
  CFindCameraDlg* Search() { return m_dlg->findChild<CFindCameraDlg*>("findCameraDlg"); }
  void StartFind(int selectedPort) {
    Combo(IDC_PORT)->setCurrentIndex(selectedPort - 1);
    QAction* find = m_dlg->findChild<QAction*>("findCameraAction");
    QVERIFY(find);
    QCOMPARE(find->text(), QString("&Find Camera…"));
    find->trigger();
    QVERIFY(Search());
  }
  bool AnyLine(const std::string& text) {
    for (const std::string& line : m_dlg->RecentStatusLines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  size_t BoxCount() {
    std::lock_guard<std::mutex> lock(m_boxMutex);
    return m_boxes.size();
  }

 private slots:
  void init() {
    SetMessageBoxHook([this](const BoxRecord& box) {
      std::lock_guard<std::mutex> lock(m_boxMutex);
      m_boxes.push_back(box);
      return IDOK;
    });
    m_dlg = std::make_unique<CMainDlg>();
    m_dlg->show();
  }
  void cleanup() {
    m_dlg.reset();
    SetMessageBoxHook({});
    m_boxes.clear();
  }

  void foundPortAndRateAreSelectedAndOpened() {
    CamSimOptions options;
    options.baud = 115200;  // left there by a DefaultRate change
    CCamSim sim(options);
    QVERIFY(sim.Start());
    GlobalPortMap().AddOverride(3, sim.SlavePath());
    QCOMPARE(Combo(IDC_BAUD)->currentText(), QString("38400"));
    const int rateItems = Combo(IDC_BAUD)->count();
    StartFind(3);
    QTRY_VERIFY_WITH_TIMEOUT(!Search(), kWaitMs);
    QVERIFY(m_dlg->IsPortOpen());
    QCOMPARE(Combo(IDC_PORT)->currentText(), QString("COM3"));
    QCOMPARE(Combo(IDC_BAUD)->currentText(), QString("115200"));
    QCOMPARE(Combo(IDC_BAUD)->count(), rateItems);
    QTRY_COMPARE_WITH_TIMEOUT(FindControl<QLineEdit>(m_dlg.get(), IDC_VERSION)->text(),
                              QString("QVX5M0 2.00"), kWaitMs);
    QVERIFY(AnyLine("Open COM3 success,baud is 115200"));
    QCOMPARE(BoxCount(), size_t{0});
    GlobalPortMap().RemoveOverride(3);
  }

  void cancelEndsTheSearchAndOpensNothing() {
    SilentPort silent;
    QVERIFY(!silent.path.empty());
    GlobalPortMap().AddOverride(4, silent.path);
    StartFind(4);
    QVERIFY(Search()->isVisible());
    auto* cancel = Search()->findChild<QPushButton*>("findCameraCancel");
    QVERIFY(cancel);
    cancel->click();
    QTRY_VERIFY_WITH_TIMEOUT(!Search(), kWaitMs);
    QVERIFY(!m_dlg->IsPortOpen());
    QCOMPARE(Combo(IDC_PORT)->currentText(), QString("COM4"));
    QCOMPARE(Combo(IDC_BAUD)->currentText(), QString("38400"));
    QCOMPARE(BoxCount(), size_t{0});  // cancelled: no "nothing found" box
    GlobalPortMap().RemoveOverride(4);
  }

  void unansweredOpenPointsAtFindCamera() {
    SilentPort silent;
    GlobalPortMap().AddOverride(5, silent.path);
    Combo(IDC_PORT)->setCurrentIndex(4);
    FindControl<QPushButton>(m_dlg.get(), IDC_OPEN)->click();
    QVERIFY(m_dlg->IsPortOpen());
    QTRY_VERIFY_WITH_TIMEOUT(AnyLine("try Camera > Find Camera…"), kWaitMs);
    GlobalPortMap().RemoveOverride(5);
  }
};

QTEST_MAIN(TestFindCamera)
#include "test_find_camera.moc"
