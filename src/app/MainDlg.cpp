#include "app/MainDlg.h"

#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <climits>
#include <mutex>

#include "app/PortComboBox.h"
#include "app/PortHotplug.h"
#include "app/SavePicture.h"
#include "app/QtCameraHost.h"
#include "app/TrafficLog.h"
#include "app/UiMessageBox.h"
#include "app/core/ModelIdentification.h"
#include "app/core/StatusMessages.h"
#include "controls/LinkLabel.h"
#include "imaging/ImageStatic.h"
#include "protocol/CameraProtocol.h"
#include "serial/PortMap.h"



static void InitBrevantResources() { Q_INIT_RESOURCE(brevant); }

namespace {

constexpr const char* kTitle = "Brevant V2.11";
constexpr const char* kMakerAddress = "https://brevant.example.org/";
constexpr int kPictureWidth = 640;
constexpr int kPictureHeight = 480;

std::mutex g_folderHookMutex;
CMainDlg::FolderChooser g_folderHook;

QString Id(int id) { return QString("id%1").arg(id); }

void FillCombo(QComboBox* combo, const std::vector<std::string>& items) {
  combo->clear();
  for (const std::string& item : items) combo->addItem(QString::fromStdString(item));
  if (combo->count() > 0) combo->setCurrentIndex(0);
}

void SelectText(QComboBox* combo, const QString& text) {
  combo->setCurrentIndex(combo->findText(text, Qt::MatchExactly));
}

}  // namespace

void CMainDlg::SetFolderChooserHook(FolderChooser hook) {
  std::lock_guard<std::mutex> lock(g_folderHookMutex);
  g_folderHook = std::move(hook);
}

CMainDlg::CMainDlg(QWidget* parent)
    : QDialog(parent), m_pBoxes(std::make_unique<UiMessageSink>(this)) {
  InitBrevantResources();
  setObjectName("id102");
  setWindowTitle(kTitle);
  setWindowIcon(QIcon(":/brevant/brevant.svg"));
  setWindowFlags(Qt::Window | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

  BuildControls();
  m_pTraffic = new CTrafficLog(m_pTrafficView, this);
  m_pHost = std::make_unique<CQtCameraHost>(this, m_pTraffic);
  m_pCamera = std::make_unique<CCameraProtocol>(m_pHost.get());
  InitControls();
  ConnectHandlers();
  WriteValues();
  UpdateControlStates();
  m_pCamera->StartSender();
}

CMainDlg::~CMainDlg() {
  Shutdown();
  // The engine goes first: its threads may still call the host until they are joined.
  m_pCamera.reset();
  m_pHost.reset();
}

void CMainDlg::Shutdown() {
  if (m_bShutDown || !m_pCamera) return;
  m_bShutDown = true;
  if (m_pCamera->IsPortOpen() || m_bPortOpen) {
    m_pCamera->ClearCommands();
    m_pCamera->ClosePort();
    m_bPortOpen = false;
  }
  m_pCamera->StopSender();
}

void CMainDlg::done(int result) {
  Shutdown();
  QDialog::done(result);
}

void CMainDlg::keyPressEvent(QKeyEvent* event) {
  // Enter in a field must not end the session; Escape still closes the window.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

// ---------------------------------------------------------------------------------------
// Construction

void CMainDlg::BuildControls() {
  auto button = [this](int id, const char* caption) {
    auto* b = new QPushButton(QString::fromUtf8(caption), this);
    b->setObjectName(Id(id));
    b->setAutoDefault(false);
    return b;
  };
  auto combo = [this](int id) {
    auto* c = new QComboBox(this);
    c->setObjectName(Id(id));
    c->setMaxVisibleItems(16);
    return c;
  };
  auto edit = [this](int id) {
    auto* e = new QLineEdit(this);
    e->setObjectName(Id(id));
    return e;
  };
  auto label = [this](const char* text) { return new QLabel(QString::fromUtf8(text), this); };
  auto radio = [this](int id, const char* caption) {
    auto* r = new QRadioButton(QString::fromUtf8(caption), this);
    r->setObjectName(Id(id));
    return r;
  };

  // ---- Left: picture area and traffic view in one place, then progress and log ----
  m_pPicture = new CImageStatic(m_pBoxes.get(), this);
  m_pPicture->setObjectName(Id(IDC_PICTURE));
  m_pPicture->setFixedSize(kPictureWidth, kPictureHeight);
  m_pTrafficView = new QPlainTextEdit(this);
  m_pTrafficView->setObjectName(Id(IDC_TRAFFIC));
  m_pTrafficView->setReadOnly(true);
  m_pTrafficView->setFixedSize(kPictureWidth, kPictureHeight);
  m_pTrafficView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m_pTrafficView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  m_pTrafficView->hide();

  m_pProgress = new QProgressBar(this);
  m_pProgress->setObjectName(Id(IDC_PROGRESS));
  m_pProgress->setTextVisible(false);
  m_pProgress->setRange(0, 100);
  m_pProgress->setValue(0);

  m_pStatus = new QListWidget(this);
  m_pStatus->setObjectName(Id(IDC_STATUS));
  m_pStatus->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_pStatus->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_pStatus->setSelectionMode(QAbstractItemView::NoSelection);
  m_pStatus->setFocusPolicy(Qt::NoFocus);
  m_pStatus->setFixedHeight(m_pStatus->fontMetrics().height() + 10);

  m_pCommandMode = button(IDC_COMMAND_MODE, "Command Mode");
  QPushButton* clear = button(IDC_CLEAR, "Clear");
  m_pStopNotice = label("Stop now! Please Wait...");
  m_pStopNotice->setObjectName(Id(IDC_STOP_NOTICE));
  m_pStopNotice->setStyleSheet("color: #b00000; font-weight: bold;");
  m_pStopNotice->hide();

  auto* link = new CLinkLabel(kMakerAddress, this);
  link->SetLink(kMakerAddress);
  link->SetUnderline(true);
  link->SetLinkCursor(QCursor(Qt::PointingHandCursor));
  link->setObjectName(Id(IDC_LINK));
  link->hide();

  auto* pictureCell = new QGridLayout;
  pictureCell->addWidget(m_pPicture, 0, 0);
  pictureCell->addWidget(m_pTrafficView, 0, 0);
  auto* logRow = new QHBoxLayout;
  logRow->addWidget(m_pCommandMode);
  logRow->addWidget(clear);
  logRow->addSpacing(12);
  logRow->addWidget(m_pStopNotice);
  logRow->addStretch(1);
  logRow->addWidget(link);
  auto* left = new QVBoxLayout;
  left->addLayout(pictureCell);
  left->addWidget(m_pProgress);
  left->addWidget(m_pStatus);
  left->addLayout(logRow);
  left->addStretch(1);

  // ---- Right: port ----
  m_pPort = new CPortComboBox(this);
  m_pPort->setObjectName(Id(IDC_PORT));
  m_pPort->setMaxVisibleItems(15);
  for (int i = 1; i <= CPortMap::kPortCount; ++i) m_pPort->addItem(QString("COM%1").arg(i));
  m_pPortDevice = label("");
  m_pPortDevice->setObjectName("portDevice");
  m_pPortDevice->setMinimumWidth(150);
  m_pBaud = combo(IDC_BAUD);
  for (const std::string& rate : RateItems()) m_pBaud->addItem(QString::fromStdString(rate));
  m_pOpen = button(IDC_OPEN, "Open");
  m_pClose = button(IDC_CLOSE, "Close");
  m_pClose->hide();

  auto* portBox = new QGroupBox(this);
  auto* portGrid = new QGridLayout(portBox);
  portGrid->addWidget(label("Com Port"), 0, 0);
  portGrid->addWidget(m_pPort, 0, 1);
  portGrid->addWidget(m_pPortDevice, 0, 2);
  portGrid->addWidget(label("Baud Rate"), 1, 0);
  portGrid->addWidget(m_pBaud, 1, 1);
  auto* openCell = new QHBoxLayout;
  openCell->addWidget(m_pOpen);
  openCell->addWidget(m_pClose);
  portGrid->addLayout(openCell, 1, 2);

  // ---- Right: image style ----
  m_pImageType = combo(IDC_IMAGE_TYPE);
  m_pImageType->addItems({"JPEG", "YUV(NV12)"});
  QPushButton* imageTypeSet = button(IDC_IMAGE_TYPE_SET, "Set");
  imageTypeSet->hide();
  m_pTransmit = combo(IDC_TRANSMIT);
  m_pTransmit->addItems({"Read all once", "512Byte once", "2048Byte once", "4096Byte once",
                         "8196Byte once", "10240Byte once"});
  m_pImageSize = combo(IDC_IMAGE_SIZE);
  QPushButton* imageSizeSet = button(IDC_IMAGE_SIZE_SET, "Setting");
  m_pDefaultRate = combo(IDC_DEFAULT_RATE);
  QPushButton* defaultRateModify = button(IDC_DEFAULT_RATE_MODIFY, "Modify");
  m_pCompression = combo(IDC_COMPRESSION);
  QPushButton* compressionSet = button(IDC_COMPRESSION_SET, "Setting");
  m_pFillLight = combo(IDC_FILL_LIGHT);
  QPushButton* fillLightSet = button(IDC_FILL_LIGHT_SET, "Set");
  m_pTempRate = combo(IDC_TEMP_RATE);
  QPushButton* tempRateModify = button(IDC_TEMP_RATE_MODIFY, "Modify");
  m_pTempRateValue = label("");
  m_pTempRateValue->setObjectName(Id(IDC_TEMP_RATE_VALUE));
  QLabel* tempRateCaption = label("临时速率：");
  for (QWidget* w : std::initializer_list<QWidget*>{m_pTempRate, tempRateModify,
                                                    m_pTempRateValue, tempRateCaption})
    w->hide();

  auto* styleBox = new QGroupBox("Image Style", this);
  auto* style = new QGridLayout(styleBox);
  int row = 0;
  style->addWidget(label("Image Type"), row, 0);
  style->addWidget(m_pImageType, row, 1);
  style->addWidget(imageTypeSet, row++, 2);
  style->addWidget(label("Transmit:"), row, 0);
  style->addWidget(m_pTransmit, row++, 1);
  style->addWidget(label("Image Size"), row, 0);
  style->addWidget(m_pImageSize, row, 1);
  style->addWidget(imageSizeSet, row++, 2);
  style->addWidget(label("DefaultRate"), row, 0);
  style->addWidget(m_pDefaultRate, row, 1);
  style->addWidget(defaultRateModify, row++, 2);
  style->addWidget(label("Compress Rate"), row, 0);
  style->addWidget(m_pCompression, row, 1);
  style->addWidget(compressionSet, row++, 2);
  style->addWidget(label("Fill Light:"), row, 0);
  style->addWidget(m_pFillLight, row, 1);
  style->addWidget(fillLightSet, row++, 2);
  style->addWidget(tempRateCaption, row, 0);
  style->addWidget(m_pTempRate, row, 1);
  style->addWidget(tempRateModify, row, 2);
  style->addWidget(m_pTempRateValue, row++, 3);
  style->setColumnStretch(1, 1);

  // ---- Right: fields ----
  m_pPath = edit(IDC_PATH);
  m_pPath->setReadOnly(true);
  QPushButton* browse = button(IDC_BROWSE, "Browse");
  m_pSerialNo = edit(IDC_SERIAL_NO);
  m_pContinueDelay = edit(IDC_CONTINUE_DELAY);
  m_pVersion = edit(IDC_VERSION);
  m_pVersion->setReadOnly(true);
  QPalette blue = m_pVersion->palette();
  blue.setColor(QPalette::Text, QColor(0, 0, 255));
  m_pVersion->setPalette(blue);
  m_pHiddenEdit = edit(IDC_HIDDEN_EDIT);
  m_pHiddenEdit->hide();

  auto* fields = new QGridLayout;
  fields->addWidget(label("Path"), 0, 0);
  fields->addWidget(m_pPath, 0, 1, 1, 2);
  fields->addWidget(browse, 0, 3);
  fields->addWidget(label("SerialNo:"), 1, 0);
  fields->addWidget(m_pSerialNo, 1, 1);
  fields->addWidget(label("Continue Delay:"), 1, 2);
  auto* delayCell = new QHBoxLayout;
  delayCell->addWidget(m_pContinueDelay);
  delayCell->addWidget(label("(ms)"));
  fields->addLayout(delayCell, 1, 3);
  fields->addWidget(label("Version:"), 2, 0);
  fields->addWidget(m_pVersion, 2, 1, 1, 3);
  fields->setColumnStretch(1, 1);

  // ---- Right: detection ----
  m_pDetectOpen = radio(IDC_DETECT_OPEN, "Open");
  m_pDetectClose = radio(IDC_DETECT_CLOSE, "Close");
  auto* detectGroup = new QButtonGroup(this);
  detectGroup->addButton(m_pDetectOpen, 0);
  detectGroup->addButton(m_pDetectClose, 1);
  QPushButton* more = button(IDC_MORE, "More");
  m_pRead = button(IDC_READ, "Read");
  auto* detectBox = new QGroupBox("Detection Function", this);
  auto* detect = new QHBoxLayout(detectBox);
  detect->addWidget(m_pDetectOpen);
  detect->addWidget(m_pDetectClose);
  detect->addStretch(1);
  detect->addWidget(more);
  detect->addWidget(m_pRead);

  // ---- Right: commands ----
  auto* commands = new QGridLayout;
  commands->addWidget(button(IDC_SINGLE_CAPTURE, "Single Capture"), 0, 0);
  commands->addWidget(button(IDC_CONTINUES_CAPTURE, "Continues Capture"), 0, 1);
  m_pStopCapture = button(IDC_STOP_CAPTURE, "Stop Capture");
  commands->addWidget(m_pStopCapture, 1, 0);
  commands->addWidget(button(IDC_SAVE, "Save"), 1, 1);
  commands->addWidget(button(IDC_RESET, "Reset"), 2, 0);
  commands->addWidget(button(IDC_MULTI_CAPTURE, "Multiple Capture"), 2, 1);
  commands->addWidget(button(IDC_OSD, "OSD Character"), 3, 0);
  commands->addWidget(button(IDC_REGION_CROP, "Region Cropping"), 3, 1);
  commands->addWidget(button(IDC_IMAGE_CONTROL, "Image Control"), 4, 0);

  // ---- Controls the window keeps but never shows ----
  m_pReadOne = radio(IDC_READ_ONE, "One Capture");
  m_pRead512 = radio(IDC_READ_512, "512Byte once");
  auto* readModeGroup = new QButtonGroup(this);
  readModeGroup->addButton(m_pReadOne, 0);
  readModeGroup->addButton(m_pRead512, 1);
  m_pPowerSave = radio(IDC_POWER_SAVE, "Power Saving");
  m_pPowerSaveExit = radio(IDC_POWER_SAVE_EXIT, "Exit Power Saving");
  auto* powerGroup = new QButtonGroup(this);
  powerGroup->addButton(m_pPowerSave, 0);
  powerGroup->addButton(m_pPowerSaveExit, 1);
  QPushButton* burst = button(IDC_BURST5, "5张连拍");
  QPushButton* exitButton = button(IDC_EXIT, "Exit");
  auto* transferBox = new QGroupBox("Transfer Mode", this);
  auto* hidden = new QHBoxLayout(transferBox);
  for (QWidget* w : std::initializer_list<QWidget*>{m_pReadOne, m_pRead512, m_pPowerSave,
                                                    m_pPowerSaveExit, burst, exitButton})
    hidden->addWidget(w);
  transferBox->hide();

  auto* logo = new QLabel(this);
  logo->setObjectName(Id(IDC_LOGO));
  logo->setPixmap(QIcon(":/brevant/brevant.svg").pixmap(40, 40));
  auto* logoRow = new QHBoxLayout;
  logoRow->addStretch(1);
  logoRow->addWidget(logo);

  auto* right = new QVBoxLayout;
  right->addWidget(portBox);
  right->addWidget(styleBox);
  right->addLayout(fields);
  right->addWidget(detectBox);
  right->addLayout(commands);
  right->addStretch(1);
  right->addLayout(logoRow);
  right->addWidget(transferBox);
  right->addWidget(m_pHiddenEdit);

  auto* top = new QHBoxLayout(this);
  top->addLayout(left);
  top->addLayout(right, 1);

  // The desktop has no per-window system menu: "About" lives in a Help menu.
  auto* menuBar = new QMenuBar(this);
  QMenu* help = menuBar->addMenu("&Help");
  QAction* about = help->addAction("About Brevant(&A)...");
  about->setObjectName("aboutAction");
  connect(about, &QAction::triggered, this, &CMainDlg::OnAbout);
  top->setMenuBar(menuBar);
}

void CMainDlg::ConnectHandlers() {
  auto onClick = [this](int id, void (CMainDlg::*handler)()) {
    connect(static_cast<QAbstractButton*>(Control(id)), &QAbstractButton::clicked, this, handler);
  };
  onClick(IDC_OPEN, &CMainDlg::OnOpen);
  onClick(IDC_CLOSE, &CMainDlg::OnClose);
  onClick(IDC_SINGLE_CAPTURE, &CMainDlg::OnSingleCapture);
  onClick(IDC_CONTINUES_CAPTURE, &CMainDlg::OnContinuesCapture);
  onClick(IDC_STOP_CAPTURE, &CMainDlg::OnStopCapture);
  onClick(IDC_RESET, &CMainDlg::OnReset);
  onClick(IDC_SAVE, &CMainDlg::OnSave);
  onClick(IDC_BROWSE, &CMainDlg::OnBrowse);
  onClick(IDC_COMPRESSION_SET, &CMainDlg::OnCompressionSet);
  onClick(IDC_DEFAULT_RATE_MODIFY, &CMainDlg::OnDefaultRateModify);
  onClick(IDC_TEMP_RATE_MODIFY, &CMainDlg::OnTempRateModify);
  onClick(IDC_IMAGE_SIZE_SET, &CMainDlg::OnImageSizeSet);
  onClick(IDC_FILL_LIGHT_SET, &CMainDlg::OnFillLightSet);
  onClick(IDC_IMAGE_TYPE_SET, &CMainDlg::OnImageTypeSet);
  onClick(IDC_DETECT_OPEN, &CMainDlg::OnDetectOpen);
  onClick(IDC_DETECT_CLOSE, &CMainDlg::OnDetectClose);
  onClick(IDC_READ, &CMainDlg::OnRead);
  onClick(IDC_MORE, &CMainDlg::OnMore);
  onClick(IDC_MULTI_CAPTURE, &CMainDlg::OnMultipleCapture);
  onClick(IDC_REGION_CROP, &CMainDlg::OnRegionCropping);
  onClick(IDC_IMAGE_CONTROL, &CMainDlg::OnImageControl);
  onClick(IDC_OSD, &CMainDlg::OnOsdCharacter);
  onClick(IDC_COMMAND_MODE, &CMainDlg::OnCommandMode);
  onClick(IDC_CLEAR, &CMainDlg::OnClear);
  connect(m_pPowerSave, &QRadioButton::clicked, this, [this] { OnPowerSave(true); });
  connect(m_pPowerSaveExit, &QRadioButton::clicked, this, [this] { OnPowerSave(false); });
  connect(m_pReadOne, &QRadioButton::clicked, this, [this] { OnReadMode(0); });
  connect(m_pRead512, &QRadioButton::clicked, this, [this] { OnReadMode(1); });
  connect(static_cast<QPushButton*>(Control(IDC_EXIT)), &QPushButton::clicked, this,
          [this] { done(QDialog::Accepted); });
  connect(m_pSerialNo, &QLineEdit::textChanged, this, &CMainDlg::OnSerialNoChanged);
  connect(m_pContinueDelay, &QLineEdit::textChanged, this, &CMainDlg::OnContinueDelayChanged);
  connect(m_pVersion, &QLineEdit::textChanged, this, &CMainDlg::OnVersionChanged);
  m_pPort->m_onAboutToPopUp = [this] { RefreshPortMapping(); };
  connect(m_pPort, &QComboBox::currentIndexChanged, this, [this] { RefreshPortMapping(); });
  // The list follows adapters being plugged and pulled while the window is open.
  new CPortHotplug(GlobalPortMap().DevRoot(), [this] { RefreshPortMapping(); }, this);
}

void CMainDlg::InitControls() {
  m_nTransmitMode = 0;
  m_nReadModeRadio = 0;
  m_nPowerRadio = 1;
  m_nDetectRadio = 1;
  m_model = ModelInfo{};
  m_pCamera->SetModelInfo(m_model);
  m_pCamera->SetReadIndex(0);
  m_pCamera->SetStoredCount(0);

  SelectText(m_pPort, "COM1");
  FillCombo(m_pDefaultRate, {RateItems().begin(), RateItems().begin() + 5});
  FillCombo(m_pTempRate, {RateItems().begin(), RateItems().begin() + 5});
  SelectText(m_pBaud, "38400");
  SelectText(m_pDefaultRate, "38400");
  SelectText(m_pTempRate, "38400");
  m_pHiddenEdit->setText("36");

  m_strSavePath = QString::fromStdString(DefaultPictureFolder());
  m_nSerialNo = m_pCamera->GetSerialNumber();
  m_pVersion->clear();

  FillCombo(m_pImageSize, {ImageSizeItems().begin(), ImageSizeItems().begin() + 3});
  m_nImageSizeIndex = -1;
  m_pFillLight->clear();
  m_nFillLightIndex = -1;
  m_nImageType = 0;
  m_nContinueDelay = 0;

  m_pCompression->clear();
  for (int value = 0x36; value <= 0x8F; ++value)
    m_pCompression->addItem(QString::asprintf("0x%02X", value));
  m_pCompression->setCurrentIndex(0);
  RefreshPortMapping();
  PushToEngine();
}

void CMainDlg::RefreshPortMapping() {
  CPortMap& map = GlobalPortMap();
  map.Refresh();
  const std::vector<PortEntry> entries = map.Entries();
  for (const PortEntry& e : entries) {
    const int index = e.number - 1;
    if (index < 0 || index >= m_pPort->count()) continue;
    QString tip = e.device.empty() ? QString("No device on this machine")
                                   : QString::fromStdString(e.device);
    if (!e.description.empty()) tip += " (" + QString::fromStdString(e.description) + ")";
    if (!e.serialNumber.empty()) tip += ", serial " + QString::fromStdString(e.serialNumber);
    if (!e.stablePath.empty()) tip += "\n" + QString::fromStdString(e.stablePath);
    m_pPort->setItemData(index, tip, Qt::ToolTipRole);
  }
  const int current = m_pPort->currentIndex() + 1;
  const std::string device = map.DeviceFor(current);
  m_pPortDevice->setText(device.empty() ? QString("(no device)")
                                        : QString::fromStdString(device));
  m_pPortDevice->setToolTip(m_pPort->itemData(m_pPort->currentIndex(), Qt::ToolTipRole).toString());
}

// ---------------------------------------------------------------------------------------
// Exchange

QWidget* CMainDlg::Control(int id) const { return findChild<QWidget*>(Id(id)); }

void CMainDlg::ReadValues() {
  m_nReadModeRadio = m_pRead512->isChecked() ? 1 : 0;
  m_nPowerRadio = m_pPowerSave->isChecked() ? 0 : 1;
  m_nDetectRadio = m_pDetectOpen->isChecked() ? 0 : 1;
  m_nImageSizeIndex = m_pImageSize->currentIndex();
  m_nTransmitMode = std::max(0, m_pTransmit->currentIndex());
  m_nFillLightIndex = m_pFillLight->currentIndex();
  m_nImageType = std::max(0, m_pImageType->currentIndex());

  // Out-of-range or non-numeric entries keep the previous value; one box says why.
  long long value = m_nSerialNo;
  if (ReadIntInRange(this, m_pSerialNo, 0, 255, value))
    m_nSerialNo = static_cast<int>(value);
  else
    m_pSerialNo->setFocus();
  value = m_nContinueDelay;
  if (ReadIntInRange(this, m_pContinueDelay, 0, 9999, value))
    m_nContinueDelay = static_cast<unsigned>(value);
  else
    m_pContinueDelay->setFocus();
  PushToEngine();
}

void CMainDlg::PushToEngine() {
  m_pCamera->SetSerialNumber(static_cast<uint8_t>(m_nSerialNo));
  m_pCamera->SetImageType(m_nImageType);
  m_pCamera->SetTransmitMode(m_nTransmitMode);
  m_pCamera->SetSavePath(m_strSavePath.toStdString());
  m_pCamera->SetContinueDelay(m_nContinueDelay);
}

void CMainDlg::WriteValues() {
  const QSignalBlocker serialBlock(m_pSerialNo);
  const QSignalBlocker delayBlock(m_pContinueDelay);
  m_pPath->setText(m_strSavePath);
  m_pSerialNo->setText(QString::number(m_nSerialNo));
  m_pContinueDelay->setText(QString::number(m_nContinueDelay));
  (m_nReadModeRadio == 1 ? m_pRead512 : m_pReadOne)->setChecked(true);
  (m_nPowerRadio == 0 ? m_pPowerSave : m_pPowerSaveExit)->setChecked(true);
  (m_nDetectRadio == 0 ? m_pDetectOpen : m_pDetectClose)->setChecked(true);
  m_pImageSize->setCurrentIndex(m_nImageSizeIndex < m_pImageSize->count() ? m_nImageSizeIndex : -1);
  m_pTransmit->setCurrentIndex(m_nTransmitMode);
  m_pFillLight->setCurrentIndex(m_nFillLightIndex < m_pFillLight->count() ? m_nFillLightIndex : -1);
  m_pImageType->setCurrentIndex(m_nImageType);
}

void CMainDlg::ApplyEnables(const std::vector<EnableChange>& changes) {
  for (const EnableChange& change : changes)
    if (QWidget* w = Control(change.id)) w->setEnabled(change.enable);
}

void CMainDlg::UpdateControlStates() {
  ApplyEnables(::UpdateControlStates(
      {m_bPortOpen, m_pCamera->GetCaptureMode(), m_model.modelCode, m_model.firmwareVersion}));
  emit controlsUpdated();
}

void CMainDlg::Send(int code, const std::function<void()>& sender) {
  m_pCamera->QueueCommand(code);
  sender();
}

void CMainDlg::LogInfo(const std::string& text) { m_pCamera->LogInfo(text); }
void CMainDlg::LogError(const std::string& text) { m_pCamera->LogError(text); }

std::vector<std::string> CMainDlg::RecentStatusLines() const {
  return m_pHost->RecentStatusLines();
}

void CMainDlg::SetSavePath(const QString& folder) {
  if (folder.isEmpty()) return;
  m_strSavePath = QString::fromStdString(WithTrailingSlash(QDir::fromNativeSeparators(folder).toStdString()));
  m_pPath->setText(m_strSavePath);
  m_pCamera->SetSavePath(m_strSavePath.toStdString());
}

void CMainDlg::OnBrowse() {
  FolderChooser chooser;
  {
    std::lock_guard<std::mutex> lock(g_folderHookMutex);
    chooser = g_folderHook;
  }
  const QString title = "Select a folder";
  const QString chosen =
      chooser ? chooser(this, title, m_strSavePath)
              : QFileDialog::getExistingDirectory(this, title, m_strSavePath,
                                                  QFileDialog::ShowDirsOnly);
  if (chosen.isEmpty()) return;
  // Only the folder changes: refreshing every control from the members would also undo
  // list choices the operator made since the last command.
  SetSavePath(chosen);
}

