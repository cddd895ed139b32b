#include "app/TrafficLog.h"

#include <QMetaObject>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>
#include <QTimer>

namespace {
// Above this many new lines the view is rebuilt from the kept text, which is much cheaper
// than inserting block after block.
constexpr int kIncrementalLines = 200;
}  // namespace

CTrafficLog::CTrafficLog(QPlainTextEdit* view, QObject* parent)
    : QObject(parent), m_pView(view), m_pTimer(new QTimer(this)) {
  m_pTimer->setSingleShot(true);
  m_pTimer->setInterval(kFlushIntervalMs);
  connect(m_pTimer, &QTimer::timeout, this, &CTrafficLog::FlushNow);
  m_pView->setUndoRedoEnabled(false);
}

void CTrafficLog::Append(const std::string& text) {
  if (text.empty()) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_pending += text;
  // Text older than the cap would be trimmed from the view anyway: drop it here so a
  // fast stream cannot pile up memory while the GUI thread is busy.
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
      this, [this] { if (!m_pTimer->isActive()) m_pTimer->start(); }, Qt::QueuedConnection);
}

QString CTrafficLog::Format(const std::string& raw) {
  QString out;
  out.reserve(static_cast<int>(raw.size() + raw.size() / kLineWidth + 8));
  for (char c : raw) {
    if (c == '\r') continue;  // the view breaks lines on '\n' alone
    if (c == '\n') {
      m_bSoftBreak = false;
      m_nColumn = 0;
      out += QLatin1Char('\n');
      continue;
    }
    if (m_bSoftBreak) {  // a real line break right after a soft one replaces it
      m_bSoftBreak = false;
      m_nColumn = 0;
      out += QLatin1Char('\n');
    }
    out += QLatin1Char(c);
    ++m_nColumn;
    // Break after a byte group; text without groups is broken anyway, since one very long
    // line is what makes the view crawl.
    if ((c == ' ' && m_nColumn >= kLineWidth) || m_nColumn >= 2 * kLineWidth) m_bSoftBreak = true;
  }
  return out;
}

void CTrafficLog::Trim() {
  if (m_text.size() <= kTrafficCapChars) return;
  qsizetype cut = m_text.size() - kTrafficCapChars;
  const qsizetype nl = m_text.indexOf(QLatin1Char('\n'), cut);
  if (nl >= 0 && nl - cut < kLineWidth * 2) cut = nl + 1;  // keep whole lines when possible
  m_text.remove(0, cut);
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
    m_text.clear();
    m_nColumn = 0;
    m_bSoftBreak = false;
    m_pView->clear();
    m_bViewStale = false;
  }
  if (raw.empty()) return;

  const QString chunk = Format(raw);
  m_text += chunk;
  Trim();

  if (!m_pView->isVisible()) {
    m_bViewStale = true;
    return;
  }
  if (m_bViewStale || chunk.size() > kIncrementalLines * kLineWidth ||
      chunk.count(QLatin1Char('\n')) > kIncrementalLines) {
    ViewShown();
    return;
  }
  QTextCursor cursor(m_pView->document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(chunk);
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
  m_pView->setPlainText(m_text);
  m_bViewStale = false;
  QTextCursor end(m_pView->document());
  end.movePosition(QTextCursor::End);
  m_pView->setTextCursor(end);
  m_pView->verticalScrollBar()->setValue(m_pView->verticalScrollBar()->maximum());
}
