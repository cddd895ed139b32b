#pragma once
// One port of the station window: the unit's identity (typed or scanned; a scanner ends
// with Enter, which starts the tile), the step under way and its progress, the last
// picture, and the result large enough to read from two metres. The port's run is a
// brevant-cli station child for this one port, whose events (JSON lines on its stdout)
// this tile shows; Stop is the child's Ctrl+C, a prompt's answer a line on its stdin. A
// hung camera or a crash stays in its own process: the window and the other tiles go on.
// While idle the tile keeps its next child loaded and waiting for its start line: starting
// a program costs a busy machine tens of milliseconds, sixteen at once a third of a second,
// and Start should begin the test, not the program.
#include <QFrame>
#include <QJsonObject>
#include <QProcess>
#include <QPointer>
#include <QString>
#include <QStringList>

class CStationChild;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QThread;
class QTimer;

struct StationTileSetup {
  QString port;      // as the child is to be given it in --ports
  QString name;      // as shown (the port list's name)
  QString adapter;   // the USB adapter's serial number ("" when none)
  QString cliPath;   // brevant-cli
  QString planPath;
  QString outDir;    // the results folder (pictures, the results store)
  QString dbTarget;  // "" : station.sqlite in outDir
  QThread* processThread = nullptr;  // where the child is started and read (nullptr: here)
};

// A tile's run's niceness: well below the window's (read on the window's thread).
int ChildNice();

class CStationTile : public QFrame {
  Q_OBJECT
 public:
  enum class State { Idle, Running, Passed, Marginal, Failed, Stopped };

  CStationTile(const StationTileSetup& setup, QWidget* parent = nullptr);
  ~CStationTile() override;  // a child still running is stopped and waited for

  void Start();
  void Stop();
  bool Running() const { return m_pChild != nullptr; }
  qint64 ChildPid() const;  // 0 until the child has started
  qint64 LoadedPid() const;  // the child loaded for the next Start (0: none)
  State Result() const { return m_state; }
  QString Unit() const;
  // The last camera record the child sent (empty before one came).
  const QJsonObject& Record() const { return m_record; }

 signals:
  // The tile's run ended; record: the camera's record (empty when the child sent none).
  void finished(CStationTile* tile, const QJsonObject& record);

 private:
  void OnOutput(const QByteArray& data);
  void OnEvent(const QJsonObject& event);
  void OnFinished(int status, QProcess::ExitStatus how);
  void ShowPrompt(const QJsonObject& event);
  void Answer(bool pass);
  void HidePrompt();
  void ShowResult(State state, const QString& detail);
  void UpdateAccessible();
  QStringList Arguments(bool withUnit) const;
  void Load();  // a child for the next Start, loaded and waiting
  void Follow(CStationChild* child);  // shows what child does as this tile's run

  StationTileSetup m_setup;
  CStationChild* m_pChild = nullptr;
  CStationChild* m_pLoaded = nullptr;
  QByteArray m_pending;   // the child's output past the last whole line
  QString m_errors;       // what it said on stderr, for a run that ends without a record
  QJsonObject m_record;
  QStringList m_steps;
  State m_state = State::Idle;
  bool m_stopAsked = false;

  QLineEdit* m_pUnit = nullptr;
  QLabel* m_pStep = nullptr;
  QProgressBar* m_pBar = nullptr;
  QLabel* m_pThumb = nullptr;
  QLabel* m_pResult = nullptr;
  QLabel* m_pDetail = nullptr;
  QPushButton* m_pStart = nullptr;
  QPushButton* m_pStop = nullptr;
  QFrame* m_pPrompt = nullptr;
  QLabel* m_pPromptText = nullptr;
  QLabel* m_pPromptPicture = nullptr;
  QLabel* m_pPromptLeft = nullptr;
  QPushButton* m_pPass = nullptr;
  QPushButton* m_pFail = nullptr;
  QTimer* m_pCountdown = nullptr;
  int m_promptLeft = 0;  // seconds
};
