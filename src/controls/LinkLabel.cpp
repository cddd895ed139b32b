#include "controls/LinkLabel.h"

#include <QApplication>
#include <QDesktopServices>
#include <QEnterEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QProcess>
#include <QUrl>

#include "controls/UiMessageBox.h"

namespace {

constexpr int kFontPixelHeight = 12;

CLinkLabel::Opener& OpenerHook() {
  static CLinkLabel::Opener hook;
  return hook;
}

QString& OpenerProgram() {
  static QString program = QStringLiteral("xdg-open");
  return program;
}

struct OpenError {
  int code;
  const char* text;
};
const OpenError kOpenErrors[] = {
    {0, "The operating system is out\nof memory or resources."},
    {2, "The specified file was not found."},
    {3, "The specified path was not found."},
    {5, "The operating system denied\naccess to the specified file."},
    {8, "There was not enough memory to complete the operation."},
    {11, "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image)."},
    {26, "A sharing violation occurred. "},
    {27, "The filename association is\nincomplete or invalid."},
    {28, "The DDE transaction could not\nbe completed because the request timed out."},
    {29, "The DDE transaction failed."},
    {30, "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed."},
    {31, "There is no application associated\nwith the given filename extension."},
    {32, "The specified dynamic-link library was not found."},
};

}  // namespace

void CLinkLabel::SetOpenerHook(Opener hook) { OpenerHook() = std::move(hook); }

void CLinkLabel::SetOpenerProgram(const QString& program) { OpenerProgram() = program; }

CLinkLabel::CLinkLabel(QWidget* parent) : QLabel(parent) { Init(); }

CLinkLabel::CLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) { Init(); }

void CLinkLabel::Init() {
  m_crHover = QApplication::palette().color(QPalette::Highlight);
  QFont f = font();
  f.setPixelSize(kFontPixelHeight);
  f.setUnderline(m_bUnderline);
  setFont(f);
  setWordWrap(false);
  LoadFallbackCursor();
  ApplyColour();
}

void CLinkLabel::SetLink(const QString& link) {
  m_strLink = link;
  if (text().isEmpty()) setText(link);
  FitToText();
  setToolTip(Link());
}

QString CLinkLabel::Link() const { return m_strLink.isEmpty() ? text() : m_strLink; }

void CLinkLabel::SetVisited(bool visited) {
  m_bVisited = visited;
  ApplyColour();
  update();
}

void CLinkLabel::SetUnderline(bool underline) {
  m_bUnderline = underline;
  QFont f = font();
  f.setUnderline(underline);
  setFont(f);
  update();
}

void CLinkLabel::SetLinkCursor(const QCursor& cursor) {
  setCursor(cursor);
  m_bCursorSet = true;
}

void CLinkLabel::LoadFallbackCursor() {
  if (m_bCursorSet) return;
  setCursor(Qt::PointingHandCursor);
  m_bCursorSet = true;
}

void CLinkLabel::FitToText() {
  if (!m_bAutoSize) return;
  const QSize textSize = QFontMetrics(font()).size(Qt::TextSingleLine, text());
  QRect r = geometry();
  const Qt::Alignment align = alignment();
  if (align & Qt::AlignVCenter)
    r.setTop(r.top() + (r.height() - textSize.height()) / 2);
  r.setHeight(textSize.height());
  if (align & Qt::AlignHCenter)
    r.setLeft(r.left() + (r.width() - textSize.width()) / 2);
  else if (align & Qt::AlignRight)
    r.setLeft(r.right() + 1 - textSize.width());
  r.setWidth(textSize.width());
  setGeometry(r);
}

QColor CLinkLabel::TextColour() const {
  if (m_bHover) return m_crHover;
  return m_bVisited ? m_crVisited : m_crLink;
}

void CLinkLabel::ApplyColour() {
  QPalette p = palette();
  p.setColor(QPalette::WindowText, TextColour());
  setPalette(p);
}

bool CLinkLabel::event(QEvent* e) {
  // The tooltip follows the address even when only the text was ever set.
  if (e->type() == QEvent::ToolTip && toolTip() != Link()) setToolTip(Link());
  return QLabel::event(e);
}

void CLinkLabel::enterEvent(QEnterEvent* e) {
  QLabel::enterEvent(e);
  m_bHover = true;
  ApplyColour();
  repaint();
}

void CLinkLabel::leaveEvent(QEvent* e) {
  QLabel::leaveEvent(e);
  m_bHover = false;
  ApplyColour();
  repaint();
}

void CLinkLabel::mouseReleaseEvent(QMouseEvent* e) {
  QLabel::mouseReleaseEvent(e);
  if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) OnClicked();
}

void CLinkLabel::OnClicked() {
  const int result = OpenLink(Link());
  if (result != kOpenPending) OpenFinished(result);
}

void CLinkLabel::OpenFinished(int result) {
  if (result > kOpenFailedMax) {
    SetVisited(true);
    return;
  }
  SetVisited(false);
  Beep();
  ReportOpenError(result);
}

int CLinkLabel::OpenLink(const QString& address) {
  if (OpenerHook()) return OpenerHook()(address);
  const QString trimmed = address.trimmed();
  const QUrl url = QUrl::fromUserInput(trimmed);
  if (trimmed.isEmpty() || !url.isValid()) return kErrorFileNotFound;
  // A started opener has not opened anything yet: only its exit status says whether the
  // browser got the address ("file not found" for its code 2, no handler otherwise).
  auto* opener = new QProcess(this);
  connect(opener, &QProcess::finished, this, [this, opener](int code, QProcess::ExitStatus how) {
    opener->deleteLater();
    if (how == QProcess::NormalExit && code == 0) OpenFinished(kOpenSuccess);
    else OpenFinished(how == QProcess::NormalExit && code == 2 ? kErrorFileNotFound
                                                               : kErrorNoAssociation);
  });
  connect(opener, &QProcess::errorOccurred, this, [this, opener, url](QProcess::ProcessError e) {
    if (e != QProcess::FailedToStart) return;  // a crash ends in finished()
    opener->deleteLater();
    // No opener on this machine: the desktop may still know a handler.
    OpenFinished(QDesktopServices::openUrl(url) ? kOpenSuccess : kErrorNoAssociation);
  });
  opener->start(OpenerProgram(), {url.toString()});
  return kOpenPending;
}

QString CLinkLabel::OpenErrorText(int code) {
  for (const OpenError& e : kOpenErrors)
    if (e.code == code) return QString::fromUtf8(e.text);
  return QStringLiteral("Unknown Error (%1) occurred.").arg(code);
}

void CLinkLabel::ReportOpenError(int code) {
  const QString text = QStringLiteral("Unable to open hyperlink:\n\n") + OpenErrorText(code);
  ShowMessageBox(this, text.toStdString(), "Brevant", MsgIcon::Warning);
}
