#include "controls/TrafficView.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMenu>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QSaveFile>
#include <QScrollBar>
#include <QStandardPaths>
#include <QStyle>
#include <QThread>
#include <algorithm>
#include <atomic>

#include "controls/TrafficViewAccessible.h"
#include "controls/UiMessageBox.h"
#include "controls/GuiPost.h"

namespace {
std::atomic<size_t> g_nTraceLimitBytes{CTraceModel::kDefaultLimitBytes};

const QString& SaveTraceCaption() {
  static const QString caption = QString::fromUtf8("Save trace\u2026");
  return caption;
}

CTrafficView::SaveFileChooser& SaveFileChooserHook() {
  static CTrafficView::SaveFileChooser hook;
  return hook;
}
}  // namespace

void CTrafficView::SetDefaultLimit(size_t bytes) { g_nTraceLimitBytes = bytes; }
size_t CTrafficView::DefaultLimit() { return g_nTraceLimitBytes; }

void CTrafficView::SetSaveFileChooserHook(SaveFileChooser hook) {
  SaveFileChooserHook() = std::move(hook);
}

CTrafficView::CTrafficView(QWidget* parent)
    : QAbstractScrollArea(parent), m_model(DefaultLimit()) {
  InstallTrafficViewAccessible();
  setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  setFocusPolicy(Qt::StrongFocus);
  setAccessibleName(QStringLiteral("Traffic trace"));
  setAccessibleDescription(QStringLiteral(
      "Hexadecimal trace of the serial traffic: TX lines were sent, Rx lines received. "
      "Ctrl+A selects all, Ctrl+C copies, Ctrl+S saves the trace."));
  viewport()->setCursor(Qt::IBeamCursor);
  viewport()->setBackgroundRole(QPalette::Base);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // A picture transfer is thousands of blocks: each reads as its ends and its count.
  m_format.shortBlocks = true;
  m_model.SetShortening(true);

  m_refresh.setSingleShot(true);
  connect(&m_refresh, &QTimer::timeout, this, &CTrafficView::Refresh);
  // Called on the appending thread, at most once per refresh: post, never wait.
  m_model.SetChangeCallback([this] {
    PostToGui(this, [this] { if (!m_refresh.isActive()) m_refresh.start(kRefreshMs); });
  });
  connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
    if (m_bScrolling) return;
    m_topLine = m_extent.first + static_cast<uint64_t>(std::max(value, 0));
    m_bFollow = value >= verticalScrollBar()->maximum();
  });

  setContextMenuPolicy(Qt::CustomContextMenu);
  connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    QMenu* menu = CreateContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(mapToGlobal(pos));
  });
  auto* save = new QAction(SaveTraceCaption(), this);
  save->setShortcut(QKeySequence::Save);
  save->setShortcutContext(Qt::WidgetShortcut);
  connect(save, &QAction::triggered, this, &CTrafficView::SaveTraceAs);
  addAction(save);
  Refresh();
}

CTrafficView::~CTrafficView() { m_model.SetChangeCallback({}); }

void CTrafficView::Clear() {
  m_model.Clear();
  if (QThread::currentThread() == thread()) Refresh();  // the view empties at once
}

// ---------------------------------------------------------------- keeping up

void CTrafficView::Refresh() {
  const TraceExtent e = m_model.TakeChanges(m_format);
  if (e.generation != m_extent.generation) {
    m_bSelection = false;
    m_bFollow = true;
  }
  m_extent = e;
  if (m_bSelection) {  // lines the ring dropped leave the selection
    const TracePos first{e.first, 0};
    m_anchor = std::max(m_anchor, first);
    m_cursor = std::max(m_cursor, first);
  }
  if (!isVisible()) return;  // a hidden view catches up in one go when shown
  UpdateScrollBars();
  viewport()->update();
}

void CTrafficView::UpdateScrollBars() {
  const uint64_t lines = m_extent.end - m_extent.first;
  const uint64_t page = static_cast<uint64_t>(PageLines());
  const uint64_t maxTop = lines > page ? lines - page : 0;
  if (m_bFollow) m_topLine = m_extent.first + maxTop;
  m_topLine = std::clamp(m_topLine, m_extent.first, m_extent.first + maxTop);
  m_bScrolling = true;
  QScrollBar* v = verticalScrollBar();
  v->setRange(0, static_cast<int>(std::min<uint64_t>(maxTop, INT32_MAX)));
  v->setPageStep(static_cast<int>(page));
  v->setSingleStep(1);
  v->setValue(static_cast<int>(m_topLine - m_extent.first));
  QScrollBar* h = horizontalScrollBar();
  // Only a trace with a shortened block has its wider lines: a plain trace fits as it opens.
  TraceFormat widest = m_format;
  widest.shortBlocks = m_extent.shortened;
  const int width = static_cast<int>(CTraceData::MaxLineChars(widest)) * CharWidth() + 2 * kMargin;
  h->setRange(0, std::max(0, width - viewport()->width()));
  h->setPageStep(viewport()->width());
  h->setSingleStep(CharWidth() * 4);
  m_bScrolling = false;
}

void CTrafficView::ScrollToLine(uint64_t top) {
  m_topLine = top;
  m_bFollow = false;
  UpdateScrollBars();
  m_bFollow = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
  viewport()->update();
}

void CTrafficView::scrollContentsBy(int, int) { viewport()->update(); }

void CTrafficView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBars();
}

void CTrafficView::showEvent(QShowEvent* event) {
  QAbstractScrollArea::showEvent(event);
  Refresh();
}

void CTrafficView::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) UpdateScrollBars();
}

// ---------------------------------------------------------------- painting

int CTrafficView::LineHeight() const { return std::max(1, fontMetrics().lineSpacing()); }
int CTrafficView::CharWidth() const {
  return std::max(1, fontMetrics().horizontalAdvance(QLatin1Char('0')));
}
int CTrafficView::PageLines() const {
  return std::max(1, (viewport()->height() - kMargin) / LineHeight());
}

void CTrafficView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const int lineHeight = LineHeight();
  const int charWidth = CharWidth();
  const int x0 = kMargin - horizontalScrollBar()->value();
  const int ascent = fontMetrics().ascent();
  const std::vector<std::string> lines =
      m_model.Lines(m_topLine, static_cast<size_t>(PageLines()) + 1, m_format);
  TracePos from = std::min(m_anchor, m_cursor), to = std::max(m_anchor, m_cursor);
  const QPalette& pal = palette();
  for (size_t i = 0; i < lines.size(); ++i) {
    const uint64_t line = m_topLine + i;
    const int y = kMargin + static_cast<int>(i) * lineHeight;
    const QString text = QString::fromLatin1(lines[i].data(), static_cast<qsizetype>(lines[i].size()));
    int selBegin = 0, selEnd = 0;
    if (m_bSelection && from != to && line >= from.line && line <= to.line) {
      selBegin = line == from.line ? static_cast<int>(std::min<size_t>(from.column, text.size())) : 0;
      // A selected line break shows as one selected cell past the text.
      selEnd = line == to.line ? static_cast<int>(std::min<size_t>(to.column, text.size()))
                               : static_cast<int>(text.size()) + 1;
    }
    painter.setPen(pal.color(QPalette::Text));
    painter.drawText(x0, y + ascent, text);
    if (selEnd > selBegin) {
      const QRect band(x0 + selBegin * charWidth, y, (selEnd - selBegin) * charWidth, lineHeight);
      painter.fillRect(band, pal.brush(QPalette::Highlight));
      painter.setPen(pal.color(QPalette::HighlightedText));
      painter.drawText(band.x(), y + ascent, text.mid(selBegin, selEnd - selBegin));
    }
  }
}

// ---------------------------------------------------------------- selection

TracePos CTrafficView::PosAt(const QPoint& point) const {
  const int row = std::max(0, (point.y() - kMargin) / LineHeight());
  if (m_extent.empty()) return {m_extent.first, 0};
  const uint64_t line = std::min(m_topLine + static_cast<uint64_t>(row), m_extent.end - 1);
  const int x = point.x() - kMargin + horizontalScrollBar()->value();
  const std::vector<std::string> text = m_model.Lines(line, 1, m_format);
  const size_t length = text.empty() ? 0 : text.front().size();
  const int column = std::max(0, (x + CharWidth() / 2) / CharWidth());
  return {line, std::min(static_cast<size_t>(column), length)};
}

bool CTrafficView::HasSelection() const { return m_bSelection && m_anchor != m_cursor; }

QString CTrafficView::SelectedText() const {
  if (!HasSelection()) return {};
  return QString::fromStdString(m_model.Text(m_anchor, m_cursor, m_format));
}

void CTrafficView::Select(qint64 fromLine, int fromColumn, qint64 toLine, int toColumn) {
  const TraceExtent e = m_model.Extent(m_format);
  m_anchor = {e.first + static_cast<uint64_t>(std::max<qint64>(fromLine, 0)),
              static_cast<size_t>(std::max(fromColumn, 0))};
  m_cursor = {e.first + static_cast<uint64_t>(std::max<qint64>(toLine, 0)),
              static_cast<size_t>(std::max(toColumn, 0))};
  m_bSelection = true;
  viewport()->update();
}

void CTrafficView::SelectAll() {
  const TraceExtent e = m_model.Extent(m_format);
  if (e.empty()) return;
  m_anchor = {e.first, 0};
  m_cursor = {e.end - 1, std::string::npos};
  m_bSelection = true;
  viewport()->update();
}

void CTrafficView::Copy() {
  if (HasSelection()) QGuiApplication::clipboard()->setText(SelectedText());
}

void CTrafficView::SetFormat(const TraceFormat& format) {
  if (format == m_format) return;
  // The model decodes only while the column is shown.
  if (format.decoded != m_format.decoded) m_model.SetDecoding(format.decoded);
  if (format.shortBlocks != m_format.shortBlocks) {
    // Each form numbers its own lines: the top stays on the same bytes.
    m_topLine = m_model.MapLine(m_topLine, m_format, format);
    m_extent = m_model.Extent(format);
  }
  m_format = format;
  m_bSelection = false;  // columns move: an old selection would mean other characters
  UpdateScrollBars();
  viewport()->update();
}

QString CTrafficView::ScreenText() const {
  QString text;
  for (const std::string& line :
       m_model.Lines(m_topLine, static_cast<size_t>(PageLines()), m_format))
    text += QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())) + '\n';
  return text;
}

QString CTrafficView::Text() const {
  std::string all;
  m_model.WriteText(m_format, [&all](const char* data, size_t size) {
    all.append(data, size);
    return true;
  });
  if (!all.empty()) all.pop_back();  // the last line's "\n"
  return QString::fromStdString(all);
}

void CTrafficView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
  Refresh();
  const TracePos pos = PosAt(event->position().toPoint());
  if (!(event->modifiers() & Qt::ShiftModifier) || !m_bSelection) m_anchor = pos;
  m_cursor = pos;
  m_bSelection = true;
  viewport()->update();
}

void CTrafficView::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton) || !m_bSelection) return;
  const QPoint p = event->position().toPoint();
  // Dragging past an edge scrolls a line at a time.
  if (p.y() < 0 && m_topLine > m_extent.first) ScrollToLine(m_topLine - 1);
  if (p.y() > viewport()->height()) ScrollToLine(m_topLine + 1);
  m_cursor = PosAt(p);
  viewport()->update();
}

void CTrafficView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mouseReleaseEvent(event);
  event->accept();  // the selection was made while dragging
}

void CTrafficView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const TracePos pos = PosAt(event->position().toPoint());
  m_anchor = {pos.line, 0};
  m_cursor = {pos.line, std::string::npos};
  m_bSelection = true;
  viewport()->update();
}

void CTrafficView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) return Copy();
  if (event->matches(QKeySequence::SelectAll)) return SelectAll();
  if (event->matches(QKeySequence::MoveToStartOfDocument)) return ScrollToLine(m_extent.first);
  if (event->matches(QKeySequence::MoveToEndOfDocument)) {
    m_bFollow = true;
    UpdateScrollBars();
    viewport()->update();
    return;
  }
  QAbstractScrollArea::keyPressEvent(event);
}

// ---------------------------------------------------------------- menu and saving

QMenu* CTrafficView::CreateContextMenu() {
  auto* menu = new QMenu(this);
  QAction* copy = menu->addAction(QStringLiteral("&Copy"), this, &CTrafficView::Copy);
  copy->setShortcut(QKeySequence::Copy);
  copy->setEnabled(HasSelection());
  QAction* all = menu->addAction(QStringLiteral("Select &All"), this, &CTrafficView::SelectAll);
  all->setShortcut(QKeySequence::SelectAll);
  menu->addSeparator();
  QAction* ascii = menu->addAction(QStringLiteral("Show ASCII &Column"));
  ascii->setObjectName("traceAsciiAction");
  ascii->setCheckable(true);
  ascii->setChecked(m_format.ascii);
  connect(ascii, &QAction::toggled, this, [this](bool on) {
    TraceFormat f = m_format;
    f.ascii = on;
    SetFormat(f);
  });
  QAction* decoded = menu->addAction(QStringLiteral("Show &Decoded"));
  decoded->setObjectName("traceDecodedAction");
  decoded->setCheckable(true);
  decoded->setChecked(m_format.decoded);
  connect(decoded, &QAction::toggled, this, [this](bool on) {
    TraceFormat f = m_format;
    f.decoded = on;
    SetFormat(f);
  });
  QAction* stamps = menu->addAction(QStringLiteral("Show &Time Stamps"));
  stamps->setObjectName("traceTimeAction");
  stamps->setCheckable(true);
  stamps->setChecked(m_format.timestamps);
  connect(stamps, &QAction::toggled, this, [this](bool on) {
    TraceFormat f = m_format;
    f.timestamps = on;
    SetFormat(f);
  });
  QAction* full = menu->addAction(QStringLiteral("Show &Full Hex"));
  full->setObjectName("traceFullHexAction");
  full->setCheckable(true);
  full->setChecked(!m_format.shortBlocks);
  connect(full, &QAction::toggled, this, [this](bool on) {
    TraceFormat f = m_format;
    f.shortBlocks = !on;
    SetFormat(f);
  });
  QAction* deltas = menu->addAction(QStringLiteral("Show Time D&eltas"));
  deltas->setObjectName("traceDeltasAction");
  deltas->setCheckable(true);
  deltas->setChecked(m_format.deltas);
  connect(deltas, &QAction::toggled, this, [this](bool on) {
    TraceFormat f = m_format;
    f.deltas = on;
    SetFormat(f);
  });
  menu->addSeparator();
  QAction* save = menu->addAction(SaveTraceCaption());
  save->setObjectName("saveTraceAction");
  save->setShortcut(QKeySequence::Save);
  save->setEnabled(!m_model.Extent(m_format).empty());
  connect(save, &QAction::triggered, this, &CTrafficView::SaveTraceAs);
  return menu;
}

bool CTrafficView::SaveTrace(const QString& path, QString* error) {
  if (path.endsWith(QStringLiteral(".pcapng"), Qt::CaseInsensitive)) {
    // Written beside it and renamed, so a failed save leaves no half capture behind either.
    const std::string target = path.toStdString(), part = target + ".part";
    std::string why;
    if (m_model.WriteCapture(part, "brevant", &why) && std::rename(part.c_str(), target.c_str()) == 0)
      return true;
    if (why.empty()) why = std::strerror(errno);
    std::remove(part.c_str());
    if (error) *error = QString::fromStdString(why);
    return false;
  }
  // QSaveFile: a full disk or a failed write leaves no half-written trace behind.
  QSaveFile file(path);
  bool ok = file.open(QIODevice::WriteOnly);
  // The file is evidence, read back by replay: every byte, whatever the view shortens.
  TraceFormat whole = m_format;
  whole.shortBlocks = false;
  if (ok)
    ok = m_model.WriteText(whole, [&file](const char* data, size_t size) {
      return file.write(data, static_cast<qint64>(size)) == static_cast<qint64>(size);
    });
  if (!ok || !file.commit()) {
    if (error) *error = file.errorString();
    file.cancelWriting();
    return false;
  }
  return true;
}

void CTrafficView::SaveTraceAs() {
  QString start = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (start.isEmpty()) start = QDir::homePath();
  start = QDir(start).filePath(QStringLiteral("brevant-trace-%1.txt")
                                   .arg(QDateTime::currentDateTime().toString("yyyyMMdd_HHmmss")));
  QWidget* parent = window();
  const QString title = QStringLiteral("Save trace");
  const QString capture = QStringLiteral("pcapng captures (*.pcapng)");
  QString filter;
  QString path =
      SaveFileChooserHook()
          ? SaveFileChooserHook()(parent, title, start)
          : QFileDialog::getSaveFileName(
                parent, title, start,
                QStringLiteral("Text files (*.txt);;%1;;All files (*)").arg(capture), &filter);
  if (path.isEmpty()) return;
  // The capture filter chosen with the text name still offered: the name follows the filter.
  if (filter == capture && path.endsWith(QStringLiteral(".txt")))
    path = path.left(path.size() - 4) + QStringLiteral(".pcapng");
  QString error;
  if (!SaveTrace(path, &error))
    ShowMessageBox(parent,
                   QStringLiteral("The trace could not be saved to %1:\n%2").arg(path, error).toStdString(),
                   title.toStdString(), MsgIcon::Warning);
}

// ---------------------------------------------------------------- fitting the lines

void CTrafficView::FitLinesTo(int width) {
  // The vertical bar is always there; the frame and the margins take their share too.
  const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, verticalScrollBar());
  const int room = width - 2 * frameWidth() - bar - 2 * kMargin;
  const int columns = static_cast<int>(CTraceData::MaxLineChars(TraceFormat{}));
  QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  // Measured as the painting measures: whole pixels per character.
  for (qreal points = fixed.pointSizeF(); points > kMinFitPoints; points -= 0.5) {
    if (QFontMetrics(fixed).horizontalAdvance(QLatin1Char('0')) * columns <= room) break;
    fixed.setPointSizeF(points - 0.5);
  }
  setFont(fixed);
}
