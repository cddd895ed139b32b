// The detection dialogs against the virtual camera: which one "More" opens, the frames
// "Setting" and "Set" send, the read-back at opening and the enable rules.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "core/ModelIdentification.h"
#include "controls/ControlName.h"
#include "dialogs/IntelligentDetectionDlg.h"
#include "dialogs/MotionDetectionDlg.h"
#include "test_dlg_harness.h"

namespace {
// The list's choice as the operator makes it (the rules run on the operator's choice).
void Choose(QComboBox* combo, int index) {
  combo->setCurrentIndex(index);
  emit combo->activated(index);
}

ModelInfo Identify(const char* version) { return ParseVersionText(version, ModelInfo{}).info; }
}  // namespace

class TestDetectionDlg : public QObject {
  Q_OBJECT
 private slots:
  void moreChoosesByModelVariantAndVersion() {
    QVERIFY(ChooseIntelligentDetection(Identify("QVX5M0 2.00")));
    QVERIFY(!ChooseIntelligentDetection(Identify("QVX3M0E 1.01")));
    QVERIFY(ChooseIntelligentDetection(Identify("QVX3M0E 1.02")));
    QVERIFY(!ChooseIntelligentDetection(Identify("QVX2M0 2.2")));

    // A plain QVX5M0 offers motion only; an E variant offers persons and vehicles.
    CTestHost host;
    CCameraProtocol camera(&host);
    camera.SetModelInfo(Identify("QVX5M0 2.00"));
    {
      CIntelligentDetectionDlg dlg(&camera, nullptr);
      QComboBox* type = Control<QComboBox>(&dlg, 1112);
      QCOMPARE(type->count(), 1);
      QCOMPARE(type->itemText(0), QStringLiteral("0-Move"));
    }
    camera.SetModelInfo(Identify("QVX3M0E 1.02"));
    CIntelligentDetectionDlg dlg(&camera, nullptr);
    QComboBox* type = Control<QComboBox>(&dlg, 1112);
    QCOMPARE(type->count(), 3);
    QCOMPARE(type->itemText(2), QStringLiteral("3-Vehicle"));
  }

  void motionDetectionSetting() {
    CCamFixture f;
    QVERIFY(f.Open());
    CMotionDetectionDlg dlg(f.camera.get(), nullptr);
    QCOMPARE(Control<QComboBox>(&dlg, 1111)->currentText(), QStringLiteral("3"));
    QCOMPARE(Control<QLineEdit>(&dlg, 1106)->text(), QStringLiteral("100"));
    QCOMPARE(Control<QLineEdit>(&dlg, 1050)->text(), QStringLiteral("10"));
    const size_t mark = f.RequestCount();
    Control<QPushButton>(&dlg, 1096)->click();
    QCOMPARE(f.Request(mark), std::string("56 00 87 04 03 0A 00 64"));
    QVERIFY(WaitFor([&] { return f.host.HasLine("set mutil motion capture success!"); }));

    // 70000 does not fit the two-byte field: the message, nothing sent, the text kept; the
    // next frame is the corrected one.
    TypeInto(Control<QLineEdit>(&dlg, 1106), QStringLiteral("70000"));
    Control<QPushButton>(&dlg, 1096)->click();
    QVERIFY(f.host.HasBox("Please enter an integer between 1 and 65535.", "Brevant"));
    QCOMPARE(Control<QLineEdit>(&dlg, 1106)->text(), QStringLiteral("70000"));
    TypeInto(Control<QLineEdit>(&dlg, 1106), QStringLiteral("100"));
    Control<QPushButton>(&dlg, 1096)->click();
    QCOMPARE(f.Request(mark + 1), std::string("56 00 87 04 03 0A 00 64"));
    QCOMPARE(int(f.camera->Records().detect.interval), 100);
  }

  void intelligentDetectionSet() {
    CCamFixture f;
    QVERIFY(f.Open());
    f.camera->SetModelInfo(Identify("QVX3M0E 1.02"));
    const size_t mark = f.RequestCount();
    CIntelligentDetectionDlg dlg(f.camera.get(), nullptr);
    QCOMPARE(f.Request(mark), std::string("56 00 90 01 02"));
    QVERIFY(WaitFor([&] { return dlg.IsReadBackShown(); }));

    Choose(Control<QComboBox>(&dlg, 1147), 1);
    Choose(Control<QComboBox>(&dlg, 1112), 1);
    Choose(Control<QComboBox>(&dlg, 1114), 4);
    Choose(Control<QComboBox>(&dlg, 1120), 1);
    Choose(Control<QComboBox>(&dlg, 1116), 1);
    Choose(Control<QComboBox>(&dlg, 1118), 3);
    Choose(Control<QComboBox>(&dlg, 1111), 4);
    QCheckBox* target = Control<QCheckBox>(&dlg, 1149);
    QVERIFY(target->isEnabled());
    target->setChecked(true);
    TypeInto(Control<QLineEdit>(&dlg, 1106), QStringLiteral("1000"));
    TypeInto(Control<QLineEdit>(&dlg, 1050), QStringLiteral("30"));
    Control<QPushButton>(&dlg, 1121)->click();
    QCOMPARE(f.Request(mark + 1), std::string("56 00 91 0C 02 01 01 04 01 02 03 01 05 03 E8 1E"));
    QVERIFY(WaitFor([&] { return f.host.HasLine("set Intelligent detection success!"); }));
    QCOMPARE(int(f.camera->State().detectType), 1);

    // "3-Vehicle" is type 2 on the wire; ">3" is threshold 4.
    Choose(Control<QComboBox>(&dlg, 1112), 2);
    Choose(Control<QComboBox>(&dlg, 1116), 3);
    Control<QPushButton>(&dlg, 1121)->click();
    QCOMPARE(f.Request(mark + 2), std::string("56 00 91 0C 02 01 02 04 01 04 03 01 05 03 E8 1E"));
    QCOMPARE(int(f.camera->State().detectType), 2);

    // The camera keeps what was set: a fresh dialog shows it after its read-back.
    QVERIFY(WaitFor([&] { return !AwaitingReply(*f.camera); }));
    CIntelligentDetectionDlg again(f.camera.get(), nullptr);
    QVERIFY(WaitFor([&] { return again.IsReadBackShown(); }));
    QCOMPARE(Control<QComboBox>(&again, 1112)->currentText(), QStringLiteral("3-Vehicle"));
    QCOMPARE(Control<QComboBox>(&again, 1116)->currentText(), QStringLiteral(">3"));
    QCOMPARE(Control<QLineEdit>(&again, 1106)->text(), QStringLiteral("1000"));
    QVERIFY(Control<QCheckBox>(&again, 1149)->isChecked());
  }

  void typeAndModeRules() {
    CCamFixture f;
    QVERIFY(f.Open());
    f.camera->SetModelInfo(Identify("QVX3M0E 1.02"));
    CIntelligentDetectionDlg dlg(f.camera.get(), nullptr);
    QVERIFY(WaitFor([&] { return dlg.IsReadBackShown(); }));
    QComboBox* type = Control<QComboBox>(&dlg, 1112);
    QComboBox* mode = Control<QComboBox>(&dlg, 1120);
    const int captureIds[3] = {1111, 1106, 1050};
    const struct {
      int type, mode;
      bool thresholdAndDistance, capture, target;
    } cases[] = {{0, 0, false, false, false},
                 {1, 0, true, false, false},
                 {0, 1, false, true, false},
                 {2, 1, true, true, true}};
    for (const auto& c : cases) {
      Choose(type, c.type);
      Choose(mode, c.mode);
      QCOMPARE(Control<QComboBox>(&dlg, 1116)->isEnabled(), c.thresholdAndDistance);
      QCOMPARE(Control<QComboBox>(&dlg, 1118)->isEnabled(), c.thresholdAndDistance);
      for (int id : captureIds) QCOMPARE(FindControl<QWidget>(&dlg, id)->isEnabled(), c.capture);
      QCOMPARE(Control<QCheckBox>(&dlg, 1149)->isEnabled(), c.target);
    }
    // Greyed out by "0-Detect Only", a zero interval goes out as it stands, unquestioned.
    Choose(mode, 0);
    Control<QLineEdit>(&dlg, 1106)->setText(QStringLiteral("0"));
    const size_t mark = f.RequestCount();
    Control<QPushButton>(&dlg, 1121)->click();
    QVERIFY(f.host.Boxes().empty());
    QCOMPARE(f.Request(mark).substr(39, 5), std::string("00 00"));  // interval bytes
  }

  void readBackKeepsListsForValuesTheyCannotShow() {
    CCamFixture f;
    QVERIFY(f.Open());
    f.camera->SetModelInfo(Identify("QVX3M0E 1.02"));
    // The camera's own answer is replaced by one with threshold 0 and photos 0.
    f.sim.InjectFault({CamSimFault::NeverAnswer});
    const size_t mark = f.RequestCount();
    CIntelligentDetectionDlg dlg(f.camera.get(), nullptr);
    QCOMPARE(f.Request(mark), std::string("56 00 90 01 02"));
    f.sim.SendRaw({0x76, 0x00, 0x90, 0x0C, 0x02, 1, 2, 1, 1, 0, 4, 1, 0, 0x01, 0xF4, 7});
    QVERIFY(WaitFor([&] { return dlg.IsReadBackShown(); }));
    QCOMPARE(Control<QComboBox>(&dlg, 1147)->currentIndex(), 1);
    QCOMPARE(Control<QComboBox>(&dlg, 1112)->currentText(), QStringLiteral("3-Vehicle"));
    QCOMPARE(Control<QComboBox>(&dlg, 1116)->currentText(), QStringLiteral("1"));
    QCOMPARE(Control<QComboBox>(&dlg, 1118)->currentText(), QStringLiteral("4"));
    QCOMPARE(Control<QComboBox>(&dlg, 1111)->currentText(), QStringLiteral("3"));
    QCOMPARE(Control<QLineEdit>(&dlg, 1106)->text(), QStringLiteral("500"));
    QCOMPARE(Control<QLineEdit>(&dlg, 1050)->text(), QStringLiteral("7"));
    QVERIFY(Control<QCheckBox>(&dlg, 1149)->isChecked());
    QVERIFY(Control<QCheckBox>(&dlg, 1149)->isEnabled());
  }
};

QTEST_MAIN(TestDetectionDlg)
#include "test_detection_dlg.moc"
