#pragma once
// "OSD Char": four lines of on-screen text, each sent on its own with its "Setting" button.
// The line records live in the camera protocol object and outlive the dialog; the colours
// being edited live in program-wide tables so they too survive a close and reopen.
#include <QByteArray>
#include <QColor>
#include <QDialog>
#include <array>
#include <cstdint>
#include <functional>

class CCameraProtocol;
class COsdSwatch;
class QComboBox;
class QLineEdit;
class QPushButton;

// 15-bit colour (red bits 10-14, green 5-9, blue 0-4; bit 15 ignored) to 24-bit. The low
// three bits of each level are repeated into the new low bits, as the camera renders it.
QColor ColorFromRgb555(uint16_t c);
// 24-bit colour to 15-bit: the top five bits of each level, bit 15 clear.
uint16_t Rgb555FromColor(const QColor& rgb);

// The colours being edited for lines 1-4 and the colours the swatches are painted with
// (row 0 font, row 1 background).
extern uint16_t g_osdFontColor[4];
extern uint16_t g_osdBackColor[4];
extern QColor g_osdSwatchColor[2][4];

// Parses a colour box: hexadecimal after leading blanks up to the first non-hex character;
// an empty box gives 0. Only the low 16 bits are kept.
uint16_t ParseHexColour(const QString& text);

class COsdCharDlg : public QDialog {
  Q_OBJECT

 public:
  COsdCharDlg(CCameraProtocol* camera, QWidget* parent);

  // The colour chooser, opened on the line's current colour; tests replace it. Returns an
  // invalid colour on Cancel.
  using ColorChooser = std::function<QColor(QWidget* parent, const QColor& current)>;
  static void SetColorChooserHook(ColorChooser hook);

  // The bytes "Setting" takes for a text: the text in GB18030, where a Chinese character
  // is two bytes, as the camera's glyph tables expect.
  static QByteArray EncodeText(const QString& text);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct LineControls {
    QComboBox* display = nullptr;
    QComboBox* font = nullptr;
    QLineEdit* x = nullptr;
    QLineEdit* y = nullptr;
    QLineEdit* text = nullptr;
    QLineEdit* fontColor = nullptr;
    QLineEdit* backColor = nullptr;
    COsdSwatch* fontSwatch = nullptr;
    COsdSwatch* backSwatch = nullptr;
    QPushButton* setting = nullptr;
  };

  void BuildLine(int line, QWidget* group);
  void LoadFromRecords();
  void OnColourEdited(int row, int line);
  void OnSwatchClicked(int row, int line);
  void OnSetting(int line);

  CCameraProtocol* m_pCamera;
  std::array<LineControls, 4> m_lines;
  bool m_bLoading = false;  // change notifications are ignored while the dialog fills its controls
};
