#pragma once
// The hexadecimal traffic view. Any thread may append; the text is collected under a lock
// and put into the view by the GUI thread at most every 50 ms, so a picture streaming in
// at full speed (three characters of hex per byte) never floods the event loop. The view
// keeps only the newest kTrafficCapChars characters, and long runs of bytes are shown
// 32 to a line because one multi-megabyte line is what makes a text view crawl.
#include <QObject>
#include <QString>
#include <mutex>
#include <string>

class QPlainTextEdit;
class QTimer;

class CTrafficLog : public QObject {
  Q_OBJECT
 public:
  static constexpr int kTrafficCapChars = 1 << 20;  // about 330 KB of traffic bytes
  static constexpr int kFlushIntervalMs = 50;
  static constexpr int kLineWidth = 96;             // a soft break after 32 "XX " groups

  explicit CTrafficLog(QPlainTextEdit* view, QObject* parent = nullptr);

  // Any thread. Appends keep their order; a Clear drops everything appended before it.
  void Append(const std::string& text);
  void Clear();

  // GUI thread.
  QString Text() const { return m_text; }  // what the view holds once flushed
  void FlushNow();
  // The view became visible: bring it up to date in one go (it is not fed while hidden).
  void ViewShown();

 private:
  void ScheduleFlushLocked();
  QString Format(const std::string& raw);
  void Trim();

  QPlainTextEdit* m_pView;
  QTimer* m_pTimer;

  std::mutex m_mutex;        // guards the three members below
  std::string m_pending;
  bool m_bClearPending = false;
  bool m_bFlushScheduled = false;

  // GUI thread only.
  QString m_text;
  bool m_bViewStale = false;
  int m_nColumn = 0;
  bool m_bSoftBreak = false;
};
