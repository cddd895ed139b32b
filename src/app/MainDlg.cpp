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
#include <QAction>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <mutex>

#include "controls/PortComboBox.h"
#include "app/PortHotplug.h"
#include "common/Version.h"
#include "app/QtCameraHost.h"
#include "app/PictureFolder.h"
#include "controls/FocusPanel.h"
#include "controls/TrafficView.h"
#include "core/ModelIdentification.h"
#include "core/SettingsTable.h"
#include "core/Profile.h"
#include "core/PictureSaver.h"
#include "controls/ControlName.h"
#include "controls/LinkLabel.h"
#include "controls/UiMessageBox.h"
#include "dialogs/DialogExchange.h"
#include "controls/ImageStatic.h"
#include "dialogs/StationDlg.h"
#include "protocol/StatusMessages.h"
#include "protocol/CameraProtocol.h"
#include "serial/PortMap.h"

static void InitBrevantResources() { Q_INIT_RESOURCE(brevant); }

namespace {

constexpr const char* kTitle = "Brevant V" BREVANT_VERSION;
constexpr const char* kMakerAddress = "https://brevant.example.org/";
constexpr int kPictureWidth = 640;
constexpr int kPictureHeight = 480;

void FillCombo(QComboBox* combo, const std::vector<std::string>& items) {
  combo->clear();
  for (const std::string& item : items) combo->addItem(QString::fromStdString(item));
  if (combo->count() > 0) combo->setCurrentIndex(0);
}

void SelectText(QComboBox* combo, const QString& text) {
  combo->setCurrentIndex(combo->findText(text, Qt::MatchExactly));
}

}  // namespace

CMainDlg::CMainDlg(QWidget* parent)
    : QDialog(parent), m_pBoxes(std::make_unique<CDecoderBoxSink>(
                                 this, [this](const std::string& line) { LogError(line); })) {
  InitBrevantResources();
  setObjectName(ControlName(IDD_MAIN));
  setWindowTitle(kTitle);
  setWindowIcon(QIcon(":/brevant/brevant.svg"));
  setWindowFlags(Qt::Window | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

  BuildControls();
  m_pHost = std::make_unique<CQtCameraHost>(this, m_pTrafficView);
  m_pCamera = std::make_unique<CCameraProtocol>(m_pHost.get());
  InitControls();
  ConnectHandlers();
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
  EndConnect();
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

namespace {

QPushButton* Button(QWidget* parent, int id, const char* caption) {
  auto* b = MakeControl<QPushButton>(id, QString::fromUtf8(caption), parent);
  b->setAutoDefault(false);
  return b;
}

QComboBox* Combo(QWidget* parent, int id) {
  auto* c = MakeControl<QComboBox>(id, parent);
  c->setMaxVisibleItems(16);
  return c;
}

QLabel* Label(QWidget* parent, const char* text) {
  return new QLabel(QString::fromUtf8(text), parent);
}

QRadioButton* Radio(QWidget* parent, int id, const char* caption) {
  return MakeControl<QRadioButton>(id, QString::fromUtf8(caption), parent);
}

}  // namespace

void CMainDlg::BuildControls() {
  QLayout* left = BuildPictureColumn();
  auto* right = new QVBoxLayout;
  right->addWidget(BuildPortBox());
  right->addWidget(BuildStyleBox());
  right->addLayout(BuildFields());
  right->addWidget(BuildDetectBox());
  right->addLayout(BuildCommandButtons());
  right->addStretch(1);
  QWidget* hidden = BuildHiddenControls();
  auto* logo = MakeControl<QLabel>(IDC_LOGO, this);
  logo->setPixmap(QIcon(":/brevant/brevant.svg").pixmap(40, 40));
  auto* logoRow = new QHBoxLayout;
  logoRow->addStretch(1);
  logoRow->addWidget(logo);
  right->addLayout(logoRow);
  right->addWidget(hidden);
  right->addWidget(m_pHiddenEdit);

  // Beside the picture, off by default so the window looks as it always has.
  m_pFocusPanel = new CFocusPanel(this);
  m_pFocusPanel->hide();

  auto* top = new QHBoxLayout(this);
  top->addLayout(left);
  top->addWidget(m_pFocusPanel);
  top->addLayout(right, 1);
  BuildMenu(top);
}

std::optional<EdgeRect> CMainDlg::EdgeRegion() const {
  std::lock_guard<std::mutex> lock(m_edgeRegionMutex);
  return m_edgeRegion;
}

void CMainDlg::SetEdgeRegion(const std::optional<EdgeRect>& region) {
  std::lock_guard<std::mutex> lock(m_edgeRegionMutex);
  m_edgeRegion = region;
}

// Left: picture area and traffic view in one place, then progress and log.
QLayout* CMainDlg::BuildPictureColumn() {
  m_pPicture = MakeControl<CImageStatic>(IDC_PICTURE, m_pBoxes.get(), this);
  connect(m_pPicture, &CImageStatic::EdgeRegionChanged, this,
          [this] { SetEdgeRegion(m_pPicture->EdgeRegion()); });
  // The drawing area inside the view's frame is the 640 x 480 the placement is made for.
  const int frame = 2 * m_pPicture->frameWidth();
  m_pPicture->setFixedSize(kPictureWidth + frame, kPictureHeight + frame);
  m_pTrafficView = MakeControl<CTrafficView>(IDC_TRAFFIC, this);
  m_pTrafficView->setFixedSize(kPictureWidth + frame, kPictureHeight + frame);
  m_pTrafficView->FitLinesTo(kPictureWidth + frame);
  m_pTrafficView->hide();

  m_pProgress = MakeControl<QProgressBar>(IDC_PROGRESS, this);
  m_pProgress->setTextVisible(false);
  m_pProgress->setRange(0, 100);
  m_pProgress->setValue(0);

  m_pStatus = MakeControl<QListWidget>(IDC_STATUS, this);
  m_pStatus->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_pStatus->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_pStatus->setSelectionMode(QAbstractItemView::NoSelection);
  m_pStatus->setFocusPolicy(Qt::NoFocus);
  m_pStatus->setFixedHeight(m_pStatus->fontMetrics().height() + 10);

  m_pCommandMode = Button(this, IDC_COMMAND_MODE, "Command Mode");
  QPushButton* clear = Button(this, IDC_CLEAR, "Clear");
  m_pStopNotice = MakeControl<QLabel>(IDC_STOP_NOTICE, "Stop now! Please Wait...", this);
  m_pStopNotice->setStyleSheet("color: #b00000; font-weight: bold;");
  m_pStopNotice->hide();

  auto* link = MakeControl<CLinkLabel>(IDC_LINK, kMakerAddress, this);
  link->SetLink(kMakerAddress);
  link->SetUnderline(true);
  link->SetLinkCursor(QCursor(Qt::PointingHandCursor));
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
  return left;
}

QWidget* CMainDlg::BuildPortBox() {
  m_pPort = MakeControl<CPortComboBox>(IDC_PORT, this);
  m_pPort->setMaxVisibleItems(15);
  for (int i = 1; i <= CPortMap::kPortCount; ++i) m_pPort->addItem(QString("COM%1").arg(i));
  m_pPort->addItem(QString::fromUtf8("Network port\u2026"));
  m_pPortDevice = Label(this, "");
  m_pPortDevice->setObjectName("portDevice");
  m_pPortDevice->setMinimumWidth(150);
  m_pBaud = Combo(this, IDC_BAUD);
  for (const std::string& rate : RateItems()) m_pBaud->addItem(QString::fromStdString(rate));
  m_pOpen = Button(this, IDC_OPEN, "Open");
  m_pClose = Button(this, IDC_CLOSE, "Close");
  m_pClose->hide();

  auto* portBox = new QGroupBox(this);
  auto* portGrid = new QGridLayout(portBox);
  portGrid->addWidget(Label(this, "Com Port"), 0, 0);
  portGrid->addWidget(m_pPort, 0, 1);
  portGrid->addWidget(m_pPortDevice, 0, 2);
  portGrid->addWidget(Label(this, "Baud Rate"), 1, 0);
  portGrid->addWidget(m_pBaud, 1, 1);
  auto* openCell = new QHBoxLayout;
  openCell->addWidget(m_pOpen);
  openCell->addWidget(m_pClose);
  portGrid->addLayout(openCell, 1, 2);
  return portBox;
}

QWidget* CMainDlg::BuildStyleBox() {
  m_pImageType = Combo(this, IDC_IMAGE_TYPE);
  m_pImageType->addItems({"JPEG", "YUV(NV12)"});
  QPushButton* imageTypeSet = Button(this, IDC_IMAGE_TYPE_SET, "Set");
  imageTypeSet->hide();
  m_pTransmit = Combo(this, IDC_TRANSMIT);
  m_pTransmit->addItems({"Read all once", "512Byte once", "2048Byte once", "4096Byte once",
                         "8196Byte once", "10240Byte once"});
  m_pImageSize = Combo(this, IDC_IMAGE_SIZE);
  QPushButton* imageSizeSet = Button(this, IDC_IMAGE_SIZE_SET, "Setting");
  m_pDefaultRate = Combo(this, IDC_DEFAULT_RATE);
  QPushButton* defaultRateModify = Button(this, IDC_DEFAULT_RATE_MODIFY, "Modify");
  m_pCompression = Combo(this, IDC_COMPRESSION);
  QPushButton* compressionSet = Button(this, IDC_COMPRESSION_SET, "Setting");
  m_pFillLight = Combo(this, IDC_FILL_LIGHT);
  QPushButton* fillLightSet = Button(this, IDC_FILL_LIGHT_SET, "Set");
  m_pTempRate = Combo(this, IDC_TEMP_RATE);
  QPushButton* tempRateModify = Button(this, IDC_TEMP_RATE_MODIFY, "Modify");
  m_pTempRateValue = MakeControl<QLabel>(IDC_TEMP_RATE_VALUE, this);
  QLabel* tempRateCaption = Label(this, "临时速率：");
  for (QWidget* w : std::initializer_list<QWidget*>{m_pTempRate, tempRateModify,
                                                    m_pTempRateValue, tempRateCaption})
    w->hide();

  auto* styleBox = new QGroupBox("Image Style", this);
  auto* style = new QGridLayout(styleBox);
  int row = 0;
  auto addRow = [&](const char* caption, QWidget* field, QWidget* action) {
    style->addWidget(Label(this, caption), row, 0);
    style->addWidget(field, row, 1);
    if (action) style->addWidget(action, row, 2);
    ++row;
  };
  addRow("Image Type", m_pImageType, imageTypeSet);
  addRow("Transmit:", m_pTransmit, nullptr);
  addRow("Image Size", m_pImageSize, imageSizeSet);
  addRow("DefaultRate", m_pDefaultRate, defaultRateModify);
  addRow("Compress Rate", m_pCompression, compressionSet);
  addRow("Fill Light:", m_pFillLight, fillLightSet);
  style->addWidget(tempRateCaption, row, 0);
  style->addWidget(m_pTempRate, row, 1);
  style->addWidget(tempRateModify, row, 2);
  style->addWidget(m_pTempRateValue, row, 3);
  style->setColumnStretch(1, 1);
  return styleBox;
}

QLayout* CMainDlg::BuildFields() {
  m_pPath = MakeControl<QLineEdit>(IDC_PATH, this);
  m_pPath->setReadOnly(true);
  QPushButton* browse = Button(this, IDC_BROWSE, "Browse");
  m_pSerialNo = MakeControl<QLineEdit>(IDC_SERIAL_NO, this);
  m_pContinueDelay = MakeControl<QLineEdit>(IDC_CONTINUE_DELAY, this);
  m_pVersion = MakeControl<QLineEdit>(IDC_VERSION, this);
  m_pVersion->setReadOnly(true);
  QPalette blue = m_pVersion->palette();
  blue.setColor(QPalette::Text, QColor(0, 0, 255));
  m_pVersion->setPalette(blue);
  m_pHiddenEdit = MakeControl<QLineEdit>(IDC_HIDDEN_EDIT, this);
  m_pHiddenEdit->hide();

  auto* fields = new QGridLayout;
  fields->addWidget(Label(this, "Path"), 0, 0);
  fields->addWidget(m_pPath, 0, 1, 1, 2);
  fields->addWidget(browse, 0, 3);
  fields->addWidget(Label(this, "SerialNo:"), 1, 0);
  fields->addWidget(m_pSerialNo, 1, 1);
  fields->addWidget(Label(this, "Continue Delay:"), 1, 2);
  auto* delayCell = new QHBoxLayout;
  delayCell->addWidget(m_pContinueDelay);
  delayCell->addWidget(Label(this, "(ms)"));
  fields->addLayout(delayCell, 1, 3);
  fields->addWidget(Label(this, "Version:"), 2, 0);
  fields->addWidget(m_pVersion, 2, 1, 1, 3);
  fields->setColumnStretch(1, 1);
  return fields;
}

QWidget* CMainDlg::BuildDetectBox() {
  m_pDetectOpen = Radio(this, IDC_DETECT_OPEN, "Open");
  m_pDetectClose = Radio(this, IDC_DETECT_CLOSE, "Close");
  auto* detectGroup = new QButtonGroup(this);
  detectGroup->addButton(m_pDetectOpen, 0);
  detectGroup->addButton(m_pDetectClose, 1);
  QPushButton* more = Button(this, IDC_MORE, "More");
  m_pRead = Button(this, IDC_READ, "Read");
  auto* detectBox = new QGroupBox("Detection Function", this);
  auto* detect = new QHBoxLayout(detectBox);
  detect->addWidget(m_pDetectOpen);
  detect->addWidget(m_pDetectClose);
  detect->addStretch(1);
  detect->addWidget(more);
  detect->addWidget(m_pRead);
  return detectBox;
}

QLayout* CMainDlg::BuildCommandButtons() {
  auto* commands = new QGridLayout;
  commands->addWidget(Button(this, IDC_SINGLE_CAPTURE, "Single Capture"), 0, 0);
  commands->addWidget(Button(this, IDC_CONTINUES_CAPTURE, "Continues Capture"), 0, 1);
  m_pStopCapture = Button(this, IDC_STOP_CAPTURE, "Stop Capture");
  commands->addWidget(m_pStopCapture, 1, 0);
  commands->addWidget(Button(this, IDC_SAVE, "Save"), 1, 1);
  commands->addWidget(Button(this, IDC_RESET, "Reset"), 2, 0);
  commands->addWidget(Button(this, IDC_MULTI_CAPTURE, "Multiple Capture"), 2, 1);
  commands->addWidget(Button(this, IDC_OSD, "OSD Character"), 3, 0);
  commands->addWidget(Button(this, IDC_REGION_CROP, "Region Cropping"), 3, 1);
  commands->addWidget(Button(this, IDC_IMAGE_CONTROL, "Image Control"), 4, 0);
  return commands;
}

// Controls the window keeps but never shows.
QWidget* CMainDlg::BuildHiddenControls() {
  m_pReadOne = Radio(this, IDC_READ_ONE, "One Capture");
  m_pRead512 = Radio(this, IDC_READ_512, "512Byte once");
  auto* readModeGroup = new QButtonGroup(this);
  readModeGroup->addButton(m_pReadOne, 0);
  readModeGroup->addButton(m_pRead512, 1);
  m_pPowerSave = Radio(this, IDC_POWER_SAVE, "Power Saving");
  m_pPowerSaveExit = Radio(this, IDC_POWER_SAVE_EXIT, "Exit Power Saving");
  auto* powerGroup = new QButtonGroup(this);
  powerGroup->addButton(m_pPowerSave, 0);
  powerGroup->addButton(m_pPowerSaveExit, 1);
  QPushButton* burst = Button(this, IDC_BURST5, "5张连拍");
  QPushButton* exitButton = Button(this, IDC_EXIT, "Exit");
  auto* transferBox = new QGroupBox("Transfer Mode", this);
  auto* hidden = new QHBoxLayout(transferBox);
  for (QWidget* w : std::initializer_list<QWidget*>{m_pReadOne, m_pRead512, m_pPowerSave,
                                                    m_pPowerSaveExit, burst, exitButton})
    hidden->addWidget(w);
  transferBox->hide();
  return transferBox;
}

// The desktop has no per-window system menu: "About" lives in a Help menu.
void CMainDlg::BuildMenu(QLayout* top) {
  auto* menuBar = new QMenuBar(this);
  QMenu* camera = menuBar->addMenu("&Camera");
  QAction* find = camera->addAction("&Find Camera…");
  find->setObjectName("findCameraAction");
  connect(find, &QAction::triggered, this, &CMainDlg::OnFindCamera);
  m_pSaveProfileAction = camera->addAction("&Save Settings to File…");
  m_pSaveProfileAction->setObjectName("saveProfileAction");
  connect(m_pSaveProfileAction, &QAction::triggered, this, &CMainDlg::OnSaveProfile);
  m_pApplyProfileAction = camera->addAction("&Apply Settings from File…");
  m_pApplyProfileAction->setObjectName("applyProfileAction");
  connect(m_pApplyProfileAction, &QAction::triggered, this, &CMainDlg::OnApplyProfile);
  QAction* station = camera->addAction("S&tation…");
  station->setObjectName("stationAction");
  connect(station, &QAction::triggered, this, [this] {
    // A window of its own beside this one: a rack runs for hours while this window is used.
    auto* dlg = new CStationDlg(nullptr, {}, {});
    dlg->setAttribute(Qt::WA_DeleteOnClose);
    dlg->show();
  });
  QMenu* view = menuBar->addMenu("&View");
  QAction* focus = view->addAction("&Focus Assist");
  focus->setObjectName("focusAssistAction");
  focus->setCheckable(true);
  connect(focus, &QAction::toggled, this, &CMainDlg::ShowFocusAssist);
  connect(focus, &QAction::toggled, this, [this](bool on) { m_pHost->MeasureEdges(on); });
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
  connect(m_pPort, &QComboBox::currentIndexChanged, this, &CMainDlg::OnPortChosen);
  // The list follows adapters being plugged and pulled while the window is open.
  new CPortHotplug(GlobalPortMap().DevRoot(), [this] { RefreshPortMapping(); }, this);
}

void CMainDlg::InitControls() {
  m_model = ModelInfo{};
  m_pCamera->SetModelInfo(m_model);
  m_pCamera->SetReadIndex(0);
  m_pCamera->SetStoredCount(0);
  FillInitialLists();
  m_pHiddenEdit->setText("36");
  m_pVersion->clear();
  m_pReadOne->setChecked(true);
  m_pPowerSaveExit->setChecked(true);
  m_pDetectClose->setChecked(true);
  RefreshPortMapping();

  SessionSettings initial = m_pCamera->Settings();
  initial.imageType = IMAGE_TYPE_JPEG;
  initial.transmitMode = 0;
  initial.savePath = DefaultPictureFolder();
  initial.continueDelay = 0;
  ShowSettings(initial);
  m_pCamera->ApplySettings(initial);
}

void CMainDlg::FillInitialLists() {
  SelectText(m_pPort, "COM1");
  FillCombo(m_pDefaultRate, {RateItems().begin(), RateItems().begin() + 5});
  FillCombo(m_pTempRate, {RateItems().begin(), RateItems().begin() + 5});
  SelectText(m_pBaud, "38400");
  SelectText(m_pDefaultRate, "38400");
  SelectText(m_pTempRate, "38400");
  // Sizes and fill-light levels follow the model; nothing is chosen before identification.
  FillCombo(m_pImageSize, {ImageSizeItems().begin(), ImageSizeItems().begin() + 3});
  m_pImageSize->setCurrentIndex(-1);
  m_pFillLight->clear();
  m_pCompression->clear();
  const SettingRow& compression = Setting("", "compression");
  for (long long value = compression.min; value <= compression.max; ++value)
    m_pCompression->addItem(QString::asprintf("0x%02llX", value));
  m_pCompression->setCurrentIndex(0);
}

void CMainDlg::ShowSettings(const SessionSettings& settings) {
  const QSignalBlocker serialBlock(m_pSerialNo);
  const QSignalBlocker delayBlock(m_pContinueDelay);
  m_pPath->setText(QString::fromStdString(settings.savePath));
  m_pSerialNo->setText(QString::number(settings.serialNumber));
  m_pContinueDelay->setText(QString::number(settings.continueDelay));
  m_pTransmit->setCurrentIndex(settings.transmitMode);
  m_pImageType->setCurrentIndex(settings.imageType);
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

QWidget* CMainDlg::Control(int id) const { return FindControl<QWidget>(this, id); }

bool CMainDlg::ReadSettings(SessionSettings& settings, bool withDelay) {
  settings = m_pCamera->Settings();
  settings.imageType = std::max(0, m_pImageType->currentIndex());
  settings.transmitMode = std::max(0, m_pTransmit->currentIndex());
  settings.savePath = m_pPath->text().toStdString();

  // Out-of-range or non-numeric entries keep the previous value; one box says why, and the
  // field keeps what was typed and the focus so it can be put right.
  long long value = settings.serialNumber;
  if (!ReadIntInRange(this, m_pSerialNo, 0, 255, value)) {
    m_pSerialNo->setFocus();
    return false;
  }
  settings.serialNumber = static_cast<uint8_t>(value);
  if (!withDelay) return true;  // only a continuous capture waits between pictures
  value = settings.continueDelay;
  if (!ReadIntInRange(this, m_pContinueDelay, 0, 9999, value)) {
    m_pContinueDelay->setFocus();
    return false;
  }
  settings.continueDelay = static_cast<unsigned>(value);
  return true;
}

bool CMainDlg::ApplyControls(bool withDelay) {
  SessionSettings settings;
  if (!ReadSettings(settings, withDelay)) return false;
  m_pCamera->ApplySettings(settings);
  return true;
}

void CMainDlg::ChangeSettings(const std::function<void(SessionSettings&)>& change) {
  SessionSettings settings = m_pCamera->Settings();
  change(settings);
  m_pCamera->ApplySettings(settings);
}

void CMainDlg::ApplyEnables(const std::vector<EnableChange>& changes) {
  for (const EnableChange& change : changes)
    if (QWidget* w = Control(change.id)) w->setEnabled(change.enable);
}

void CMainDlg::UpdateControlStates() {
  ApplyEnables(::UpdateControlStates({m_bPortOpen, m_pCamera->State().captureMode,
                                      m_model.modelCode, m_model.firmwareVersion, m_bStopping}));
  // Like the camera controls: an open, idle port, and one profile job at a time.
  const bool profiles = m_bPortOpen && m_pCamera->State().captureMode == CAPTURE_IDLE && !m_pProfileJob;
  if (m_pSaveProfileAction) m_pSaveProfileAction->setEnabled(profiles);
  if (m_pApplyProfileAction) m_pApplyProfileAction->setEnabled(profiles);
  // The port and rate of a connection being made stay as they were asked for.
  if (m_pConnecting)
    for (QWidget* w : {static_cast<QWidget*>(m_pPort), static_cast<QWidget*>(m_pBaud)}) w->setEnabled(false);
  emit controlsUpdated();
}

bool CMainDlg::AwaitingReplies() const { return AwaitingReply(*m_pCamera); }

void CMainDlg::LogInfo(const std::string& text) { m_pCamera->LogInfo(text); }
void CMainDlg::LogError(const std::string& text) { m_pCamera->LogError(text); }

std::vector<std::string> CMainDlg::RecentStatusLines() const {
  return m_pHost->RecentStatusLines();
}

QString CMainDlg::SavePath() const { return m_pPath->text(); }

void CMainDlg::SetSavePath(const QString& folder) {
  if (folder.isEmpty()) return;
  const std::string path = WithTrailingSlash(QDir::fromNativeSeparators(folder).toStdString());
  m_pPath->setText(QString::fromStdString(path));
  ChangeSettings([&path](SessionSettings& s) { s.savePath = path; });
}

void CMainDlg::OnBrowse() {
  const FolderChooser& chooser = m_folderChooser;
  const QString title = "Select a folder";
  const QString start = SavePath();
  const QString chosen =
      chooser ? chooser(this, title, start)
              : QFileDialog::getExistingDirectory(this, title, start, QFileDialog::ShowDirsOnly);
  if (chosen.isEmpty()) return;
  // Only the folder changes: list choices the operator made since the last command stay
  // where they are.
  SetSavePath(chosen);
}

// The picture keeps its size pixel for pixel (focus is judged on it) and the buttons keep
// theirs, so the panel takes what the window's screen has left beside them: narrower on a
// laptop, and the window moves left as far as it must to stay on its screen. A panel in a
// window of its own would cover the buttons or the picture on such a screen instead.
void CMainDlg::ShowFocusAssist(bool on) {
  if (on == !m_pFocusPanel->isHidden()) return;
  if (!on) {
    m_pFocusPanel->hide();
    layout()->activate();
    resize(std::max(minimumWidth(), width() - m_focusFit.grown), height());
    if (pos() == m_focusFit.movedTo) move(m_focusFit.movedFrom);
    m_focusFit = {};
    return;
  }
  const QRect available = screen()->availableGeometry();
  const QRect before = frameGeometry();
  const int frame = before.width() - width();  // the window manager's borders
  // The right-hand column stretches: it gives up its slack before the panel narrows.
  const int room = available.width() - frame - minimumWidth() - layout()->spacing();
  m_pFocusPanel->setFixedWidth(
      std::clamp(room, CFocusPanel::kMinimumWidth, CFocusPanel::kPreferredWidth));
  m_pFocusPanel->show();
  layout()->activate();  // the window widens now, so its new frame is known
  if (frameGeometry().width() > available.width())
    resize(std::max(minimumWidth(), available.width() - frame), height());
  m_focusFit.grown = frameGeometry().width() - before.width();
  const int overhang = frameGeometry().right() - available.right();
  if (overhang > 0) {
    m_focusFit.movedFrom = pos();
    const int left = std::max(available.left(), before.left() - overhang);
    move(pos().x() + left - before.left(), pos().y());
    m_focusFit.movedTo = pos();
  }
}

void CMainDlg::ShowPictureFigures(const PictureFigures& figures) {
  // Each Continues Capture run is a series of its own; any other picture stays out of it.
  m_pFocusPanel->AddPicture(figures, m_pCamera->State().continuous ? m_nCaptureRun : 0);
}
