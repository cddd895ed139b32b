// The port list's own entries: "Network port…" (a port server's address, for this run
// only) and the cause shown when a port will not open.
#include <QInputDialog>
#include <QSignalBlocker>

#include "app/MainDlg.h"
#include "controls/PortComboBox.h"
#include "controls/UiMessageBox.h"
#include "protocol/CameraProtocol.h"
#include "serial/NetworkPort.h"
#include "serial/OpenDiagnosis.h"
#include "serial/PortMap.h"

namespace {

const char* const kNetworkCaption = "Network Port";

QString AskWithInputBox(QWidget* parent) {
  bool ok = false;
  const QString text = QInputDialog::getText(
      parent, kNetworkCaption, "Port server address (rfc2217://HOST:PORT or socket://HOST:PORT):",
      QLineEdit::Normal, "rfc2217://", &ok);
  return ok ? text.trimmed() : QString();
}

}  // namespace

void CMainDlg::OnPortChosen(int index) {
  if (index < CPortMap::kPortCount) {
    m_nPortIndex = index;
    RefreshPortMapping();
    return;
  }
  // The entry is an action, not a port: the list goes back to a COM number at once.
  {
    const QSignalBlocker block(m_pPort);
    m_pPort->setCurrentIndex(m_nPortIndex);
  }
  const QString answer = m_askNetworkAddress ? m_askNetworkAddress().trimmed() : AskWithInputBox(this);
  if (answer.isEmpty()) return;
  const std::string address = answer.toStdString();
  if (!ParseNetworkAddress(address).ok) {
    ShowMessageBox(this, "'" + address + "' is not a network port: give rfc2217://HOST:PORT or socket://HOST:PORT",
                   kNetworkCaption, MsgIcon::Warning);
    return;
  }
  const int number = GlobalPortMap().AddNetworkPort(address);
  if (number == 0) {
    ShowMessageBox(this, "All fifteen port numbers have a device; there is none left for " + address,
                   kNetworkCaption, MsgIcon::Warning);
    return;
  }
  m_pPort->setCurrentIndex(number - 1);
  RefreshPortMapping();
}

// Why a port did not open: the cause the system shows (the device gone, a group, another
// program holding it), else the channel's reason. A box only where something is there to
// explain: a number whose device is missing has its log line (the tip names the cause), and
// settings the device refused have had the channel's box naming the step.
QString CMainDlg::OpenFailureText(int port, const std::string& why, bool* box) const {
  const std::string device = GlobalPortMap().DeviceFor(port);
  *box = false;
  if (device.empty() || m_pCamera->LastOpenRefusedSettings()) return QString::fromStdString(why);
  if (IsNetworkPortName(device)) {
    *box = !why.empty();
    return QString::fromStdString(why);
  }
  const OpenFacts facts = GatherOpenFacts(device);
  const std::string cause = ExplainOpenFailure(device, facts);
  *box = facts.exists && !(cause.empty() && why.empty());
  return QString::fromStdString(cause.empty() ? why : cause);
}
