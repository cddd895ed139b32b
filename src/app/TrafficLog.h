#pragma once
// The hexadecimal traffic view. Any thread may append; the text is collected under a lock
// and taken over by the GUI thread at most every 50 ms, so a picture streaming in at full
// speed (three characters of hex per byte) never floods the event loop. Only the newest
// kTrafficCapChars characters are kept. While the view is hidden (the usual case: the
// picture is shown) the text is only kept, not laid out; long runs of bytes are shown
// 32 to a line, because one multi-megabyte line is what makes a text view crawl.
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <functional>
#include <mutex>
#include <string>

class QMenu;
class QPlainTextEdit;
class QPoint;
class QTimer;
class QWidget;

class CTrafficLog : public QObject {
  Q_OBJECT
 public:
  static constexpr int kTrafficCapChars = 1 << 19;  // about 170 KB of traffic bytes
  static constexpr int kFlushIntervalMs = 50;
  static constexpr int kLineWidth = 96;             // a soft break after 32 "XX " groups

  explicit CTrafficLog(QPlainTextEdit* view, QObject* parent = nullptr);

  // Any thread. Appends keep their order; a Clear drops everything appended before it.
  void Append(const std::string& text);
  void Clear();

  // GUI thread.
  QString Text();  // the kept text as the view shows it
  void FlushNow();
  // The view became visible: bring it up to date in one go.
  void ViewShown();

  // "Save trace…": writes the kept text to `path` whole or not at all; on failure returns
  // false with the reason in `error`.
  bool SaveTrace(const QString& path, QString* error);
  // The view's context menu: Copy, Select All and "Save trace…". The caller owns it.
  QMenu* CreateContextMenu();
  // Asks for a file and saves the trace there; a failure is shown in a message box.
  void SaveTraceAs();

  // The file picker behind "Save trace…"; tests replace it. Returns "" on Cancel.
  using SaveFileChooser = std::function<QString(QWidget* parent, const QString& title,
                                                const QString& start)>;
  static void SetSaveFileChooserHook(SaveFileChooser hook);

 private:
  void ScheduleFlushLocked();
  QString Format(const char* raw, size_t size);
  void Keep(const std::string& raw);

  QPlainTextEdit* m_pView;
  QTimer* m_pTimer;

  std::mutex m_mutex;  // guards the three members below
  std::string m_pending;
  bool m_bClearPending = false;
  bool m_bFlushScheduled = false;

  // GUI thread only.
  std::string m_kept;         // newest raw text, at most kTrafficCapChars
  bool m_bViewStale = false;  // the view does not show m_kept yet
  int m_nColumn = 0;          // line-breaking state at the end of the view's text
  bool m_bSoftBreak = false;
  int m_nNextIntervalMs = kFlushIntervalMs;
};
