// Faults an operator met in the running window: the picture's last rows and columns, a pile
// of decoder boxes, a finished picture lost to Stop, a link that reported success it did
// not have, and a command buried in the picture bytes a stopped camera was still sending.
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <mutex>
#include <thread>

#include "app/MainDlg.h"
#include "camsim/CamSim.h"
#include "controls/ControlName.h"
#include "controls/LinkLabel.h"
#include "controls/UiMessageBox.h"
#include "controls/ImageStatic.h"
#include "jpeg_test_util.h"
#include "protocol/CameraProtocol.h"
#include "serial/PortMap.h"

namespace {
constexpr int kWaitMs = 30000;

bool WriteFile(const QString& path, const std::vector<uint8_t>& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) &&
         f.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) ==
             qint64(bytes.size());
}

bool Near(QColor a, QColor b) {
  return std::abs(a.red() - b.red()) < 40 && std::abs(a.green() - b.green()) < 40 &&
         std::abs(a.blue() - b.blue()) < 40;
}
}  // namespace

class TestOperatorFaults : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> m_dir;
  std::unique_ptr<CCamSim> m_sim;
  std::unique_ptr<CMainDlg> m_dlg;
  std::mutex m_boxMutex;
  std::vector<BoxRecord> m_boxes;

  template <typename T = QWidget>
  T* W(int id) {
    T* w = FindControl<T>(m_dlg.get(), id);
    if (!w) qFatal("control id%d missing", id);
    return w;
  }
  QPushButton* B(int id) { return W<QPushButton>(id); }
  std::vector<BoxRecord> Boxes() {
    std::lock_guard<std::mutex> lock(m_boxMutex);
    return m_boxes;
  }
  int LineCount(const std::string& text) {
    int n = 0;
    for (const std::string& line : m_dlg->RecentStatusLines())
      n += line.find(text) != std::string::npos;
    return n;
  }
  void Open(CamSimOptions options = {}) {
    m_sim = std::make_unique<CCamSim>(options);
    QVERIFY(m_sim->Start());
    GlobalPortMap().AddOverride(1, m_sim->SlavePath());
    FindControl<QComboBox>(m_dlg.get(), IDC_PORT)->setCurrentIndex(0);
    if (options.baud) {
      auto* baud = FindControl<QComboBox>(m_dlg.get(), IDC_BAUD);
      baud->setCurrentIndex(baud->findText(QString::number(options.baud)));
    }
    B(IDC_OPEN)->click();
    QVERIFY(m_dlg->IsPortOpen());
    QTRY_VERIFY_WITH_TIMEOUT(
        !W<QLineEdit>(IDC_VERSION)->text().isEmpty() && !m_dlg->AwaitingReplies(), kWaitMs);
  }
  bool Idle() { return m_dlg->Camera()->State().captureMode == CAPTURE_IDLE; }

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
    CLinkLabel::SetOpenerProgram("xdg-open");
  }

  // A 640 x 480 picture fills the view to its last row and column.
  void pictureShownWhole() {
    std::vector<uint8_t> rgb(640 * 480 * 3, 0x20);
    for (int y = 464; y < 480; ++y)
      for (int x = 624; x < 640; ++x) rgb[(size_t(y) * 640 + x) * 3] = 0xFF;  // red corner
    const QString path = m_dir->path() + "/corner.jpg";
    QVERIFY(WriteFile(path, jpegtest::EncodeJpeg(rgb.data(), 640, 480, 3)));
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
    const QString path = m_dir->path() + "/damaged.jpg";
    QVERIFY(WriteFile(path, std::vector<uint8_t>(64, 0x5A)));
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
};

QTEST_MAIN(TestOperatorFaults)
#include "test_operator_faults.moc"
