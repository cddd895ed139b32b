#include "controls/TrafficViewAccessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QScrollBar>
#include <algorithm>
#include <string>
#include <vector>

#include "controls/TrafficView.h"

// Offsets count characters of the screen's text: its lines, each ended by "\n". Positions
// off the screen are taken to its nearer end.
class CTrafficViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit CTrafficViewAccessible(CTrafficView* view)
      : QAccessibleWidget(view, QAccessible::EditableText) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QString text(QAccessible::Text t) const override {
    if (t != QAccessible::Value) return QAccessibleWidget::text(t);
    return View()->ScreenText();
  }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.multiLine = true;
    s.selectableText = true;
    return s;
  }

  // ---- text
  QString text(int startOffset, int endOffset) const override {
    const Screen s = Snap();
    const int from = Clip(s, startOffset), to = Clip(s, endOffset);
    return s.text.mid(from, std::max(0, to - from));
  }
  int characterCount() const override { return static_cast<int>(Snap().text.size()); }
  QString attributes(int, int* startOffset, int* endOffset) const override {
    *startOffset = 0;  // one run: no attributes anywhere
    *endOffset = characterCount();
    return {};
  }

  // ---- caret and selection
  int cursorPosition() const override { return OffsetOf(Snap(), View()->m_cursor); }
  void setCursorPosition(int position) override {
    CTrafficView* v = View();
    v->m_anchor = v->m_cursor = PosOf(Snap(), position);
    v->m_bSelection = true;  // a later shift-click extends from here
    v->viewport()->update();
  }
  int selectionCount() const override {
    int from = 0, to = 0;
    SelectionOnScreen(&from, &to);
    return from < to ? 1 : 0;
  }
  void selection(int selectionIndex, int* startOffset, int* endOffset) const override {
    *startOffset = *endOffset = 0;
    if (selectionIndex == 0) SelectionOnScreen(startOffset, endOffset);
  }
  void addSelection(int startOffset, int endOffset) override {
    setSelection(0, startOffset, endOffset);  // the view holds one selection
  }
  void setSelection(int selectionIndex, int startOffset, int endOffset) override {
    if (selectionIndex != 0) return;
    CTrafficView* v = View();
    const Screen s = Snap();
    v->m_anchor = PosOf(s, startOffset);
    v->m_cursor = PosOf(s, endOffset);
    v->m_bSelection = true;
    v->viewport()->update();
  }
  void removeSelection(int selectionIndex) override {
    if (selectionIndex != 0) return;
    View()->m_bSelection = false;
    View()->viewport()->update();
  }

  // ---- geometry (global coordinates)
  QRect characterRect(int offset) const override {
    const CTrafficView* v = View();
    const Screen s = Snap();
    const TracePos pos = PosOf(s, offset);
    const int row = static_cast<int>(pos.line - s.top);
    const QRect local(CTrafficView::kMargin - v->horizontalScrollBar()->value() +
                          static_cast<int>(pos.column) * v->CharWidth(),
                      CTrafficView::kMargin + row * v->LineHeight(), v->CharWidth(),
                      v->LineHeight());
    return QRect(v->viewport()->mapToGlobal(local.topLeft()), local.size());
  }
  int offsetAtPoint(const QPoint& point) const override {
    const CTrafficView* v = View();
    const QPoint local = v->viewport()->mapFromGlobal(point);
    if (!v->viewport()->rect().contains(local)) return -1;
    // The character under the point (the view's own hit test rounds to the nearer gap).
    const Screen s = Snap();
    const int row = std::max(0, (local.y() - CTrafficView::kMargin) / v->LineHeight());
    const int x = local.x() - CTrafficView::kMargin + v->horizontalScrollBar()->value();
    if (static_cast<size_t>(row) >= s.starts.size()) return -1;
    return OffsetOf(s, {s.top + static_cast<uint64_t>(row), static_cast<size_t>(std::max(0, x) / v->CharWidth())});
  }
  void scrollToSubstring(int, int) override {}  // every offset is on screen already

 private:
  struct Screen {
    uint64_t top = 0;          // absolute number of the first line on screen
    std::vector<int> starts;   // offset of each line
    std::vector<int> lengths;  // without its "\n"
    QString text;
  };

  CTrafficView* View() const { return static_cast<CTrafficView*>(widget()); }

  Screen Snap() const {
    const CTrafficView* v = View();
    Screen s;
    s.top = v->m_topLine;
    for (const std::string& line :
         v->m_model.Lines(v->m_topLine, static_cast<size_t>(v->PageLines()), v->m_format)) {
      s.starts.push_back(static_cast<int>(s.text.size()));
      s.lengths.push_back(static_cast<int>(line.size()));
      s.text += QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())) + '\n';
    }
    return s;
  }
  static int Clip(const Screen& s, int offset) {
    return std::clamp(offset, 0, static_cast<int>(s.text.size()));
  }
  static int OffsetOf(const Screen& s, const TracePos& pos) {
    if (s.starts.empty() || pos.line < s.top) return 0;
    const uint64_t row = pos.line - s.top;
    if (row >= s.starts.size()) return static_cast<int>(s.text.size());
    const int column = static_cast<int>(std::min<size_t>(pos.column, s.lengths[row]));
    return s.starts[row] + column;
  }
  static TracePos PosOf(const Screen& s, int offset) {
    if (s.starts.empty()) return {s.top, 0};
    offset = Clip(s, offset);
    const auto next = std::upper_bound(s.starts.begin(), s.starts.end(), offset);
    const size_t row = static_cast<size_t>(next - s.starts.begin()) - 1;
    const int column = std::min(offset - s.starts[row], s.lengths[row]);
    return {s.top + row, static_cast<size_t>(column)};
  }
  void SelectionOnScreen(int* from, int* to) const {
    const CTrafficView* v = View();
    *from = *to = 0;
    if (!v->HasSelection()) return;
    const Screen s = Snap();
    *from = OffsetOf(s, std::min(v->m_anchor, v->m_cursor));
    *to = OffsetOf(s, std::max(v->m_anchor, v->m_cursor));
  }
};

namespace {
QAccessibleInterface* TrafficViewAccessible(const QString& className, QObject* object) {
  if (className == QLatin1String("CTrafficView") && object && object->isWidgetType())
    return new CTrafficViewAccessible(static_cast<CTrafficView*>(object));
  return nullptr;
}
}  // namespace

void InstallTrafficViewAccessible() {
  static const bool installed = (QAccessible::installFactory(TrafficViewAccessible), true);
  (void)installed;
}
