// The feature windows as the operator reaches them: from the main window's buttons, against
// the virtual camera, with the main window relaying the engine's notices to them.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <memory>
#include <mutex>

#include "app/MainDlg.h"
#include "controls/ControlName.h"
#include "controls/UiMessageBox.h"
#include "core/ControlStates.h"
#include "camsim/CamSim.h"
#include "dialogs/AutoCaptureFinishDlg.h"
#include "dialogs/ImageControlDlg.h"
#include "dialogs/IntelligentDetectionDlg.h"
#include "dialogs/MotionDetectionDlg.h"
#include "protocol/CameraProtocol.h"
#include "serial/PortMap.h"

namespace {
constexpr int kWaitMs = 20000;

std::vector<uint8_t> ReadFile(const std::string& path) {
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::ReadOnly)) return {};
  const QByteArray all = f.readAll();
  return {all.begin(), all.end()};
}
}  // namespace

class TestDlgsFromMainWindow : public QObject {
  Q_OBJECT
 private:
  std::unique_ptr<QTemporaryDir> m_dir;
  std::unique_ptr<CCamSim> m_sim;
  std::unique_ptr<CMainDlg> m_dlg;
  std::mutex m_boxMutex;
  std::vector<BoxRecord> m_boxes;

  template <typename T = QPushButton>
  static T* In(QWidget* dialog, int id) {
    return FindControl<T>(dialog, id);
  }
  bool Quiet() { return !m_dlg->AwaitingReplies(); }
  bool Sent(const std::string& hex) {
    const auto all = m_sim->ReceivedHex();
    return std::find(all.begin(), all.end(), hex) != all.end();
  }
  bool AnyLine(const std::string& text) {
    for (const std::string& line : m_dlg->RecentStatusLines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  void Start(const std::string& model) {
    CamSimOptions options;
    options.model = model;
    m_sim = std::make_unique<CCamSim>(options);
    QVERIFY(m_sim->Start());
    GlobalPortMap().AddOverride(1, m_sim->SlavePath());
    FindControl<QComboBox>(m_dlg.get(), IDC_PORT)->setCurrentIndex(0);
    FindControl<QPushButton>(m_dlg.get(), IDC_OPEN)->click();
    QVERIFY(m_dlg->IsPortOpen());
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->Model().modelCode != 0 && Quiet(), kWaitMs);
  }
  QPushButton* MainButton(int id) {
    return FindControl<QPushButton>(m_dlg.get(), id);
  }
  // "More" runs its dialog modally; note which one it was and close it.
  QString MoreOpens() {
    QString opened;
    QTimer::singleShot(0, this, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      if (qobject_cast<QDialog*>(modal)) {
        if (dynamic_cast<CIntelligentDetectionDlg*>(modal)) opened = "intelligent";
        if (dynamic_cast<CMotionDetectionDlg*>(modal)) opened = "motion";
        static_cast<QDialog*>(modal)->reject();
      }
    });
    MainButton(IDC_MORE)->click();
    return opened;
  }

 private slots:
  void init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    {
      std::lock_guard<std::mutex> lock(m_boxMutex);
      m_boxes.clear();
    }
    SetMessageBoxHook([this](const BoxRecord& box) {
      std::lock_guard<std::mutex> lock(m_boxMutex);
      m_boxes.push_back(box);
      return IDOK;
    });
    m_dlg = std::make_unique<CMainDlg>();
    m_dlg->SetSavePath(m_dir->path());
    m_dlg->show();
  }
  void cleanup() {
    m_dlg.reset();
    m_sim.reset();
    SetMessageBoxHook({});
  }

  void moreOpensTheDialogTheModelSupports() {
    Start("QVX5M0 2.00");
    QCOMPARE(MoreOpens(), QStringLiteral("intelligent"));
    m_sim->SetModel("QVX3M0E 1.01");
    FindControl<QPushButton>(m_dlg.get(), IDC_CLOSE)->click();
    FindControl<QPushButton>(m_dlg.get(), IDC_OPEN)->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->Model().firmwareVersion == 101 && Quiet(), kWaitMs);
    QCOMPARE(MoreOpens(), QStringLiteral("motion"));
  }

  void motionReportThenReadBothPictures() {
    Start("QVX5M0 2.00");
    m_sim->SendMotionReport(2);
    QPushButton* read = MainButton(IDC_READ);
    QTRY_VERIFY_WITH_TIMEOUT(read->text() == QStringLiteral("Read0/2") && read->isEnabled(), kWaitMs);
    QVERIFY(Sent("56 00 37 01 00"));  // detection paused while the pictures are read
    QTRY_VERIFY_WITH_TIMEOUT(Quiet(), kWaitMs);

    for (int k = 1; k <= 2; ++k) {
      m_sim->ClearReceived();
      read->click();
      QTRY_VERIFY_WITH_TIMEOUT(read->text() == QStringLiteral("Read%1/2").arg(k), kWaitMs);
      QVERIFY(Sent("56 00 34 01 0" + std::to_string(k)));
      QTRY_VERIFY_WITH_TIMEOUT(!m_dlg->Camera()->State().lastImageFile.empty() &&
                                   ReadFile(m_dlg->Camera()->State().lastImageFile) == m_sim->StoredPicture(k),
                               kWaitMs);
    }
    QVERIFY(!read->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(Sent("56 00 37 01 01"), kWaitMs);  // detection resumed
  }

  void autoCaptureReportOpensTheFinishWindow() {
    Start("QVX5M0 2.00");
    m_sim->SendAutoCaptureReport(2);
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->findChild<CAutoCaptureFinishDlg*>() != nullptr, kWaitMs);
    QPointer<CAutoCaptureFinishDlg> dlg = m_dlg->findChild<CAutoCaptureFinishDlg*>();
    QPushButton* button = In(dlg, 1117);
    QCOMPARE(button->text(), QStringLiteral("read photos0/2"));
    button->click();
    QCOMPARE(button->text(), QStringLiteral("Next1/2"));
    QTRY_VERIFY_WITH_TIMEOUT(ReadFile(m_dlg->Camera()->State().lastImageFile) == m_sim->StoredPicture(1), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(Quiet(), kWaitMs);
    button->click();
    QTRY_VERIFY_WITH_TIMEOUT(dlg.isNull(), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(ReadFile(m_dlg->Camera()->State().lastImageFile) == m_sim->StoredPicture(2), kWaitMs);
  }

  void imageControlSavesBothSetsEvenWhenClosedAtOnce() {
    Start("QVX5M0 2.00");
    MainButton(IDC_IMAGE_CONTROL)->click();
    QPointer<CImageControlDlg> dlg = m_dlg->findChild<CImageControlDlg*>();
    QVERIFY(dlg);
    QTRY_VERIFY_WITH_TIMEOUT(Quiet() && Sent("56 00 90 02 04 01"), kWaitMs);
    TypeNight(dlg, 1058, "77");
    m_sim->ClearReceived();
    In(dlg, 1139)->click();
    dlg->close();  // the night half still goes out
    QTRY_VERIFY(dlg.isNull());
    QTRY_VERIFY_WITH_TIMEOUT(m_sim->ReceivedHex().size() == 2 && Quiet(), kWaitMs);
    QCOMPARE(m_sim->ReceivedHex()[1].substr(0, 21), std::string("56 00 91 0C 04 01 4D "));

    // A new window reads back what the camera stored.
    MainButton(IDC_IMAGE_CONTROL)->click();
    QPointer<CImageControlDlg> again = m_dlg->findChild<CImageControlDlg*>();
    QVERIFY(again);
    QTRY_VERIFY_WITH_TIMEOUT(In<QLineEdit>(again, 1058)->text() == QStringLiteral("77"), kWaitMs);
    QCOMPARE(In<QSlider>(again, 1146)->value(), 77);
  }

 private:
  static void TypeNight(QWidget* dlg, int id, const char* text) {
    auto* edit = In<QLineEdit>(dlg, id);
    edit->selectAll();
    QTest::keyClicks(edit, QString::fromLatin1(text));
  }
};

QTEST_MAIN(TestDlgsFromMainWindow)
#include "test_dlgs_from_main_window.moc"
