#include "dialogs/RegionCropDlg.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "controls/UiMessageBox.h"
#include "core/SettingsRules.h"
#include "core/SettingsTable.h"
#include "dialogs/DialogExchange.h"
#include "protocol/CameraProtocol.h"


CRegionCropDlg::CRegionCropDlg(CCameraProtocol* camera, QWidget* parent)
    : QDialog(parent), m_pCamera(camera) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("Region Cropping"));

  m_pSize = MakeControl<QLabel>(1116);
  m_pSwitch = MakeControl<QComboBox>(1055);
  m_pSwitch->addItems({QStringLiteral("Disable"), QStringLiteral("Enable")});
  m_pSwitch->setCurrentIndex(-1);
  m_pX = MakeControl<QLineEdit>(1051, QStringLiteral("0"));
  m_pY = MakeControl<QLineEdit>(1052, QStringLiteral("0"));
  m_pWidth = MakeControl<QLineEdit>(1053, QStringLiteral("0"));
  m_pHeight = MakeControl<QLineEdit>(1054, QStringLiteral("0"));
  auto* read = MakeControl<QPushButton>(1097, QStringLiteral("Read"));
  auto* write = MakeControl<QPushButton>(1096, QStringLiteral("Write"));
  read->setAutoDefault(false);
  write->setAutoDefault(false);

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Current size："), m_pSize);
  form->addRow(QStringLiteral("Crop switch："), m_pSwitch);
  form->addRow(QStringLiteral("X ："), m_pX);
  form->addRow(QStringLiteral("Y ："), m_pY);
  form->addRow(QStringLiteral("Crop wdith："), m_pWidth);
  form->addRow(QStringLiteral("Crop height："), m_pHeight);
  auto* cameraButtons = new QWidget;
  auto* buttons = new QHBoxLayout(cameraButtons);
  buttons->setContentsMargins(0, 0, 0, 0);
  buttons->addStretch();
  buttons->addWidget(read);
  buttons->addWidget(write);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(cameraButtons);
  FollowPort(cameraButtons, m_pCamera);

  connect(read, &QPushButton::clicked, this, [this] { StartRead(); });
  connect(write, &QPushButton::clicked, this, [this] { OnWrite(); });
  connect(m_pSwitch, &QComboBox::activated, this,
          [this](int index) { EnableEdits(index == 1); });

  if (m_pCamera) {
    CropSettings cleared;
    cleared.width = 0;
    cleared.height = 0;
    m_pCamera->UpdateRecords([&](FeatureRecordSet& r) { r.crop = cleared; });
    StartRead();
  }
}

void CRegionCropDlg::StartRead() {
  if (!m_pCamera) return;
  m_edited.Take({m_pSwitch, m_pX, m_pY, m_pWidth, m_pHeight});
  m_pCamera->Issue(MakeCommand(CMD_READ_CROP));
  AfterReadBack(this, m_pCamera, CMD_READ_CROP, [this](const CommandResult* result) {
    ShowRecord(ReadBackValues(result, m_pCamera->Records().crop));
  });
}

void CRegionCropDlg::ShowRecord(const CropSettings& record) {
  m_edited.FillUnchanged([&] {
    m_pX->setText(QString::number(record.x));
    m_pY->setText(QString::number(record.y));
    m_pWidth->setText(QString::number(record.width));
    m_pHeight->setText(QString::number(record.height));
    m_pSwitch->setCurrentIndex(record.enable != 0 ? 1 : 0);
  });
  // What the operator had typed meanwhile stays, and stays the value Write falls back on.
  ParseInt(m_pX->text(), m_nX);
  ParseInt(m_pY->text(), m_nY);
  ParseInt(m_pWidth->text(), m_nWidth);
  ParseInt(m_pHeight->text(), m_nHeight);
  m_pSize->setText(QStringLiteral("%1x%2").arg(record.imageWidth).arg(record.imageHeight));
  EnableEdits(m_pSwitch->currentIndex() == 1);
}

void CRegionCropDlg::EnableEdits(bool enable) {
  for (QLineEdit* edit : {m_pX, m_pY, m_pWidth, m_pHeight}) edit->setEnabled(enable);
}

void CRegionCropDlg::OnWrite() {
  CRangeReader reader(this);
  auto read = [&](QLineEdit* edit, const char* field, long long current) {
    const SettingRow& row = Setting("crop", field);
    return reader.Read(edit, row.min, row.max, current, kFieldU16);
  };
  m_nX = read(m_pX, "x", m_nX);
  m_nY = read(m_pY, "y", m_nY);
  m_nWidth = read(m_pWidth, "width", m_nWidth);
  m_nHeight = read(m_pHeight, "height", m_nHeight);
  if (reader.Refused()) return;

  // Greyed-out coordinates go out as they stand, like the sizes beside them.
  if (m_pX->isEnabled() && m_nX % 16 != 0) {
    ShowMessageBox(this, "x must be align 16\n", "Coordinate error", MsgIcon::Warning);
    return;
  }
  if (m_pY->isEnabled() && m_nY % 2 != 0) {
    ShowMessageBox(this, "y must be align 2\n", "Coordinate error", MsgIcon::Warning);
    return;
  }
  // Sizes the camera refuses whatever its picture (status 3 and 4) are refused here first.
  for (const char* field : {"width", "height"}) {
    const bool width = field[0] == 'w';
    const SettingRow& row = Setting("crop", field);
    if ((width ? m_pWidth : m_pHeight)->isEnabled() && RefuseValue(row, width ? m_nWidth : m_nHeight)) {
      ShowMessageBox(this, std::string(field) + " must be align " + std::to_string(row.step) + "\n",
                     std::string(field) + " error", MsgIcon::Warning);
      return;
    }
  }
  if (!m_pCamera) return;
  CropSettings record = m_pCamera->Records().crop;
  // No switch choice yet (a write before the first read-back) counts as "Disable".
  record.enable = static_cast<uint8_t>(SelectedIndex(m_pSwitch, 0));
  record.x = static_cast<uint16_t>(m_nX);
  record.y = static_cast<uint16_t>(m_nY);
  record.width = static_cast<uint16_t>(m_nWidth);
  record.height = static_cast<uint16_t>(m_nHeight);
  // A window the current picture (as last read back) cannot hold is refused before it is
  // sent, in the words every front end uses.
  ProfileSettings writes;
  writes.crop = record;
  const CameraState state{ProfileModelFor(m_pCamera->State().versionText), record.imageWidth, record.imageHeight};
  if (const std::optional<std::string> why = RefuseForCamera(writes, state)) {
    ShowMessageBox(this, *why + "\n", "error", MsgIcon::Warning);
    return;
  }
  m_pCamera->Issue(MakeCommand(CMD_SET_CROP, record));
}
