// Faults an operator met in the running window: the picture's last rows and columns, a pile
// of decoder boxes, a finished picture lost to Stop, a link that reported success it did
// not have, a command buried in the picture bytes a stopped camera was still sending, a
// dialog used while the port was closed, refreshes from before a Close, crop fields the
// operator could not edit or had just typed, "Stop Capture" with two owners, a trace that
// screen readers could not read and whose lines did not fit.
#include <QAccessible>
#include <QFile>
#include <QLabel>
#include <QScrollBar>
#include <QLineEdit>
#include <QListWidget>
#include <QtTest>
#include <memory>
#include <thread>

#include "controls/LinkLabel.h"
#include "dialogs/RegionCropDlg.h"
#include "controls/ImageStatic.h"
#include "controls/TrafficView.h"
#include "jpeg_test_util.h"
#include "test_support.h"
#include "ui/main_window_fixture.h"
#include "protocol/CameraProtocol.h"

namespace {
constexpr int kWaitMs = 30000;

bool Near(QColor a, QColor b) {
  return std::abs(a.red() - b.red()) < 40 && std::abs(a.green() - b.green()) < 40 &&
         std::abs(a.blue() - b.blue()) < 40;
}
}  // namespace

class TestOperatorFaults : public QObject, CMainWindowFixture {
  Q_OBJECT

 private:
  void Open(const CamSimOptions& options = {}) {
    StartCamera(options);
    OpenAndIdentify();
  }
  bool Idle() { return m_dlg->Camera()->State().captureMode == CAPTURE_IDLE; }

 private slots:
  void init() { SetUpWindow(); }
  void cleanup() {
    TearDownWindow();
    CLinkLabel::SetOpenerProgram("xdg-open");
  }

  // A 640 x 480 picture fills the view to its last row and column.
  void pictureShownWhole() {
    std::vector<uint8_t> rgb(640 * 480 * 3, 0x20);
    for (int y = 464; y < 480; ++y)
      for (int x = 624; x < 640; ++x) rgb[(size_t(y) * 640 + x) * 3] = 0xFF;  // red corner
    const QString path = DirPath() + "/corner.jpg";
    QVERIFY(testsupport::WriteFile(path.toStdString(), jpegtest::EncodeJpeg(rgb.data(), 640, 480, 3)));
    auto* view = W<CImageStatic>(IDC_PICTURE);
    QCOMPARE(view->contentsRect().size(), QSize(640, 480));
    QVERIFY(view->ShowImageFile(path.toStdString()));
    const QImage shot = view->grab(view->contentsRect()).toImage();
    QCOMPARE(shot.size(), QSize(640, 480));
    QVERIFY(Near(shot.pixelColor(639, 479), QColor(255, 0, 0)));
    QVERIFY(Near(shot.pixelColor(0, 0), QColor(0x20, 0x20, 0x20)));
  }

  // Damaged pictures decoded one after another (as a capture on a noisy line does, on the
  // engine's thread): one box, the rest in the log with a count when the box closes.
  void damagedPicturesLeaveOneBox() {
    const QString path = DirPath() + "/damaged.jpg";
    QVERIFY(testsupport::WriteFile(path.toStdString(), std::vector<uint8_t>(64, 0x5A)));
    auto* view = W<CImageStatic>(IDC_PICTURE);
    std::thread worker([&] {
      for (int i = 0; i < 5; ++i) view->ShowImageFile(path.toStdString());
    });
    worker.join();
    QTRY_VERIFY_WITH_TIMEOUT(LineCount("4 more picture errors") == 1, kWaitMs);
    const auto boxes = Boxes();
    QCOMPARE(boxes.size(), size_t(1));
    QCOMPARE(boxes[0].caption, std::string("JPEG Fatal Error"));
    QCOMPARE(LineCount("Error:JPEG Fatal Error: Not a JPEG file"), 4);
    // Closed: the next error is a box again.
    view->ShowImageFile(path.toStdString());
    QTRY_COMPARE_WITH_TIMEOUT(Boxes().size(), size_t(2), kWaitMs);
  }

  // Stop between two pictures of a series keeps the finished one saveable.
  void saveAfterStopBetweenPictures() {
    Open();
    W<QLineEdit>(IDC_CONTINUE_DELAY)->setText("9999");  // the next picture waits long
    B(IDC_CONTINUES_CAPTURE)->click();
    QTRY_VERIFY_WITH_TIMEOUT(LineCount(") Time:") == 1, kWaitMs);
    const QString temp = m_dlg->SavePath() + "jpeg.tmp";
    QFile f(temp);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray shown = f.readAll();
    f.close();
    B(IDC_STOP_CAPTURE)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Idle() && B(IDC_SAVE)->isEnabled(), kWaitMs);
    B(IDC_SAVE)->click();
    QCOMPARE(Boxes().size(), size_t(1));
    QCOMPARE(Boxes()[0].caption, std::string("save success"));
    QFile saved(QString::fromStdString(Boxes()[0].text));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), shown);
  }

  // An opener that starts and then fails is a failure, reported as the others are.
  void failingOpenerReported() {
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
    QSKIP("ThreadSanitizer's runtime stops at the clone() QProcess starts a program with");
#endif
#endif
    CLinkLabel link("https://example.invalid/");
    link.show();
    CLinkLabel::SetOpenerProgram("false");
    QTest::mouseClick(&link, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(Boxes().size(), size_t(1), kWaitMs);
    QCOMPARE(Boxes()[0].text, "Unable to open hyperlink:\n\n" +
                                  CLinkLabel::OpenErrorText(CLinkLabel::kErrorNoAssociation)
                                      .toStdString());
    QVERIFY(!link.IsVisited());
    CLinkLabel::SetOpenerProgram("true");
    QTest::mouseClick(&link, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(link.IsVisited(), kWaitMs);
    QCOMPARE(Boxes().size(), size_t(1));
  }

  // Stop during a slow "Read all once": the camera goes on sending the whole picture; the
  // notice stays until it is quiet, and the next command is understood.
  void commandAfterStoppingASlowTransfer() {
    CamSimOptions options;
    options.baud = 115200;  // about 5 s for this picture
    Open(options);
    std::vector<uint8_t> big(60000, 0x33);
    m_sim->SetNextPicture(big);
    B(IDC_SINGLE_CAPTURE)->click();
    QTRY_VERIFY_WITH_TIMEOUT(LineCount("%,") > 0, kWaitMs);
    B(IDC_STOP_CAPTURE)->click();
    QVERIFY(!Idle());  // busy while the camera talks
    QTRY_VERIFY_WITH_TIMEOUT(W(IDC_STOP_NOTICE)->isVisible(), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(
        LineCount("stop success!") == 1 && Idle() && !W(IDC_STOP_NOTICE)->isVisible(), kWaitMs);
    QVERIFY(!QFile::exists(m_dlg->SavePath() + "jpeg.tmp"));  // the partial picture is gone
    B(IDC_COMPRESSION_SET)->click();
    QTRY_VERIFY_WITH_TIMEOUT(LineCount("Set compression success!") == 1, kWaitMs);
  }

  // A dialog's camera buttons follow the port; a command issued with it closed is not
  // left waiting, and the next Open identifies the camera.
  void dialogUsedWhilePortClosed() {
    Open();
    B(IDC_REGION_CROP)->click();
    auto* crop = m_dlg->findChild<CRegionCropDlg*>();
    QVERIFY(crop);
    QTRY_VERIFY_WITH_TIMEOUT(Quiet(), kWaitMs);
    B(IDC_CLOSE)->click();
    QVERIFY(!FindControl<QPushButton>(crop, 1097)->isEnabled());
    QVERIFY(!FindControl<QPushButton>(crop, 1096)->isEnabled());
    m_dlg->Camera()->Issue(MakeCommand(CMD_READ_CROP));  // as the dialog's Read did
    QVERIFY(m_dlg->Camera()->QueuedCommands().empty());
    OpenAndIdentify();
    QCOMPARE(m_dlg->Model().modelCode, 8);
    QVERIFY(FindControl<QPushButton>(crop, 1097)->isEnabled());
  }

  // A version result posted before Close but handled after it does not identify a camera
  // on a closed port (nor ask it for its settings).
  void staleResultAfterClose() {
    Open();
    CommandResult late;
    late.code = CMD_GET_VERSION;
    late.data = VersionReply{"QVX5M0 2.00"};
    m_dlg->Camera()->Host()->CommandFinished(late);  // posted, as from the worker
    B(IDC_CLOSE)->click();
    QCoreApplication::sendPostedEvents();  // the late result runs now, and must do nothing
    QVERIFY(W<QLineEdit>(IDC_VERSION)->text().isEmpty());
    QCOMPARE(m_dlg->Model().modelCode, 0);
    QVERIFY(!B(IDC_REGION_CROP)->isEnabled());
  }

  // Greyed-out crop fields go out as they stand, without a range message about them; a
  // read-back leaves what the operator typed before it came.
  void cropFieldsTheOperatorCannotOrDidEdit() {
    StartCamera();
    m_sim->SetCrop({0, 0, 0, 0, 0});  // cropping off, no window
    OpenAndIdentify();
    auto* crop = new CRegionCropDlg(m_dlg->Camera(), m_dlg.get());
    crop->show();
    auto* width = FindControl<QLineEdit>(crop, 1053);
    auto* size = FindControl<QLabel>(crop, 1116);
    QTRY_VERIFY_WITH_TIMEOUT(!size->text().isEmpty(), kWaitMs);
    QVERIFY(!width->isEnabled());
    const size_t mark = m_sim->ReceivedHex().size();
    FindControl<QPushButton>(crop, 1096)->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_sim->ReceivedHex().size() > mark, kWaitMs);
    QCOMPARE(m_sim->ReceivedHex()[mark], std::string("56 00 8B 0A 01 00 00 00 00 00 00 00 00 00"));
    QVERIFY(Boxes().empty());

    m_sim->SetCrop({16, 8, 640, 480, 1});
    QTRY_VERIFY_WITH_TIMEOUT(Quiet(), kWaitMs);
    size->clear();
    FindControl<QPushButton>(crop, 1097)->click();
    width->setText("320");  // typed before the answer is shown
    QTRY_VERIFY_WITH_TIMEOUT(!size->text().isEmpty(), kWaitMs);
    QCOMPARE(width->text(), QString("320"));
    QCOMPARE(FindControl<QLineEdit>(crop, 1054)->text(), QString("480"));
    QVERIFY(width->isEnabled());
  }

  // A refresh landing after the stop notice does not give "Stop Capture" back while the
  // line is still busy.
  void stopCaptureHasOneOwner() {
    Open();
    CameraHost* host = m_dlg->Camera()->Host();
    m_dlg->Camera()->SetCaptureMode(CAPTURE_SINGLE);
    SessionView draining = m_dlg->Camera()->State();
    draining.stopDraining = true;
    host->CaptureStateChanged(draining);
    host->CaptureStateChanged(draining);
    QCoreApplication::sendPostedEvents();  // the refresh lands after the notice
    QVERIFY(W(IDC_STOP_NOTICE)->isVisible());
    QVERIFY(!B(IDC_STOP_CAPTURE)->isEnabled());
    host->CaptureStateChanged(m_dlg->Camera()->State());
    QCoreApplication::sendPostedEvents();
    QVERIFY(B(IDC_STOP_CAPTURE)->isEnabled());
    m_dlg->Camera()->SetCaptureMode(CAPTURE_IDLE);
  }

  // Screen readers read the trace's lines on screen as text, with the caret and selection.
  void traceReadableAsText() {
    Open();
    B(IDC_COMMAND_MODE)->click();
    CTrafficView* view = m_dlg->Traffic();
    view->Refresh();
    QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(view);
    QVERIFY(reader);
    QAccessibleTextInterface* text = reader->textInterface();
    QVERIFY(text);
    const QString screen = view->ScreenText();
    QVERIFY(screen.contains("TX :56 00 11 00 \nRx :76 00 11 00 "));
    QCOMPARE(text->characterCount(), int(screen.size()));
    QCOMPARE(text->text(0, text->characterCount()), screen);
    const int tx = int(screen.indexOf("TX :"));
    text->setSelection(0, tx, tx + 11);
    QCOMPARE(view->SelectedText(), QString("TX :56 00 1"));
    QCOMPARE(text->selectionCount(), 1);
    int from = -1, to = -1;
    text->selection(0, &from, &to);
    QCOMPARE(from, tx);
    QCOMPARE(to, tx + 11);
    QCOMPARE(text->cursorPosition(), tx + 11);
    text->setCursorPosition(tx);
    QCOMPARE(text->selectionCount(), 0);
    QCOMPARE(text->offsetAtPoint(text->characterRect(tx + 4).center()), tx + 4);
  }

  // A 32-byte line of the trace fits the view as the window opens: no sideways scrolling.
  void traceLinesFitTheView() {
    Open();
    B(IDC_COMMAND_MODE)->click();
    CTrafficView* view = m_dlg->Traffic();
    view->Refresh();
    QCOMPARE(view->horizontalScrollBar()->maximum(), 0);
    QVERIFY(view->font().pointSizeF() > CTrafficView::kMinFitPoints);
  }
};

QTEST_MAIN(TestOperatorFaults)
#include "test_operator_faults.moc"
