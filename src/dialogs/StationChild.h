#pragma once
// A station tile's brevant-cli child, run from the station's process thread. Starting a
// child makes the starting thread wait for the child's exec: several milliseconds each on a
// busy machine, and the window's longest stall when a rack starts at once. So the QProcess
// lives on a thread of its own and the tile (GUI thread) only sees queued signals: the
// child's output, its stderr, its end. The process thread never waits for the GUI thread;
// the GUI thread waits for it only when a tile whose child still runs is destroyed. Calls
// cross in both directions through PostToGui, which runs a call on any object's thread.
#include <QObject>
#include <QProcess>
#include <QSize>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <functional>

class QImage;

class CStationChildRunner;

// The thread the children are started and read on, at the given niceness.
class CStationProcessThread : public QThread {
 public:
  explicit CStationProcessThread(int nice) : m_nice(nice) {}

 protected:
  void run() override;

 private:
  int m_nice;
};

class CStationChild : public QObject {
  Q_OBJECT
 public:
  // thread: where the process lives (nullptr: this thread, for a window without one).
  CStationChild(QThread* thread, QObject* parent = nullptr);
  // Waits for a running child: interrupted (unless Interrupt was already sent), given 10 s
  // to end, then killed.
  ~CStationChild() override;

  // nice: the child's niceness (absolute), set before its exec.
  void Start(const QString& program, const QStringList& args, int nice);
  void Interrupt();  // the command line's Ctrl+C; sent once the child has started
  void Write(const QByteArray& data);
  qint64 Pid() const { return m_pid.load(); }
  // Decodes a picture at a thumbnail's size on the process thread (a full-size decode per
  // tile would hold up the window) and hands it to show on this (the GUI) thread; dropped
  // when receiver is gone by then.
  void DecodeThumbnail(const QString& path, QSize box, QObject* receiver,
                       std::function<void(const QImage&)> show);

 signals:
  void output(const QByteArray& data);
  void errors(const QByteArray& data);
  // status -1 with CrashExit: the program could not be started.
  void finished(int status, QProcess::ExitStatus how);

 private:
  CStationChildRunner* m_pRunner = nullptr;
  std::atomic<qint64> m_pid{0};
  bool m_interrupted = false;
  bool m_ended = true;  // no child running: nothing to wait for at the end
};
