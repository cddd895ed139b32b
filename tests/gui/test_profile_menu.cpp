// Camera > Save Settings to File… and Apply Settings from File… run the same profile job as
// the CLI: gated with the port, the saved file applies back, a refused file writes nothing.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QtTest>

#include "ui/main_window_fixture.h"

namespace {
constexpr int kWaitMs = 20000;
}

class TestProfileMenu : public QObject, CMainWindowFixture {
  Q_OBJECT
 private:
  QAction* Action(const char* name) { return m_dlg->findChild<QAction*>(name); }
  bool BoxSays(const std::string& text) {
    for (const BoxRecord& box : Boxes())
      if (box.text.find(text) != std::string::npos) return true;
    return false;
  }

 private slots:
  void init() { SetUpWindow(); }
  void cleanup() { TearDownWindow(); }

  void SaveThenApplyDriveTheJobAndRefusalsWriteNothing() {
    QAction* save = Action("saveProfileAction");
    QAction* apply = Action("applyProfileAction");
    QVERIFY(save && apply);
    QVERIFY(!save->isEnabled() && !apply->isEnabled());  // port closed
    StartCamera();
    OpenAndIdentify();
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->Model().modelCode != 0 && Quiet() && save->isEnabled(), kWaitMs);

    // The first dialog starts in the picture folder; later ones where the last profile went.
    QVERIFY(QDir(DirPath()).mkdir("profiles"));
    const QString file = DirPath() + "/profiles/camera.json";
    QStringList starts;
    m_dlg->SetFileChooser([&](QWidget*, const QString&, const QString& start, bool) {
      starts << QDir::cleanPath(start);
      return file;
    });
    save->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(BoxSays("Saved the settings of QVX5M0 2.00"), kWaitMs);
    QFile saved(file);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QVERIFY(saved.readAll().contains("\"image_day\""));

    m_sim->ClearReceived();
    apply->trigger();
    QVERIFY(!apply->isEnabled());  // one job at a time
    QTRY_VERIFY_WITH_TIMEOUT(BoxSays("No differences."), kWaitMs);
    QVERIFY(Sent("56 00 31 05 01 01 12 04 36"));  // the saved compression written back
    QVERIFY(apply->isEnabled());
    QCOMPARE(starts, QStringList({DirPath() + "/camera.json", DirPath() + "/profiles"}));

    QFile bad(DirPath() + "/bad.json");
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write("{\n  \"format\": 1,\n  \"colour\": 1\n}\n");
    bad.close();
    m_dlg->SetFileChooser([&](QWidget*, const QString&, const QString&, bool) { return bad.fileName(); });
    m_sim->ClearReceived();
    apply->trigger();
    QVERIFY(BoxSays("line 3, column 3: unknown key \"colour\"\nNothing was written."));
    QVERIFY(Quiet());
    QCOMPARE(m_sim->ReceivedHex().size(), size_t{0});
  }
};

QTEST_MAIN(TestProfileMenu)
#include "test_profile_menu.moc"
