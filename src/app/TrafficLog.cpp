#include "app/TrafficLog.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QStandardPaths>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <algorithm>

#include "controls/UiMessageBox.h"

namespace {
// Above this many new characters the view is rebuilt from the kept text, which is much
// cheaper than inserting block after block.
constexpr int kIncrementalChars = 200 * CTrafficLog::kLineWidth;

const QString& SaveTraceCaption() {
  static const QString caption = QString::fromUtf8("Save trace\u2026");
  return caption;
}

CTrafficLog::SaveFileChooser& SaveFileChooserHook() {
  static CTrafficLog::SaveFileChooser hook;
  return hook;
}
}  // namespace

void CTrafficLog::SetSaveFileChooserHook(SaveFileChooser hook) {
  SaveFileChooserHook() = std::move(hook);
}

CTrafficLog::CTrafficLog(QPlainTextEdit* view, QObject* parent)
    : QObject(parent), m_pView(view), m_pTimer(new QTimer(this)) {
  m_pTimer->setSingleShot(true);
  connect(m_pTimer, &QTimer::timeout, this, &CTrafficLog::FlushNow);
  m_pView->setUndoRedoEnabled(false);
  // Read-only views select by mouse only; keyboard users need Ctrl+A / Ctrl+C too.
  m_pView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  m_pView->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(m_pView, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    QMenu* menu = CreateContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(m_pView->viewport()->mapToGlobal(pos));
  });
  auto* save = new QAction(SaveTraceCaption(), m_pView);
  save->setShortcut(QKeySequence::Save);
  save->setShortcutContext(Qt::WidgetShortcut);
  connect(save, &QAction::triggered, this, &CTrafficLog::SaveTraceAs);
  m_pView->addAction(save);
}

QMenu* CTrafficLog::CreateContextMenu() {
  QMenu* menu = m_pView->createStandardContextMenu();
  menu->addSeparator();
  QAction* save = menu->addAction(SaveTraceCaption());
  save->setObjectName("saveTraceAction");
  save->setShortcut(QKeySequence::Save);
  FlushNow();
  save->setEnabled(!m_kept.empty());
  connect(save, &QAction::triggered, this, &CTrafficLog::SaveTraceAs);
  return menu;
}

bool CTrafficLog::SaveTrace(const QString& path, QString* error) {
  QString text = Text();
  if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n'))) text += QLatin1Char('\n');
  // QSaveFile: a full disk or a failed write leaves no half-written trace behind.
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text) ||
      file.write(text.toUtf8()) < 0 || !file.commit()) {
    if (error) *error = file.errorString();
    file.cancelWriting();
    return false;
  }
  return true;
}

void CTrafficLog::SaveTraceAs() {
  QString start = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (start.isEmpty()) start = QDir::homePath();
  start = QDir(start).filePath(QStringLiteral("brevant-trace-%1.txt")
                                   .arg(QDateTime::currentDateTime().toString("yyyyMMdd_HHmmss")));
  QWidget* parent = m_pView->window();
  const QString title = QStringLiteral("Save trace");
  const QString path =
      SaveFileChooserHook()
          ? SaveFileChooserHook()(parent, title, start)
          : QFileDialog::getSaveFileName(parent, title, start,
                                         QStringLiteral("Text files (*.txt);;All files (*)"));
  if (path.isEmpty()) return;
  QString error;
  if (!SaveTrace(path, &error))
    ShowMessageBox(parent,
                   QStringLiteral("The trace could not be saved to %1:\n%2").arg(path, error).toStdString(),
                   title.toStdString(), MsgIcon::Warning);
}

void CTrafficLog::Append(const std::string& text) {
  if (text.empty()) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_pending += text;
  // Text older than the cap would be dropped anyway: drop it here so a fast stream cannot
  // pile up memory while the GUI thread is busy.
  if (m_pending.size() > 2u * kTrafficCapChars)
    m_pending.erase(0, m_pending.size() - kTrafficCapChars);
  ScheduleFlushLocked();
}

void CTrafficLog::Clear() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.clear();
    m_bClearPending = true;
    if (QThread::currentThread() != thread()) {
      ScheduleFlushLocked();
      return;
    }
  }
  FlushNow();  // on the GUI thread the view empties at once
}

void CTrafficLog::ScheduleFlushLocked() {
  if (m_bFlushScheduled) return;
  m_bFlushScheduled = true;
  // Queued even on the GUI thread, so the timer is always started by its own thread.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (!m_pTimer->isActive()) m_pTimer->start(m_nNextIntervalMs);
      },
      Qt::QueuedConnection);
}

QString CTrafficLog::Format(const char* raw, size_t size) {
  QString out(static_cast<qsizetype>(size + size / kLineWidth + 8), Qt::Uninitialized);
  QChar* o = out.data();
  for (const char* p = raw; p != raw + size; ++p) {
    const char c = *p;
    if (c == '\r') continue;  // the view breaks lines on '\n' alone
    if (c == '\n') {
      m_bSoftBreak = false;
      m_nColumn = 0;
      *o++ = QLatin1Char('\n');
      continue;
    }
    if (m_bSoftBreak) {  // a real line break right after a soft one replaces it
      m_bSoftBreak = false;
      m_nColumn = 0;
      *o++ = QLatin1Char('\n');
    }
    *o++ = QLatin1Char(c);
    ++m_nColumn;
    // Break after a byte group; text without groups is broken anyway.
    if ((c == ' ' && m_nColumn >= kLineWidth) || m_nColumn >= 2 * kLineWidth) m_bSoftBreak = true;
  }
  out.truncate(o - out.data());
  return out;
}

void CTrafficLog::Keep(const std::string& raw) {
  if (raw.size() >= static_cast<size_t>(kTrafficCapChars)) {
    m_kept.assign(raw, raw.size() - kTrafficCapChars, std::string::npos);
  } else {
    m_kept += raw;
    if (m_kept.size() > static_cast<size_t>(kTrafficCapChars))
      m_kept.erase(0, m_kept.size() - kTrafficCapChars);
  }
}

QString CTrafficLog::Text() {
  FlushNow();
  // Formatted from its start with fresh line-breaking state, as a rebuilt view shows it.
  const int column = m_nColumn;
  const bool soft = m_bSoftBreak;
  m_nColumn = 0;
  m_bSoftBreak = false;
  QString text = Format(m_kept.data(), m_kept.size());
  m_nColumn = column;
  m_bSoftBreak = soft;
  return text;
}

void CTrafficLog::FlushNow() {
  std::string raw;
  bool clear = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    raw.swap(m_pending);
    clear = m_bClearPending;
    m_bClearPending = false;
    m_bFlushScheduled = false;
  }
  if (clear) {
    m_kept.clear();
    m_nColumn = 0;
    m_bSoftBreak = false;
    m_pView->clear();
    m_bViewStale = false;
  }
  if (raw.empty()) return;
  Keep(raw);
  if (!m_pView->isVisible()) {
    m_bViewStale = true;
    return;
  }
  if (m_bViewStale || raw.size() > static_cast<size_t>(kIncrementalChars)) {
    ViewShown();
    return;
  }
  QTextCursor cursor(m_pView->document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(Format(raw.data(), raw.size()));
  QTextDocument* doc = m_pView->document();
  const int excess = doc->characterCount() - kTrafficCapChars;
  if (excess > 0) {
    const QTextBlock keepFrom = doc->findBlock(excess).next();
    QTextCursor head(doc);
    head.movePosition(QTextCursor::Start);
    head.setPosition(keepFrom.isValid() ? keepFrom.position() : excess, QTextCursor::KeepAnchor);
    head.removeSelectedText();
  }
  m_pView->verticalScrollBar()->setValue(m_pView->verticalScrollBar()->maximum());
}

void CTrafficLog::ViewShown() {
  QElapsedTimer spent;
  spent.start();
  m_nColumn = 0;
  m_bSoftBreak = false;
  m_pView->setPlainText(Format(m_kept.data(), m_kept.size()));
  m_bViewStale = false;
  QTextCursor end(m_pView->document());
  end.movePosition(QTextCursor::End);
  m_pView->setTextCursor(end);
  m_pView->verticalScrollBar()->setValue(m_pView->verticalScrollBar()->maximum());
  // A flood keeps the view rebuilding: leave the event loop at least three times as long
  // as a rebuild takes, so the window stays responsive.
  m_nNextIntervalMs =
      std::clamp(static_cast<int>(spent.elapsed()) * 3, kFlushIntervalMs, 10 * kFlushIntervalMs);
}
