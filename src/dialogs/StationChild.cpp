#include "dialogs/StationChild.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QImage>
#include <QPointer>
#include <QImageReader>
#include <QThread>

#include "controls/GuiPost.h"

// Lives on the process thread; every call reaches it queued, in order.
class CStationChildRunner : public QObject {
  Q_OBJECT
 public:
  explicit CStationChildRunner(std::atomic<qint64>* pid) : m_pid(pid) {}

  void Start(const QString& program, const QStringList& args, int nice) {
    m_pProcess = new QProcess(this);
    connect(m_pProcess, &QProcess::readyReadStandardOutput, this,
            [this] { emit output(m_pProcess->readAllStandardOutput()); });
    connect(m_pProcess, &QProcess::readyReadStandardError, this,
            [this] { emit errors(m_pProcess->readAllStandardError()); });
    connect(m_pProcess, &QProcess::finished, this, &CStationChildRunner::Ended);
    connect(m_pProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
      if (error == QProcess::FailedToStart) Ended(-1, QProcess::CrashExit);
    });
    // Set in the child before its exec, so none of its threads ever runs at the window's
    // priority.
    m_pProcess->setChildProcessModifier([nice] { setpriority(PRIO_PROCESS, 0, nice); });
    m_pProcess->start(program, args);
    m_pid->store(m_pProcess->processId());
  }

  void Interrupt() {
    if (m_pProcess && m_pProcess->processId() > 0) ::kill(static_cast<pid_t>(m_pProcess->processId()), SIGINT);
  }

  void Write(const QByteArray& data) {
    if (m_pProcess) m_pProcess->write(data);
  }

  // The tile is going: its Ctrl+C path closes the port and writes the record.
  void Shutdown(bool interrupt) {
    if (!m_pProcess) return;
    disconnect(m_pProcess, nullptr, this, nullptr);
    // One interrupt only: a second would end the child at once, its record unwritten.
    if (interrupt) Interrupt();
    m_pProcess->closeWriteChannel();
    if (!m_pProcess->waitForFinished(10000)) {
      m_pProcess->kill();
      m_pProcess->waitForFinished(2000);
    }
    delete m_pProcess;
    m_pProcess = nullptr;
  }

 signals:
  void output(const QByteArray& data);
  void errors(const QByteArray& data);
  void finished(int status, QProcess::ExitStatus how);

 private:
  void Ended(int status, QProcess::ExitStatus how) {
    if (!m_pProcess) return;
    // What the child wrote last goes before its end.
    if (const QByteArray rest = m_pProcess->readAllStandardOutput(); !rest.isEmpty()) emit output(rest);
    if (const QByteArray rest = m_pProcess->readAllStandardError(); !rest.isEmpty()) emit errors(rest);
    m_pProcess->disconnect(this);
    m_pProcess->deleteLater();
    m_pProcess = nullptr;
    emit finished(status, how);
  }

  QProcess* m_pProcess = nullptr;
  std::atomic<qint64>* m_pid;
};

void CStationProcessThread::run() {
  // Forwarding output and decoding thumbnails is background work: the window's thread keeps
  // first call on the CPU (a thread's niceness is its own on Linux).
  setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), m_nice);
  exec();
}

CStationChild::CStationChild(QThread* thread, QObject* parent)
    : QObject(parent), m_pRunner(new CStationChildRunner(&m_pid)) {
  if (thread) m_pRunner->moveToThread(thread);
  connect(m_pRunner, &CStationChildRunner::output, this, &CStationChild::output, Qt::QueuedConnection);
  connect(m_pRunner, &CStationChildRunner::errors, this, &CStationChild::errors, Qt::QueuedConnection);
  connect(m_pRunner, &CStationChildRunner::finished, this, [this](int status, QProcess::ExitStatus how) {
    m_ended = true;
    emit finished(status, how);
  }, Qt::QueuedConnection);
}

CStationChild::~CStationChild() {
  CStationChildRunner* runner = m_pRunner;
  // An ended child leaves nothing to wait for: the runner goes after its queued work.
  if (m_ended && runner->thread() != QThread::currentThread()) {
    runner->deleteLater();
    return;
  }
  // The process thread never waits for this one, so waiting for it here cannot deadlock.
  const bool interrupt = !m_interrupted;
  const auto shutdown = [runner, interrupt] { runner->Shutdown(interrupt); };
  if (runner->thread() == QThread::currentThread()) {
    shutdown();
    delete runner;
  } else {
    QMetaObject::invokeMethod(runner, guipost::HandOver<decltype(shutdown)>(shutdown),
                              Qt::BlockingQueuedConnection);
    runner->deleteLater();
  }
}

void CStationChild::Start(const QString& program, const QStringList& args, int nice) {
  m_interrupted = false;
  m_ended = false;
  m_pid.store(0);
  PostToGui(m_pRunner, [runner = m_pRunner, program, args, nice] {
    runner->Start(program, args, nice);
  });
}

void CStationChild::Interrupt() {
  m_interrupted = true;
  PostToGui(m_pRunner, [runner = m_pRunner] { runner->Interrupt(); });
}

void CStationChild::Write(const QByteArray& data) {
  PostToGui(m_pRunner, [runner = m_pRunner, data] { runner->Write(data); });
}

void CStationChild::DecodeThumbnail(const QString& path, QSize box, QObject* receiver,
                                    std::function<void(const QImage&)> show) {
  // The guard is only read on this thread; the application object outlives every tile.
  QPointer<QObject> guard(receiver);
  PostToGui(m_pRunner, [path, box, guard, show = std::move(show)] {
    QImageReader reader(path);
    const QSize size = reader.size();
    if (size.isValid()) reader.setScaledSize(size.scaled(box, Qt::KeepAspectRatio));
    const QImage image = reader.read();
    if (image.isNull()) return;
    PostToGui(QCoreApplication::instance(), [guard, show, image] {
      if (guard) show(image);
    });
  });
}

#include "StationChild.moc"
