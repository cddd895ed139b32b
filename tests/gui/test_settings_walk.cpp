// The dialogs' checks walked through the same boundaries as the command line and the profile
// reader (tests/unit/cli/test_settings_table.cpp): each dialog refuses exactly the values the
// settings table refuses, plus a crop window its picture cannot hold, and its lists offer
// exactly the table's range.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "core/SettingsRules.h"
#include "dialogs/IntelligentDetectionDlg.h"
#include "dialogs/MotionDetectionDlg.h"
#include "dialogs/OsdCharDlg.h"
#include "dialogs/RegionCropDlg.h"
#include "settings_walk.h"
#include "test_dlg_harness.h"

namespace {

struct EditWalk {
  const char* section;
  const char* field;
  int edit;
};

struct ListSpan {
  int combo;
  const char* section;
  const char* field;
};

}  // namespace

class TestSettingsWalk : public QObject {
  Q_OBJECT
 private:
  // Types each probe into its edit, presses `button` and compares the dialog's verdict (a box
  // or none) with the table's, or with `expected` where the camera's state adds a rule.
  static void Walk(CCamFixture& f, QWidget* dlg, int button, const std::vector<EditWalk>& walks,
                   const std::function<bool(const SettingRow&, long long)>& expected = {}) {
    for (const EditWalk& walk : walks) {
      const SettingRow& row = Setting(walk.section, walk.field);
      QLineEdit* edit = Control<QLineEdit>(dlg, walk.edit);
      QVERIFY2(edit, walk.field);
      const QString kept = edit->text();
      for (long long value : BoundaryProbes(row)) {
        QVERIFY2(edit->isEnabled(), walk.field);  // a greyed field is not checked: it goes as it stands
        edit->setText(QString::number(value));
        f.host.ClearBoxes();
        QPushButton* press = Control<QPushButton>(dlg, button);
        QVERIFY2(press->isEnabled(), walk.field);
        press->click();
        const bool refused = !f.host.Boxes().empty();
        const bool want = expected ? expected(row, value) : RefuseValue(row, value).has_value();
        const std::string name = std::string(row.section) + "." + row.field + " = " + std::to_string(value);
        QVERIFY2(refused == want, (name + (refused ? ": refused" : ": sent") + ", edit '" +
                                   edit->text().toStdString() + "'").c_str());
        QVERIFY(WaitFor([&] { return !AwaitingReply(*f.camera); }));
      }
      edit->setText(kept);
    }
  }

  static void Spans(QWidget* dlg, const std::vector<ListSpan>& spans) {
    for (const ListSpan& span : spans) {
      const SettingRow& row = Setting(span.section, span.field);
      const QComboBox* combo = Control<QComboBox>(dlg, span.combo);
      QVERIFY2(combo, span.field);
      const long long values = row.kind == SettingKind::Choice ? static_cast<long long>(ChoiceNames(row).size())
                                                                : (row.max - row.min) / row.step + 1;
      QVERIFY2(combo->count() == values, (std::string(span.section) + "." + span.field).c_str());
    }
  }

 private slots:
  void regionCroppingRefusesWhatTheTableAndThePictureRefuse() {
    CCamFixture f;
    QVERIFY(f.Open());
    f.sim.SetImageSizeIndex(14);  // 3840X2160, the table's largest window
    f.sim.SetCrop({0, 0, 32, 32, 1});
    auto* dlg = new CRegionCropDlg(f.camera.get(), nullptr);
    DialogGuard guard{dlg};
    dlg->show();
    QVERIFY(WaitFor([&] { return Control<QLineEdit>(dlg, 1053)->text() == "32"; }));
    const auto fits = [&](const SettingRow& row, long long value) {
      CropSettings crop{0, 0, 32, 32, 3840, 2160, 1, 1, 0};
      const std::string field = row.field;
      (field == "x" ? crop.x : field == "y" ? crop.y : field == "width" ? crop.width : crop.height) =
          static_cast<uint16_t>(value);
      ProfileSettings writes;
      writes.crop = crop;
      return RefuseValue(row, value) || RefuseForCamera(writes, CameraState{{}, 3840, 2160});
    };
    Walk(f, dlg, 1096, {{"crop", "x", 1051}, {"crop", "y", 1052}, {"crop", "width", 1053}, {"crop", "height", 1054}},
         fits);
  }

  void imageControlRefusesWhatTheTableRefuses() {
    CCamFixture f;
    QVERIFY(f.Open());
    auto* dlg = new CImageControlDlg(f.camera.get(), nullptr);
    DialogGuard guard{dlg};
    dlg->show();
    QVERIFY(WaitFor([&] { return f.RequestCount() >= 2 && !AwaitingReply(*f.camera); }));
    auto* autoBalance = Control<QCheckBox>(dlg, 1147);  // day: the manual balance's edit is live
    if (autoBalance->isChecked()) QTest::mouseClick(autoBalance, Qt::LeftButton);
    Walk(f, dlg, 1139,
         {{"image", "brightness", 1050}, {"image", "contrast", 1055}, {"image", "sharpness", 1051},
          {"image", "saturation", 1052}, {"image", "hue", 1053}, {"image", "awb", 1054},
          {"image", "exposure", 1057}, {"image", "hlc", 1056}});
  }

  void detectionAndCaptureDialogsRefuseWhatTheTableRefuses() {
    CCamFixture f;
    QVERIFY(f.Open());
    auto* motion = new CMotionDetectionDlg(f.camera.get(), nullptr);
    DialogGuard motionGuard{motion};
    motion->show();
    Walk(f, motion, 1096, {{"motion_capture", "interval", 1106}, {"motion_capture", "next", 1050}});
    Spans(motion, {{1111, "motion_capture", "photos"}});

    auto* detection = new CIntelligentDetectionDlg(f.camera.get(), nullptr);
    DialogGuard detectionGuard{detection};
    detection->show();
    auto* mode = Control<QComboBox>(detection, 1120);  // detect and capture: the capture fields are live
    mode->setCurrentIndex(1);
    emit mode->activated(1);
    Walk(f, detection, 1121, {{"detection", "interval", 1106}, {"detection", "next", 1050}});
    // (The type list follows the model: motion only, or all three.)
    Spans(detection, {{1147, "detection", "power_on"}, {1114, "detection", "sensitivity"}, {1120, "detection", "mode"},
                      {1118, "detection", "distance"}, {1116, "detection", "threshold"},
                      {1111, "detection", "photos"}});

    auto* burst = new CMultipleCaptureDlg(f.camera.get(), nullptr);
    DialogGuard burstGuard{burst};
    burst->show();
    // One list and one interval serve the burst and the power-on capture alike.
    Spans(burst, {{1111, "power_on_capture", "photos"}});
    auto* photos = Control<QComboBox>(burst, 1111);
    photos->setCurrentIndex(3);
    emit photos->activated(3);
    Walk(f, burst, 1115, {{"burst", "interval", 1106}});
    QVERIFY(Setting("burst", "interval").min == Setting("power_on_capture", "interval").min &&
            Setting("burst", "interval").max == Setting("power_on_capture", "interval").max);

    auto* osd = new COsdCharDlg(f.camera.get(), nullptr);
    DialogGuard osdGuard{osd};
    osd->show();
    Control<QLineEdit>(osd, 1050)->setText(QStringLiteral("AB"));  // line 1's text
    Walk(f, osd, 1055, {{"osd", "x", 1051}, {"osd", "y", 1052}});
    Spans(osd, {{1054, "osd", "display"}, {1053, "osd", "font"}});
  }
};

QTEST_MAIN(TestSettingsWalk)
#include "test_settings_walk.moc"
