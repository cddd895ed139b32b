// The feature windows as the operator reaches them: from the main window's buttons, against
// the virtual camera, with the main window relaying the engine's notices to them.
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QSlider>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "core/ControlStates.h"
#include "dialogs/AutoCaptureFinishDlg.h"
#include "dialogs/FindCameraDlg.h"
#include "dialogs/ImageControlDlg.h"
#include "dialogs/IntelligentDetectionDlg.h"
#include "dialogs/MotionDetectionDlg.h"
#include "protocol/CameraProtocol.h"
#include "test_support.h"
#include "ui/main_window_fixture.h"

namespace {
constexpr int kWaitMs = 20000;
using testsupport::ReadFile;
}  // namespace

class TestDlgsFromMainWindow : public QObject, CMainWindowFixture {
  Q_OBJECT
 private:
  template <typename T = QPushButton>
  static T* In(QWidget* dialog, int id) {
    return FindControl<T>(dialog, id);
  }
  void Start(const std::string& model) {
    StartCamera(model);
    OpenAndIdentify();
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->Model().modelCode != 0 && Quiet(), kWaitMs);
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
    B(IDC_MORE)->click();
    return opened;
  }

 private slots:
  void init() { SetUpWindow(); }
  void cleanup() { TearDownWindow(); }

  void moreOpensTheDialogTheModelSupports() {
    Start("QVX5M0 2.00");
    QCOMPARE(MoreOpens(), QStringLiteral("intelligent"));
    m_sim->SetModel("QVX3M0E 1.01");
    B(IDC_CLOSE)->click();
    B(IDC_OPEN)->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->Model().firmwareVersion == 101 && Quiet(), kWaitMs);
    QCOMPARE(MoreOpens(), QStringLiteral("motion"));
  }

  void motionReportThenReadBothPictures() {
    Start("QVX5M0 2.00");
    m_sim->SendMotionReport(2);
    QPushButton* read = B(IDC_READ);
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
    B(IDC_IMAGE_CONTROL)->click();
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
    B(IDC_IMAGE_CONTROL)->click();
    QPointer<CImageControlDlg> again = m_dlg->findChild<CImageControlDlg*>();
    QVERIFY(again);
    QTRY_VERIFY_WITH_TIMEOUT(In<QLineEdit>(again, 1058)->text() == QStringLiteral("77"), kWaitMs);
    QCOMPARE(In<QSlider>(again, 1146)->value(), 77);
  }

  // Every window the main window opens says what it is, to the eye and to a screen reader;
  // so does every box it raises.
  void everyWindowItOpensSaysWhatItIs() {
    Start("QVX5M0 2.00");
    WindowWatch watch(m_dlg.get());
    qApp->installEventFilter(&watch);
    for (int id : {IDC_MULTI_CAPTURE, IDC_REGION_CROP, IDC_IMAGE_CONTROL, IDC_OSD, IDC_MORE}) {
      B(id)->click();
      QTRY_VERIFY_WITH_TIMEOUT(Quiet(), kWaitMs);
    }
    m_dlg->findChild<QAction*>("aboutAction")->trigger();
    m_sim->SendAutoCaptureReport(1);
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->findChild<CAutoCaptureFinishDlg*>() != nullptr && Quiet(), kWaitMs);
    const QString file = DirPath() + "/titles.json";
    m_dlg->SetFileChooser([&](QWidget*, const QString&, const QString&, bool) { return file; });
    for (const char* name : {"saveProfileAction", "applyProfileAction"}) {
      QAction* action = m_dlg->findChild<QAction*>(name);
      const size_t boxes = Boxes().size();
      action->trigger();
      QTRY_VERIFY_WITH_TIMEOUT(Boxes().size() > boxes && action->isEnabled() && Quiet(), kWaitMs);
    }
    m_dlg->findChild<QAction*>("findCameraAction")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(watch.shown.contains("findCameraDlg"), kWaitMs);
    if (auto* find = m_dlg->findChild<CFindCameraDlg*>("findCameraDlg")) find->Cancel();
    qApp->removeEventFilter(&watch);

    const QStringList expected = {"CMultipleCaptureDlg", "CRegionCropDlg", "CImageControlDlg",
                                  "COsdCharDlg", "CIntelligentDetectionDlg", ControlName(IDD_ABOUT),
                                  "CAutoCaptureFinishDlg", "profileProgress", "findCameraDlg"};
    for (const QString& name : expected) QVERIFY2(watch.shown.contains(name), qPrintable(name));
    QVERIFY2(watch.untitled.isEmpty(), qPrintable(watch.untitled.join(", ")));
    for (const BoxRecord& box : Boxes()) QVERIFY2(!box.caption.empty(), box.text.c_str());
  }

 private:
  // Notes every window as it is shown, and closes the modal ones so the click returns.
  struct WindowWatch : QObject {
    explicit WindowWatch(QWidget* main) : m_pMain(main) {}
    bool eventFilter(QObject* object, QEvent* event) override {
      auto* w = qobject_cast<QWidget*>(object);
      if (event->type() != QEvent::Show || !w || !w->isWindow() || w == m_pMain) return false;
      if (w->inherits("QMenu") || w->windowType() == Qt::ToolTip || w->windowType() == Qt::Popup) return false;
      const QString name = w->metaObject()->className() + QString(" ") + w->objectName();
      shown << w->metaObject()->className() << w->objectName();
      QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
      if (w->windowTitle().isEmpty() || !a || a->text(QAccessible::Name).isEmpty()) untitled << name;
      if (auto* d = qobject_cast<QDialog*>(w); d && d->isModal())
        QTimer::singleShot(0, d, &QDialog::reject);
      return false;
    }
    QWidget* m_pMain;
    QStringList shown, untitled;
  };

  static void TypeNight(QWidget* dlg, int id, const char* text) {
    auto* edit = In<QLineEdit>(dlg, id);
    edit->selectAll();
    QTest::keyClicks(edit, QString::fromLatin1(text));
  }
};

QTEST_MAIN(TestDlgsFromMainWindow)
#include "test_dlgs_from_main_window.moc"
