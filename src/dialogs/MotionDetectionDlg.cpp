#include "dialogs/MotionDetectionDlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/SettingsTable.h"
#include "dialogs/DialogExchange.h"
#include "protocol/CameraProtocol.h"

CMotionDetectionDlg::CMotionDetectionDlg(CCameraProtocol* camera, QWidget* parent)
    : QDialog(parent), m_pCamera(camera) {
  setWindowTitle(QStringLiteral("MotionDetection"));
  m_pPhotos = MakeControl<QComboBox>(1111);
  m_pPhotos->addItems({"1", "2", "3", "4", "5"});
  m_pInterval = MakeControl<QLineEdit>(1106);
  m_pNextDetect = MakeControl<QLineEdit>(1050);
  auto* setting = MakeControl<QPushButton>(1096, QStringLiteral("Setting"));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setObjectName(ControlName(1));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(ControlName(2));
  buttons->button(QDialogButtonBox::Ok)->setAutoDefault(false);
  buttons->button(QDialogButtonBox::Cancel)->setAutoDefault(false);
  setting->setDefault(true);

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Capture photos:"), m_pPhotos);
  form->addRow(QStringLiteral("Capture interval (ms):"), m_pInterval);
  form->addRow(QStringLiteral("Next detection time (s):"), m_pNextDetect);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(setting, 0, Qt::AlignRight);
  layout->addWidget(buttons);
  connect(setting, &QPushButton::clicked, this, [this] { OnSetting(); });
  FollowPort(setting, m_pCamera);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  if (m_pCamera) {
    const DetectSettings record = m_pCamera->Records().detect;
    m_nInterval = record.interval;
    m_nNextDetect = record.nextDetect;
    m_nPhotosIndex = record.photos - 1;
  }
  m_pInterval->setText(QString::number(m_nInterval));
  m_pNextDetect->setText(QString::number(m_nNextDetect));
  SelectIndex(m_pPhotos, m_nPhotosIndex);
}

void CMotionDetectionDlg::OnSetting() {
  CRangeReader reader(this);
  m_nPhotosIndex = SelectedIndex(m_pPhotos, m_nPhotosIndex);
  const SettingRow& interval = Setting("motion_capture", "interval");
  const SettingRow& next = Setting("motion_capture", "next");
  m_nInterval = reader.Read(m_pInterval, interval.min, interval.max, m_nInterval, kFieldU16);
  m_nNextDetect = reader.Read(m_pNextDetect, next.min, next.max, m_nNextDetect, kFieldU8);
  if (reader.Refused() || !m_pCamera) return;
  MotionCaptureSettings record;
  record.interval = static_cast<uint16_t>(m_nInterval);
  record.nextDetect = static_cast<uint8_t>(m_nNextDetect);
  record.photos = static_cast<uint8_t>(m_nPhotosIndex + 1);
  m_pCamera->Issue(MakeCommand(CMD_SET_MOTION_CAPTURE, record));
}
