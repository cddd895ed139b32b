#include "app/Screenshots.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <vector>

#include "app/MainDlg.h"
#include "core/ControlStates.h"
#include "controls/ControlName.h"
#include "controls/TrafficView.h"
#include "protocol/CameraProtocol.h"

CaptureEnd CaptureEndOf(const CommandResult& result) {
  // The resume that ends a capture carries the picture with its transfer time.
  if (const PictureReply* picture = result.Data<PictureReply>(); picture && picture->seconds >= 0)
    return CaptureEnd::Captured;
  const bool transfer = result.code == CMD_READ_TOTAL || result.code == CMD_READ_BUF_512;
  return transfer && !result.Ok() ? CaptureEnd::Failed : CaptureEnd::None;
}

namespace {

// One picture: how to bring the window up and the file it is saved as. A dialog shot
// presses a button and grabs the dialog that opens; a window shot grabs the main window.
struct Shot {
  QString file;
  std::function<void()> open;  // null: the main window as it is
  std::function<void()> after;  // undoes what `open` changed, for window shots
  bool dialog = true;
};

class CScreenshotDriver : public QObject {
 public:
  CScreenshotDriver(CMainDlg* dlg, QString folder) : QObject(dlg), m_pDlg(dlg), m_dir(folder) {
    connect(&m_timer, &QTimer::timeout, this, [this] { Step(); });
    connect(dlg, &CMainDlg::commandFinished, this, [this](const CommandResult& result) {
      if (m_nStage != kCapturing) return;
      const CaptureEnd end = CaptureEndOf(result);
      if (end == CaptureEnd::Failed) return Finish(1, "the capture failed");
      if (end != CaptureEnd::Captured) return;
      BuildShots();
      m_nStage = kNextShot;
    });
    m_timer.start(100);
    m_total.start();
  }
  int Result() const { return m_nResult; }

 private:
  QAbstractButton* Button(int id) {
    return FindControl<QAbstractButton>(m_pDlg, id);
  }
  // Pressed from its own event: a modal dialog's exec() must not run inside Step().
  void PressLater(int id) {
    if (QAbstractButton* b = Button(id)) QTimer::singleShot(0, b, &QAbstractButton::click);
  }
  bool Quiet() { return !m_pDlg->AwaitingReplies(); }

  void BuildShots() {
    m_shots.push_back({"main-window.png", nullptr, nullptr, false});
    // Decoded, so the picture shows each frame named beside its bytes.
    const auto decoded = [this](bool on) {
      if (auto* view = m_pDlg->findChild<CTrafficView*>()) {
        TraceFormat format = view->Format();
        format.decoded = on;
        view->SetFormat(format);
      }
    };
    m_shots.push_back({"traffic-view.png",
                       [this, decoded] {
                         decoded(true);
                         PressLater(IDC_COMMAND_MODE);
                       },
                       [this, decoded] {
                         decoded(false);
                         PressLater(IDC_COMMAND_MODE);
                       },
                       false});
    auto focusAssist = [this] {
      if (auto* action = m_pDlg->findChild<QAction*>("focusAssistAction")) action->trigger();
    };
    m_shots.push_back({"focus-assist.png", focusAssist, focusAssist, false});
    const std::pair<int, const char*> dialogs[] = {
        {IDC_MULTI_CAPTURE, "multiple-capture.png"}, {IDC_REGION_CROP, "region-cropping.png"},
        {IDC_IMAGE_CONTROL, "image-control.png"},    {IDC_OSD, "osd-characters.png"},
        {IDC_MORE, "detection.png"}};
    for (const auto& [id, file] : dialogs) {
      QAbstractButton* b = Button(id);
      if (!b || !b->isEnabled()) {
        std::fprintf(stderr, "brevant: %s skipped, this camera does not offer it\n", file);
        continue;
      }
      m_shots.push_back({file, [this, id = id] { PressLater(id); }, nullptr, true});
    }
    m_shots.push_back({"about.png", [this] {
                         if (auto* a = m_pDlg->findChild<QAction*>("aboutAction"))
                           QTimer::singleShot(0, a, &QAction::trigger);
                       }, nullptr, true});
  }

  QDialog* NewDialog() const {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* d = qobject_cast<QDialog*>(w);
      if (d && d != m_pDlg && d->isVisible()) return d;
    }
    return nullptr;
  }

  void Step() {
    if (m_total.elapsed() > kLimitMs) return Finish(1, "the screenshots did not finish");
    switch (m_nStage) {
      case kOpening:
        Button(IDC_OPEN)->click();
        if (!m_pDlg->IsPortOpen()) return Finish(1, "COM1 could not be opened");
        m_nStage = kIdentifying;
        break;
      case kIdentifying:
        if (FindControl<QLineEdit>(m_pDlg, IDC_VERSION)->text().isEmpty() ||
            !Quiet() || !Button(IDC_SINGLE_CAPTURE)->isEnabled())
          break;
        Button(IDC_SINGLE_CAPTURE)->click();
        m_nStage = kCapturing;
        break;
      case kNextShot:
        if (m_nShot >= m_shots.size()) return Finish(m_nFailed ? 1 : 0, "some pictures were not saved");
        if (m_shots[m_nShot].open) m_shots[m_nShot].open();
        m_settle.start();
        m_nStage = kSettling;
        break;
      case kSettling: {
        // Dialogs read the camera's values when they open; grab once those are shown.
        const Shot& shot = m_shots[m_nShot];
        QDialog* target = shot.dialog ? NewDialog() : m_pDlg;
        if (!target || !Quiet() || m_settle.elapsed() < kSettleMs) {
          if (m_settle.elapsed() > kDialogLimitMs) {
            std::fprintf(stderr, "brevant: %s: the window did not come up\n", qPrintable(shot.file));
            ++m_nFailed;
            ++m_nShot;
            m_nStage = kNextShot;
          }
          break;
        }
        const QString path = m_dir.filePath(shot.file);
        if (target->grab().save(path)) {
          std::printf("%s\n", qPrintable(path));
        } else {
          std::fprintf(stderr, "brevant: %s could not be written\n", qPrintable(path));
          ++m_nFailed;
        }
        if (shot.dialog) target->reject();
        if (shot.after) shot.after();
        ++m_nShot;
        m_nStage = kNextShot;
        break;
      }
      default:
        break;
    }
  }

  void Finish(int result, const char* why) {
    m_timer.stop();
    m_nStage = kDone;
    m_nResult = result;
    if (result != 0) std::fprintf(stderr, "brevant: %s\n", why);
    if (QDialog* d = NewDialog()) d->reject();
    m_pDlg->done(result);
  }

  enum { kOpening, kIdentifying, kCapturing, kNextShot, kSettling, kDone };
  static constexpr qint64 kLimitMs = 300000;
  static constexpr qint64 kSettleMs = 600;
  static constexpr qint64 kDialogLimitMs = 30000;
  CMainDlg* m_pDlg;
  QDir m_dir;
  QTimer m_timer;
  QElapsedTimer m_total;
  QElapsedTimer m_settle;
  std::vector<Shot> m_shots;
  size_t m_nShot = 0;
  int m_nStage = kOpening;
  int m_nFailed = 0;
  int m_nResult = 0;
};

}  // namespace

int RunScreenshots(CMainDlg& dlg, const QString& folder) {
  if (!QDir().mkpath(folder)) {
    std::fprintf(stderr, "brevant: cannot create %s\n", qPrintable(folder));
    return 1;
  }
  auto* driver = new CScreenshotDriver(&dlg, folder);
  dlg.exec();
  return driver->Result();
}
