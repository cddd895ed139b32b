#include "dialogs/StationDlg.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

#include "dialogs/StationTile.h"
#include "serial/PortMap.h"
#include "station/StationPlan.h"
#include "station/StationPorts.h"

namespace {

// A rack of up to 32 ports fits one screen: 8 columns of 4 at most.
constexpr size_t kMaxTiles = 32;

int Columns(size_t tiles) {
  if (tiles <= 1) return 1;
  if (tiles <= 4) return 2;
  if (tiles <= 9) return 3;
  if (tiles <= 16) return 4;
  if (tiles <= 24) return 6;
  return 8;
}

}  // namespace

void StationSession::Add(bool pass, bool marginalPass, const QString& unit, int attempt) {
  ++tested;
  if (!pass) ++failed;
  else if (marginalPass) ++marginal;
  else ++passed;
  if (!unit.isEmpty()) {
    const int seen = ++attempts[unit];
    if (attempt <= 0) attempt = seen;
  } else {
    attempt = attempt > 0 ? attempt : 1;
  }
  // A unit counts once, at its first attempt; later ones are retests.
  if (attempt == 1) {
    ++units;
    if (pass) ++firstPass;
  }
}

QString CStationDlg::FindCli() {
  const QString here = QCoreApplication::applicationDirPath();
  for (const QString& path : {here + "/brevant-cli", here + "/../tools/cli/brevant-cli"})
    if (QFileInfo(path).isExecutable()) return QFileInfo(path).canonicalFilePath();
  return QStandardPaths::findExecutable("brevant-cli");
}

CStationDlg::CStationDlg(QWidget* parent, const QString& planPath, const QString& portList,
                         const QString& outDir, const QString& cliPath)
    : QDialog(parent),
      m_outDir(outDir),
      m_cliPath(cliPath.isEmpty() ? FindCli() : cliPath),
      m_processThread(ChildNice()) {
  setWindowTitle("Station");
  setObjectName("stationDlg");
  m_processThread.setObjectName("station children");
  m_processThread.start();
  setWindowFlag(Qt::WindowMaximizeButtonHint);
  if (m_outDir.isEmpty())
    m_outDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/station";
  auto* top = new QVBoxLayout(this);

  auto* setup = new QHBoxLayout;
  setup->addWidget(new QLabel("&Plan:", this));
  m_pPlan = new QLineEdit(planPath, this);
  m_pPlan->setObjectName("stationPlan");
  m_pPlan->setAccessibleName("Plan file");
  static_cast<QLabel*>(setup->itemAt(0)->widget())->setBuddy(m_pPlan);
  setup->addWidget(m_pPlan, 2);
  auto* browse = new QPushButton("&Browse…", this);
  browse->setAutoDefault(false);
  connect(browse, &QPushButton::clicked, this, &CStationDlg::ChoosePlan);
  setup->addWidget(browse);
  auto* portsLabel = new QLabel("P&orts:", this);
  setup->addWidget(portsLabel);
  m_pPorts = new QLineEdit(portList, this);
  m_pPorts->setObjectName("stationPorts");
  m_pPorts->setAccessibleName("Ports, comma-separated");
  m_pPorts->setPlaceholderText("COM1,COM2 or /dev/serial/by-id/*");
  portsLabel->setBuddy(m_pPorts);
  setup->addWidget(m_pPorts, 2);
  auto* apply = new QPushButton("&Set Up Tiles", this);
  apply->setObjectName("stationSetUp");
  apply->setAutoDefault(false);
  connect(apply, &QPushButton::clicked, this, &CStationDlg::SetUp);
  setup->addWidget(apply);
  top->addLayout(setup);

  m_pStatus = new QLabel(this);
  m_pStatus->setObjectName("stationStatus");
  m_pStatus->setTextFormat(Qt::PlainText);
  m_pStatus->setWordWrap(true);
  top->addWidget(m_pStatus);

  auto* area = new QScrollArea(this);
  area->setWidgetResizable(true);
  auto* grid = new QWidget(area);
  m_pGrid = new QGridLayout(grid);
  area->setWidget(grid);
  top->addWidget(area, 1);

  auto* bottom = new QHBoxLayout;
  m_pCounters = new QLabel(this);
  m_pCounters->setObjectName("stationCounters");
  QFont counters = m_pCounters->font();
  counters.setPointSize(counters.pointSize() + 4);
  m_pCounters->setFont(counters);
  bottom->addWidget(m_pCounters, 1);
  m_pStartAll = new QPushButton("Start &All", this);
  m_pStartAll->setObjectName("stationStartAll");
  m_pStartAll->setAutoDefault(false);
  m_pStopAll = new QPushButton("S&top All", this);
  m_pStopAll->setObjectName("stationStopAll");
  m_pStopAll->setAutoDefault(false);
  connect(m_pStartAll, &QPushButton::clicked, this, &CStationDlg::StartAll);
  connect(m_pStopAll, &QPushButton::clicked, this, &CStationDlg::StopAll);
  bottom->addWidget(m_pStartAll);
  bottom->addWidget(m_pStopAll);
  top->addLayout(bottom);
  m_pStarter = new QTimer(this);
  m_pStarter->setInterval(0);
  connect(m_pStarter, &QTimer::timeout, this, &CStationDlg::StartNext);
  UpdateCounters();
  resize(1200, 800);
  if (!planPath.isEmpty() && !portList.isEmpty()) SetUp();
}

CStationDlg::~CStationDlg() {
  // Every child is asked to stop first, so their ends overlap instead of queueing.
  StopAll();
  // The tiles wait for their children on the process thread, which must outlive them.
  for (CStationTile* tile : m_tiles) delete tile;
  m_tiles.clear();
  m_processThread.quit();
  m_processThread.wait();
}

void CStationDlg::ChoosePlan() {
  const QString path = QFileDialog::getOpenFileName(this, "Station Plan", m_pPlan->text(),
                                                    "Plans (*.toml);;All files (*)");
  if (!path.isEmpty()) m_pPlan->setText(path);
}

bool CStationDlg::SetUp() {
  for (CStationTile* tile : m_tiles)
    if (tile->Running()) {
      m_pStatus->setText("Stop the running tiles before setting up new ones.");
      return false;
    }
  // The plan and the ports are checked here so a mistake shows before any child starts;
  // each child reads them again as the command line always does.
  station::StationPlan plan;
  std::vector<station::StationPort> ports;
  std::string error;
  const std::string planPath = m_pPlan->text().toStdString();
  if (!station::ReadStationPlan(planPath, plan, error) ||
      !station::ExpandStationPorts(m_pPorts->text().toStdString(), GlobalPortMap(), ports, error)) {
    m_error = QString::fromStdString(error);
  } else if (ports.size() > kMaxTiles) {
    m_error = QString("%1 ports: the window shows at most %2; run more stations").arg(ports.size()).arg(kMaxTiles);
  } else if (m_cliPath.isEmpty()) {
    m_error = "brevant-cli is neither beside this program nor in PATH";
  } else if (!QDir().mkpath(m_outDir)) {
    m_error = "cannot make the results folder " + m_outDir;
  } else {
    m_error.clear();
  }
  if (!m_error.isEmpty()) {
    m_pStatus->setText(m_error);
    return false;
  }
  m_toStart.clear();
  for (CStationTile* tile : m_tiles) delete tile;
  m_tiles.clear();
  const int columns = Columns(ports.size());
  const QString planFile = QFileInfo(m_pPlan->text()).absoluteFilePath();
  for (size_t i = 0; i < ports.size(); ++i) {
    StationTileSetup setup;
    const station::StationPort& port = ports[i];
    setup.name = QString::fromStdString(port.name);
    // The child has its own port map: a COMn the window maps is handed over with its device.
    setup.port = port.number ? QString("COM%1=%2").arg(port.number).arg(QString::fromStdString(port.device))
                             : setup.name;
    setup.adapter = QString::fromStdString(port.adapterSerial);
    setup.cliPath = m_cliPath;
    setup.planPath = planFile;
    setup.outDir = m_outDir;
    setup.processThread = &m_processThread;
    auto* tile = new CStationTile(setup, m_pGrid->parentWidget());
    connect(tile, &CStationTile::finished, this, &CStationDlg::OnTileFinished);
    m_pGrid->addWidget(tile, int(i) / columns, int(i) % columns);
    m_tiles.push_back(tile);
  }
  m_pStatus->setText(QString("%1: %2 steps on %3 ports; results in %4")
                         .arg(m_pPlan->text()).arg(plan.steps.size()).arg(ports.size()).arg(m_outDir));
  return true;
}

void CStationDlg::StartAll() {
  // Starting a child waits for its exec. Posted all at once, the starts run back to back
  // in one pass of the event loop (120 ms for 16 tiles on 2 cores); one per timer turn
  // lets the window paint and answer between them.
  m_toStart.assign(m_tiles.begin(), m_tiles.end());
  m_pStarter->start();
}

void CStationDlg::StartNext() {
  while (!m_toStart.empty()) {
    QPointer<CStationTile> tile = m_toStart.front();
    m_toStart.pop_front();
    if (tile && !tile->Running()) {
      tile->Start();
      break;
    }
  }
  if (m_toStart.empty()) m_pStarter->stop();
}

bool CStationDlg::Idle() const {
  if (!m_toStart.empty()) return false;
  for (CStationTile* tile : m_tiles)
    if (tile->Running()) return false;
  return true;
}

void CStationDlg::StopAll() {
  m_toStart.clear();
  m_pStarter->stop();
  for (CStationTile* tile : m_tiles) tile->Stop();
}

void CStationDlg::reject() {
  StopAll();
  QDialog::reject();
}

void CStationDlg::OnTileFinished(CStationTile* tile, const QJsonObject& record) {
  // A stopped run or one that never reached the camera tested nothing.
  if (record.isEmpty() || tile->Result() == CStationTile::State::Stopped) return;
  const bool pass = tile->Result() == CStationTile::State::Passed ||
                    tile->Result() == CStationTile::State::Marginal;
  QString unit = record.value("unit").toString();
  if (unit.isEmpty()) unit = tile->Unit();
  m_session.Add(pass, tile->Result() == CStationTile::State::Marginal, unit,
                record.value("attempt").toInt(0));
  UpdateCounters();
}

void CStationDlg::UpdateCounters() {
  const QString text = QString("Tested %1   Passed %2   Marginal %3   Failed %4   First-pass yield %5")
                           .arg(m_session.tested)
                           .arg(m_session.passed)
                           .arg(m_session.marginal)
                           .arg(m_session.failed)
                           .arg(m_session.units ? QString::number(100.0 * m_session.FirstPassYield(), 'f', 1) + " %"
                                                : QString("-"));
  m_pCounters->setText(text);
  m_pCounters->setAccessibleName("Session counters");
  m_pCounters->setAccessibleDescription(text);
}
