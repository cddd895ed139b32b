// Every ranged field of the feature dialogs given input the operator should not have typed:
// too wide for its frame field, negative, empty, not a number. Each press shows the
// standard range message and sends nothing: the field keeps what was typed and the focus,
// and the next frame to go out is the one of the corrected value.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <functional>

#include "core/ModelIdentification.h"
#include "dialogs/ImageControlDlg.h"
#include "dialogs/IntelligentDetectionDlg.h"
#include "dialogs/MotionDetectionDlg.h"
#include "dialogs/MultipleCaptureDlg.h"
#include "dialogs/OsdCharDlg.h"
#include "dialogs/RegionCropDlg.h"
#include "test_dlg_harness.h"

namespace {
struct BadInput {
  const char* text;
  std::string message;
};

std::string Range(int minimum, int maximum) {
  return "Please enter an integer between " + std::to_string(minimum) + " and " +
         std::to_string(maximum) + ".";
}

// What any ranged field gets; `wide` does not fit the field the value travels in.
std::vector<BadInput> Inputs(int minimum, int maximum, const char* wide) {
  const std::string m = Range(minimum, maximum);
  return {{wide, m}, {"-6", m}, {"", m}, {"12x", m}, {"abc", m}};
}

struct FieldCase {
  const char* name;
  std::function<QWidget*(CCamFixture&)> open;  // the dialog, shown
  int edit;
  int button;
  int framesPerPress;  // "Save Configure" sends the day set, then the night set
  const char* good;
  std::vector<BadInput> bad;
};

// Opens the dialog and waits until what it reads at opening is shown, so the read-back
// does not overwrite the edits afterwards.
template <typename Dlg>
std::function<QWidget*(CCamFixture&)> Opener(std::function<void(CCamFixture&)> prepare = {},
                                             std::function<bool(CCamFixture&, Dlg*)> ready = {}) {
  return [prepare, ready](CCamFixture& f) -> QWidget* {
    if (prepare) prepare(f);
    auto* dlg = new Dlg(f.camera.get(), nullptr);
    dlg->show();
    if (ready) WaitFor([&] { return ready(f, dlg); });
    return dlg;
  };
}

void Idle(CCamFixture& f) {
  WaitFor([&] { return !AwaitingReply(*f.camera); });
}

std::vector<FieldCase> Cases() {
  auto intelligent = [](CCamFixture& f) {
    f.camera->SetModelInfo(ParseVersionText("QVX3M0E 1.02", ModelInfo{}).info);
  };
  auto crop = [](CCamFixture& f) {
    f.sim.SetImageSizeIndex(7);  // 1920X1080
    f.sim.SetCrop({0, 0, 640, 480, 1});
  };
  // The capture parameters are the operator's to edit (and checked) with auto-capture on.
  auto intelligentShown = [](CCamFixture&, CIntelligentDetectionDlg* d) {
    if (!d->IsReadBackShown()) return false;
    auto* mode = Control<QComboBox>(d, 1120);
    mode->setCurrentIndex(1);
    emit mode->activated(1);
    return true;
  };
  auto cropShown = [](CCamFixture&, CRegionCropDlg* d) {
    return !Control<QLabel>(d, 1116)->text().isEmpty();
  };
  // Day and night are read 200 ms apart.
  auto bothRead = [](CCamFixture& f, CImageControlDlg*) { return f.RequestCount() >= 2; };
  // The day white balance is the operator's to edit (and checked) with Auto off.
  auto manualWhiteBalance = [](CCamFixture& f, CImageControlDlg* d) {
    const auto results = f.host.Results();
    if (std::count_if(results.begin(), results.end(), [](const CommandResult& r) {
          return r.code == CMD_READ_IMAGE_PARAMS;
        }) < 2)
      return false;
    QCoreApplication::sendPostedEvents();  // both read-backs shown before the click
    auto* automatic = Control<QCheckBox>(d, 1147);
    if (automatic->isChecked()) automatic->click();
    return true;
  };
  // A manual white balance is checked against the camera's 300..600 before it is sent.
  std::vector<BadInput> whiteBalance = Inputs(300, 600, "70000");
  return {
      {"motion interval", Opener<CMotionDetectionDlg>(), 1106, 1096, 1, "250", Inputs(1, 65535, "70000")},
      {"motion next detection", Opener<CMotionDetectionDlg>(), 1050, 1096, 1, "20", Inputs(0, 255, "300")},
      {"intelligent interval", Opener<CIntelligentDetectionDlg>(intelligent, intelligentShown), 1106, 1121, 1, "250",
       Inputs(1, 65535, "65536")},
      {"intelligent next detection", Opener<CIntelligentDetectionDlg>(intelligent, intelligentShown), 1050, 1121, 1, "20",
       Inputs(0, 255, "256")},
      {"burst interval", Opener<CMultipleCaptureDlg>(), 1106, 1115, 1, "700", Inputs(0, 10000, "70000")},
      {"OSD x", Opener<COsdCharDlg>(), 1051, 1055, 1, "100", Inputs(0, 1918, "65538")},
      {"OSD y", Opener<COsdCharDlg>(), 1052, 1055, 1, "40", Inputs(0, 1078, "99999")},
      {"crop x", Opener<CRegionCropDlg>(crop, cropShown), 1051, 1096, 1, "16", Inputs(0, 3840, "65552")},
      {"crop y", Opener<CRegionCropDlg>(crop, cropShown), 1052, 1096, 1, "8", Inputs(0, 2160, "65544")},
      {"crop width", Opener<CRegionCropDlg>(crop, cropShown), 1053, 1096, 1, "640", Inputs(32, 3840, "66176")},
      {"crop height", Opener<CRegionCropDlg>(crop, cropShown), 1054, 1096, 1, "480", Inputs(32, 2160, "66016")},
      {"brightness", Opener<CImageControlDlg>({}, bothRead), 1050, 1139, 2, "100", Inputs(0, 255, "300")},
      {"HLC", Opener<CImageControlDlg>({}, bothRead), 1056, 1139, 2, "6", Inputs(0, 10, "262")},
      {"white balance", Opener<CImageControlDlg>({}, manualWhiteBalance), 1054, 1139, 2, "400", whiteBalance},
  };
}

// Presses the button and returns the frames it sent, once the camera has answered them.
std::vector<std::string> Press(CCamFixture& f, QWidget* dlg, int button, int frames) {
  const size_t mark = f.RequestCount();
  Control<QPushButton>(dlg, button)->click();
  std::vector<std::string> sent;
  for (int i = 0; i < frames; ++i) sent.push_back(f.Request(mark + size_t(i)));
  Idle(f);
  return sent;
}
}  // namespace

class TestBadInput : public QObject {
  Q_OBJECT
 private slots:
  void refusedWithTheRangeMessageAndNothingSent() {
    for (const FieldCase& c : Cases()) {
      CCamFixture f;
      QVERIFY(f.Open());
      QPointer<QWidget> dlg = c.open(f);
      DialogGuard guard{dlg};
      Idle(f);
      // Pasted in one go: typing key by key would pass through shorter valid numbers.
      auto* edit = Control<QLineEdit>(dlg, c.edit);
      QVERIFY2(edit, c.name);
      edit->setText(QString::fromLatin1(c.good));
      const std::vector<std::string> baseline = Press(f, dlg, c.button, c.framesPerPress);
      QVERIFY2(f.host.Boxes().empty(), c.name);
      QVERIFY2(!baseline.front().empty(), c.name);

      for (const BadInput& bad : c.bad) {
        const std::string what = std::string(c.name) + " <- \"" + bad.text + "\"";
        f.host.ClearBoxes();
        edit->setText(QString::fromLatin1(bad.text));
        Control<QPushButton>(dlg, c.button)->click();
        const auto boxes = f.host.Boxes();
        QVERIFY2(boxes.size() == 1, what.c_str());
        QVERIFY2(boxes.front().text == bad.message, (what + ": " + boxes.front().text).c_str());
        QVERIFY2(edit->text() == QString::fromLatin1(bad.text), what.c_str());
        QVERIFY2(!edit->isEnabled() || dlg->focusWidget() == edit, what.c_str());
        // Had the refused press sent anything, it would come before the corrected frames.
        edit->setText(QString::fromLatin1(c.good));
        const std::vector<std::string> sent = Press(f, dlg, c.button, c.framesPerPress);
        QVERIFY2(sent == baseline, (what + ": sent " + sent.front()).c_str());
      }
    }
  }
};

QTEST_MAIN(TestBadInput)
#include "test_bad_input.moc"
