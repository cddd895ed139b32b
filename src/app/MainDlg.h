#pragma once
// CMainDlg: the main window. It wires the controls to the camera engine: a handler reads the
// operator's settings from the controls into one SessionSettings, hands it to the engine and
// issues its command; the engine reports back through CQtCameraHost, which hands every call
// to this window on the GUI thread. The controls are the only copy of the settings the window
// keeps.
#include <QDialog>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <climits>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/CaptureControls.h"
#include "imaging/SlantedEdge.h"
#include "core/ControlStates.h"
#include "protocol/CameraCommand.h"
#include "protocol/CameraHost.h"
#include "protocol/FeatureRecords.h"
#include "serial/NetworkPort.h"

class CCameraProtocol;
struct Identification;
class CQtCameraHost;
class CDecoderBoxSink;
class CTrafficView;
class CPortComboBox;
class CImageStatic;
class CFocusPanel;
struct PictureFigures;
class CMultipleCaptureDlg;
class CAutoCaptureFinishDlg;
class CImageControlDlg;
class CFindCameraDlg;
class CProfileJob;
class QAction;
class QProgressDialog;
struct FoundCamera;
class QButtonGroup;
class QComboBox;
class QLabel;
class QLayout;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;

class CMainDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CMainDlg(QWidget* parent = nullptr);
  ~CMainDlg() override;

  CCameraProtocol* Camera() const { return m_pCamera.get(); }
  CTrafficView* Traffic() const { return m_pTrafficView; }
  CFocusPanel* FocusPanel() const { return m_pFocusPanel; }  // View > Focus Assist
  ModelInfo Model() const { return m_model; }
  bool IsPortOpen() const { return m_bPortOpen; }
  // A network port's connection is being made (Close gives it up).
  bool IsConnecting() const { return m_pConnecting != nullptr; }
  QString SavePath() const;
  void SetSavePath(const QString& folder);  // as if chosen with "Browse"
  // Every status line shown recently, oldest first (diagnostics and tests).
  std::vector<std::string> RecentStatusLines() const;
  // The edge region dragged on the picture (picture pixels), where the checks measure MTF50;
  // none: the squares are found by themselves. Any thread.
  std::optional<EdgeRect> EdgeRegion() const;
  void SetEdgeRegion(const std::optional<EdgeRect>& region);

  // The folder picker behind "Browse" (the desktop's chooser unless replaced, as tests
  // do). Returns "" on Cancel.
  using FolderChooser = std::function<QString(QWidget* parent, const QString& title,
                                              const QString& start)>;
  void SetFolderChooser(FolderChooser chooser) { m_folderChooser = std::move(chooser); }
  // How "Network port…" asks for the address (an input box by default); empty: cancelled.
  void SetNetworkAddressAsker(std::function<QString()> ask) { m_askNetworkAddress = std::move(ask); }
  // The file picker behind Camera > Save/Apply Settings (save: a name to write), opened at
  // `start` (a folder, or the suggested file when saving). "" on Cancel.
  using FileChooser = std::function<QString(QWidget* parent, const QString& title,
                                            const QString& start, bool save)>;
  void SetFileChooser(FileChooser chooser) { m_fileChooser = std::move(chooser); }

  // True while the engine still waits for the camera's answer to a command.
  bool AwaitingReplies() const;

  // Closes an open port and stops the engine's threads; safe to call more than once.
  void Shutdown();

  // Closes the window (and the port) with the given result.
  void done(int result) override;

 signals:
  void statusLineShown(const QString& line);
  // Each of the engine's results, after the window has acted on it.
  void commandFinished(const CommandResult& result);
  void controlsUpdated();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  friend class CQtCameraHost;

  // ---- Construction (one builder per group of controls) ----
  void BuildControls();
  QLayout* BuildPictureColumn();
  QWidget* BuildPortBox();
  QWidget* BuildStyleBox();
  QLayout* BuildFields();
  QWidget* BuildDetectBox();
  QLayout* BuildCommandButtons();
  QWidget* BuildHiddenControls();
  void BuildMenu(QLayout* top);
  void ConnectHandlers();
  void InitControls();
  void FillInitialLists();
  void ShowSettings(const SessionSettings& settings);
  void RefreshPortMapping();
  void OnPortChosen(int index);  // the "Network port…" entry asks, the others map
  // Why the port did not open, for the Open button's tip and, where *box, a box.
  QString OpenFailureText(int port, const std::string& why, bool* box) const;

  // ---- Exchange with the engine ----
  // The settings as the controls hold them, with the range checks: a number field out of
  // range keeps the engine's value and brings one box per field.
  // The controls' settings; false after a range message (the command is not sent).
  // "Continue Delay:" is read, and checked, only withDelay: the one command that uses it.
  bool ReadSettings(SessionSettings& settings, bool withDelay = false);
  bool ApplyControls(bool withDelay = false);  // ReadSettings into the engine, as every command starts
  // Changes some fields of the engine's settings, leaving the others as they are.
  void ChangeSettings(const std::function<void(SessionSettings&)>& change);
  void RefillLists(const Identification& id);
  void UpdateControlStates();
  void ApplyEnables(const std::vector<EnableChange>& changes);
  QWidget* Control(int id) const;
  bool CameraReady() const { return m_pCamera != nullptr; }
  void LogInfo(const std::string& text);
  void LogError(const std::string& text);

  // ---- Handlers of the operator's commands ----
  void OnOpen();
  void OnClose();
  void StartConnect(int port, unsigned baud, const std::string& device);
  void OnConnected(unsigned attempt, int port, unsigned baud, const std::string& device,
                   NetworkOpenResult opened);
  void EndConnect();
  void FinishOpen(int port, unsigned baud, int ok);
  void OnSingleCapture();
  void OnContinuesCapture();
  void OnStopCapture();
  void OnReset();
  void OnSave();
  void OnBrowse();
  void OnCompressionSet();
  void OnDefaultRateModify();
  void OnTempRateModify();
  void OnImageSizeSet();
  void OnFillLightSet();
  void OnImageTypeSet();
  void OnPowerSave(bool enter);
  void OnReadMode(int mode);
  void OnDetectOpen();
  void OnDetectClose();
  void OnRead();
  void OnMore();
  void OnMultipleCapture();
  void OnRegionCropping();
  void OnImageControl();
  void OnOsdCharacter();
  void OnSerialNoChanged();
  void OnContinueDelayChanged();
  void OnVersionChanged(const QString& text);
  void OnCommandMode();
  void OnClear();
  void OnAbout();
  // "Find Camera…": search every mapped port at every rate, then select and open the one
  // that answered, as the operator would.
  void OnFindCamera();
  void OnCameraFound(const FoundCamera& found);
  // Camera > Save Settings to File… / Apply Settings from File… (MainDlgProfile.cpp): one
  // profile job at a time, fed with the results as they come.
  void OnSaveProfile();
  void OnApplyProfile();
  QString ChooseProfileFile(const QString& title, bool save);
  void StartProfileJob(std::unique_ptr<CProfileJob> job, const QString& file);
  void PumpProfileJob();
  void ProfileResult(const CommandResult& result);
  void EndProfileJob(const std::string& why);  // the summary; why: it stopped early
  bool ConfirmDefaultRate(unsigned rate);
  // No answer to the version query a few seconds after "Open": say where to look.
  void OnVersionWaitOver(unsigned openCount);
  void CloseAfterLineFailure(const std::string& reason);

  // ---- Typed results and events, on the GUI thread ----
  void OnCommandFinished(const CommandResult& result);
  void OnCameraEvent(const CameraEvent& event);
  void ApplySettingsReadBack(const SettingsReadBack& values);
  void OpenAutoCaptureFinish(int count);

  // ---- Host calls, on the GUI thread ----
  void ShowStatusLine(const QString& line);
  void SetProgress(uint32_t maximum, uint32_t pos);
  // The engine's snapshot: enable rules, the stop notice and the capture buttons' captions.
  void CaptureStateChanged(const SessionView& state);
  // The transfer has heard nothing for a while: the bar says it waits, until bytes come.
  void ShowTransferStalled(bool stalled);
  CImageStatic* Picture() const { return m_pPicture; }
  void ShowFocusAssist(bool on);  // View > Focus Assist, fitted to the window's screen
  // A shown picture's figures, for View > Focus Assist (kept up to date while hidden).
  void ShowPictureFigures(const PictureFigures& figures);

  // ---- Engine and host ----
  std::unique_ptr<CDecoderBoxSink> m_pBoxes;  // the decoder's boxes
  FolderChooser m_folderChooser;
  FileChooser m_fileChooser;
  QString m_profileFolder;  // where the last profile of this run was saved or applied from
  std::unique_ptr<CProfileJob> m_pProfileJob;
  QString m_profileFile;
  QPointer<QProgressDialog> m_pProfileProgress;
  QAction* m_pSaveProfileAction = nullptr;
  QAction* m_pApplyProfileAction = nullptr;
  std::unique_ptr<CQtCameraHost> m_pHost;
  std::unique_ptr<CCameraProtocol> m_pCamera;
  bool m_bShutDown = false;

  // ---- Window state ----
  bool m_bPortOpen = false;
  // A network port connects on a thread of its own; its result is applied only while
  // m_connectAttempt still names it (a Close in between gives it up).
  std::unique_ptr<CNetworkOpenAttempt> m_pConnecting;
  unsigned m_connectAttempt = 0;
  std::function<QString()> m_askNetworkAddress;
  int m_nPortIndex = 0;              // the COM entry chosen last (not "Network port…")
  unsigned m_openCount = 0;          // successful opens so far (a late timer knows its own)
  bool m_bVersionAnswered = false;   // since the last open
  CaptureControlFollower m_captureControls;
  bool m_bStopping = false;          // the stop notice shows: the line is not quiet yet
  QPointer<CFindCameraDlg> m_pFindDlg;
  ModelInfo m_model;
  bool m_bShowImage = true;
  QPointer<CMultipleCaptureDlg> m_pMultiCaptureDlg;
  QPointer<CAutoCaptureFinishDlg> m_pAutoCaptureDlg;
  QPointer<CImageControlDlg> m_pImageControlDlg;

  // ---- Controls ----
  CImageStatic* m_pPicture = nullptr;           // 1000
  mutable std::mutex m_edgeRegionMutex;        // guards m_edgeRegion
  std::optional<EdgeRect> m_edgeRegion;
  CTrafficView* m_pTrafficView = nullptr;      // 1006
  CFocusPanel* m_pFocusPanel = nullptr;
  // What showing View > Focus Assist did to the window, undone when it is hidden (the move
  // only while the window is still where it was moved to).
  struct FocusAssistFit {
    int grown = 0;
    QPoint movedFrom, movedTo{INT_MIN, INT_MIN};
  } m_focusFit;
  int m_nCaptureRun = 0;  // Continues Capture runs so far: each is a focus series of its own
  CPortComboBox* m_pPort = nullptr;            // 1016
  QLabel* m_pPortDevice = nullptr;
  QComboBox* m_pBaud = nullptr;                // 1017
  QPushButton* m_pOpen = nullptr;              // 1019
  QPushButton* m_pClose = nullptr;             // 1018
  QComboBox* m_pImageType = nullptr;           // 1053
  QComboBox* m_pTransmit = nullptr;            // 1040
  QComboBox* m_pImageSize = nullptr;           // 1038
  QComboBox* m_pDefaultRate = nullptr;         // 1035
  QComboBox* m_pCompression = nullptr;         // 1042
  QComboBox* m_pTempRate = nullptr;            // 1031
  QLineEdit* m_pPath = nullptr;                // 1012
  QLineEdit* m_pSerialNo = nullptr;            // 1010
  QLineEdit* m_pContinueDelay = nullptr;       // 1020
  QLineEdit* m_pVersion = nullptr;             // 1011
  QLineEdit* m_pHiddenEdit = nullptr;          // 1009
  QComboBox* m_pFillLight = nullptr;           // 1050
  QRadioButton* m_pDetectOpen = nullptr;       // 1046
  QRadioButton* m_pDetectClose = nullptr;      // 1047
  QRadioButton* m_pReadOne = nullptr;          // 1014
  QRadioButton* m_pRead512 = nullptr;          // 1015
  QRadioButton* m_pPowerSave = nullptr;        // 1028
  QRadioButton* m_pPowerSaveExit = nullptr;    // 1029
  QPushButton* m_pRead = nullptr;              // 1096
  QPushButton* m_pStopCapture = nullptr;       // 1024
  QPushButton* m_pCommandMode = nullptr;       // 1055
  QProgressBar* m_pProgress = nullptr;         // 1034
  QListWidget* m_pStatus = nullptr;            // 1041
  QLabel* m_pStopNotice = nullptr;             // 1104
  QLabel* m_pTempRateValue = nullptr;          // 1037
};
