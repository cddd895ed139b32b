#include "dialogs/MultipleCaptureDlg.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/ModelIdentification.h"
#include "protocol/StatusMessages.h"
#include "core/SettingsTable.h"
#include "dialogs/DialogExchange.h"
#include "protocol/CameraProtocol.h"

namespace {
}

CMultipleCaptureDlg::CMultipleCaptureDlg(CCameraProtocol* camera, QWidget* parent)
    : QDialog(parent), m_pCamera(camera) {
  setWindowTitle(QStringLiteral("MultipleCapture"));
  m_pPhotos = MakeControl<QComboBox>(1111);
  m_pPhotos->addItems({"0-Close auto snap", "1", "2", "3", "4", "5"});
  m_pInterval = MakeControl<QLineEdit>(1106);
  m_pTest = MakeControl<QPushButton>(1115, QStringLiteral("Multiple capture test"));
  m_pRead = MakeControl<QPushButton>(1116, QStringLiteral("Read capture"));
  m_pPowerOn = MakeControl<QPushButton>(1117, QStringLiteral("Auto capture when power on"));
  for (QPushButton* b : {m_pTest, m_pRead, m_pPowerOn}) b->setAutoDefault(false);

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Capture photos:"), m_pPhotos);
  form->addRow(QStringLiteral("Capture interval (ms):"), m_pInterval);
  auto* cameraButtons = new QWidget;
  auto* column = new QVBoxLayout(cameraButtons);
  column->setContentsMargins(0, 0, 0, 0);
  column->addWidget(m_pTest);
  column->addWidget(m_pRead);
  column->addWidget(m_pPowerOn);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(cameraButtons);
  FollowPort(cameraButtons, m_pCamera);

  connect(m_pPhotos, &QComboBox::activated, this, [this] { OnPhotosChosen(); });
  connect(m_pTest, &QPushButton::clicked, this, [this] { OnMultipleCaptureTest(); });
  connect(m_pRead, &QPushButton::clicked, this, [this] { OnReadCapture(); });
  connect(m_pPowerOn, &QPushButton::clicked, this, [this] { OnPowerOnCapture(); });

  if (m_pCamera) {
    const MultiCaptureSettings record = m_pCamera->Records().multiCapture;
    m_nPhotos = record.photos;
    m_nInterval = record.interval;
  }
  m_pInterval->setText(QString::number(m_nInterval));
  SelectIndex(m_pPhotos, m_nPhotos);
  m_pPowerOn->setEnabled(m_pCamera && PowerOnCaptureAllowed(m_pCamera->State().model));
  m_pRead->setEnabled(false);
  m_pTest->setEnabled(m_nPhotos != 0);
}

void CMultipleCaptureDlg::SetReadCaptureButton(bool enabled, const QString& caption) {
  if (!caption.isEmpty()) m_pRead->setText(caption);
  m_pRead->setEnabled(enabled);
}

void CMultipleCaptureDlg::SetTestButtonEnabled(bool enabled) { m_pTest->setEnabled(enabled); }

bool CMultipleCaptureDlg::ReadControls() {
  CRangeReader reader(this);
  m_nPhotos = SelectedIndex(m_pPhotos, m_nPhotos);
  const SettingRow& interval = Setting("burst", "interval");
  m_nInterval = reader.Read(m_pInterval, interval.min, interval.max, m_nInterval, kFieldU16);
  return !reader.Refused();
}

void CMultipleCaptureDlg::OnPhotosChosen() {
  m_nPhotos = SelectedIndex(m_pPhotos, m_nPhotos);
  m_pTest->setEnabled(m_nPhotos != 0);
}

void CMultipleCaptureDlg::OnMultipleCaptureTest() {
  if (!ReadControls() || !m_pCamera) return;
  MultiCaptureSettings record;
  record.photos = static_cast<uint8_t>(m_nPhotos);
  record.interval = static_cast<uint16_t>(m_nInterval);
  m_pCamera->LogMessage(MSG_CAPTURE_WAIT);
  m_pCamera->SetMultiReadIndex(0);
  m_pCamera->Issue(MakeCommand(CMD_MULTI_CAPTURE, record));
}

void CMultipleCaptureDlg::OnReadCapture() {
  if (!m_pCamera) return;
  m_pTest->setEnabled(false);
  // The engine prepares the line, enters burst-read mode and asks for the next picture.
  m_pCamera->ReadMultiCapturePicture();
}

void CMultipleCaptureDlg::OnPowerOnCapture() {
  // The burst record itself is left as it is.
  if (!ReadControls() || !m_pCamera) return;
  m_pCamera->LogMessage(MSG_SET_POWER_CAPTURE);
  m_pCamera->Issue(MakeCommand(
      CMD_SET_POWER_CAPTURE,
      MultiCaptureSettings{static_cast<uint8_t>(m_nPhotos), static_cast<uint16_t>(m_nInterval)}));
}
