// "Find Camera…" in the window: the search runs off the GUI thread behind a progress dialog
// that can be cancelled, then selects the port and rate found and opens them; an "Open"
// nobody answers points at it.
#include <QAction>
#include <QLineEdit>
#include <QtTest>
#include <memory>

#include "dialogs/FindCameraDlg.h"
#include "serial/PortMap.h"
#include "test_support.h"
#include "ui/main_window_fixture.h"

namespace {

constexpr int kWaitMs = 20000;

}  // namespace

class TestFindCamera : public QObject, CMainWindowFixture {
  Q_OBJECT

 private:
  CFindCameraDlg* Search() { return m_dlg->findChild<CFindCameraDlg*>("findCameraDlg"); }
  void StartFind(int selectedPort) {
    C(IDC_PORT)->setCurrentIndex(selectedPort - 1);
    QAction* find = m_dlg->findChild<QAction*>("findCameraAction");
    QVERIFY(find);
    QCOMPARE(find->text(), QString("&Find Camera…"));
    find->trigger();
    QVERIFY(Search());
  }
  size_t BoxCount() { return Boxes().size(); }

 private slots:
  void init() { SetUpWindow(); }
  void cleanup() { TearDownWindow(); }

  void foundPortAndRateAreSelectedAndOpened() {
    CamSimOptions options;
    options.baud = 115200;  // left there by a DefaultRate change
    CCamSim sim(options);
    QVERIFY(sim.Start());
    testsupport::PortOverride com3(3, sim.SlavePath());
    QCOMPARE(C(IDC_BAUD)->currentText(), QString("38400"));
    const int rateItems = C(IDC_BAUD)->count();
    StartFind(3);
    QTRY_VERIFY_WITH_TIMEOUT(!Search(), kWaitMs);
    QVERIFY(m_dlg->IsPortOpen());
    QCOMPARE(C(IDC_PORT)->currentText(), QString("COM3"));
    QCOMPARE(C(IDC_BAUD)->currentText(), QString("115200"));
    QCOMPARE(C(IDC_BAUD)->count(), rateItems);
    QTRY_COMPARE_WITH_TIMEOUT(FindControl<QLineEdit>(m_dlg.get(), IDC_VERSION)->text(),
                              QString("QVX5M0 2.00"), kWaitMs);
    QVERIFY(AnyLine("Open COM3 success,baud is 115200"));
    QCOMPARE(BoxCount(), size_t{0});
  }

  // The camera is at a rate the search does not try: each try is one query it hears as
  // noise. Cancel after the first: at most the try under way follows, not the other rates.
  void cancelEndsTheSearchAndOpensNothing() {
    CamSimOptions options;
    options.baud = 1200;
    CCamSim sim(options);
    QVERIFY(sim.Start());
    testsupport::PortOverride com4(4, sim.SlavePath());
    StartFind(4);
    QVERIFY(Search()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(sim.NoiseCount() >= 1, kWaitMs);
    auto* cancel = Search()->findChild<QPushButton*>("findCameraCancel");
    QVERIFY(cancel);
    cancel->click();
    QTRY_VERIFY_WITH_TIMEOUT(!Search(), kWaitMs);
    QVERIFY(sim.NoiseCount() <= 2);
    QVERIFY(!m_dlg->IsPortOpen());
    QCOMPARE(C(IDC_PORT)->currentText(), QString("COM4"));
    QCOMPARE(C(IDC_BAUD)->currentText(), QString("38400"));
    QCOMPARE(BoxCount(), size_t{0});  // cancelled: no "nothing found" box
  }

  void unansweredOpenPointsAtFindCamera() {
    testsupport::SilentPty silent;
    testsupport::PortOverride com5(5, silent.Path());
    C(IDC_PORT)->setCurrentIndex(4);
    FindControl<QPushButton>(m_dlg.get(), IDC_OPEN)->click();
    QVERIFY(m_dlg->IsPortOpen());
    QTRY_VERIFY_WITH_TIMEOUT(AnyLine("try Camera > Find Camera…"), kWaitMs);
  }
};

QTEST_MAIN(TestFindCamera)
#include "test_find_camera.moc"
