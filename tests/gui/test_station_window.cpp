// The station window against virtual cameras: each tile runs its port in a child
// brevant-cli and shows what its record says (PASS, FAIL with the failing step), a prompt
// is answered with its Pass button or times out, and the session's counters add up.
#include <signal.h>
#include <sys/resource.h>

#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>
#include <algorithm>
#include <memory>

#include "camsim/CamSim.h"
#include "dialogs/StationDlg.h"
#include "dialogs/StationTile.h"
#include "test_files.h"
#include "test_support.h"

namespace {

constexpr int kWaitMs = 60000;
const QString kCli = BREVANT_BINARY_DIR "/tools/cli/brevant-cli";

std::unique_ptr<CCamSim> Camera(const std::string& model) {
  CamSimOptions options;
  options.model = model;
  auto cam = std::make_unique<CCamSim>(options);
  return cam->Start() ? std::move(cam) : nullptr;
}

template <typename T>
T* Part(CStationTile* tile, const char* name) {
  return tile->findChild<T*>(name);
}

}  // namespace

class TestStationWindow : public QObject {
  Q_OBJECT

 private:
  testsupport::TempFolder m_folder{"brevant-station-gui"};
  QString Plan(const std::string& name, const std::string& text) {
    const std::string path = m_folder.Path() + "/" + name;
    testsupport::WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
    return QString::fromStdString(path);
  }
  std::unique_ptr<CStationDlg> Window(const QString& plan, const std::vector<CCamSim*>& cams) {
    QString ports;
    for (CCamSim* cam : cams) ports += (ports.isEmpty() ? "" : ",") + QString::fromStdString(cam->SlavePath());
    auto dlg = std::make_unique<CStationDlg>(nullptr, plan, ports,
                                             QString::fromStdString(m_folder.Path() + "/out"), kCli);
    dlg->show();
    return dlg;
  }
  static bool Idle(const CStationDlg& dlg) {
    for (CStationTile* tile : dlg.Tiles())
      if (tile->Running()) return false;
    return true;
  }

 private slots:
  void tilesShowPassAndFailAndCount() {
    auto good = Camera("QVX5M0 2.00"), wrong = Camera("QVX3M0 1.10");
    QVERIFY(good && wrong);
    const QString plan = Plan("line.toml",
                              "[[step]]\nkind = \"version\"\nexpect = \"QVX5M0 *\"\n"
                              "[[step]]\nkind = \"capture\"\n");
    auto dlg = Window(plan, {good.get(), wrong.get()});
    QCOMPARE(dlg->Tiles().size(), size_t{2});
    CStationTile* pass = dlg->Tiles()[0];
    CStationTile* fail = dlg->Tiles()[1];
    // A scanner's Enter starts its tile; Start All starts the other.
    QTest::keyClick(Part<QLineEdit>(pass, "tileUnit"), Qt::Key_Return);
    QVERIFY(pass->Running());
    // The run is background work: it must not take the operator's window's CPU.
    QTRY_VERIFY_WITH_TIMEOUT(pass->ChildPid() > 0, kWaitMs);
    QCOMPARE(getpriority(PRIO_PROCESS, static_cast<id_t>(pass->ChildPid())),
             std::min(getpriority(PRIO_PROCESS, 0) + 10, 19));
    dlg->findChild<QPushButton*>("stationStartAll")->click();
    QTRY_VERIFY_WITH_TIMEOUT(fail->Running() || fail->Result() != CStationTile::State::Idle, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(Idle(*dlg), kWaitMs);

    QCOMPARE(pass->Result(), CStationTile::State::Passed);
    QCOMPARE(Part<QLabel>(pass, "tileResult")->text(), QString("PASS"));
    // Decoded off the window's thread: it may land just after the result.
    QTRY_VERIFY_WITH_TIMEOUT(!Part<QLabel>(pass, "tileThumbnail")->pixmap().isNull(), kWaitMs);
    QCOMPARE(Part<QProgressBar>(pass, "tileProgress")->value(), 100);
    QVERIFY(pass->Record().value("picture").toString().endsWith(".jpg"));

    QCOMPARE(fail->Result(), CStationTile::State::Failed);
    QCOMPARE(Part<QLabel>(fail, "tileResult")->text(), QString("FAIL"));
    const QString why = Part<QLabel>(fail, "tileDetail")->text();
    QVERIFY2(why.startsWith("version:") && why.contains("QVX3M0 1.10"), qPrintable(why));
    // What a screen reader reads carries the result and the reason.
    QVERIFY(fail->accessibleDescription().contains("FAIL"));
    QVERIFY(fail->accessibleDescription().contains("QVX3M0 1.10"));

    const StationSession& session = dlg->Session();
    QCOMPARE(session.tested, 2);
    QCOMPARE(session.passed, 1);
    QCOMPARE(session.failed, 1);
    QCOMPARE(session.FirstPassYield(), 0.5);
    QVERIFY(dlg->findChild<QLabel*>("stationCounters")->text().contains("First-pass yield 50.0 %"));

    // Stop All right after Start All: the tiles not yet started stay as they were.
    dlg->findChild<QPushButton*>("stationStartAll")->click();
    dlg->findChild<QPushButton*>("stationStopAll")->click();
    for (int turn = 0; turn < 10; ++turn) QCoreApplication::processEvents();
    QTRY_VERIFY_WITH_TIMEOUT(Idle(*dlg), kWaitMs);
    QCOMPARE(dlg->Session().tested, 2);
    QCOMPARE(pass->Result(), CStationTile::State::Passed);
    QCOMPARE(fail->Result(), CStationTile::State::Failed);
  }

  // A picture inside its limits but outside the marginal band passes, marked, and says which
  // measurement and band (the virtual camera's picture reads luma about 115).
  void marginalTileIsMarkedAndCounted() {
    auto cam = Camera("QVX5M0 2.00");
    QVERIFY(cam);
    const QString plan = Plan("marginal.toml",
                              "[[step]]\nkind = \"capture\"\n"
                              "checks = \"luma=10..250 marginal 200..250\"\n");
    auto dlg = Window(plan, {cam.get()});
    CStationTile* tile = dlg->Tiles()[0];
    dlg->findChild<QPushButton*>("stationStartAll")->click();
    QTRY_VERIFY_WITH_TIMEOUT(tile->Result() != CStationTile::State::Idle && !tile->Running(), kWaitMs);
    QCOMPARE(tile->Result(), CStationTile::State::Marginal);
    QCOMPARE(Part<QLabel>(tile, "tileResult")->text(), QString("MARGINAL"));
    const QString why = Part<QLabel>(tile, "tileDetail")->text();
    QVERIFY2(why.contains("luma") && why.contains("200"), qPrintable(why));
    QCOMPARE(dlg->Session().marginal, 1);
    QCOMPARE(dlg->Session().failed, 0);
  }

  void promptAnsweredOrTimedOut() {
    auto first = Camera("QVX5M0 2.00"), second = Camera("QVX5M0 2.00");
    QVERIFY(first && second);
    const QString plan = Plan("prompt.toml",
                              "[[step]]\nkind = \"version\"\nexpect = \"QVX5M0 *\"\n"
                              "[[step]]\nkind = \"prompt\"\ntext = \"Is the LED green?\"\n"
                              "timeout_ms = 4000\n");
    auto dlg = Window(plan, {first.get(), second.get()});
    CStationTile* answered = dlg->Tiles()[0];
    CStationTile* unanswered = dlg->Tiles()[1];
    dlg->findChild<QPushButton*>("stationStartAll")->click();
    QTRY_VERIFY_WITH_TIMEOUT(Part<QFrame>(answered, "tilePrompt")->isVisible(), kWaitMs);
    QCOMPARE(Part<QLabel>(answered, "tilePromptText")->text(), QString("Is the LED green?"));
    Part<QPushButton>(answered, "tilePromptPass")->click();
    QTRY_VERIFY_WITH_TIMEOUT(Idle(*dlg), kWaitMs);
    QCOMPARE(answered->Result(), CStationTile::State::Passed);
    QCOMPARE(unanswered->Result(), CStationTile::State::Failed);
    QVERIFY2(Part<QLabel>(unanswered, "tileDetail")->text().contains("no answer in 4 s"),
             qPrintable(Part<QLabel>(unanswered, "tileDetail")->text()));
    QVERIFY(!Part<QFrame>(unanswered, "tilePrompt")->isVisible());
  }

  // Each tile keeps its next run loaded, yet what runs is read when it starts: a plan
  // edited meanwhile, the unit typed. A loaded run that died is replaced by a fresh one, and
  // closing the window ends the one waiting.
  void aLoadedRunReadsItsPlanAndUnitWhenStarted() {
    auto cam = Camera("QVX5M0 2.00");
    QVERIFY(cam);
    const QString plan = Plan("loaded.toml", "[[step]]\nkind = \"version\"\nexpect = \"QVX5M0 *\"\n");
    auto dlg = Window(plan, {cam.get()});
    CStationTile* tile = dlg->Tiles()[0];
    QTRY_VERIFY_WITH_TIMEOUT(tile->LoadedPid() > 0, kWaitMs);
    const qint64 loaded = tile->LoadedPid();
    Plan("loaded.toml", "[[step]]\nkind = \"version\"\nexpect = \"QVX9M9 *\"\n");
    QTest::keyClicks(Part<QLineEdit>(tile, "tileUnit"), "SN-LOADED-1");
    QTest::keyClick(Part<QLineEdit>(tile, "tileUnit"), Qt::Key_Return);
    QCOMPARE(tile->ChildPid(), loaded);
    QTRY_VERIFY_WITH_TIMEOUT(!tile->Running(), kWaitMs);
    QCOMPARE(tile->Result(), CStationTile::State::Failed);
    QVERIFY2(Part<QLabel>(tile, "tileDetail")->text().contains("QVX9M9"),
             qPrintable(Part<QLabel>(tile, "tileDetail")->text()));
    QCOMPARE(tile->Record().value("unit").toString(), QString("SN-LOADED-1"));

    QTRY_VERIFY_WITH_TIMEOUT(tile->LoadedPid() > 0, kWaitMs);
    QVERIFY(tile->LoadedPid() != loaded);
    ::kill(static_cast<pid_t>(tile->LoadedPid()), SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(tile->LoadedPid() == 0, kWaitMs);
    Plan("loaded.toml", "[[step]]\nkind = \"version\"\nexpect = \"QVX5M0 *\"\n");
    tile->Start();
    QTRY_VERIFY_WITH_TIMEOUT(!tile->Running(), kWaitMs);
    QCOMPARE(tile->Result(), CStationTile::State::Passed);

    QTRY_VERIFY_WITH_TIMEOUT(tile->LoadedPid() > 0, kWaitMs);
    const pid_t waiting = static_cast<pid_t>(tile->LoadedPid());
    dlg.reset();
    QCOMPARE(::kill(waiting, 0), -1);  // ended and reaped
  }
};

QTEST_MAIN(TestStationWindow)
#include "test_station_window.moc"
