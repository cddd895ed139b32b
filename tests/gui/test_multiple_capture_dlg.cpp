// "MultipleCapture" and "Auto Capture finish" against the virtual camera: the burst and
// power-on frames, the gating of the power-on button, and reading the stored pictures
// one by one through the ordinary transfer.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "core/ModelIdentification.h"
#include "dialogs/AutoCaptureFinishDlg.h"
#include "dialogs/MultipleCaptureDlg.h"
#include "test_dlg_harness.h"

namespace {
ModelInfo Identify(const char* version) { return ParseVersionText(version, ModelInfo{}).info; }

void Choose(QComboBox* combo, int index) {
  combo->setCurrentIndex(index);
  emit combo->activated(index);
}
}  // namespace

class TestMultipleCaptureDlg : public QObject {
  Q_OBJECT
 private slots:
  void powerOnCaptureGating() {
    CCamFixture f;  // the buttons follow the port: it is open
    QVERIFY(f.Open());
    CCameraProtocol& camera = *f.camera;
    // Both numbers must reach 2: 3.0 does not qualify, 3.5 does.
    const struct {
      const char* version;
      bool enabled;
    } cases[] = {{"QVX2M0 2.1", false}, {"QVX2M0 2.2", true}, {"QVX5M0 2.00", true},
                 {"QVX2M0 3.0", false}, {"QVX1M3 3.5", true}, {"", false}};
    for (const auto& c : cases) {
      camera.SetModelInfo(Identify(c.version));
      CMultipleCaptureDlg dlg(&camera, nullptr);
      QCOMPARE(Control<QPushButton>(&dlg, 1117)->isEnabled(), c.enabled);
      QVERIFY(!Control<QPushButton>(&dlg, 1116)->isEnabled());
      QVERIFY(Control<QPushButton>(&dlg, 1115)->isEnabled());
    }
  }

  void burstAndPowerOnFrames() {
    CCamFixture f;
    QVERIFY(f.Open());
    f.camera->SetModelInfo(Identify("QVX5M0 2.00"));
    CMultipleCaptureDlg dlg(f.camera.get(), nullptr);
    QCOMPARE(Control<QComboBox>(&dlg, 1111)->currentText(), QStringLiteral("3"));
    QCOMPARE(Control<QLineEdit>(&dlg, 1106)->text(), QStringLiteral("500"));
    const size_t mark = f.RequestCount();
    Control<QPushButton>(&dlg, 1115)->click();
    QCOMPARE(f.Request(mark), std::string("56 00 88 03 03 01 F4"));
    QVERIFY(f.host.HasLine("Capture now,Please wait..."));
    QVERIFY(WaitFor([&] { return f.host.HasLine("Mutil capture success!"); }));

    Control<QPushButton>(&dlg, 1117)->click();
    QCOMPARE(f.Request(mark + 1), std::string("56 00 91 04 01 03 01 F4"));
    QVERIFY(WaitFor([&] { return f.host.HasLine("set power auto capturesuccess"); }));

    // "0-Close auto snap": no burst to take; the power-on burst is switched off.
    Choose(Control<QComboBox>(&dlg, 1111), 0);
    QVERIFY(!Control<QPushButton>(&dlg, 1115)->isEnabled());
    Control<QPushButton>(&dlg, 1117)->click();
    QCOMPARE(f.Request(mark + 2), std::string("56 00 91 04 01 00 01 F4"));
    // The power-on setting leaves the burst record alone.
    QCOMPARE(int(f.camera->Records().multiCapture.photos), 3);

    // An interval out of range: the message and nothing sent; the corrected value goes out.
    Choose(Control<QComboBox>(&dlg, 1111), 2);
    TypeInto(Control<QLineEdit>(&dlg, 1106), QStringLiteral("12000"));
    Control<QPushButton>(&dlg, 1115)->click();
    QVERIFY(f.host.HasBox("Please enter an integer between 0 and 10000.", "Brevant"));
    TypeInto(Control<QLineEdit>(&dlg, 1106), QStringLiteral("9000"));
    Control<QPushButton>(&dlg, 1115)->click();
    QCOMPARE(f.Request(mark + 3), std::string("56 00 88 03 02 23 28"));
  }

  void burstReadPictureByPicture() {
    CCamFixture f;
    QVERIFY(f.Open());
    auto* dlg = new CMultipleCaptureDlg(f.camera.get(), nullptr);
    f.host.multiCapture = dlg;
    dlg->show();
    QPushButton* read = Control<QPushButton>(dlg, 1116);
    QPushButton* test = Control<QPushButton>(dlg, 1115);
    test->click();
    QVERIFY(WaitFor([&] { return read->isEnabled(); }));

    const char* captions[3] = {"Next1/3", "Next2/3", "Read mutil capture"};
    for (int k = 1; k <= 3; ++k) {
      const size_t mark = f.RequestCount();
      read->click();
      QVERIFY(!test->isEnabled());
      QCOMPARE(f.Request(mark), "56 00 34 01 0" + std::to_string(k));
      QVERIFY(WaitFor([&] { return f.host.PictureCount() == size_t(k) && read->text() == captions[k - 1]; }));
      QVERIFY(f.WaitForResume(mark));
      QCOMPARE(f.host.Picture(k - 1), f.sim.StoredPicture(k));
      QCOMPARE(f.camera->State().captureMode, k < 3 ? CAPTURE_MULTI_READ : CAPTURE_IDLE);
    }
    QVERIFY(!read->isEnabled());
    QVERIFY(test->isEnabled());
    dlg->close();
    delete dlg;
  }

  void autoCaptureReportSteppedThrough() {
    CCamFixture f;
    QVERIFY(f.Open());
    f.sim.SendAutoCaptureReport(5);
    QVERIFY(WaitFor([&] { return !f.host.autoCapture.isNull(); }));
    QPointer<CAutoCaptureFinishDlg> dlg = f.host.autoCapture;
    QCOMPARE(dlg->windowTitle(), QStringLiteral("Auto Capture finish"));
    QPushButton* button = Control<QPushButton>(dlg, 1117);
    QCOMPARE(button->text(), QStringLiteral("read photos0/5"));

    for (int k = 1; k <= 5; ++k) {
      const size_t mark = f.RequestCount();
      QVERIFY(dlg);
      button->click();
      if (k < 5) QCOMPARE(button->text(), QStringLiteral("Next%1/5").arg(k));
      QCOMPARE(f.Request(mark), "56 00 34 01 0" + std::to_string(k));
      QCOMPARE(f.camera->State().autoReadIndex, k);
      QVERIFY(WaitFor([&] { return f.host.PictureCount() == size_t(k); }));
      QVERIFY(f.WaitForResume(mark));
      QCOMPARE(f.host.Picture(k - 1), f.sim.StoredPicture(k));
    }
    // The fifth press closed the dialog; its picture still arrived.
    QVERIFY(WaitFor([&] { return dlg.isNull(); }));
  }

  void newReportReplacesTheDialogAndFailureOpensNone() {
    CCamFixture f;
    QVERIFY(f.Open());
    f.sim.SendAutoCaptureReport(5);
    QVERIFY(WaitFor([&] { return f.host.autoCaptureDialogsOpened == 1; }));
    QPointer<CAutoCaptureFinishDlg> first = f.host.autoCapture;
    f.sim.SendAutoCaptureReport(2);
    QVERIFY(WaitFor([&] { return f.host.autoCaptureDialogsOpened == 2 && first.isNull(); }));
    QCOMPARE(f.host.autoCapture->Count(), 2);
    QCOMPARE(Control<QPushButton>(f.host.autoCapture, 1117)->text(), QStringLiteral("read photos0/2"));
    f.host.autoCapture->close();

    f.sim.SendAutoCaptureReport(0xEE);
    QVERIFY(WaitFor([&] { return f.host.HasBox("Snap erro after power on!", "Brevant"); }));
    QCOMPARE(f.host.autoCaptureDialogsOpened, 2);
  }
};

QTEST_MAIN(TestMultipleCaptureDlg)
#include "test_multiple_capture_dlg.moc"
