#pragma once
// The station window: a plan run on a rack of cameras, one tile per port in a grid that
// fits 1 to 32 ports, each tile started and stopped on its own or all at once, and the
// session's counters (tested, passed, marginal, failed, first-pass yield) made from the
// records the tiles' runs end with.
#include <QDialog>
#include <QMap>
#include <QPointer>
#include <QString>
#include "dialogs/StationChild.h"
#include <deque>
#include <vector>

class CStationTile;
class QGridLayout;
class QJsonObject;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

struct StationSession {
  int tested = 0, passed = 0, marginal = 0, failed = 0;
  int units = 0, firstPass = 0;  // distinct units, and those that passed their first attempt
  QMap<QString, int> attempts;   // per unit identity, this session's runs

  // A run ended: passed (marginal counts as passed and is marked), the unit's identity
  // ("" : a unit nobody named, a new one each time) and its attempt as the record says
  // (0 : unknown, counted here).
  void Add(bool pass, bool marginalPass, const QString& unit, int attempt);
  double FirstPassYield() const { return units ? double(firstPass) / units : 0; }
};

class CStationDlg : public QDialog {
  Q_OBJECT
 public:
  // cliPath "" : brevant-cli beside this program or in PATH. outDir "" : the user's
  // data folder.
  CStationDlg(QWidget* parent, const QString& planPath, const QString& portList,
              const QString& outDir = {}, const QString& cliPath = {});
  ~CStationDlg() override;

  // Reads the plan and the ports and makes one tile each; false with the reason shown.
  bool SetUp();
  const std::vector<CStationTile*>& Tiles() const { return m_tiles; }
  const StationSession& Session() const { return m_session; }
  QString Error() const { return m_error; }

  static QString FindCli();
  void StartAll();
  void StopAll();
  // Every tile's run has ended (or none started).
  bool Idle() const;

 protected:
  void reject() override;  // closing stops every tile

 private:
  void OnTileFinished(CStationTile* tile, const QJsonObject& record);
  void UpdateCounters();
  void ChoosePlan();
  void StartNext();

  QString m_outDir, m_cliPath, m_error;
  QLineEdit* m_pPlan = nullptr;
  QLineEdit* m_pPorts = nullptr;
  QLabel* m_pStatus = nullptr;
  QLabel* m_pCounters = nullptr;
  QPushButton* m_pStartAll = nullptr;
  QPushButton* m_pStopAll = nullptr;
  QGridLayout* m_pGrid = nullptr;
  std::vector<CStationTile*> m_tiles;
  std::deque<QPointer<CStationTile>> m_toStart;  // Start All's tiles not yet started
  QTimer* m_pStarter = nullptr;
  // The tiles' children start and are read here, not on the window's thread.
  CStationProcessThread m_processThread;
  StationSession m_session;
};
