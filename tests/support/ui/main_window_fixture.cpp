#include "main_window_fixture.h"

#include <QLineEdit>
#include <QtTest>
#include <algorithm>

#include "serial/PortMap.h"

namespace {
constexpr int kOpenWaitMs = 30000;  // generous: the machines are shared and noisy
}

void CMainWindowFixture::SetUpWindow() {
  m_dir = std::make_unique<testsupport::TempFolder>("brevant-window");
  QVERIFY(!m_dir->Path().empty());
  m_answer = IDOK;
  {
    std::lock_guard<std::mutex> lock(m_boxMutex);
    m_boxes.clear();
  }
  SetMessageBoxHook([this](const BoxRecord& box) {
    std::lock_guard<std::mutex> lock(m_boxMutex);
    m_boxes.push_back(box);
    return m_answer;
  });
  m_dlg = std::make_unique<CMainDlg>();
  m_dlg->SetSavePath(DirPath());
  m_dlg->show();
}

void CMainWindowFixture::TearDownWindow() {
  m_dlg.reset();
  if (m_sim) GlobalPortMap().RemoveOverride(1);  // StartCamera's COM1
  m_sim.reset();
  SetMessageBoxHook({});
}

std::vector<BoxRecord> CMainWindowFixture::Boxes() {
  std::lock_guard<std::mutex> lock(m_boxMutex);
  return m_boxes;
}

bool CMainWindowFixture::Sent(const std::string& hex) {
  const auto all = m_sim->ReceivedHex();
  return std::find(all.begin(), all.end(), hex) != all.end();
}

bool CMainWindowFixture::AnyLine(const std::string& text) { return LineCount(text) > 0; }

int CMainWindowFixture::LineCount(const std::string& text) {
  int n = 0;
  for (const std::string& line : m_dlg->RecentStatusLines())
    n += line.find(text) != std::string::npos;
  return n;
}

void CMainWindowFixture::StartCamera(const CamSimOptions& options) {
  m_sim = std::make_unique<CCamSim>(options);
  m_cameraBaud = options.baud;
  QVERIFY(m_sim->Start());
  GlobalPortMap().AddOverride(1, m_sim->SlavePath());
}

void CMainWindowFixture::StartCamera(const std::string& model) {
  CamSimOptions options;
  options.model = model;
  StartCamera(options);
}

void CMainWindowFixture::OpenAndIdentify() {
  C(IDC_PORT)->setCurrentIndex(0);
  if (m_cameraBaud) C(IDC_BAUD)->setCurrentIndex(C(IDC_BAUD)->findText(QString::number(m_cameraBaud)));
  B(IDC_OPEN)->click();
  QVERIFY(m_dlg->IsPortOpen());
  QTRY_VERIFY_WITH_TIMEOUT(!W<QLineEdit>(IDC_VERSION)->text().isEmpty() && Quiet(), kOpenWaitMs);
}
