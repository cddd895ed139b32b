// The operator's commands and the engine's reports, on the GUI thread.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <climits>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>

#include <unistd.h>

#include "app/AboutDlg.h"
#include "app/MainDlg.h"
#include "controls/GuiPost.h"
#include "controls/PortComboBox.h"
#include "app/QtCameraHost.h"
#include "app/PictureFolder.h"
#include "controls/TrafficView.h"
#include "core/ModelIdentification.h"
#include "core/PictureSaver.h"
#include "core/SettingsTable.h"
#include "controls/UiMessageBox.h"
#include "dialogs/AutoCaptureFinishDlg.h"
#include "dialogs/DialogExchange.h"
#include "dialogs/ImageControlDlg.h"
#include "dialogs/IntelligentDetectionDlg.h"
#include "dialogs/MotionDetectionDlg.h"
#include "dialogs/MultipleCaptureDlg.h"
#include "dialogs/OsdCharDlg.h"
#include "dialogs/RegionCropDlg.h"
#include "protocol/CameraProtocol.h"
#include "protocol/StatusMessages.h"
#include "serial/PortMap.h"
#include "session/SessionJob.h"

namespace {

// A camera at the port's rate answers the version query in well under a second.
constexpr int kVersionWaitMs = 3000;

std::string Format(const char* format, int a, int b) {
  char text[128];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

unsigned NumberOf(const QString& text) {
  bool ok = false;
  const unsigned value = text.trimmed().toUInt(&ok);
  return ok ? value : 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Port

void CMainDlg::OnOpen() {
  if (!CameraReady() || m_pConnecting) return;
  const int port = m_pPort->currentIndex() + 1;
  const unsigned baud = NumberOf(m_pBaud->currentText());
  // A server may take seconds to answer, or never: its connection is made off this thread.
  // A local device opens in milliseconds and stays on it.
  if (const std::string device = GlobalPortMap().DeviceFor(port); IsNetworkPortName(device)) {
    StartConnect(port, baud, device);
    return;
  }
  FinishOpen(port, baud, m_pCamera->OpenPort(port, baud, 'N', 8, 1, 512));
}

void CMainDlg::StartConnect(int port, unsigned baud, const std::string& device) {
  const unsigned attempt = ++m_connectAttempt;
  LogInfo("Connecting to " + device + " (Close gives up)");
  m_pOpen->hide();
  m_pClose->show();
  m_pOpen->setToolTip(QString());
  // The attempt's thread only posts its result: it never waits for this thread, so giving
  // the attempt up (join) from here is prompt.
  try {
    m_pConnecting = std::make_unique<CNetworkOpenAttempt>(
        NetworkOpenRequest{ParseNetworkAddress(device), baud, 'N', 8, 1},
        [this, attempt, port, baud, device](NetworkOpenResult opened) {
          auto result = std::make_shared<NetworkOpenResult>(std::move(opened));
          PostToGui(this, [this, attempt, port, baud, device, result] {
            OnConnected(attempt, port, baud, device, std::move(*result));
          });
        });
  } catch (const std::system_error& error) {
    // No thread to connect on (the system is out of them): the open fails, the window goes on.
    LogError(Format("Open COM%d fail, baud is %d", port, static_cast<int>(baud)));
    m_pOpen->setToolTip(QString::fromStdString("cannot start connecting: " + std::string(error.what())));
    m_pOpen->show();
    m_pClose->hide();
  }
  UpdateControlStates();
}

void CMainDlg::OnConnected(unsigned attempt, int port, unsigned baud, const std::string& device,
                           NetworkOpenResult opened) {
  // Given up meanwhile: the socket closes with the result.
  if (attempt != m_connectAttempt || !m_pConnecting) return;
  m_pConnecting.reset();  // its thread has handed over its result and ends
  FinishOpen(port, baud, m_pCamera->OpenConnected(device, port, baud, std::move(opened)));
}

// Gives up a connection being made; its result, if already on its way, is dropped.
void CMainDlg::EndConnect() {
  if (!m_pConnecting) return;
  ++m_connectAttempt;
  m_pConnecting.reset();
}

void CMainDlg::FinishOpen(int port, unsigned baud, int ok) {
  if (ok) {
    LogInfo(Format("Open COM%d success,baud is %d", port, static_cast<int>(baud)));
    m_pOpen->hide();
    m_pClose->show();
    m_pOpen->setToolTip(QString());
    m_bVersionAnswered = false;
    const unsigned openCount = ++m_openCount;
    QTimer::singleShot(kVersionWaitMs, this, [this, openCount] { OnVersionWaitOver(openCount); });
    m_pCamera->Issue(MakeCommand(CMD_GET_VERSION));
  } else {
    LogError(Format("Open COM%d fail, baud is %d", port, static_cast<int>(baud)));
    m_pOpen->show();
    m_pClose->hide();
    bool box = false;
    const QString text = OpenFailureText(port, m_pCamera->LastOpenError(), &box);
    m_pOpen->setToolTip(text);
    if (box) ShowMessageBox(this, text.toStdString(), "Open COM" + std::to_string(port), MsgIcon::Warning);
  }
  m_bPortOpen = ok != 0;
  UpdateControlStates();
  PortStateChanged(m_pCamera.get());
}

void CMainDlg::OnClose() {
  if (!CameraReady()) return;
  if (m_pConnecting) {
    EndConnect();
    LogInfo("Connection given up");
    m_pOpen->show();
    m_pClose->hide();
    UpdateControlStates();
    return;
  }
  m_pCamera->ClearCommands();
  m_pCamera->ClosePort();
  // The worker is joined: whatever it posted for this opening is stale now.
  m_pHost->PortClosed();
  EndProfileJob("the port was closed");
  LogInfo("Close port");
  m_pOpen->show();
  m_pClose->hide();
  m_pVersion->clear();  // identification runs on the empty text
  m_bPortOpen = false;
  m_model.modelCode = 0;
  m_model.modelVariant = 0;
  m_pCamera->SetModelInfo(m_model);
  // A stop waiting for the line to go quiet ended with the line; its notice went with it.
  m_bStopping = false;
  m_pStopNotice->hide();
  UpdateControlStates();
  PortStateChanged(m_pCamera.get());
}

void CMainDlg::CloseAfterLineFailure(const std::string& reason) {
  if (!m_bPortOpen) return;
  OnClose();
  // Logged after the close so the reason stays on the status line.
  LogError(reason);
}

// ---------------------------------------------------------------------------------------
// Captures

void CMainDlg::OnSingleCapture() {
  if (!CameraReady()) return;
  if (!ApplyControls()) return;
  m_pTrafficView->Clear();
  m_pCamera->SingleCapture();
  UpdateControlStates();
}

void CMainDlg::OnContinuesCapture() {
  if (!CameraReady()) return;
  if (!ApplyControls(true)) return;
  m_pTrafficView->Clear();
  ++m_nCaptureRun;
  m_pCamera->ContinuesCapture();
  UpdateControlStates();
}

void CMainDlg::OnStopCapture() {
  if (!CameraReady()) return;
  m_pCamera->StopCapture();
  m_pDetectClose->setChecked(true);
  m_pProgress->setValue(0);
  UpdateControlStates();
}

void CMainDlg::OnRead() {
  if (!CameraReady()) return;
  if (!ApplyControls()) return;
  m_pTrafficView->Clear();
  m_pCamera->ReadStoredPicture();
  UpdateControlStates();
}

void CMainDlg::OnReset() {
  if (!CameraReady()) return;
  if (m_pAutoCaptureDlg) {
    m_pAutoCaptureDlg->close();
    m_pAutoCaptureDlg = nullptr;
  }
  m_pCamera->Issue(MakeCommand(CMD_RESET));
}

// ---------------------------------------------------------------------------------------
// Save and folder

void CMainDlg::OnSave() {
  if (!CameraReady()) return;
  const SessionView view = m_pCamera->State();
  const std::string& source = view.lastImageFile;
  // Pressed again after the picture was saved: there is nothing left to move.
  if (source.empty() || !std::filesystem::exists(source)) return;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  // The picture's own kind decides the name: a detection read in YUV mode is still a JPEG.
  const SaveOutcome outcome =
      SavePicture(source, SavePath().toStdString(), view.lastImageYuv, local);
  if (outcome.kind == SaveOutcome::Saved) {
    ShowMessageBox(this, outcome.target, StatusText(MSG_SAVE_SUCCESS), MsgIcon::Information);
  } else if (outcome.kind == SaveOutcome::Failed) {
    ShowMessageBox(this,
                   "The picture could not be saved as " + outcome.target + ".\n" + outcome.error +
                       "\nIt stays in " + source + ".",
                   "Save", MsgIcon::Error);
  }
}

// ---------------------------------------------------------------------------------------
// Settings

void CMainDlg::OnCompressionSet() {
  if (!CameraReady()) return;
  if (!ApplyControls()) return;
  unsigned value = 0;
  const std::string text = m_pCompression->currentText().toStdString();
  if (std::sscanf(text.c_str(), "0x%02X", &value) != 1) return;
  m_pCamera->Issue(MakeCommand(CMD_SET_COMPRESSION, value & 0xFF));
}

void CMainDlg::OnDefaultRateModify() {
  if (!CameraReady()) return;
  const unsigned rate = NumberOf(m_pDefaultRate->currentText());
  if (rate == 0) return;  // no rate selected: nothing to send
  if (!ConfirmDefaultRate(rate)) return;
  m_pCamera->Issue(MakeCommand(CMD_SET_BAUD, rate));
}

bool CMainDlg::ConfirmDefaultRate(unsigned rate) {
  return rate <= kRateWarningAbove ||
         ShowMessageBox(this, kRateWarningText, "Warning", MsgIcon::Warning, MsgButtons::OkCancel) == IDOK;
}

void CMainDlg::OnTempRateModify() {
  if (!CameraReady()) return;
  const unsigned rate = NumberOf(m_pTempRate->currentText());
  if (rate == 0) return;
  m_pCamera->Issue(MakeCommand(CMD_SET_TEMP_BAUD, rate));
}

void CMainDlg::OnImageSizeSet() {
  if (!CameraReady()) return;
  if (!ApplyControls()) return;
  const int index = m_pImageSize->currentIndex();
  if (index < 0) return;
  m_pCamera->Issue(MakeCommand(CMD_SET_IMAGE_SIZE, static_cast<unsigned>(index + 1)));
}

void CMainDlg::OnFillLightSet() {
  if (!CameraReady()) return;
  if (!ApplyControls()) return;
  const int index = m_pFillLight->currentIndex();
  if (index < 0) return;  // the list is empty until the camera is identified
  const unsigned level = static_cast<unsigned>(index);
  m_pCamera->Issue(MakeCommand(level != 0 ? CMD_SET_FILL_LIGHT : CMD_FILL_LIGHT_OFF, level));
}

void CMainDlg::OnImageTypeSet() {
  if (!CameraReady()) return;
  SessionSettings settings;
  if (!ReadSettings(settings)) return;
  m_pCamera->ApplySettings(settings);
  m_pCamera->Issue(MakeCommand(CMD_SET_IMAGE_FORMAT, static_cast<uint8_t>(settings.imageType)));
}

void CMainDlg::OnPowerSave(bool enter) {
  if (!CameraReady()) return;
  if (!ApplyControls()) return;
  m_pCamera->Issue(MakeCommand(enter ? CMD_POWER_SAVE_ON : CMD_POWER_SAVE_OFF));
}

void CMainDlg::OnReadMode(int mode) {
  if (!CameraReady()) return;
  // Not a command: the choice is taken even while a field is still being corrected.
  SessionSettings settings;
  if (!ReadSettings(settings)) settings = m_pCamera->Settings();
  settings.transmitMode = mode;
  m_pCamera->ApplySettings(settings);
}

void CMainDlg::OnDetectOpen() {
  if (!CameraReady()) return;
  m_pCamera->Issue(MakeCommand(m_model.modelCode == 0 ? CMD_SET_MOTION_SENSITIVITY : CMD_MOTION_ON));
}

void CMainDlg::OnDetectClose() {
  if (!CameraReady()) return;
  m_pCamera->SetDetectionActive(false);
  m_pCamera->Issue(MakeCommand(CMD_MOTION_OFF));
}

void CMainDlg::OnSerialNoChanged() {
  if (!CameraReady()) return;
  // Applied as typed when valid; an entry out of range is reported when it is next used.
  bool ok = false;
  const int value = m_pSerialNo->text().trimmed().toInt(&ok);
  if (!ok || value < 0 || value > 255) return;
  const auto serialNumber = static_cast<uint8_t>(value);
  ChangeSettings([serialNumber](SessionSettings& s) { s.serialNumber = serialNumber; });
  m_pCamera->ApplySerialNumber(serialNumber);
}

void CMainDlg::OnContinueDelayChanged() {
  bool ok = false;
  const int value = m_pContinueDelay->text().trimmed().toInt(&ok);
  if (!ok || value < 0 || value > 9999) return;
  if (CameraReady())
    ChangeSettings([value](SessionSettings& s) { s.continueDelay = static_cast<unsigned>(value); });
}

// ---------------------------------------------------------------------------------------
// Identification

void CMainDlg::OnVersionChanged(const QString& text) {
  // The command line's identification; the window fits its controls to what it found.
  CIdentifyJob job = CIdentifyJob::FromText(text.toStdString(), true);
  for (SessionAction action = job.Next(); action.kind != SessionAction::Kind::Done;
       action = job.Next()) {
    if (action.kind == SessionAction::Kind::Identify) {
      const Identification id = ApplyIdentification(*m_pCamera, action.version);
      m_model = id.info;
      ApplyEnables(id.enables);
      RefillLists(id);
      if (id.resetImageType) m_pImageType->setCurrentIndex(0);
      job.Identified(id);
    } else {
      // The stored settings' answer fills the controls when it comes.
      if (action.kind == SessionAction::Kind::Issue) m_pCamera->Issue(action.command);
      break;
    }
  }
  m_pDefaultRate->setCurrentIndex(
      DefaultRateSelection(m_pBaud->currentIndex(), m_pDefaultRate->count()));
  UpdateControlStates();
}

void CMainDlg::RefillLists(const Identification& id) {
  if (id.listsRefilled) {
    auto fill = [](QComboBox* combo, const std::vector<std::string>& items) {
      combo->clear();
      for (const std::string& item : items) combo->addItem(QString::fromStdString(item));
      combo->setCurrentIndex(items.empty() ? -1 : 0);
    };
    fill(m_pDefaultRate, id.defaultRates);
    fill(m_pImageSize, id.imageSizes);
    fill(m_pFillLight, id.fillLights);
  }
  if (id.resetFillLightIndex) m_pFillLight->setCurrentIndex(0);
}

// ---------------------------------------------------------------------------------------
// Feature dialogs

void CMainDlg::OnMore() {
  if (!CameraReady()) return;
  if (ChooseIntelligentDetection(m_model)) {
    CIntelligentDetectionDlg dlg(m_pCamera.get(), this);
    dlg.exec();
  } else {
    CMotionDetectionDlg dlg(m_pCamera.get(), this);
    dlg.exec();
  }
}

void CMainDlg::OnMultipleCapture() {
  if (!CameraReady()) return;
  auto* dlg = new CMultipleCaptureDlg(m_pCamera.get(), this);
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  m_pMultiCaptureDlg = dlg;  // the newest one receives the engine's button updates
  dlg->show();
}

void CMainDlg::OnRegionCropping() {
  if (!CameraReady()) return;
  auto* dlg = new CRegionCropDlg(m_pCamera.get(), this);
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  dlg->show();
}

void CMainDlg::OnImageControl() {
  if (!CameraReady()) return;
  if (m_pImageControlDlg) delete m_pImageControlDlg.data();
  auto* dlg = new CImageControlDlg(m_pCamera.get(), this);
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  m_pImageControlDlg = dlg;
  dlg->show();
}

void CMainDlg::OnOsdCharacter() {
  if (!CameraReady()) return;
  COsdCharDlg dlg(m_pCamera.get(), this);
  dlg.exec();
}

void CMainDlg::OnAbout() {
  CAboutDlg about(this);
  about.exec();
}

// ---------------------------------------------------------------------------------------
// Activity log

void CMainDlg::OnCommandMode() {
  m_bShowImage = !m_bShowImage;
  if (m_bShowImage) {
    m_pTrafficView->hide();
    Control(IDC_PICTURE)->show();
  } else {
    Control(IDC_PICTURE)->hide();
    m_pTrafficView->show();
  }
  m_pCommandMode->setText(StatusText(m_bShowImage ? MSG_COMMAND_MODE : MSG_IMAGE_MODE));
}

void CMainDlg::OnClear() {
  m_pStatus->clear();
  m_pTrafficView->Clear();
}

void CMainDlg::ShowStatusLine(const QString& line) {
  m_pStatus->clear();
  m_pStatus->addItem(line);
  emit statusLineShown(line);
}

// ---------------------------------------------------------------------------------------
// Typed results and events

void CMainDlg::OnCommandFinished(const CommandResult& result) {
  const bool answered = result.outcome == Outcome::Done || result.outcome == Outcome::Refused;
  switch (result.code) {
    case CMD_GET_VERSION:
      if (const VersionReply* version = result.Data<VersionReply>())
        if (!version->text.empty()) m_pVersion->setText(QString::fromStdString(version->text));
      if (answered) m_bVersionAnswered = true;
      break;
    case CMD_RESET:
      if (result.Ok()) m_pDetectClose->setChecked(true);
      break;
    case CMD_MULTI_CAPTURE:
      // A burst was taken: its pictures may be read.
      if (answered && m_pMultiCaptureDlg) m_pMultiCaptureDlg->SetReadCaptureButton(true, QString());
      break;
    default:
      break;
  }
  if (const SettingsReadBack* values = result.Data<SettingsReadBack>())
    ApplySettingsReadBack(*values);
  if (const ImageParams* values = result.Data<ImageParams>())
    if (m_pImageControlDlg) m_pImageControlDlg->UpdateImageParams(*values);
  ReadBackFinished(m_pCamera.get(), result);
  ProfileResult(result);
  emit commandFinished(result);
}

void CMainDlg::OnCameraEvent(const CameraEvent& event) {
  if (event.kind == CameraEventKind::PowerOn && !event.version.empty())
    m_pVersion->setText(QString::fromStdString(event.version));
  if (event.kind == CameraEventKind::AutoCapture) OpenAutoCaptureFinish(event.count);
}

void CMainDlg::ApplySettingsReadBack(const SettingsReadBack& v) {
  if (v.serialNumber >= 0 && v.serialNumber <= 255)
    m_pSerialNo->setText(QString::number(v.serialNumber));  // applies it, as typing would
  if (v.imageSizeIndex >= 0 && v.imageSizeIndex < m_pImageSize->count())
    m_pImageSize->setCurrentIndex(v.imageSizeIndex);
  if (v.defaultRateIndex >= 0 && v.defaultRateIndex < m_pDefaultRate->count())
    m_pDefaultRate->setCurrentIndex(v.defaultRateIndex);
  if (v.compressionIndex >= 0 && v.compressionIndex < m_pCompression->count())
    m_pCompression->setCurrentIndex(v.compressionIndex);
  UpdateControlStates();
}

void CMainDlg::SetProgress(uint32_t maximum, uint32_t pos) {
  const int top = static_cast<int>(std::min<uint32_t>(maximum, INT_MAX));
  m_pProgress->setRange(0, top > 0 ? top : 100);
  m_pProgress->setValue(static_cast<int>(std::min<uint32_t>(pos, static_cast<uint32_t>(
                                                                      m_pProgress->maximum()))));
}

void CMainDlg::CaptureStateChanged(const SessionView& state) {
  const std::string path = m_pCamera->Settings().savePath;
  if (!path.empty()) m_pPath->setText(QString::fromStdString(path));
  const CaptureControlFollower::Moves moves = m_captureControls.Follow(state);
  if (moves.detectedRead) {
    m_pRead->setEnabled(moves.detectedRead->enabled);
    if (!moves.detectedRead->caption.empty())
      m_pRead->setText(QString::fromStdString(moves.detectedRead->caption));
  }
  // The newest burst window is the one reading.
  if (m_pMultiCaptureDlg) {
    if (moves.burstRead)
      m_pMultiCaptureDlg->SetReadCaptureButton(moves.burstRead->enabled,
                                               QString::fromStdString(moves.burstRead->caption));
    if (moves.burstTest) m_pMultiCaptureDlg->SetTestButtonEnabled(*moves.burstTest);
  }
  // The one place "Stop Capture" gets its state: the notice shows while a stop drains.
  m_bStopping = state.stopDraining;
  m_pStopNotice->setVisible(m_bStopping);
  UpdateControlStates();
}

void CMainDlg::ShowTransferStalled(bool stalled) {
  m_pProgress->setFormat(stalled ? QStringLiteral("waiting for the camera") : QStringLiteral("%p%"));
  m_pProgress->setTextVisible(stalled);
}

void CMainDlg::OpenAutoCaptureFinish(int count) {
  if (!CameraReady()) return;
  if (m_pAutoCaptureDlg) delete m_pAutoCaptureDlg.data();
  auto* dlg = new CAutoCaptureFinishDlg(m_pCamera.get(), count, this);
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  m_pAutoCaptureDlg = dlg;
  dlg->show();
}

