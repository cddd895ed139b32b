#include "dialogs/FindCameraDlg.h"

#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "serial/PortMap.h"
#include "controls/GuiPost.h"

CFindCameraDlg::CFindCameraDlg(QWidget* parent, std::vector<FindCandidate> ports,
                               std::vector<unsigned> rates, uint8_t serial, Done done)
    : QDialog(parent), m_done(std::move(done)) {
  setObjectName("findCameraDlg");
  setWindowTitle("Find Camera");
  m_pFinder = std::make_unique<CCameraFinder>(std::move(ports), std::move(rates));
  m_pFinder->SetSerialNumber(serial);
  m_pText = new QLabel("Looking for the camera...", this);
  m_pText->setObjectName("findCameraText");
  m_pText->setMinimumWidth(320);
  m_pBar = new QProgressBar(this);
  m_pBar->setObjectName("findCameraProgress");
  m_pBar->setRange(0, 1);
  m_pBar->setValue(0);
  m_pCancel = new QPushButton("Cancel", this);
  m_pCancel->setObjectName("findCameraCancel");
  connect(m_pCancel, &QPushButton::clicked, this, &CFindCameraDlg::Cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_pText);
  layout->addWidget(m_pBar);
  layout->addWidget(m_pCancel, 0, Qt::AlignRight);
}

CFindCameraDlg::~CFindCameraDlg() {
  m_pFinder->Cancel();
  if (m_worker.joinable()) m_worker.join();
}

void CFindCameraDlg::Start() {
  setWindowModality(Qt::WindowModal);
  show();
  // The worker only posts to the dialog, never waits for it, so the GUI thread may join
  // it. Posts still queued when the dialog goes are dropped with it (it is their context).
  m_worker = std::thread([this] {
    std::optional<FoundCamera> found = m_pFinder->Run([this](const FindStep& step) {
      PostToGui(this, [this, step] { ShowStep(step); });
    });
    PostToGui(this, [this, found] { Finish(found); });
  });
}

void CFindCameraDlg::Cancel() {
  m_pFinder->Cancel();
  m_pCancel->setEnabled(false);
  m_pText->setText("Cancelling...");
}

void CFindCameraDlg::ShowStep(const FindStep& step) {
  if (m_pFinder->Cancelled()) return;
  m_pBar->setRange(0, static_cast<int>(step.total));
  m_pBar->setValue(static_cast<int>(step.index));
  m_pText->setText(QString("Trying %1 at %2 baud...").arg(QString::fromStdString(PortLabel(step.where.port, step.where.device))).arg(step.baud));
}

void CFindCameraDlg::Finish(std::optional<FoundCamera> found) {
  if (m_worker.joinable()) m_worker.join();
  const bool cancelled = m_pFinder->Cancelled() && !found;
  hide();
  if (m_done) m_done(found, cancelled);
  deleteLater();
}
