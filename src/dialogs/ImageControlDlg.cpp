#include "dialogs/ImageControlDlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include "core/SettingsTable.h"
#include "dialogs/DialogExchange.h"
#include "protocol/CameraProtocol.h"

namespace {

constexpr int kSecondStepMs = 200;  // the night set follows the day set after this delay
constexpr int kWhiteBalanceRow = 5;

// White balance travels as two bytes, every other value as one.
long long FieldMax(int row) { return row == kWhiteBalanceRow ? kFieldU16 : kFieldU8; }

struct RowDef {
  const char* label;
  int ImageModeSettings::*field;
  int slider[2];  // day, night
  int edit[2];
  const char* key;  // the settings table's field: slider range and the edit's range check
};

const RowDef kRows[CImageControlDlg::kRowCount] = {
    {"Brighiness:", &ImageModeSettings::brightness, {1130, 1146}, {1050, 1058}, "brightness"},
    {"Contrast:：", &ImageModeSettings::contrast, {1133, 1152}, {1055, 1063}, "contrast"},
    {"Sharpness:", &ImageModeSettings::sharpness, {1128, 1144}, {1051, 1059}, "sharpness"},
    {"Saturation:", &ImageModeSettings::saturation, {1129, 1145}, {1052, 1060}, "saturation"},
    {"BCShhue:", &ImageModeSettings::hue, {1131, 1148}, {1053, 1061}, "hue"},
    {"White balance:", &ImageModeSettings::whiteBalance, {1132, 1149}, {1054, 1062}, "awb"},
    {"Exposure Compensation:", &ImageModeSettings::exposure, {1137, 1156}, {1057, 1065}, "exposure"},
    {"HLC：", &ImageModeSettings::hlc, {1135, 1154}, {1056, 1064}, "hlc"},
};
const SettingRow& RangeOf(const RowDef& def) { return Setting("image", def.key); }
constexpr int kAutoIds[2] = {1147, 1150};

}  // namespace

ImageParams ImageParamsFromSettings(const ImageModeSettings& set, int mode) {
  ImageParams p;
  p.mode = static_cast<uint8_t>(mode);
  p.brightness = static_cast<uint8_t>(set.brightness);
  p.contrast = static_cast<uint8_t>(set.contrast);
  p.sharpness = static_cast<uint8_t>(set.sharpness);
  p.saturation = static_cast<uint8_t>(set.saturation);
  p.hue = static_cast<uint8_t>(set.hue);
  p.manualWhiteBalance = set.autoWhiteBalance ? 0 : 1;
  p.whiteBalanceHigh = static_cast<uint8_t>((set.whiteBalance >> 8) & 0xFF);
  p.whiteBalanceLow = static_cast<uint8_t>(set.whiteBalance & 0xFF);
  p.exposure = static_cast<uint8_t>(set.exposure);
  p.hlc = static_cast<uint8_t>(set.hlc);
  return p;
}

CImageControlDlg::CImageControlDlg(CCameraProtocol* camera, QWidget* parent)
    : QDialog(parent), m_pCamera(camera) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("Image Control"));
  BuildControls();

  if (m_pCamera) {
    m_pCamera->UpdateRecords([&](FeatureRecordSet& r) { r.imageParams = ImageParams{}; });
    m_pCamera->Issue(MakeCommand(CMD_READ_IMAGE_PARAMS, kDay));
    m_bNightReadPending = true;
    QTimer::singleShot(kSecondStepMs, this, [this] {
      if (!m_pCamera || !m_bNightReadPending) return;
      m_pCamera->Issue(MakeCommand(CMD_READ_IMAGE_PARAMS, kNight));
      m_bNightReadPending = false;
    });
  }
  MoveValuesToEdits();
  MoveSetToSliders(kDay);
  MoveSetToSliders(kNight);
  ApplyAutoWhiteBalance();
}

void CImageControlDlg::BuildControls() {
  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(QStringLiteral("Time:")), 0, 0);
  grid->addWidget(new QLabel(QStringLiteral("Day(Effective when the infrared off)")), 0, 1, 1, 3);
  grid->addWidget(new QLabel(QStringLiteral("Night(Effective when the infrared on)")), 0, 4, 1, 3);
  for (int set = 0; set < 2; ++set) {
    m_pAuto[set] = MakeControl<QCheckBox>(kAutoIds[set], QStringLiteral("Auto"));
    connect(m_pAuto[set], &QCheckBox::clicked, this, [this] { OnAutoClicked(); });
  }
  for (int row = 0; row < kRowCount; ++row) {
    const RowDef& def = kRows[row];
    grid->addWidget(new QLabel(QString::fromUtf8(def.label)), row + 1, 0);
    for (int set = 0; set < 2; ++set) {
      auto* slider = MakeControl<QSlider>(def.slider[set], Qt::Horizontal);
      slider->setRange(static_cast<int>(RangeOf(def).min), static_cast<int>(RangeOf(def).max));
      slider->setTickPosition(QSlider::NoTicks);
      slider->setMinimumWidth(150);
      auto* edit = MakeControl<QLineEdit>(def.edit[set]);
      edit->setMaximumWidth(60);
      m_rows[row].slider[set] = slider;
      m_rows[row].edit[set] = edit;
      grid->addWidget(slider, row + 1, 1 + set * 3);
      grid->addWidget(edit, row + 1, 2 + set * 3);
      if (row == kWhiteBalanceRow) grid->addWidget(m_pAuto[set], row + 1, 3 + set * 3);
      connect(slider, &QSlider::valueChanged, this, [this, row, set](int value) {
        if (!m_bUpdating) OnSliderMoved(row, set, value);
      });
      connect(edit, &QLineEdit::textEdited, this, [this, row, set] { OnEditChanged(row, set); });
    }
  }

  auto* reset = MakeControl<QPushButton>(1096, QStringLiteral("Reset Default"));
  auto* save = MakeControl<QPushButton>(1139, QStringLiteral("Save Configure"));
  reset->setAutoDefault(false);
  save->setAutoDefault(false);
  connect(reset, &QPushButton::clicked, this, [this] { OnResetDefault(); });
  connect(save, &QPushButton::clicked, this, [this] { OnSaveConfigure(); });
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(reset);
  buttons->addWidget(save);

  // Every control here talks to the camera (the sliders as they move).
  auto* body = new QWidget;
  auto* column = new QVBoxLayout(body);
  column->setContentsMargins(0, 0, 0, 0);
  column->addLayout(grid);
  column->addLayout(buttons);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(body);
  FollowPort(body, m_pCamera);
}

void CImageControlDlg::MoveValuesToEdits() {
  m_bUpdating = true;
  for (int set = 0; set < 2; ++set) {
    for (int row = 0; row < kRowCount; ++row)
      m_rows[row].edit[set]->setText(QString::number(m_modes[set].*kRows[row].field));
    m_pAuto[set]->setChecked(m_modes[set].autoWhiteBalance != 0);
  }
  m_bUpdating = false;
}

void CImageControlDlg::MoveSetToSliders(int set) {
  m_bUpdating = true;
  for (int row = 0; row < kRowCount; ++row)
    m_rows[row].slider[set]->setValue(m_modes[set].*kRows[row].field);
  m_bUpdating = false;
}

void CImageControlDlg::ApplyAutoWhiteBalance() {
  for (int set = 0; set < 2; ++set) {
    const bool manual = !m_pAuto[set]->isChecked();
    m_rows[kWhiteBalanceRow].slider[set]->setEnabled(manual);
    m_rows[kWhiteBalanceRow].edit[set]->setEnabled(manual);
  }
}

void CImageControlDlg::OnSliderMoved(int row, int set, int value) {
  m_modes[set].*kRows[row].field = value;
  MoveValuesToEdits();
}

void CImageControlDlg::OnEditChanged(int row, int set) {
  // No range message while the operator is typing; "Save Configure" checks the values.
  long long value = 0;
  // A value its field cannot carry is left for "Save Configure" to refuse.
  if (!ParseInt(m_rows[row].edit[set]->text(), value) || !FitsField(value, FieldMax(row))) return;
  m_modes[set].*kRows[row].field = static_cast<int>(value);
  m_bUpdating = true;
  m_rows[row].slider[set]->setValue(static_cast<int>(value));
  m_bUpdating = false;
}

void CImageControlDlg::OnAutoClicked() {
  for (int set = 0; set < 2; ++set) m_modes[set].autoWhiteBalance = m_pAuto[set]->isChecked() ? 1 : 0;
  ApplyAutoWhiteBalance();
}

bool CImageControlDlg::ReadControls() {
  CRangeReader reader(this);
  for (int set = 0; set < 2; ++set) {
    for (int row = 0; row < kRowCount; ++row) {
      const RowDef& def = kRows[row];
      int& field = m_modes[set].*def.field;
      QLineEdit* edit = m_rows[row].edit[set];
      field = static_cast<int>(reader.Read(edit, RangeOf(def).min, RangeOf(def).max, field, FieldMax(row)));
    }
    m_modes[set].autoWhiteBalance = m_pAuto[set]->isChecked() ? 1 : 0;
  }
  return !reader.Refused();
}

void CImageControlDlg::OnSaveConfigure() {
  if (!m_pCamera) return;
  if (!ReadControls()) return;
  const ImageParams day = ImageParamsFromSettings(m_modes[kDay], kDay);
  m_pCamera->Issue(MakeCommand(CMD_SET_IMAGE_PARAMS, day));
  // The night set travels with the timer rather than through the shared record, which a
  // read reply arriving in between would overwrite.
  const ImageParams night = ImageParamsFromSettings(m_modes[kNight], kNight);
  CCameraProtocol* camera = m_pCamera;
  QTimer::singleShot(kSecondStepMs, SecondStepContext(), [camera, night] {
    camera->Issue(MakeCommand(CMD_SET_IMAGE_PARAMS, night));
  });
}

QObject* CImageControlDlg::SecondStepContext() {
  // Closing the window right after pressing a button must not drop the night half of it:
  // the second step belongs to the owner of the engine, which outlives this window.
  return parent() ? parent() : static_cast<QObject*>(this);
}

void CImageControlDlg::OnResetDefault() {
  if (!m_pCamera) return;
  m_pCamera->Issue(MakeCommand(CMD_RESET_IMAGE_PARAMS, kDay));
  CCameraProtocol* camera = m_pCamera;
  QTimer::singleShot(kSecondStepMs, SecondStepContext(), [camera] {
    camera->Issue(MakeCommand(CMD_RESET_IMAGE_PARAMS, kNight));
  });
}

void CImageControlDlg::UpdateImageParams(const ImageParams& p) {
  const int set = p.mode & 1;
  ImageModeSettings& m = m_modes[set];
  m.mode = p.mode;
  m.brightness = p.brightness;
  m.contrast = p.contrast;
  m.sharpness = p.sharpness;
  m.saturation = p.saturation;
  m.hue = p.hue;
  m.exposure = p.exposure;
  m.autoWhiteBalance = p.manualWhiteBalance == 0 ? 1 : 0;
  m.whiteBalance = (p.whiteBalanceHigh << 8) | p.whiteBalanceLow;
  m.hlc = p.hlc;
  MoveValuesToEdits();
  MoveSetToSliders(set);
  ApplyAutoWhiteBalance();
}
