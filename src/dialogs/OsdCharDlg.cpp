#include "dialogs/OsdCharDlg.h"

#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QVBoxLayout>
#include <cstring>

#include "controls/UiMessageBox.h"
#include "core/ModelIdentification.h"
#include "core/SettingsTable.h"
#include "dialogs/DialogExchange.h"
#include "protocol/CameraProtocol.h"

uint16_t g_osdFontColor[4];
uint16_t g_osdBackColor[4];
QColor g_osdSwatchColor[2][4];

namespace {


// Control identifiers by line (columns of the dialog's control table).
struct LineIds {
  int group, display, font, x, y, text, fontColor, fontSwatch, backColor, backSwatch, setting;
};
constexpr LineIds kLineIds[4] = {
    {1056, 1054, 1053, 1051, 1052, 1050, 1062, 1084, 1083, 1096, 1055},
    {1068, 1060, 1067, 1065, 1066, 1064, 1070, 1085, 1098, 1099, 1063},
    {1076, 1079, 1075, 1073, 1074, 1072, 1078, 1086, 1104, 1102, 1071},
    {1092, 1081, 1091, 1089, 1090, 1088, 1094, 1095, 1101, 1105, 1087},
};

COsdCharDlg::ColorChooser& ChooserHook() {
  static COsdCharDlg::ColorChooser hook;
  return hook;
}

bool IsHexDigit(QChar c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

QString Hex4(uint16_t value) { return QStringLiteral("%1").arg(value, 4, 16, QChar(u'0')).toUpper(); }

}  // namespace

// A bordered box painted with the colour of its row and line; a click opens the chooser.
class COsdSwatch : public QFrame {
 public:
  COsdSwatch(int row, int line, std::function<void()> onClick)
      : m_nRow(row), m_nLine(line), m_onClick(std::move(onClick)) {
    setFrameShape(QFrame::Box);
    setMinimumSize(24, 18);
    setCursor(Qt::PointingHandCursor);
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    QPainter painter(this);
    painter.fillRect(contentsRect(), g_osdSwatchColor[m_nRow][m_nLine]);
    painter.end();
    QFrame::paintEvent(event);
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
      m_onClick();
  }

 private:
  int m_nRow;
  int m_nLine;
  std::function<void()> m_onClick;
};

QColor ColorFromRgb555(uint16_t c) {
  auto level = [](int f) { return ((f << 3) & 0xFF) | (f & 7); };
  return QColor(level((c >> 10) & 0x1F), level((c >> 5) & 0x1F), level(c & 0x1F));
}

uint16_t Rgb555FromColor(const QColor& rgb) {
  return static_cast<uint16_t>(((rgb.red() >> 3) << 10) | ((rgb.green() >> 3) << 5) |
                               (rgb.blue() >> 3));
}

uint16_t ParseHexColour(const QString& text) {
  int i = 0;
  while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
  unsigned value = 0;
  for (; i < text.size() && IsHexDigit(text[i]); ++i)
    value = (value << 4) | static_cast<unsigned>(QString(text[i]).toUInt(nullptr, 16));
  return static_cast<uint16_t>(value & 0xFFFF);
}

void COsdCharDlg::SetColorChooserHook(ColorChooser hook) { ChooserHook() = std::move(hook); }

QByteArray COsdCharDlg::EncodeText(const QString& text) {
  QStringEncoder encoder("GB18030");
  if (!encoder.isValid()) return text.toLocal8Bit();  // no ICU: the best the system offers
  return encoder.encode(text);
}

COsdCharDlg::COsdCharDlg(CCameraProtocol* camera, QWidget* parent)
    : QDialog(parent), m_pCamera(camera) {
  setWindowTitle(QStringLiteral("OSD Char"));
  auto* layout = new QVBoxLayout(this);
  for (int line = 0; line < 4; ++line) {
    auto* group = MakeControl<QGroupBox>(kLineIds[line].group, QStringLiteral("Line%1").arg(line + 1));
    BuildLine(line, group);
    layout->addWidget(group);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setObjectName(ControlName(1));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(ControlName(2));
  buttons->button(QDialogButtonBox::Ok)->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);

  LoadFromRecords();
}

void COsdCharDlg::BuildLine(int line, QWidget* group) {
  const LineIds& ids = kLineIds[line];
  LineControls& c = m_lines[line];
  c.display = MakeControl<QComboBox>(ids.display);
  c.display->addItems({QStringLiteral("Disable"), QStringLiteral("Enable")});
  c.font = MakeControl<QComboBox>(ids.font);
  c.font->addItems({QStringLiteral("16"), QStringLiteral("24"), QStringLiteral("32")});
  c.x = MakeControl<QLineEdit>(ids.x);
  c.y = MakeControl<QLineEdit>(ids.y);
  c.text = MakeControl<QLineEdit>(ids.text);
  c.fontColor = MakeControl<QLineEdit>(ids.fontColor);
  c.backColor = MakeControl<QLineEdit>(ids.backColor);
  c.fontColor->setMaxLength(4);
  c.backColor->setMaxLength(4);
  c.fontColor->installEventFilter(this);
  c.fontSwatch = new COsdSwatch(0, line, [this, line] { OnSwatchClicked(0, line); });
  c.fontSwatch->setObjectName(ControlName(ids.fontSwatch));
  c.backSwatch = new COsdSwatch(1, line, [this, line] { OnSwatchClicked(1, line); });
  c.backSwatch->setObjectName(ControlName(ids.backSwatch));
  c.setting = MakeControl<QPushButton>(ids.setting, QStringLiteral("Setting"));
  c.setting->setAutoDefault(false);

  auto* grid = new QGridLayout(group);
  auto label = [](const char* text) { return new QLabel(QString::fromUtf8(text)); };
  grid->addWidget(label("Display:"), 0, 0);
  grid->addWidget(c.display, 0, 1);
  grid->addWidget(label("Font:"), 0, 2);
  grid->addWidget(c.font, 0, 3);
  grid->addWidget(label("x:"), 0, 4);
  grid->addWidget(c.x, 0, 5);
  grid->addWidget(label("y:"), 0, 6);
  grid->addWidget(c.y, 0, 7);
  grid->addWidget(label("Text:"), 1, 0);
  grid->addWidget(c.text, 1, 1, 1, 7);
  grid->addWidget(label("FontColor:"), 2, 0);
  grid->addWidget(c.fontColor, 2, 1);
  grid->addWidget(c.fontSwatch, 2, 2);
  grid->addWidget(label("BackColor:"), 2, 3);
  grid->addWidget(c.backColor, 2, 4);
  grid->addWidget(c.backSwatch, 2, 5);
  grid->addWidget(c.setting, 2, 7);

  connect(c.fontColor, &QLineEdit::textChanged, this, [this, line] { OnColourEdited(0, line); });
  connect(c.backColor, &QLineEdit::textChanged, this, [this, line] { OnColourEdited(1, line); });
  connect(c.setting, &QPushButton::clicked, this, [this, line] { OnSetting(line); });
  FollowPort(c.setting, m_pCamera);
}

void COsdCharDlg::LoadFromRecords() {
  const bool large = m_pCamera && OsdUsesLargeFonts(m_pCamera->State().model.modelCode);
  const QStringList fonts = large
      ? QStringList{QStringLiteral("16x16"), QStringLiteral("32x32"), QStringLiteral("48x48")}
      : QStringList{QStringLiteral("16x16"), QStringLiteral("24x24"), QStringLiteral("32x32")};
  m_bLoading = true;
  for (int line = 0; line < 4; ++line) {
    const OsdLineSetting rec = m_pCamera ? m_pCamera->Records().osd[line] : OsdLineSetting{};
    LineControls& c = m_lines[line];
    c.display->setCurrentIndex(rec.display);
    c.x->setText(QString::number(rec.x));
    c.y->setText(QString::number(rec.y));
    const size_t textLength = strnlen(rec.text, sizeof rec.text);
    c.text->setText(QStringDecoder("GB18030").decode(QByteArrayView(rec.text, textLength)));
    c.fontColor->setText(Hex4(rec.fontColor));
    c.backColor->setText(Hex4(rec.backColor));
    g_osdFontColor[line] = rec.fontColor;
    g_osdBackColor[line] = rec.backColor;
    g_osdSwatchColor[0][line] = ColorFromRgb555(rec.fontColor);
    g_osdSwatchColor[1][line] = ColorFromRgb555(rec.backColor);
    c.font->clear();
    c.font->addItems(fonts);
    c.font->setCurrentIndex(rec.font);
  }
  m_bLoading = false;
}

bool COsdCharDlg::eventFilter(QObject* watched, QEvent* event) {
  // Font-colour boxes take hexadecimal digits only (and space, as they always have).
  if (event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const QString text = key->text();
    if (!(key->modifiers() & Qt::ControlModifier) && text.size() == 1 && text[0].isPrint() &&
        !IsHexDigit(text[0]) && text[0] != u' ') {
      Beep();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void COsdCharDlg::OnColourEdited(int row, int line) {
  if (m_bLoading) return;
  LineControls& c = m_lines[line];
  const uint16_t value = ParseHexColour(row == 0 ? c.fontColor->text() : c.backColor->text());
  (row == 0 ? g_osdFontColor : g_osdBackColor)[line] = value;
  // The swatch keeps showing the typed colour on every later repaint, not only this once.
  g_osdSwatchColor[row][line] = ColorFromRgb555(value);
  (row == 0 ? c.fontSwatch : c.backSwatch)->update();
}

void COsdCharDlg::OnSwatchClicked(int row, int line) {
  const QColor current = g_osdSwatchColor[row][line];
  const QColor chosen =
      ChooserHook() ? ChooserHook()(this, current) : QColorDialog::getColor(current, this);
  if (!chosen.isValid()) return;
  const uint16_t value = Rgb555FromColor(chosen);
  (row == 0 ? g_osdFontColor : g_osdBackColor)[line] = value;
  LineControls& c = m_lines[line];
  (row == 0 ? c.fontColor : c.backColor)->setText(Hex4(value));
  // The box path showed the value's 15-bit colour; the swatch shows what was chosen.
  g_osdSwatchColor[row][line] = chosen;
  (row == 0 ? c.fontSwatch : c.backSwatch)->update();
}

void COsdCharDlg::OnSetting(int line) {
  LineControls& c = m_lines[line];
  OsdLineSetting rec = m_pCamera ? m_pCamera->Records().osd[line] : OsdLineSetting{};

  CRangeReader reader(this);
  const SettingRow& xRow = Setting("osd", "x");
  const SettingRow& yRow = Setting("osd", "y");
  rec.x = static_cast<uint16_t>(reader.Read(c.x, xRow.min, xRow.max, rec.x, kFieldU16));
  rec.y = static_cast<uint16_t>(reader.Read(c.y, yRow.min, yRow.max, rec.y, kFieldU16));
  if (reader.Refused()) return;
  rec.line = static_cast<uint8_t>(line);
  rec.display = static_cast<uint8_t>(SelectedIndex(c.display, rec.display));
  rec.font = static_cast<uint8_t>(SelectedIndex(c.font, rec.font));
  rec.fontColor = g_osdFontColor[line];
  rec.backColor = g_osdBackColor[line];

  const QByteArray bytes = EncodeText(c.text->text());
  const SettingRow& textRow = Setting("osd", "text");
  if (RefuseTextBytes(textRow, static_cast<size_t>(bytes.size()))) {
    // The line's other fields are kept; its text stays what was last sent.
    if (m_pCamera) m_pCamera->UpdateRecords([&](FeatureRecordSet& r) { r.osd[line] = rec; });
    ShowMessageBox(this, "limt char max " + std::to_string(textRow.max) + "\n", "char overflow", MsgIcon::Warning);
    return;
  }
  if ((rec.x & 1) || (rec.y & 1)) {
    if (rec.x & 1) rec.x = 0;
    if (rec.y & 1) rec.y = 0;
    ShowMessageBox(this, "x or y must be align 2\n", "Coordinate error", MsgIcon::Warning);
  }
  std::memset(rec.text, 0, sizeof rec.text);
  std::memcpy(rec.text, bytes.constData(), static_cast<size_t>(bytes.size()));
  rec.length = static_cast<uint8_t>(bytes.size());

  if (!m_pCamera) return;
  m_pCamera->Issue(MakeCommand(CMD_SET_OSD, rec));
}
