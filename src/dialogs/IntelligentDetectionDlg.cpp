#include "dialogs/IntelligentDetectionDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/SettingsTable.h"
#include "dialogs/DialogExchange.h"
#include "protocol/CameraProtocol.h"

bool DetectionOffersPersonAndVehicle(int modelVariant) {
  switch (modelVariant) {
    case 6: case 7: case 9: case 11: case 13: return true;
    default: return false;
  }
}

CIntelligentDetectionDlg::CIntelligentDetectionDlg(CCameraProtocol* camera, QWidget* parent)
    : QDialog(parent), m_pCamera(camera) {
  setWindowTitle(QStringLiteral("Intelligent Detection"));
  m_pPowerOn = MakeControl<QComboBox>(1147);
  m_pPowerOn->addItems({"0-DISABLE", "1-ENABLE"});
  m_pType = MakeControl<QComboBox>(1112);
  m_pSensitivity = MakeControl<QComboBox>(1114);
  m_pSensitivity->addItems({"0", "1", "2", "3", "4-Maximum"});
  m_pMode = MakeControl<QComboBox>(1120);
  m_pMode->addItems({"0-Detect Only", "1-Detect+AutoCapture"});
  m_pDistance = MakeControl<QComboBox>(1118);
  m_pDistance->addItems({"0", "1", "2", "3", "4"});
  m_pThreshold = MakeControl<QComboBox>(1116);
  m_pThreshold->addItems({"1", "2", "3", ">3"});
  m_pTargetSelect = MakeControl<QCheckBox>(1149, QStringLiteral("Target Select:"));
  m_pTargetSelect->setLayoutDirection(Qt::RightToLeft);  // text on the left of the box
  m_pPhotos = MakeControl<QComboBox>(1111);
  m_pPhotos->addItems({"1", "2", "3", "4", "5"});
  m_pInterval = MakeControl<QLineEdit>(1106);
  m_pNextDetect = MakeControl<QLineEdit>(1050);
  auto* set = MakeControl<QPushButton>(1121, QStringLiteral("Set"));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setObjectName(ControlName(1));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(ControlName(2));
  buttons->button(QDialogButtonBox::Ok)->setAutoDefault(false);
  buttons->button(QDialogButtonBox::Cancel)->setAutoDefault(false);
  set->setDefault(true);

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Power on detection:"), m_pPowerOn);
  form->addRow(QStringLiteral("Detection type:"), m_pType);
  form->addRow(QStringLiteral("Sensitivity:"), m_pSensitivity);
  form->addRow(QStringLiteral("Detection mode:"), m_pMode);
  form->addRow(QStringLiteral("Distance:"), m_pDistance);
  form->addRow(QStringLiteral("Target Threshold(people/cars)："), m_pThreshold);
  form->addRow(m_pTargetSelect);
  auto* group = new QGroupBox(QStringLiteral("Capture Parameters"));
  auto* capture = new QFormLayout(group);
  capture->addRow(QStringLiteral("Capture photos:"), m_pPhotos);
  capture->addRow(QStringLiteral("Capture interval (ms):"), m_pInterval);
  capture->addRow(QStringLiteral("Next detection time(s):"), m_pNextDetect);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(group);
  layout->addWidget(set, 0, Qt::AlignRight);
  layout->addWidget(buttons);

  connect(set, &QPushButton::clicked, this, [this] { OnSet(); });
  connect(m_pType, &QComboBox::activated, this, [this] { ApplyTypeRule(); });
  connect(m_pMode, &QComboBox::activated, this, [this] { ApplyModeRule(); });
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  const int variant = m_pCamera ? m_pCamera->State().model.modelVariant : 0;
  if (DetectionOffersPersonAndVehicle(variant)) {
    // The vehicle entry reads "3-Vehicle" but is the third entry: type 2 on the wire.
    m_pType->addItems({"0-Move", "1-Person", "3-Vehicle"});
  } else {
    m_pType->addItems({"0-Move"});
  }
  if (m_pCamera) {
    const DetectSettings record = m_pCamera->Records().detect;
    m_m.interval = record.interval;
    m_m.nextDetect = record.nextDetect;
    m_m.photosIndex = record.photos - 1;
  }
  WriteControls();
  FollowPort(set, m_pCamera);
  if (m_pCamera) {
    m_edited.Take({m_pPowerOn, m_pType, m_pSensitivity, m_pMode, m_pDistance, m_pThreshold,
                   m_pTargetSelect, m_pPhotos, m_pInterval, m_pNextDetect});
    m_pCamera->Issue(MakeCommand(CMD_READ_DETECTION));
    AfterReadBack(this, m_pCamera, CMD_READ_DETECTION, [this](const CommandResult* result) {
      ShowRecord(ReadBackValues(result, m_pCamera->Records().detect));
    });
  }
}

void CIntelligentDetectionDlg::WriteControls() {
  SelectIndex(m_pPowerOn, m_m.powerOnDetect);
  SelectIndex(m_pType, m_m.type);
  SelectIndex(m_pSensitivity, m_m.sensitivity);
  SelectIndex(m_pMode, m_m.mode);
  SelectIndex(m_pDistance, m_m.distance);
  SelectIndex(m_pThreshold, m_m.thresholdIndex);
  m_pTargetSelect->setChecked(m_m.targetSelect);
  SelectIndex(m_pPhotos, m_m.photosIndex);
  m_pInterval->setText(QString::number(m_m.interval));
  m_pNextDetect->setText(QString::number(m_m.nextDetect));
}

void CIntelligentDetectionDlg::ShowRecord(const DetectSettings& record) {
  m_m.powerOnDetect = record.powerOnDetect;
  m_m.type = record.type;
  m_m.sensitivity = record.sensitivity;
  m_m.mode = record.mode;
  m_m.targetSelect = record.targetSelect != 0;
  m_m.distance = record.distance;
  m_m.interval = record.interval;
  m_m.nextDetect = record.nextDetect;
  if (record.threshold >= 1) m_m.thresholdIndex = record.threshold - 1;
  if (record.photos >= 1) m_m.photosIndex = record.photos - 1;
  m_edited.FillUnchanged([this] { WriteControls(); });
  // Numbers typed meanwhile stay, and stay what Set falls back on.
  ParseInt(m_pInterval->text(), m_m.interval);
  ParseInt(m_pNextDetect->text(), m_m.nextDetect);
  ApplyTypeRule();
  ApplyModeRule();
  m_bReadBackShown = true;
}

void CIntelligentDetectionDlg::ApplyTypeRule() {
  m_m.type = SelectedIndex(m_pType, m_m.type);
  m_m.mode = SelectedIndex(m_pMode, m_m.mode);
  m_pThreshold->setEnabled(m_m.type != 0);
  m_pDistance->setEnabled(m_m.type != 0);
  ApplyTargetSelectRule();
}

void CIntelligentDetectionDlg::ApplyModeRule() {
  m_m.type = SelectedIndex(m_pType, m_m.type);
  m_m.mode = SelectedIndex(m_pMode, m_m.mode);
  m_pPhotos->setEnabled(m_m.mode != 0);
  m_pInterval->setEnabled(m_m.mode != 0);
  m_pNextDetect->setEnabled(m_m.mode != 0);
  ApplyTargetSelectRule();
}

void CIntelligentDetectionDlg::ApplyTargetSelectRule() {
  m_pTargetSelect->setEnabled(m_m.mode == 1 && m_m.type > 0);
}

void CIntelligentDetectionDlg::OnSet() {
  CRangeReader reader(this);
  m_m.powerOnDetect = SelectedIndex(m_pPowerOn, m_m.powerOnDetect);
  m_m.type = SelectedIndex(m_pType, m_m.type);
  m_m.sensitivity = SelectedIndex(m_pSensitivity, m_m.sensitivity);
  m_m.mode = SelectedIndex(m_pMode, m_m.mode);
  m_m.distance = SelectedIndex(m_pDistance, m_m.distance);
  m_m.thresholdIndex = SelectedIndex(m_pThreshold, m_m.thresholdIndex);
  m_m.targetSelect = m_pTargetSelect->isChecked();
  m_m.photosIndex = SelectedIndex(m_pPhotos, m_m.photosIndex);
  const SettingRow& interval = Setting("detection", "interval");
  const SettingRow& next = Setting("detection", "next");
  m_m.interval = reader.Read(m_pInterval, interval.min, interval.max, m_m.interval, kFieldU16);
  m_m.nextDetect = reader.Read(m_pNextDetect, next.min, next.max, m_m.nextDetect, kFieldU8);
  if (reader.Refused() || !m_pCamera) return;

  DetectSettings record = m_pCamera->Records().detect;
  record.powerOnDetect = static_cast<uint8_t>(m_m.powerOnDetect);
  record.type = static_cast<uint8_t>(m_m.type);
  record.sensitivity = static_cast<uint8_t>(m_m.sensitivity);
  record.mode = static_cast<uint8_t>(m_m.mode);
  record.distance = static_cast<uint8_t>(m_m.distance);
  record.threshold = static_cast<uint8_t>(m_m.thresholdIndex + 1);
  record.targetSelect = m_m.targetSelect ? 1 : 0;
  record.photos = static_cast<uint8_t>(m_m.photosIndex + 1);
  record.interval = static_cast<uint16_t>(m_m.interval);
  record.nextDetect = static_cast<uint8_t>(m_m.nextDetect);
  m_pCamera->Issue(MakeCommand(CMD_SET_DETECTION, record));
}
