#include "dialogs/AutoCaptureFinishDlg.h"

#include <QPushButton>
#include <QVBoxLayout>

#include "dialogs/DialogExchange.h"
#include "protocol/CameraProtocol.h"

CAutoCaptureFinishDlg::CAutoCaptureFinishDlg(CCameraProtocol* camera, int count, QWidget* parent)
    : QDialog(parent), m_pCamera(camera), m_nCount(count) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("Auto Capture finish"));
  m_pRead = MakeControl<QPushButton>(1117, QStringLiteral("read photos%1/%2").arg(0).arg(m_nCount));
  m_pRead->setMinimumWidth(160);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_pRead);
  connect(m_pRead, &QPushButton::clicked, this, [this] { OnRead(); });
  FollowPort(m_pRead, m_pCamera);

  if (m_pCamera) {
    m_pCamera->SetCaptureMode(CAPTURE_IDLE);
    m_pCamera->SetAutoReadIndex(0);
    if (CameraHost* host = m_pCamera->Host()) host->CaptureStateChanged(m_pCamera->State());
  }
}

void CAutoCaptureFinishDlg::OnRead() {
  if (!m_pCamera) return;
  if (m_nRequested >= m_nCount) {  // a report of no pictures: there is nothing to fetch
    close();
    return;
  }
  ++m_nRequested;
  m_pRead->setText(QStringLiteral("Next%1/%2").arg(m_nRequested).arg(m_nCount));
  m_pCamera->ReadAutoCapturePicture(m_nRequested);
  if (m_nRequested >= m_nCount) close();
}
