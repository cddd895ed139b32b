// The main window driven through its real widgets against the virtual camera on a
// pseudo-terminal: start-up values, port handling, identification per model, captures,
// save, the baud warning and the setting commands, byte-exact on the camera's side.
#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <memory>
#include <thread>

#include "app/PictureFolder.h"
#include "serial/PortMap.h"
#include "controls/FocusPanel.h"
#include "controls/TrafficView.h"
#include "dialogs/AutoCaptureFinishDlg.h"
#include "dialogs/ImageControlDlg.h"
#include "dialogs/MultipleCaptureDlg.h"
#include "controls/ImageStatic.h"
#include "jpeg_test_util.h"
#include "test_support.h"
#include "ui/main_window_fixture.h"

using jpegtest::EncodeJpeg;
using jpegtest::MakePhotoLikeRgb;
#include "protocol/CameraProtocol.h"
#include "serial/PortMap.h"

namespace {

constexpr int kWaitMs = 20000;

const char* kBaudWarning =
    "RS485 serial：limt max 115200bps\n\nRS232 serial：limt max 230400bps\n\nTTL serail：limt "
    "max 921600bps\n\nPlease be careful to choose baud base on your serial type.\nBecasue wrong "
    "baud may cause communication fail!\n\nIf need modify please click OK or click Cancel";

std::string ReadAll(const QString& path) { return testsupport::ReadText(path.toStdString()); }

}  // namespace

class TestMainWindow : public QObject, CMainWindowFixture {
  Q_OBJECT

 private:
  QString StatusLine() {
    auto* list = W<QListWidget>(IDC_STATUS);
    return list->count() ? list->item(0)->text() : QString();
  }
  // The dialogs of one kind the window has open.
  template <typename T>
  std::vector<T*> Dialogs() {
    std::vector<T*> found;
    for (QDialog* d : m_dlg->findChildren<QDialog*>())
      if (auto* t = dynamic_cast<T*>(d)) found.push_back(t);
    return found;
  }
  // Clicks a button that runs a modal dialog; returns the dialog's title, closing it.
  QString ModalFrom(int id) {
    QString name;
    QTimer closer;
    connect(&closer, &QTimer::timeout, this, [&] {
      if (auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        name = dlg->windowTitle();
        dlg->reject();
      }
    });
    closer.start(10);
    B(id)->click();
    return name;
  }
  void Select(int id, const QString& text) {
    const int index = C(id)->findText(text);
    QVERIFY2(index >= 0, qPrintable(text));
    C(id)->setCurrentIndex(index);
  }

 private slots:
  void init() { SetUpWindow(); }
  void cleanup() { TearDownWindow(); }

  void freshStart() {
    CMainDlg fresh;
    QCOMPARE(fresh.windowTitle(), QString("Brevant V2.11"));
    QVERIFY(!fresh.windowIcon().isNull());
    QCOMPARE(fresh.SavePath(), QString::fromStdString(DefaultPictureFolder()));
    QVERIFY(fresh.SavePath().endsWith('/'));
    QVERIFY(!fresh.SavePath().contains('\\'));
    QCOMPARE(fresh.findChild<QLineEdit*>("id1012")->text(), fresh.SavePath());

    QCOMPARE(C(IDC_PORT)->currentText(), QString("COM1"));
    QCOMPARE(C(IDC_PORT)->count(), 16);
    QCOMPARE(C(IDC_PORT)->itemText(14), QString("COM15"));
    QCOMPARE(C(IDC_PORT)->itemText(15), QString::fromUtf8("Network port\u2026"));
    QCOMPARE(C(IDC_BAUD)->currentText(), QString("38400"));
    QCOMPARE(C(IDC_BAUD)->itemText(7), QString("921600"));
    QCOMPARE(C(IDC_DEFAULT_RATE)->count(), 5);
    QCOMPARE(C(IDC_DEFAULT_RATE)->currentText(), QString("38400"));
    QCOMPARE(C(IDC_COMPRESSION)->count(), 90);
    QCOMPARE(C(IDC_COMPRESSION)->currentText(), QString("0x36"));
    QCOMPARE(C(IDC_COMPRESSION)->itemText(89), QString("0x8F"));
    QCOMPARE(C(IDC_TRANSMIT)->currentText(), QString("Read all once"));
    QCOMPARE(C(IDC_TRANSMIT)->itemText(4), QString("8196Byte once"));
    QCOMPARE(C(IDC_IMAGE_SIZE)->count(), 3);
    QCOMPARE(C(IDC_IMAGE_SIZE)->currentIndex(), -1);
    QCOMPARE(C(IDC_FILL_LIGHT)->count(), 0);
    QCOMPARE(C(IDC_IMAGE_TYPE)->currentText(), QString("JPEG"));
    QVERIFY(W<QRadioButton>(IDC_DETECT_CLOSE)->isChecked());
    QVERIFY(W<QRadioButton>(IDC_POWER_SAVE_EXIT)->isChecked());
    QVERIFY(W<QRadioButton>(IDC_READ_ONE)->isChecked());
    QCOMPARE(W<QLineEdit>(IDC_VERSION)->text(), QString());
    QCOMPARE(W<QLineEdit>(IDC_SERIAL_NO)->text(), QString("0"));
    QCOMPARE(W<QLineEdit>(IDC_CONTINUE_DELAY)->text(), QString("0"));
    QCOMPARE(W<QLineEdit>(IDC_HIDDEN_EDIT)->text(), QString("36"));
    QCOMPARE(StatusLine(), QString());

    // Every control of the window, with what the operator can see of it.
    const int shown[] = {1000, 1016, 1017, 1019, 1053, 1040, 1038, 1039, 1035, 1036, 1042,
                         1030, 1012, 1022, 1010, 1020, 1011, 1050, 1051, 1046, 1047, 1112,
                         1096, 1114, 1054, 1021, 1049, 1023, 1052, 1024, 1025, 1033, 1034,
                         1041, 1055, 1008, 1048};
    const int hidden[] = {1006, 1018, 1056, 1104, 1014, 1015, 1028, 1029, 1031,
                          1032, 1037, 1009, 1113, 1026, 1105};
    for (int id : shown) QVERIFY2(W(id)->isVisible(), qPrintable(QString::number(id)));
    for (int id : hidden) QVERIFY2(!W(id)->isVisible(), qPrintable(QString::number(id)));
    QCOMPARE(B(IDC_SINGLE_CAPTURE)->text(), QString("Single Capture"));
    QCOMPARE(B(IDC_CONTINUES_CAPTURE)->text(), QString("Continues Capture"));
    QCOMPARE(B(IDC_BURST5)->text(), QString("5张连拍"));
    QCOMPARE(W(IDC_PICTURE)->contentsRect().size(), QSize(640, 480));  // inside its frame

    // Closed port: only the port controls and the views work.
    for (int id : {1016, 1017, 1019, 1008, 1011, 1012, 1055}) QVERIFY(W(id)->isEnabled());
    for (int id : {1021, 1023, 1024, 1025, 1033, 1036, 1022, 1010, 1035, 1046, 1047, 1050, 1051,
                   1054, 1038, 1039, 1096, 1112, 1114, 1040, 1042, 1049, 1020, 1052, 1053})
      QVERIFY2(!W(id)->isEnabled(), qPrintable(QString::number(id)));
  }

  void aboutBoxAndViews() {
    QAction* about = m_dlg->findChild<QAction*>("aboutAction");
    QVERIFY(about);
    QCOMPARE(about->text(), QString("About Brevant(&A)..."));
    QString title, text;
    QTimer closer;
    connect(&closer, &QTimer::timeout, this, [&] {
      if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        title = box->windowTitle();
        if (auto* label = box->findChild<QLabel*>("aboutText")) text = label->text();
        box->accept();
      }
    });
    closer.start(10);
    about->trigger();  // modal; returns once the box is closed
    closer.stop();
    QCOMPARE(title, QString("About Brevant"));
    QCOMPARE(text, QString("Brevant 2.11"));
    QVERIFY(m_dlg->isVisible());

    // "Command Mode" swaps the picture and the traffic view; twice returns to the picture.
    QPushButton* mode = B(IDC_COMMAND_MODE);
    mode->click();
    QVERIFY(W(IDC_TRAFFIC)->isVisible());
    QVERIFY(!W(IDC_PICTURE)->isVisible());
    QCOMPARE(mode->text(), QString("Image Mode"));
    mode->click();
    QVERIFY(!W(IDC_TRAFFIC)->isVisible());
    QVERIFY(W(IDC_PICTURE)->isVisible());
    QCOMPARE(mode->text(), QString("Command Mode"));
  }

  void openWithoutDevice() {
    const QString missing = DirPath() + "/no-such-tty";
    testsupport::PortOverride com14(14, missing.toStdString());
    C(IDC_PORT)->setCurrentIndex(13);
    QCOMPARE(m_dlg->findChild<QLabel*>("portDevice")->text(), missing);
    B(IDC_OPEN)->click();
    QVERIFY(!m_dlg->IsPortOpen());
    QVERIFY(QRegularExpression(R"(^\(\d\d:\d\d:\d\d\) Error:Open COM14 fail, baud is 38400$)")
                .match(StatusLine())
                .hasMatch());
    QVERIFY(B(IDC_OPEN)->isVisible());
    QVERIFY(!B(IDC_CLOSE)->isVisible());
    QVERIFY(C(IDC_PORT)->isEnabled());
    QVERIFY(!B(IDC_SINGLE_CAPTURE)->isEnabled());
    QVERIFY(!B(IDC_OPEN)->toolTip().isEmpty());  // the reason, for the operator
    QVERIFY(Boxes().empty());                    // nothing there: the error line says enough
  }

  // "Network port…" asks for an address and puts it on a free COM number for this run; a
  // typo or a cancel leaves the list where it was; a server that is not there is named.
  void networkPortEntry() {
    const int before = C(IDC_PORT)->currentIndex();
    for (const char* answer : {"", "rfc2217://rack-pi"}) {
      m_dlg->SetNetworkAddressAsker([answer] { return QString(answer); });
      C(IDC_PORT)->setCurrentIndex(15);
      QCOMPARE(C(IDC_PORT)->currentIndex(), before);
    }
    QCOMPARE(Boxes().size(), size_t(1));  // the typo, not the cancel
    QVERIFY(Boxes()[0].text.find("rfc2217://rack-pi") != std::string::npos);

    m_dlg->SetNetworkAddressAsker([] { return QString("socket://127.0.0.1:1"); });
    C(IDC_PORT)->setCurrentIndex(15);
    const int number = GlobalPortMap().NumberOf("socket://127.0.0.1:1");
    QVERIFY(number > 0);
    testsupport::PortOverride forget(number, "socket://127.0.0.1:1");
    QCOMPARE(C(IDC_PORT)->currentIndex(), number - 1);
    QCOMPARE(m_dlg->findChild<QLabel*>("portDevice")->text(), QString("socket://127.0.0.1:1"));
    B(IDC_OPEN)->click();  // the connection is made off the GUI thread: its refusal comes later
    QTRY_VERIFY_WITH_TIMEOUT(!m_dlg->IsConnecting(), kWaitMs);
    QVERIFY(!m_dlg->IsPortOpen());
    QCOMPARE(Boxes().size(), size_t(2));
    QVERIFY(Boxes()[1].text.find("Cannot open socket://127.0.0.1:1") != std::string::npos);
  }

  // A device that is there but in use: the error line as always, and a box that says why.
  void openBusyDevice() {
    StartCamera("QVX5M0 2.00");
    CMainDlg other;
    other.findChild<QPushButton*>("id1019")->click();
    QVERIFY(other.IsPortOpen());
    B(IDC_OPEN)->click();
    QVERIFY(!m_dlg->IsPortOpen());
    QVERIFY(StatusLine().endsWith(") Error:Open COM1 fail, baud is 38400"));
    const auto boxes = Boxes();
    QCOMPARE(boxes.size(), size_t(1));
    QCOMPARE(boxes[0].text, m_dlg->Camera()->LastOpenError());
    QVERIFY(!boxes[0].text.empty());
    QCOMPARE(B(IDC_OPEN)->toolTip(), QString::fromStdString(boxes[0].text));
  }

  // A rate the line refuses (here 0, which no line takes): the channel's box naming the
  // step and no other, the error line, and the port stays closed.
  void openAtARefusedRate() {
    StartCamera("QVX5M0 2.00");
    C(IDC_BAUD)->addItem("0");
    C(IDC_BAUD)->setCurrentIndex(C(IDC_BAUD)->count() - 1);
    B(IDC_OPEN)->click();
    QVERIFY(!m_dlg->IsPortOpen());
    QVERIFY(!m_dlg->Camera()->IsPortOpen());
    QVERIFY(StatusLine().endsWith(") Error:Open COM1 fail, baud is 0"));
    const auto boxes = Boxes();
    QCOMPARE(boxes.size(), size_t(1));
    QCOMPARE(boxes[0].caption, std::string("Application Error"));
    QVERIFY(boxes[0].text.rfind("WARNING:  BuildCommDCB() Failed with the following error: \n", 0) == 0);
    QVERIFY(B(IDC_OPEN)->isVisible());
    QVERIFY(!B(IDC_SINGLE_CAPTURE)->isEnabled());
  }

  void identification_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("lastRate");
    QTest::addColumn<QString>("lastSize");
    QTest::addColumn<int>("fillItems");
    QTest::addColumn<QString>("features");  // fill, OSD, More, compression, crop, image ctl, type
    QTest::addColumn<bool>("readsSettings");
    QTest::newRow("RI07") << "RI07-1.0" << "QVX0806NB" << "115200" << "640X480" << 2 << "0001000"
                          << false;
    QTest::newRow("QVX0806") << "QVX0806 1.00" << "QVX0806 1.00" << "115200" << "640X480" << 2
                             << "0001000" << false;
    QTest::newRow("QVX1M3 1.02") << "QVX1M3 1.02" << "QVX1M3 1.02" << "460800" << "2304X1296" << 2
                                 << "1000000" << false;
    QTest::newRow("QVX1M3 1.09") << "QVX1M3 1.09" << "QVX1M3 1.09" << "921600" << "2304X1296" << 2
                                 << "1111100" << false;
    QTest::newRow("QVX2M2E 1.01") << "QVX2M2E 1.01" << "QVX2M2E 1.01" << "921600" << "1920X1080"
                                  << 101 << "1111110" << true;
    QTest::newRow("QVX09-30 1.00") << "QVX09-30 1.00" << "QVX09-30 1.00" << "921600" << "640X480"
                                   << 101 << "1111111" << true;
    QTest::newRow("QVX8M0 2.00") << "QVX8M0 2.00" << "QVX8M0 2.00" << "921600" << "3840X2160"
                                 << 101 << "1111111" << true;
  }

  void identification() {
    QFETCH(QString, model);
    QFETCH(QString, shown);
    QFETCH(QString, lastRate);
    QFETCH(QString, lastSize);
    QFETCH(int, fillItems);
    QFETCH(QString, features);
    QFETCH(bool, readsSettings);
    StartCamera(model.toStdString());
    OpenAndIdentify();
    QCOMPARE(W<QLineEdit>(IDC_VERSION)->text(), shown);
    // A device without low latency adds its one-time notice around the open line.
    const QRegularExpression openLine(R"(^\(\d\d:\d\d:\d\d\) Open COM1 success,baud is 38400$)");
    const auto lines = m_dlg->RecentStatusLines();
    QVERIFY(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return openLine.match(QString::fromStdString(line)).hasMatch();
    }));
    QVERIFY(Sent("56 00 11 00"));
    QVERIFY(!B(IDC_OPEN)->isVisible());
    QVERIFY(B(IDC_CLOSE)->isVisible());
    QCOMPARE(C(IDC_DEFAULT_RATE)->itemText(C(IDC_DEFAULT_RATE)->count() - 1), lastRate);
    if (!readsSettings)  // otherwise the camera's stored rate is selected
      QCOMPARE(C(IDC_DEFAULT_RATE)->currentText(), QString("38400"));
    QCOMPARE(C(IDC_IMAGE_SIZE)->itemText(C(IDC_IMAGE_SIZE)->count() - 1), lastSize);
    QCOMPARE(C(IDC_FILL_LIGHT)->count(), fillItems);
    QCOMPARE(Sent("56 00 90 01 00"), readsSettings);
    const int ids[] = {IDC_FILL_LIGHT, IDC_OSD, IDC_MORE, IDC_COMPRESSION, IDC_REGION_CROP,
                       IDC_IMAGE_CONTROL, IDC_IMAGE_TYPE};
    for (int i = 0; i < 7; ++i)
      QVERIFY2(W(ids[i])->isEnabled() == (features[i] == '1'), qPrintable(QString::number(ids[i])));
    QCOMPARE(W(IDC_MULTI_CAPTURE)->isEnabled(), features[2] == '1');
    for (int id : {IDC_SINGLE_CAPTURE, IDC_CONTINUES_CAPTURE, IDC_SAVE, IDC_IMAGE_SIZE, IDC_RESET})
      QVERIFY(W(id)->isEnabled());
    QVERIFY(!W(IDC_PORT)->isEnabled());
    QVERIFY(!W(IDC_STOP_CAPTURE)->isEnabled());
  }

  // The default-rate list shows the rate the port was opened with, when it has it.
  void defaultRateFollowsTheOpenRate() {
    StartCamera("QVX1M3 1.09");
    Select(IDC_BAUD, "57600");
    OpenAndIdentify();
    QCOMPARE(C(IDC_DEFAULT_RATE)->currentText(), QString("57600"));
    B(IDC_CLOSE)->click();
    m_sim->SetModel("QVX0806 1.00");
    Select(IDC_BAUD, "921600");
    OpenAndIdentify();
    QCOMPARE(C(IDC_DEFAULT_RATE)->count(), 5);
    QCOMPARE(C(IDC_DEFAULT_RATE)->currentIndex(), -1);
    B(IDC_DEFAULT_RATE_MODIFY)->click();  // no rate selected: nothing is sent
    QVERIFY(Quiet());
    const std::vector<std::string> sent = m_sim->ReceivedHex();
    QVERIFY(std::none_of(sent.begin(), sent.end(),
                         [](const std::string& h) { return h.rfind("56 00 31 06", 0) == 0; }));
  }

  void captureShownAndSaved() {
    StartCamera("QVX5M0 2.00");
    OpenAndIdentify();
    const std::vector<uint8_t> rgb = MakePhotoLikeRgb(352, 288);
    const std::vector<uint8_t> frozen = EncodeJpeg(rgb.data(), 352, 288, 3);
    m_sim->SetNextPicture(frozen);
    Select(IDC_TRANSMIT, "2048Byte once");
    const size_t framesBefore = m_sim->ReceivedHex().size();
    B(IDC_SINGLE_CAPTURE)->click();
    QTRY_VERIFY_WITH_TIMEOUT(AnyLine(") Time:") && m_dlg->Camera()->State().captureMode == 0,
                             kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(B(IDC_SINGLE_CAPTURE)->isEnabled(), kWaitMs);
    QVERIFY(AnyLine("Image Size:352X288"));
    // The trace holds the whole capture and starts with its request.
    const std::vector<std::string> frames = m_sim->ReceivedHex();
    QVERIFY(frames.size() > framesBefore);
    const QString trace = m_dlg->Traffic()->Text();
    QVERIFY2(trace.startsWith(QString::fromStdString("\n\nTX :" + frames[framesBefore] + " ")),
             qPrintable(trace.left(200)));
    QVERIFY(m_dlg->Traffic()->Model().Extent().bytes > frozen.size());
    auto* picture = W<CImageStatic>(IDC_PICTURE);
    QVERIFY(picture->CurrentDib() != nullptr);
    QCOMPARE(picture->CurrentDib()->GetWidth(), 352);
    QCOMPARE(picture->CurrentDib()->GetHeight(), 288);
    const QString temp = m_dlg->SavePath() + "jpeg.tmp";
    QCOMPARE(ReadAll(temp), std::string(frozen.begin(), frozen.end()));

    B(IDC_SAVE)->click();
    const auto boxes = Boxes();
    QCOMPARE(boxes.size(), size_t(1));
    QCOMPARE(boxes[0].caption, std::string("save success"));
    QCOMPARE(boxes[0].icon, MsgIcon::Information);
    const QString saved = QString::fromStdString(boxes[0].text);
    QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(m_dlg->SavePath()) +
                                R"(jpeg_20\d{6}_\d{6}\.jpg$)")
                 .match(saved)
                 .hasMatch(),
             qPrintable(saved));
    QCOMPARE(ReadAll(saved), std::string(frozen.begin(), frozen.end()));
    QVERIFY(!QFile::exists(temp));
    B(IDC_SAVE)->click();  // the picture has moved: nothing to do
    QCOMPARE(Boxes().size(), size_t(1));

    // A folder that vanished: the error is reported and the temporary file stays.
    m_sim->SetNextPicture(frozen);
    B(IDC_SINGLE_CAPTURE)->click();
    QTRY_VERIFY_WITH_TIMEOUT(LineCount(") Time:") == 2 && B(IDC_SAVE)->isEnabled(), kWaitMs);
    QVERIFY(QFile::exists(temp));
    m_dlg->SetSavePath(DirPath() + "/gone");
    B(IDC_SAVE)->click();
    QCOMPARE(Boxes().size(), size_t(2));
    QCOMPARE(Boxes()[1].icon, MsgIcon::Error);
    QVERIFY(QFile::exists(temp));
  }

  // A length no picture of the camera can have is refused: the log says so with the length,
  // the controls are usable again, the camera is resumed and no file is left. The bound
  // follows identification: a VGA-only model refuses what a 5 MP one would take.
  void implausibleLengthRefused() {
    const std::vector<uint8_t> large(1200 * 1000, 0x5A);  // more than a VGA picture can be
    for (const char* model : {"QVX5M0 2.00", "QVX09-30 1.00"}) {
      StartCamera(model);
      OpenAndIdentify();
      const bool vga = std::string(model) == "QVX09-30 1.00";
      if (vga) {
        m_sim->SetNextPicture(large);
      } else {
        m_sim->InjectFault({CamSimFault::DropBytes, 0, 0});  // the stop reply as it is
        m_sim->InjectFault({CamSimFault::CorruptBytes, 5, 1});  // 00 -> FF in the length
      }
      const std::string said = "Transfer refused: implausible image length ";
      B(IDC_SINGLE_CAPTURE)->click();
      QTRY_VERIFY_WITH_TIMEOUT(AnyLine(said) && B(IDC_SINGLE_CAPTURE)->isEnabled() &&
                                   m_dlg->Camera()->State().captureMode == 0,
                               kWaitMs);
      QVERIFY(AnyLine(vga ? said + "1200000 (at most 987136)" : said + "42"));
      QTRY_VERIFY_WITH_TIMEOUT(m_sim->ReceivedHex().back() == "56 00 36 01 03", kWaitMs);
      QVERIFY(!QFile::exists(m_dlg->SavePath() + "jpeg.tmp"));
      B(IDC_CLOSE)->click();
      m_sim->Stop();
    }
  }

  void yuvCaptureSavedAsYuv() {
    StartCamera("QVX8M0 2.00");
    OpenAndIdentify();
    Select(IDC_IMAGE_TYPE, "YUV(NV12)");
    B(IDC_SINGLE_CAPTURE)->click();
    QTRY_VERIFY_WITH_TIMEOUT(AnyLine(") Time:") && B(IDC_SAVE)->isEnabled(), kWaitMs);
    QVERIFY(AnyLine("YUV(NV12),Image Size:"));
    QVERIFY(QFile::exists(m_dlg->SavePath() + "yuv.tmp"));
    const qint64 size = QFileInfo(m_dlg->SavePath() + "yuv.tmp").size();
    B(IDC_SAVE)->click();
    QCOMPARE(Boxes().size(), size_t(1));
    const QString saved = QString::fromStdString(Boxes()[0].text);
    QVERIFY2(QRegularExpression(R"(/yuv_20\d{6}_\d{6}\.yuv$)").match(saved).hasMatch(),
             qPrintable(saved));
    QCOMPARE(QFileInfo(saved).size(), size);
  }

  void continuousThenStop() {
    StartCamera("QVX5M0 2.00");
    OpenAndIdentify();
    B(IDC_CONTINUES_CAPTURE)->click();
    QCOMPARE(m_dlg->Camera()->State().captureMode, 2);
    QVERIFY(B(IDC_STOP_CAPTURE)->isEnabled());
    QVERIFY(!B(IDC_SINGLE_CAPTURE)->isEnabled());
    QVERIFY(!B(IDC_SAVE)->isEnabled());
    QVERIFY(!W(IDC_CLOSE)->isEnabled() || W(IDC_CLOSE)->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(AnyLine(") Time:"), kWaitMs);
    B(IDC_STOP_CAPTURE)->click();
    // Busy until the camera has stopped talking; a picture cut short is not kept.
    QTRY_VERIFY_WITH_TIMEOUT(B(IDC_SINGLE_CAPTURE)->isEnabled() && !W(IDC_STOP_NOTICE)->isVisible(),
                             kWaitMs);
    QCOMPARE(m_dlg->Camera()->State().captureMode, 0);
    QVERIFY(W<QRadioButton>(IDC_DETECT_CLOSE)->isChecked());
    QVERIFY(W(IDC_OSD)->isEnabled());  // the model's set is back
  }

  // View > Focus Assist: hidden at first; shown, it follows a continuous capture picture by
  // picture, as text a screen reader can read. Each run is a series of its own; a single
  // capture is shown but stays out of it; "Clear" starts the series again.
  void focusAssistFollowsTheSeries() {
    CFocusPanel* panel = m_dlg->FocusPanel();
    QVERIFY(!panel->isVisible());
    auto* action = m_dlg->findChild<QAction*>("focusAssistAction");
    QVERIFY(action);
    action->trigger();
    QVERIFY(panel->isVisible());
    StartCamera("QVX5M0 2.00");
    OpenAndIdentify();
    auto run = [&](const char* until) {
      B(IDC_CONTINUES_CAPTURE)->click();
      QTRY_VERIFY_WITH_TIMEOUT(panel->FiguresText().contains(until), kWaitMs);
      B(IDC_STOP_CAPTURE)->click();
      QTRY_VERIFY_WITH_TIMEOUT(B(IDC_SINGLE_CAPTURE)->isEnabled() && Quiet(), kWaitMs);
    };
    run("Picture 4;");
    // The second run counts from 1 again, never from where the first one ended.
    run("Picture 2;");
    const int length = panel->SeriesLength();
    const int best = panel->BestPicture();
    QVERIFY(length >= 2 && best >= 1 && best <= length);
    B(IDC_SINGLE_CAPTURE)->click();
    QTRY_VERIFY_WITH_TIMEOUT(!panel->FiguresText().contains("Picture"), kWaitMs);
    QVERIFY(panel->FiguresText().startsWith("sharpness "));
    QCOMPARE(panel->SeriesLength(), length);
    QCOMPARE(panel->BestPicture(), best);
    panel->findChild<QPushButton*>("focusClear")->click();
    QCOMPARE(panel->SeriesLength(), 0);
    QCOMPARE(panel->BestPicture(), 0);
    action->trigger();
    QVERIFY(!panel->isVisible());
  }

  // A camera that falls silent mid-picture: the re-requests go on, the log says so once and
  // the bar says it waits; bytes clear that, and Stop Capture ends a stalled transfer.
  void silentCameraShownAsStalled() {
    StartCamera("QVX5M0 2.00");
    OpenAndIdentify();
    // Longer than the engine's own wait for an answer, so a recovering transfer never hits it.
    m_dlg->Camera()->SetStallNotice(2500);
    Select(IDC_TRANSMIT, "2048Byte once");
    auto* bar = W<QProgressBar>(IDC_PROGRESS);
    const std::string said = "no data from the camera for 3 s; Stop Capture ends the transfer";

    m_sim->InjectFault({CamSimFault::Mute, 1000});
    B(IDC_SINGLE_CAPTURE)->click();
    QTRY_VERIFY_WITH_TIMEOUT(LineCount(said) == 1 && bar->isTextVisible(), kWaitMs);
    QCOMPARE(bar->text(), QString("waiting for the camera"));
    // A re-request while nobody answers (it waits unread on the line): still said once.
    const size_t unread = m_sim->UnreadBytes();
    QTRY_VERIFY_WITH_TIMEOUT(m_sim->UnreadBytes() > unread, kWaitMs);
    QCOMPARE(LineCount(said), 1);
    m_sim->SetMuted(false);
    QTRY_VERIFY_WITH_TIMEOUT(!bar->isTextVisible(), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(AnyLine(") Time:") && B(IDC_SINGLE_CAPTURE)->isEnabled(), kWaitMs);
    QVERIFY(m_sim->WaitIdle(kWaitMs));  // answers to the requests that waited, all sent

    m_sim->InjectFault({CamSimFault::Mute, 1000});
    B(IDC_SINGLE_CAPTURE)->click();
    QTRY_VERIFY_WITH_TIMEOUT(LineCount(said) == 2 && bar->isTextVisible(), kWaitMs);
    B(IDC_STOP_CAPTURE)->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->Camera()->State().captureMode == 0 &&
                                 B(IDC_SINGLE_CAPTURE)->isEnabled() && !bar->isTextVisible(),
                             kWaitMs);
    QVERIFY(!QFile::exists(m_dlg->SavePath() + "jpeg.tmp"));
    QCOMPARE(LineCount(said), 2);
  }

  void baudWarning() {
    StartCamera("QVX8M0 2.00");
    OpenAndIdentify();
    Select(IDC_DEFAULT_RATE, "230400");
    m_answer = IDCANCEL;
    B(IDC_DEFAULT_RATE_MODIFY)->click();
    auto boxes = Boxes();
    QCOMPARE(boxes.size(), size_t(1));
    QCOMPARE(boxes[0].caption, std::string("Warning"));
    QCOMPARE(boxes[0].text, std::string(kBaudWarning));
    QCOMPARE(boxes[0].buttons, MsgButtons::OkCancel);
    QVERIFY(Quiet());  // Cancel: nothing queued, nothing sent
    m_answer = IDOK;
    B(IDC_DEFAULT_RATE_MODIFY)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Sent("56 00 31 06 05 02 00 08 EE A1"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(Quiet(), kWaitMs);  // its reply, then the reset that follows
    const size_t before = Boxes().size();
    Select(IDC_DEFAULT_RATE, "115200");
    B(IDC_DEFAULT_RATE_MODIFY)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Sent("56 00 31 06 04 02 00 08 0D A6"), kWaitMs);
    QCOMPARE(Boxes().size(), before);  // no warning up to 115200
    QCOMPARE(Sent("56 00 31 06 05 02 00 08 EE A1"), true);
    int cancelled = 0;
    for (const std::string& hex : m_sim->ReceivedHex()) cancelled += hex.rfind("56 00 31 06", 0) == 0;
    QCOMPARE(cancelled, 2);
  }

  void settingCommands() {
    StartCamera("QVX8M0 2.00");
    OpenAndIdentify();
    Select(IDC_FILL_LIGHT, "0-close");
    B(IDC_FILL_LIGHT_SET)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Sent("56 00 85 01 00"), kWaitMs);
    Select(IDC_FILL_LIGHT, "35%");
    B(IDC_FILL_LIGHT_SET)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Sent("56 00 85 01 23"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(StatusLine().endsWith("set fill light success!"), kWaitMs);

    Select(IDC_IMAGE_SIZE, "1920X1080");
    B(IDC_IMAGE_SIZE_SET)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Sent("56 00 31 05 05 01 00 19 66"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(Quiet(), kWaitMs);

    Select(IDC_COMPRESSION, "0x8F");
    B(IDC_COMPRESSION_SET)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Sent("56 00 31 05 01 01 12 04 8F"), kWaitMs);

    // A serial number or delay that is out of range, negative, empty or not a number is
    // refused with the standard message and not used.
    for (const char* bad : {"300", "-1", "", "7x"}) {
      const size_t boxes = Boxes().size();
      W<QLineEdit>(IDC_SERIAL_NO)->setText(bad);
      B(IDC_COMPRESSION_SET)->click();
      QCOMPARE(Boxes().size(), boxes + 1);
      QCOMPARE(Boxes().back().text, std::string("Please enter an integer between 0 and 255."));
      QCOMPARE(int(m_dlg->Camera()->Settings().serialNumber), 0);
    }
    QTRY_VERIFY_WITH_TIMEOUT(Quiet(), kWaitMs);
    QVERIFY(m_sim->ReceivedHex().back().rfind("56 00 31 05 01 01 12 04", 0) == 0);
    W<QLineEdit>(IDC_SERIAL_NO)->setText("0");
    Select(IDC_COMPRESSION, "0x40");
    for (const char* bad : {"10000", "-5", "", "1e3"}) {
      W<QLineEdit>(IDC_CONTINUE_DELAY)->setText(bad);
      B(IDC_CONTINUES_CAPTURE)->click();
      QCOMPARE(Boxes().back().text, std::string("Please enter an integer between 0 and 9999."));
      QCOMPARE(m_dlg->Camera()->Settings().continueDelay, 0u);
      QVERIFY(Quiet());
    }
    // Only the command that waits between pictures reads the delay.
    const size_t boxes = Boxes().size();
    B(IDC_COMPRESSION_SET)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Sent("56 00 31 05 01 01 12 04 40"), kWaitMs);
    QCOMPARE(Boxes().size(), boxes);
  }

  void trafficAndClear() {
    StartCamera("QVX1M3 1.09");
    OpenAndIdentify();
    CTrafficView* traffic = m_dlg->Traffic();
    QTRY_VERIFY_WITH_TIMEOUT(traffic->Text().contains("TX :56 00 11 00 \nRx :76 00 11 00 "),
                             kWaitMs);
    B(IDC_CLEAR)->click();  // hidden view: emptied too
    QCOMPARE(traffic->Text(), QString());
    QCOMPARE(StatusLine(), QString());
    B(IDC_COMMAND_MODE)->click();
    QVERIFY(W<CTrafficView>(IDC_TRAFFIC)->isVisible());

    // A flood from another thread is kept whole and the shown view follows the newest line.
    std::thread writer([traffic] {
      std::vector<uint8_t> chunk(20000, 0xAB);
      const uint8_t frame[] = {0x56, 0x00, 0x32, 0x0C};
      traffic->Model().Append(true, frame, sizeof frame);
      for (int i = 0; i < 80; ++i) traffic->Model().Append(false, chunk.data(), chunk.size());
      const uint8_t last[] = {0x76, 0x00, 0x11, 0x00};
      traffic->Model().Append(false, last, sizeof last);
    });
    writer.join();
    QTRY_VERIFY_WITH_TIMEOUT(traffic->Text().endsWith("AB 76 00 11 00 "), kWaitMs);
    QCOMPARE(traffic->Model().Extent().bytes, size_t(4 + 80 * 20000 + 4));
    const QString kept = traffic->Text();
    QVERIFY(kept.startsWith("\n\nTX :56 00 32 0C \nRx :AB AB "));
    QCOMPARE(kept.count("AB "), 80 * 20000);
    QTRY_VERIFY_WITH_TIMEOUT(traffic->verticalScrollBar()->value() > 0 &&
                                 traffic->verticalScrollBar()->value() ==
                                     traffic->verticalScrollBar()->maximum(),
                             kWaitMs);
    QVERIFY(traffic->IsFollowing());
    // Scrolled up, the view stays where the operator put it while traffic comes in.
    traffic->verticalScrollBar()->setValue(10);
    QVERIFY(!traffic->IsFollowing());
    const uint8_t more[] = {0x76, 0x00, 0x11, 0x00};
    traffic->Model().Append(false, more, sizeof more);
    traffic->Refresh();
    QCOMPARE(traffic->verticalScrollBar()->value(), 10);
  }

  void closeResetsModel() {
    StartCamera("QVX8M0 2.00");
    OpenAndIdentify();
    QCOMPARE(m_dlg->Model().modelCode, 15);
    B(IDC_CLOSE)->click();
    QVERIFY(!m_dlg->IsPortOpen());
    QVERIFY(StatusLine().endsWith(") Close port"));
    QCOMPARE(W<QLineEdit>(IDC_VERSION)->text(), QString());
    QCOMPARE(m_dlg->Model().modelCode, 0);
    QCOMPARE(m_dlg->Camera()->State().model.modelCode, 0);
    QVERIFY(B(IDC_OPEN)->isVisible());
    QVERIFY(!B(IDC_CLOSE)->isVisible());
    QCOMPARE(C(IDC_IMAGE_SIZE)->count(), 14);  // lists keep what identification put there

    // The next camera names no known model: only the basic set is offered.
    m_sim->SetModel("UNKNOWN 1.00");
    OpenAndIdentify();
    for (int id : {IDC_FILL_LIGHT, IDC_OSD, IDC_MORE, IDC_REGION_CROP, IDC_IMAGE_CONTROL,
                   IDC_IMAGE_TYPE})
      QVERIFY2(!W(id)->isEnabled(), qPrintable(QString::number(id)));
    QVERIFY(B(IDC_SINGLE_CAPTURE)->isEnabled());
  }

  // The feature buttons open the right windows, and the engine's notices reach them.
  void featureDialogs() {
    StartCamera("QVX8M0 2.00");
    OpenAndIdentify();
    QCOMPARE(ModalFrom(IDC_MORE), QString("Intelligent Detection"));
    QCOMPARE(ModalFrom(IDC_OSD), QString("OSD Char"));

    B(IDC_MULTI_CAPTURE)->click();
    QCOMPARE(Dialogs<CMultipleCaptureDlg>().size(), size_t(1));
    CMultipleCaptureDlg* first = Dialogs<CMultipleCaptureDlg>()[0];
    QVERIFY(first->isVisible());
    B(IDC_MULTI_CAPTURE)->click();
    const auto both = Dialogs<CMultipleCaptureDlg>();
    QCOMPARE(both.size(), size_t(2));
    CMultipleCaptureDlg* newest = both[0] == first ? both[1] : both[0];
    SessionView reading = m_dlg->Camera()->State();
    reading.burstRead = {reading.burstRead.changes + 1, true, 1, 3};
    m_dlg->Camera()->Host()->CaptureStateChanged(reading);
    QTRY_COMPARE_WITH_TIMEOUT(newest->findChild<QPushButton*>("id1116")->text(),
                              QString("Next1/3"), kWaitMs);
    QCOMPARE(first->findChild<QPushButton*>("id1116")->text(), QString("Read capture"));

    B(IDC_IMAGE_CONTROL)->click();
    B(IDC_IMAGE_CONTROL)->click();  // the earlier one is replaced, not stacked
    QTRY_COMPARE_WITH_TIMEOUT(Dialogs<CImageControlDlg>().size(), size_t(1), kWaitMs);

    QTRY_VERIFY_WITH_TIMEOUT(Quiet(), kWaitMs);  // reports are looked for when nothing is awaited
    m_sim->SendAutoCaptureReport(2);
    QTRY_COMPARE_WITH_TIMEOUT(Dialogs<CAutoCaptureFinishDlg>().size(), size_t(1), kWaitMs);
    QVERIFY(Dialogs<CAutoCaptureFinishDlg>()[0]->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(Quiet(), kWaitMs);
    B(IDC_RESET)->click();  // closes and forgets the "Auto Capture finish" window
    QTRY_VERIFY_WITH_TIMEOUT(Dialogs<CAutoCaptureFinishDlg>().empty(), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(Sent("56 00 26 00"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(Quiet(), kWaitMs);  // the reset's "Init end" must not reach the next session

    B(IDC_CLOSE)->click();
    m_sim->SetModel("QVX1M3 1.09");
    OpenAndIdentify();
    QCOMPARE(ModalFrom(IDC_MORE), QString("MotionDetection"));
  }

  // A camera that goes away (cable pulled): the port is closed and the operator told why.
  void lineFailureClosesThePort() {
    StartCamera("QVX5M0 2.00");
    OpenAndIdentify();
    CamSimFault fault;
    fault.kind = CamSimFault::CloseLine;
    m_sim->InjectFault(fault);
    B(IDC_RESET)->click();
    QTRY_VERIFY_WITH_TIMEOUT(!m_dlg->IsPortOpen(), kWaitMs);
    QVERIFY(B(IDC_OPEN)->isVisible());
    QVERIFY(C(IDC_PORT)->isEnabled());
    QVERIFY(StatusLine().contains(") Error:"));
    QCOMPARE(W<QLineEdit>(IDC_VERSION)->text(), QString());
  }

  void browseChangesOnlyTheFolder() {
    StartCamera("QVX8M0 2.00");
    OpenAndIdentify();
    Select(IDC_IMAGE_SIZE, "1920X1080");
    QString title;
    m_dlg->SetFolderChooser([&](QWidget*, const QString& t, const QString&) {
      title = t;
      return DirPath() + "/sub";
    });
    B(IDC_BROWSE)->click();
    m_dlg->SetFolderChooser({});
    QCOMPARE(title, QString("Select a folder"));
    QCOMPARE(m_dlg->SavePath(), DirPath() + "/sub/");
    QCOMPARE(W<QLineEdit>(IDC_PATH)->text(), DirPath() + "/sub/");
    QCOMPARE(QString::fromStdString(m_dlg->Camera()->Settings().savePath), DirPath() + "/sub/");
    QCOMPARE(C(IDC_IMAGE_SIZE)->currentText(), QString("1920X1080"));
    m_dlg->SetFolderChooser([](QWidget*, const QString&, const QString&) { return QString(); });
    B(IDC_BROWSE)->click();  // Cancel changes nothing
    m_dlg->SetFolderChooser({});
    QCOMPARE(m_dlg->SavePath(), DirPath() + "/sub/");
  }

  void closingTheWindowClosesThePort() {
    StartCamera("QVX5M0 2.00");
    OpenAndIdentify();
    CCameraProtocol* camera = m_dlg->Camera();
    QVERIFY(camera->IsPortOpen());
    m_dlg->close();
    QVERIFY(!camera->IsPortOpen());
  }

};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
