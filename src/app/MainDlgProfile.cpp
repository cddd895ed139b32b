// Camera > Save Settings to File… and Apply Settings from File…: the core's profile job,
// fed with the engine's results as they reach the GUI thread.
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QProgressDialog>
#include <algorithm>
#include <fstream>
#include <sstream>

#include "app/MainDlg.h"
#include "controls/UiMessageBox.h"
#include "core/InputFile.h"
#include "core/Profile.h"
#include "protocol/CameraProtocol.h"

namespace {

QString ChooseFile(QWidget* parent, const QString& title, const QString& start, bool save) {
  const QString filter = "Profiles (*.json);;All files (*)";
  return save ? QFileDialog::getSaveFileName(parent, title, start, filter)
              : QFileDialog::getOpenFileName(parent, title, start, filter);
}

std::string Listed(const char* label, const std::vector<std::string>& items) {
  if (items.empty()) return "";
  std::string out = std::string(label) + ": ";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  return out + "\n";
}

}  // namespace

// Profiles live with the pictures unless the operator went elsewhere in this run: the
// program's working folder means nothing to someone who started it from a menu.
QString CMainDlg::ChooseProfileFile(const QString& title, bool save) {
  const QString folder = m_profileFolder.isEmpty() ? SavePath() : m_profileFolder;
  const QString start = save ? QDir(folder).filePath("camera.json") : folder;
  const QString file = (m_fileChooser ? m_fileChooser : ChooseFile)(this, title, start, save);
  if (!file.isEmpty()) m_profileFolder = QFileInfo(file).absolutePath();
  return file;
}

void CMainDlg::OnSaveProfile() {
  if (!CameraReady() || !m_bPortOpen || m_pProfileJob) return;
  const QString file = ChooseProfileFile("Save Settings to File", true);
  if (file.isEmpty()) return;
  const ProfileModel model = ProfileModelFor(m_pCamera->State().versionText);
  StartProfileJob(std::make_unique<CProfileJob>(CProfileJob::Mode::Save, model), file);
}

void CMainDlg::OnApplyProfile() {
  if (!CameraReady() || !m_bPortOpen || m_pProfileJob) return;
  const QString file = ChooseProfileFile("Apply Settings from File", false);
  if (file.isEmpty()) return;
  // Only a regular file of a profile's size: a FIFO chosen by mistake must not hang the window.
  std::string text, why;
  const bool read = ReadInputFile(file.toStdString(), kProfileMaxBytes, &text, &why);
  ProfileError error;
  std::optional<Profile> profile = read ? ParseProfile(text, error) : std::nullopt;
  const ProfileModel model = ProfileModelFor(m_pCamera->State().versionText);
  if (profile) {
    if (std::optional<ProfileError> refusal = CheckProfileForModel(*profile, model, text))
      error = *refusal;
  } else if (!read) {
    error.text = "the file cannot be read: " + why;
  }
  if (!profile || !error.text.empty()) {
    ShowMessageBox(this, file.toStdString() + ": " + error.Text() + "\nNothing was written.",
                   "Apply Settings", MsgIcon::Warning);
    return;
  }
  const std::optional<unsigned>& rate = profile->settings.defaultRate;
  if (rate && !ConfirmDefaultRate(*rate)) return;
  StartProfileJob(std::make_unique<CProfileJob>(CProfileJob::Mode::Apply, model, *profile), file);
}

void CMainDlg::StartProfileJob(std::unique_ptr<CProfileJob> job, const QString& file) {
  m_pProfileJob = std::move(job);
  m_profileFile = file;
  m_pProfileProgress = new QProgressDialog("Reading the camera's settings…", "Stop", 0,
                                           static_cast<int>(m_pProfileJob->StepCount()), this);
  m_pProfileProgress->setObjectName("profileProgress");
  const QString title = m_pProfileJob->GetMode() == CProfileJob::Mode::Save ? "Save Settings to File"
                                                                            : "Apply Settings from File";
  m_pProfileProgress->setWindowTitle(title);
  m_pProfileProgress->setAccessibleName(title);
  m_pProfileProgress->setAttribute(Qt::WA_DeleteOnClose);
  m_pProfileProgress->setMinimumDuration(0);
  connect(m_pProfileProgress, &QProgressDialog::canceled, this,
          [this] { EndProfileJob("stopped by the operator"); });
  UpdateControlStates();
  PumpProfileJob();
}

void CMainDlg::PumpProfileJob() {
  while (m_pProfileJob && !m_pProfileJob->Finished() && m_pProfileJob->Awaited() == 0) {
    std::optional<CameraCommand> command = m_pProfileJob->Next();
    if (command && !m_pCamera->Issue(*command)) m_pProfileJob->NotSent();
  }
  if (!m_pProfileJob) return;
  if (m_pProfileJob->Finished()) {
    EndProfileJob("");
    return;
  }
  if (m_pProfileProgress) {
    m_pProfileProgress->setValue(static_cast<int>(m_pProfileJob->StepsDone()));
    m_pProfileProgress->setLabelText(QString::fromStdString(m_pProfileJob->CurrentKey()));
  }
}

void CMainDlg::ProfileResult(const CommandResult& result) {
  if (!m_pProfileJob || result.code != m_pProfileJob->Awaited()) return;
  m_pProfileJob->Take(result);
  PumpProfileJob();
}

void CMainDlg::EndProfileJob(const std::string& why) {
  if (!m_pProfileJob) return;
  std::unique_ptr<CProfileJob> job = std::move(m_pProfileJob);
  if (!why.empty()) job->Abandon(why);
  if (m_pProfileProgress) {
    m_pProfileProgress->disconnect(this);
    m_pProfileProgress->close();
  }
  UpdateControlStates();
  const ProfileOutcome& o = job->Outcome();
  const std::string file = m_profileFile.toStdString();
  if (!o.completed) {
    ShowMessageBox(this, "Stopped: " + o.failure + "\n" + Listed("Written", o.written) +
                             Listed("Refused", o.refused) + Listed("Not written", o.notWritten),
                   "Settings", MsgIcon::Warning);
    return;
  }
  if (job->GetMode() == CProfileJob::Mode::Save) {
    const std::vector<std::string> unread = UnreportedSettings(ProfileModelFor(o.readBack.model));
    if (WriteProfile(o.readBack) == WriteProfile(Profile{kProfileFormat, o.readBack.model, {}})) {
      ShowMessageBox(this, o.readBack.model + " reports none of its settings; nothing was saved.",
                     "Save Settings", MsgIcon::Warning);
      return;
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << WriteProfile(o.readBack);
    out.close();
    if (!out)
      ShowMessageBox(this, "Cannot write " + file, "Save Settings", MsgIcon::Warning);
    else
      ShowMessageBox(this, "Saved the settings of " + o.readBack.model + " to " + file + "\n" +
                               Listed("Not read (the camera cannot report them)", unread),
                     "Save Settings", MsgIcon::Information);
    return;
  }
  // The controls follow what was written: a capture reads the image type from its list.
  const ProfileSettings& wanted = job->GetProfile().settings;
  auto wrote = [&](const char* key) {
    return std::find(o.written.begin(), o.written.end(), key) != o.written.end();
  };
  if (wanted.imageType && wrote("image_type")) m_pImageType->setCurrentIndex(*wanted.imageType);
  if (wanted.fillLight && wrote("fill_light") && static_cast<int>(*wanted.fillLight) < m_pFillLight->count())
    m_pFillLight->setCurrentIndex(static_cast<int>(*wanted.fillLight));
  const std::optional<std::string> otherModel =
      ProfileModelWarning(job->GetProfile(), ProfileModelFor(o.readBack.model));
  std::string summary = (otherModel ? "Note: " + *otherModel + ".\n" : "") + Listed("Written", o.written) +
                        Listed("Refused", o.refused) + Listed("Not read back", o.unverified);
  std::vector<std::string> differences;
  for (const ProfileDifference& d : o.differences) differences.push_back(d.Text());
  if (o.compared == 0)
    summary += "Nothing compared: the camera reports none of these settings.";
  else
    summary += differences.empty() ? "No differences." : "Differences:";
  for (const std::string& d : differences) summary += "\n  " + d;
  ShowMessageBox(this, summary, "Apply Settings",
                 o.Clean() ? MsgIcon::Information : MsgIcon::Warning);
}
