#pragma once
// CLinkLabel: a label that behaves as a web link. Underlined text in its own font, link /
// hover / visited colours, a hand cursor, the address as its tooltip, and a click that
// opens the address through the desktop; failures are reported with the classic texts.
#include <QColor>
#include <QCursor>
#include <QLabel>
#include <functional>

class CLinkLabel : public QLabel {
  Q_OBJECT

 public:
  explicit CLinkLabel(QWidget* parent = nullptr);
  explicit CLinkLabel(const QString& text, QWidget* parent = nullptr);

  // Result codes of OpenLink: above kOpenFailedMax means the address was opened.
  static constexpr int kOpenFailedMax = 32;
  static constexpr int kOpenSuccess = 33;
  static constexpr int kErrorFileNotFound = 2;
  static constexpr int kErrorNoAssociation = 31;
  static constexpr int kOpenPending = -1;  // the opener runs; its exit status decides

  // The address; a label without one opens (and shows, when it has no text) its own text.
  void SetLink(const QString& link);
  QString Link() const;
  void SetVisited(bool visited);
  bool IsVisited() const { return m_bVisited; }
  void SetUnderline(bool underline);
  void SetLinkCursor(const QCursor& cursor);
  // Shrinks or grows the label to its text, keeping the edge or centre its alignment names.
  void FitToText();
  // Opens address with the desktop's opener (xdg-open) and returns kOpenPending: the click's
  // outcome follows from the opener's exit status, without the window waiting for it.
  // Without an opener it asks the desktop directly and returns kOpenSuccess or an error
  // code of the table ReportOpenError knows.
  int OpenLink(const QString& address);
  void ReportOpenError(int code);
  static QString OpenErrorText(int code);

  // The colour the text is drawn in now.
  QColor TextColour() const;
  bool IsHover() const { return m_bHover; }

  // Tests replace the desktop opener; it returns an OpenLink result code.
  using Opener = std::function<int(const QString& address)>;
  static void SetOpenerHook(Opener hook);
  // The program run to open an address (tests put one there that fails).
  static void SetOpenerProgram(const QString& program);

 protected:
  bool event(QEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void Init();
  void LoadFallbackCursor();
  void ApplyColour();
  void OnClicked();
  void OpenFinished(int result);

  QColor m_crLink{0, 0, 0};
  QColor m_crVisited{85, 26, 139};
  QColor m_crHover;
  bool m_bHover = false;
  bool m_bVisited = false;
  bool m_bUnderline = true;
  bool m_bAutoSize = true;
  QString m_strLink;
  bool m_bCursorSet = false;
};
