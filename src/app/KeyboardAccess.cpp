#include "app/KeyboardAccess.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QTextEdit>
#include <algorithm>
#include <vector>

#include "core/ControlStates.h"
#include "controls/ControlName.h"

namespace {

bool TakesFocus(QWidget* w) { return (w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus; }

bool IsInput(QWidget* w) {
  return qobject_cast<QComboBox*>(w) || qobject_cast<QLineEdit*>(w) ||
         qobject_cast<QAbstractSpinBox*>(w) || qobject_cast<QAbstractSlider*>(w) ||
         qobject_cast<QPlainTextEdit*>(w) || qobject_cast<QTextEdit*>(w) ||
         qobject_cast<QListWidget*>(w);
}

// The items of a layout in reading order: grid cells row by row, everything else as added.
struct Cell {
  int row, column, span, index;
  QLayoutItem* item;
};
std::vector<Cell> ReadingOrder(QLayout* layout) {
  std::vector<Cell> cells;
  for (int i = 0; i < layout->count(); ++i) {
    int row = 0, column = i, span = 1;
    if (auto* grid = qobject_cast<QGridLayout*>(layout)) {
      int rs;
      grid->getItemPosition(i, &row, &column, &rs, &span);
    } else if (auto* form = qobject_cast<QFormLayout*>(layout)) {
      QFormLayout::ItemRole role;
      form->getItemPosition(i, &row, &role);
      column = role == QFormLayout::LabelRole ? 0 : 1;
    }
    cells.push_back({row, column, span, i, layout->itemAt(i)});
  }
  std::stable_sort(cells.begin(), cells.end(), [](const Cell& a, const Cell& b) {
    return a.row != b.row ? a.row < b.row : a.column < b.column;
  });
  return cells;
}

struct Walk {
  std::vector<QWidget*> chain;  // focusable widgets in reading order
  std::vector<QWidget*> seen;   // every widget reached through a layout
};

void Visit(QWidget* w, Walk& walk);

// `carried`: a label just before this layout in its parent ("Continue Delay:" then a cell
// holding the field and its unit).
void VisitLayout(QLayout* layout, Walk& walk, QLabel* carried = nullptr) {
  const std::vector<Cell> cells = ReadingOrder(layout);
  QLabel* pendingLabel = carried;  // a caption waiting for the control it names
  QString rowCaption;              // the caption of the row's field, for its buttons
  for (size_t k = 0; k < cells.size(); ++k) {
    const Cell& cell = cells[k];
    if (k > 0 && cell.row != cells[k - 1].row) {  // a label never names the next row
      pendingLabel = nullptr;
      rowCaption.clear();
    }
    if (QLayout* sub = cell.item->layout()) {
      VisitLayout(sub, walk, pendingLabel);
      pendingLabel = nullptr;
      continue;
    }
    QWidget* w = cell.item->widget();
    if (!w) continue;
    if (auto* label = qobject_cast<QLabel*>(w)) {
      // A caption stands before a field (or a cell holding one); a label with nothing
      // of that kind after it is a unit such as "(ms)" or a plain note.
      const Cell* next = k + 1 < cells.size() && cells[k + 1].row == cell.row ? &cells[k + 1] : nullptr;
      const bool beforeField =
          next && (next->item->layout() || (next->item->widget() && IsInput(next->item->widget())));
      const QString caption = PlainCaption(label->text());
      pendingLabel = (beforeField && !caption.isEmpty() && !label->buddy()) ? label : nullptr;
      walk.seen.push_back(w);
      continue;
    }
    if (pendingLabel && IsInput(w)) {
      rowCaption = PlainCaption(pendingLabel->text());
      pendingLabel->setBuddy(w);
    }
    // In a table every field of a labelled row takes the row's caption, and the column
    // heading above it (a label in the first row) as description: "Brightness", "Day".
    if (IsInput(w) && !rowCaption.isEmpty() && w->accessibleName().isEmpty())
      w->setAccessibleName(rowCaption);
    if (IsInput(w) && qobject_cast<QGridLayout*>(layout) && cell.row > cells.front().row &&
        w->accessibleDescription().isEmpty())
      for (const Cell& head : cells) {
        if (head.row != cells.front().row) break;
        auto* heading = qobject_cast<QLabel*>(head.item->widget());
        if (heading && head.column > 0 && cell.column >= head.column &&
            cell.column < head.column + head.span)
          w->setAccessibleDescription(PlainCaption(heading->text()));
      }
    // A button in a labelled row keeps its caption as name and gets the row's caption as
    // description ("Setting" for "Image Size").
    if (qobject_cast<QAbstractButton*>(w) && !rowCaption.isEmpty() &&
        w->accessibleDescription().isEmpty())
      w->setAccessibleDescription(rowCaption);
    pendingLabel = nullptr;
    Visit(w, walk);
  }
}

// Buttons are left unnamed on purpose: Qt names a button by its caption as it is now, so
// "Image Mode", "Read1/2" or "Close" are read out as shown, never the caption of the start.
void Visit(QWidget* w, Walk& walk) {
  walk.seen.push_back(w);
  if (TakesFocus(w) && !qobject_cast<QLabel*>(w)) walk.chain.push_back(w);
  if (w->layout()) VisitLayout(w->layout(), walk);
  if (auto* box = qobject_cast<QGroupBox*>(w)) {
    const QString title = PlainCaption(box->title());
    if (box->accessibleName().isEmpty() && !title.isEmpty()) box->setAccessibleName(title);
    // "Open" under "Detection Function" is not the port's "Open"; a row label said more.
    if (!title.isEmpty())
      for (QAbstractButton* b : box->findChildren<QAbstractButton*>())
        if (b->accessibleDescription().isEmpty()) b->setAccessibleDescription(title);
  }
}

}  // namespace

QString PlainCaption(const QString& caption) {
  QString plain;
  for (qsizetype i = 0; i < caption.size(); ++i) {
    if (caption[i] == QLatin1Char('&')) {
      if (i + 1 < caption.size() && caption[i + 1] == QLatin1Char('&')) plain += caption[++i];
      continue;
    }
    plain += caption[i];
  }
  plain = plain.trimmed();
  while (plain.endsWith(QLatin1Char(':')) || plain.endsWith(QChar(0xFF1A))) plain.chop(1);
  return plain.trimmed();
}

void ApplyKeyboardAccess(QWidget* window) {
  if (!window || !window->layout()) return;
  Walk walk;
  VisitLayout(window->layout(), walk);
  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (w->window() != window) continue;
    // Labels tied to their field already (form layouts do it) name it too; a text shown
    // for reading (the crop dialog's current size) keeps its own text as name and gets
    // the caption as description, so what it says now is what is read out.
    if (auto* label = qobject_cast<QLabel*>(w))
      if (QWidget* buddy = label->buddy()) {
        if (qobject_cast<QLabel*>(buddy)) {
          if (buddy->accessibleDescription().isEmpty())
            buddy->setAccessibleDescription(PlainCaption(label->text()));
        } else if (buddy->accessibleName().isEmpty()) {
          buddy->setAccessibleName(PlainCaption(label->text()));
        }
      }
  }
  for (size_t i = 1; i < walk.chain.size(); ++i)
    QWidget::setTabOrder(walk.chain[i - 1], walk.chain[i]);
}

void AddButtonShortcut(QAbstractButton* button, const QKeySequence& keys) {
  if (!button) return;
  auto* shortcut = new QShortcut(keys, button->window());
  QObject::connect(shortcut, &QShortcut::activated, button, [button] {
    if (button->isEnabled() && button->isVisible()) {
      button->setFocus(Qt::ShortcutFocusReason);
      button->click();
    }
  });
  const QString hint = keys.toString(QKeySequence::NativeText);
  button->setToolTip(button->toolTip().isEmpty() ? hint : button->toolTip() + " (" + hint + ")");
}

namespace {

void AddMainWindowShortcuts(QWidget* window) {
  const std::pair<int, const char*> keys[] = {
      {IDC_OPEN, "Alt+O"},           {IDC_CLOSE, "Alt+C"},         {IDC_SINGLE_CAPTURE, "Alt+S"},
      {IDC_CONTINUES_CAPTURE, "Alt+N"}, {IDC_STOP_CAPTURE, "Alt+T"}, {IDC_SAVE, "Alt+V"},
      {IDC_BROWSE, "Alt+B"},         {IDC_COMMAND_MODE, "Alt+M"},  {IDC_RESET, "Alt+R"}};
  for (const auto& [id, sequence] : keys)
    AddButtonShortcut(FindControl<QAbstractButton>(window, id),
                      QKeySequence(QString::fromLatin1(sequence)));
}

class CKeyboardAccessFilter : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      auto* dlg = qobject_cast<QDialog*>(watched);
      // Qt's own boxes and file dialogs order and name their controls themselves.
      if (dlg && dlg->isWindow() && !dlg->property(kDone).toBool() &&
          !dlg->inherits("QMessageBox") && !dlg->inherits("QFileDialog")) {
        dlg->setProperty(kDone, true);
        ApplyKeyboardAccess(dlg);
        if (dlg->objectName() == ControlName(IDD_MAIN)) AddMainWindowShortcuts(dlg);
      }
    }
    return false;
  }

 private:
  static constexpr const char* kDone = "brevantKeyboardAccess";
};

}  // namespace

void InstallKeyboardAccess(QObject* parent) {
  qApp->installEventFilter(new CKeyboardAccessFilter(parent));
}
