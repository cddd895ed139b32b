// "Image Control" against the virtual camera: the two-step read, save and reset, the frames
// they send, the camera's verdicts, and how sliders and edits follow each other.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <chrono>
#include <thread>

#include "dialogs/ImageControlDlg.h"
#include "test_dlg_harness.h"

namespace {
// Day and night edit identifiers, rows in the dialog's order.
constexpr int kDayEdits[8] = {1050, 1055, 1051, 1052, 1053, 1054, 1057, 1056};
constexpr int kNightEdits[8] = {1058, 1063, 1059, 1060, 1061, 1062, 1065, 1064};

bool QueueEmpty(CCameraProtocol& camera) { return !AwaitingReply(camera); }
}  // namespace

class TestImageControlDlg : public QObject {
  Q_OBJECT
 private:
  // Opens the dialog and lets its two reads complete without it hearing the answers, so
  // it still shows its own defaults.
  static CImageControlDlg* OpenQuietly(CCamFixture& f) {
    auto* dlg = new CImageControlDlg(f.camera.get(), nullptr);
    dlg->show();
    WaitFor([&] { return f.RequestCount() >= 2 && QueueEmpty(*f.camera); });
    return dlg;
  }

 private slots:
  void defaultsWithoutCamera() {
    CImageControlDlg dlg(nullptr, nullptr);
    const char* expected[8] = {"128", "128", "128", "128", "128", "341", "0", "4"};
    for (int row = 0; row < 8; ++row) {
      QCOMPARE(Control<QLineEdit>(&dlg, kDayEdits[row])->text(), QString(expected[row]));
      QCOMPARE(Control<QLineEdit>(&dlg, kNightEdits[row])->text(), QString(expected[row]));
    }
    QCOMPARE(Control<QSlider>(&dlg, 1130)->value(), 128);
    QCOMPARE(Control<QSlider>(&dlg, 1149)->minimum(), 300);
    QCOMPARE(Control<QSlider>(&dlg, 1154)->maximum(), 10);
    QVERIFY(Control<QCheckBox>(&dlg, 1147)->isChecked());
    QVERIFY(!Control<QSlider>(&dlg, 1132)->isEnabled());
    QVERIFY(!Control<QLineEdit>(&dlg, 1054)->isEnabled());
  }

  void openingReadsDayThenNightAndShowsTheAnswers() {
    CCamFixture f;
    QVERIFY(f.Open());
    const size_t mark = f.RequestCount();
    auto* dlg = new CImageControlDlg(f.camera.get(), nullptr);
    DialogGuard guard{dlg};
    f.host.imageControl = dlg;
    dlg->show();
    QCOMPARE(f.Request(mark), std::string("56 00 90 02 04 00"));
    QCOMPARE(f.Request(mark + 1), std::string("56 00 90 02 04 01"));
    // The night answer is the last one; its mode byte names the night set.
    QVERIFY(WaitFor([&] {
      return QueueEmpty(*f.camera) && (dlg->Settings(CImageControlDlg::kNight).mode & 1) == 1;
    }));
    const ImageParams night = f.camera->Records().imageParams;
    QCOMPARE(night.mode & 1, 1);
    const ImageModeSettings& n = dlg->Settings(CImageControlDlg::kNight);
    QCOMPARE(n.brightness, int(night.brightness));
    QCOMPARE(n.whiteBalance, (night.whiteBalanceHigh << 8) | night.whiteBalanceLow);
    QCOMPARE(Control<QLineEdit>(dlg, 1064)->text(), QString::number(night.hlc));
    QCOMPARE(Control<QSlider>(dlg, 1146)->value(), int(night.brightness));
    QVERIFY(CloseDialog(dlg));
  }

  // Both answers arrive before the window gets to either: each still shows its own set.
  void twoQuickRepliesBothShown() {
    CCamFixture f;
    QVERIFY(f.Open());
    ImageModeSettings day, night;
    day.brightness = 10;
    night.brightness = 200;
    f.camera->Issue(MakeCommand(CMD_SET_IMAGE_PARAMS, ImageParamsFromSettings(day, 0)));
    f.camera->Issue(MakeCommand(CMD_SET_IMAGE_PARAMS, ImageParamsFromSettings(night, 1)));
    QVERIFY(WaitFor([&] { return QueueEmpty(*f.camera); }));
    CImageControlDlg* dlg = OpenQuietly(f);
    DialogGuard guard{dlg};
    f.host.imageControl = dlg;
    f.camera->Issue(MakeCommand(CMD_READ_IMAGE_PARAMS, CImageControlDlg::kDay));
    f.camera->Issue(MakeCommand(CMD_READ_IMAGE_PARAMS, CImageControlDlg::kNight));
    // No events meanwhile: both refreshes are queued when the window looks.
    for (int i = 0; i < 3000 && AwaitingReply(*f.camera); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    QVERIFY(!AwaitingReply(*f.camera));
    QVERIFY(WaitFor([&] { return dlg->Settings(CImageControlDlg::kNight).brightness == 200; }));
    QCOMPARE(dlg->Settings(CImageControlDlg::kDay).brightness, 10);
    QCOMPARE(Control<QLineEdit>(dlg, kDayEdits[0])->text(), QString("10"));
    QCOMPARE(Control<QLineEdit>(dlg, kNightEdits[0])->text(), QString("200"));
  }

  void saveSendsDayThenNight() {
    CCamFixture f;
    QVERIFY(f.Open());
    CImageControlDlg* dlg = OpenQuietly(f);
    DialogGuard guard{dlg};
    const size_t mark = f.RequestCount();
    QTest::mouseClick(Control<QPushButton>(dlg, 1139), Qt::LeftButton);
    QCOMPARE(f.Request(mark), std::string("56 00 91 0C 04 00 80 80 80 80 80 00 01 55 00 04"));
    QCOMPARE(f.Request(mark + 1), std::string("56 00 91 0C 04 01 80 80 80 80 80 00 01 55 00 04"));
    QVERIFY(WaitFor([&] { return f.host.HasLine("set image success!"); }));

    // Reset: day at once, night after; the camera's answers refresh the window.
    f.host.imageControl = dlg;
    QTest::mouseClick(Control<QPushButton>(dlg, 1096), Qt::LeftButton);
    QCOMPARE(f.Request(mark + 2), std::string("56 00 91 02 04 00"));
    QCOMPARE(f.Request(mark + 3), std::string("56 00 91 02 04 01"));
    QVERIFY(WaitFor([&] { return f.host.HasLine("reset image param success!") && QueueEmpty(*f.camera); }));
    QVERIFY(CloseDialog(dlg));
  }

  void manualWhiteBalanceIsCheckedThenJudgedByTheCamera() {
    CCamFixture f;
    QVERIFY(f.Open());
    CImageControlDlg* dlg = OpenQuietly(f);
    DialogGuard guard{dlg};
    // Unticking day "Auto" frees the day white balance only.
    QTest::mouseClick(Control<QCheckBox>(dlg, 1147), Qt::LeftButton);
    QVERIFY(Control<QSlider>(dlg, 1132)->isEnabled());
    QVERIFY(Control<QLineEdit>(dlg, 1054)->isEnabled());
    QVERIFY(!Control<QSlider>(dlg, 1149)->isEnabled());
    QVERIFY(!Control<QLineEdit>(dlg, 1062)->isEnabled());

    TypeInto(Control<QLineEdit>(dlg, 1054), QStringLiteral("700"));
    QCOMPARE(Control<QSlider>(dlg, 1132)->value(), 600);  // the slider stops at its end
    const size_t mark = f.RequestCount();
    // Beyond what the camera takes: refused before anything is sent.
    QTest::mouseClick(Control<QPushButton>(dlg, 1139), Qt::LeftButton);
    QVERIFY(f.host.HasBox("Please enter an integer between 300 and 600.", "Brevant"));
    QCOMPARE(f.RequestCount(), mark);
    // Within it, the camera still has the last word.
    TypeInto(Control<QLineEdit>(dlg, 1054), QStringLiteral("600"));
    f.sim.SetImageParamsStatus(1);
    QTest::mouseClick(Control<QPushButton>(dlg, 1139), Qt::LeftButton);
    QCOMPARE(f.Request(mark), std::string("56 00 91 0C 04 00 80 80 80 80 80 01 02 58 00 04"));
    QVERIFY(WaitFor([&] { return f.host.HasBox("awb range [300,600],Please input again!\n", "awb error"); }));
    QVERIFY(f.host.HasLine("set image fail!"));
    QVERIFY(CloseDialog(dlg));
  }

  void slidersAndEditsFollowEachOther() {
    CCamFixture f;
    QVERIFY(f.Open());
    CImageControlDlg* dlg = OpenQuietly(f);
    DialogGuard guard{dlg};
    // Typing into the night exposure box moves the night slider, not the day one.
    TypeInto(Control<QLineEdit>(dlg, 1065), QStringLiteral("77"));
    QCOMPARE(Control<QSlider>(dlg, 1156)->value(), 77);
    QCOMPARE(Control<QSlider>(dlg, 1137)->value(), 0);
    // Moving a slider only changes the window; "Save Configure" sends what it shows.
    QSlider* dayBrightness = Control<QSlider>(dlg, 1130);
    dayBrightness->setFocus();
    QTest::keyClick(dayBrightness, Qt::Key_Right);
    QCOMPARE(Control<QLineEdit>(dlg, 1050)->text(), QStringLiteral("129"));
    QCOMPARE(Control<QLineEdit>(dlg, 1065)->text(), QStringLiteral("77"));
    const size_t mark = f.RequestCount();
    QTest::mouseClick(Control<QPushButton>(dlg, 1139), Qt::LeftButton);
    QCOMPARE(f.Request(mark), std::string("56 00 91 0C 04 00 81 80 80 80 80 00 01 55 00 04"));
    QCOMPARE(f.Request(mark + 1), std::string("56 00 91 0C 04 01 80 80 80 80 80 00 01 55 4D 04"));

    // An out-of-range HLC brings the standard message and sends nothing.
    TypeInto(Control<QLineEdit>(dlg, 1056), QStringLiteral("12"));
    QTest::mouseClick(Control<QPushButton>(dlg, 1139), Qt::LeftButton);
    QVERIFY(f.host.HasBox("Please enter an integer between 0 and 10.", "Brevant"));
    TypeInto(Control<QLineEdit>(dlg, 1056), QStringLiteral("10"));
    QTest::mouseClick(Control<QPushButton>(dlg, 1139), Qt::LeftButton);
    QCOMPARE(f.Request(mark + 2), std::string("56 00 91 0C 04 00 81 80 80 80 80 00 01 55 00 0A"));
    QVERIFY(CloseDialog(dlg));
  }

  void readAnswerWithModeThreeUpdatesTheNightSet() {
    CCamFixture f;
    QVERIFY(f.Open());
    CImageControlDlg* dlg = OpenQuietly(f);
    DialogGuard guard{dlg};
    f.host.imageControl = dlg;
    // The camera swallows the read; the answer below, with a mode it never reports by
    // itself, stands in for its own.
    f.sim.InjectFault({CamSimFault::NeverAnswer});
    const size_t mark = f.sim.ReceivedHex().size();
    QVERIFY(f.camera->Issue(MakeCommand(CMD_READ_IMAGE_PARAMS, CImageControlDlg::kNight)));
    QVERIFY(f.sim.WaitForRequests(mark + 1, 5000));
    f.sim.SendRaw({0x76, 0x00, 0x90, 0x0C, 0x04, 3, 1, 2, 3, 4, 5, 1, 0x01, 0x2C, 6, 7});
    QVERIFY(WaitFor([&] { return dlg->Settings(CImageControlDlg::kNight).mode == 3; }));
    const ImageModeSettings& n = dlg->Settings(CImageControlDlg::kNight);
    QCOMPARE(n.brightness, 1);
    QCOMPARE(n.hue, 5);
    QCOMPARE(n.autoWhiteBalance, 0);
    QCOMPARE(n.whiteBalance, 300);
    QCOMPARE(n.exposure, 6);
    QCOMPARE(n.hlc, 7);
    QCOMPARE(dlg->Settings(CImageControlDlg::kDay).brightness, 128);
    QCOMPARE(Control<QLineEdit>(dlg, 1062)->text(), QStringLiteral("300"));
    QVERIFY(Control<QLineEdit>(dlg, 1062)->isEnabled());
    QVERIFY(!Control<QLineEdit>(dlg, 1054)->isEnabled());
    QCOMPARE(Control<QSlider>(dlg, 1154)->value(), 7);
    QVERIFY(CloseDialog(dlg));
  }
};

QTEST_MAIN(TestImageControlDlg)
#include "test_image_control_dlg.moc"
