#pragma once
// The hexadecimal traffic view ("Command Mode"). The traffic lives in a CTraceModel that the
// engine's threads append to directly; this widget paints only the lines on screen, so
// neither a flood of bytes nor a trace of a million lines costs the GUI thread more than a
// screenful. It follows the newest line unless the operator scrolled up. Selection, Copy,
// Select All and "Save trace…" work on the whole kept trace; the context menu switches an
// ASCII column, a decoded column (each frame named, its fields decoded), per-block time
// stamps and time deltas (all off, so the trace reads as it always has), and the full hex
// of picture blocks (off: each block is one line, its ends and its count).
#include <QAbstractScrollArea>
#include <QString>
#include <QTimer>
#include <functional>

#include "core/TraceModel.h"

class QMenu;

class CTrafficView : public QAbstractScrollArea {
  Q_OBJECT
 public:
  static constexpr int kRefreshMs = 50;  // at most this often the view catches up

  explicit CTrafficView(QWidget* parent = nullptr);
  ~CTrafficView() override;

  // The ring bound for views created from now on (the --trace-limit option).
  static void SetDefaultLimit(size_t bytes);
  static size_t DefaultLimit();

  // Any thread: the model is appended to by whoever saw the bytes.
  CTraceModel& Model() { return m_model; }
  void Clear();

  // GUI thread.
  QString Text() const;          // every kept line, joined with "\n"
  QString SelectedText() const;
  QString ScreenText() const;  // the lines on screen (what a screen reader reads)
  bool HasSelection() const;
  void SelectAll();
  void Copy();
  // Selects from (line, column) to (line, column), numbered from the first kept line.
  void Select(qint64 fromLine, int fromColumn, qint64 toLine, int toColumn);
  TraceFormat Format() const { return m_format; }
  void SetFormat(const TraceFormat& format);
  bool IsFollowing() const { return m_bFollow; }
  // Brings the view up to the model now instead of at the next refresh.
  void Refresh();
  // Takes the fixed font down until a line of the plain trace fits a view `width` pixels
  // wide (frame and scroll bar included), no further than kMinFitPoints.
  void FitLinesTo(int width);
  static constexpr qreal kMinFitPoints = 6;

  // "Save trace…": writes every kept line, as shown but with picture blocks in full (the
  // file is evidence, and replay reads it back), to `path` whole or not at all; on
  // failure returns false with the reason in `error`. A name ending in ".pcapng" gets the
  // traffic as a capture instead (one packet per frame, for Wireshark).
  bool SaveTrace(const QString& path, QString* error);
  // The context menu: Copy, Select All, the columns and "Save trace…". Caller owns it.
  QMenu* CreateContextMenu();
  // Asks for a file and saves the trace there; a failure is shown in a message box.
  void SaveTraceAs();

  // The file picker behind "Save trace…"; tests replace it. Returns "" on Cancel.
  using SaveFileChooser = std::function<QString(QWidget* parent, const QString& title,
                                                const QString& start)>;
  static void SetSaveFileChooserHook(SaveFileChooser hook);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;

 private:
  friend class CTrafficViewAccessible;  // reads the screen, caret and selection
  static constexpr int kMargin = 3;     // pixels between the frame and the text

  int LineHeight() const;
  int CharWidth() const;
  int PageLines() const;
  TracePos PosAt(const QPoint& point) const;
  void UpdateScrollBars();
  void ScrollToLine(uint64_t top);

  CTraceModel m_model;
  TraceFormat m_format;
  TraceExtent m_extent;          // as of the last refresh
  uint64_t m_topLine = 0;        // absolute number of the first line on screen
  bool m_bFollow = true;         // keep the newest line in view
  bool m_bScrolling = false;     // the view itself moves the scroll bar
  TracePos m_anchor, m_cursor;   // the selection, in absolute lines
  bool m_bSelection = false;
  QTimer m_refresh;
};
