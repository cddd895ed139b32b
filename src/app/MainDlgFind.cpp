// "Find Camera…" and the hint after an "Open" the camera did not answer.
#include <QComboBox>
#include <algorithm>

#include "dialogs/FindCameraDlg.h"
#include "app/MainDlg.h"
#include "controls/PortComboBox.h"
#include "core/CameraFinder.h"
#include "controls/UiMessageBox.h"
#include "protocol/CameraProtocol.h"

void CMainDlg::OnFindCamera() {
  if (!CameraReady() || m_pFindDlg) return;
  // The search opens the ports itself, the window's own included.
  if (m_bPortOpen || m_pConnecting) OnClose();
  // The port the operator chose is the most likely one: it goes first.
  std::vector<FindCandidate> ports = SearchCandidates({}, m_pPort->currentIndex() + 1);
  if (ports.empty()) {
    ShowMessageBox(this, "No serial port to search: connect the camera's adapter, or name a device on the command line.",
                   "Find Camera", MsgIcon::Warning);
    return;
  }
  const size_t count = ports.size();
  m_pFindDlg = new CFindCameraDlg(
      this, std::move(ports), DefaultSearchRates(), m_pCamera->Settings().serialNumber,
      [this, count](const std::optional<FoundCamera>& found, bool cancelled) {
        if (found) {
          OnCameraFound(*found);
        } else if (!cancelled) {
          ShowMessageBox(this,
                         "No camera answered on " + std::to_string(count) +
                             (count == 1 ? " port" : " ports") +
                             " at any rate. Check the camera's power and wiring.",
                         "Find Camera", MsgIcon::Information);
        }
      });
  m_pFindDlg->Start();
}

void CMainDlg::OnCameraFound(const FoundCamera& found) {
  if (m_bPortOpen || m_pConnecting) return;  // the operator opened a port meanwhile: theirs stands
  m_pPort->setCurrentIndex(found.where.port - 1);
  m_pBaud->setCurrentIndex(m_pBaud->findText(QString::number(found.baud)));
  OnOpen();
}

void CMainDlg::OnVersionWaitOver(unsigned openCount) {
  if (!m_bPortOpen || openCount != m_openCount || m_bVersionAnswered) return;
  LogError("No answer to the version query: the camera may be at another rate or on another "
           "port; try Camera > Find Camera…");
}
