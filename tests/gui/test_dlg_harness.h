#pragma once
// Shared set-up of the dialog tests: a real engine on a real pseudo-terminal, the virtual
// camera on the far end, and a window stand-in that records what the engine asks of the
// window and forwards the dialog notices to the open dialogs on the GUI thread, as the main
// window does.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QtTest>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controls/ControlName.h"
#include "controls/UiMessageBox.h"
#include "camsim/CamSim.h"
#include "dialogs/AutoCaptureFinishDlg.h"
#include "dialogs/DialogExchange.h"
#include "dialogs/ImageControlDlg.h"
#include "dialogs/MultipleCaptureDlg.h"
#include "HeadlessHost.h"
#include "protocol/CameraProtocol.h"
#include "test_support.h"

// Waits, processing events, until cond holds or the generous deadline passes.
template <typename Cond>
bool WaitFor(Cond cond, int timeoutMs = 15000) {
  QElapsedTimer timer;
  timer.start();
  while (!cond()) {
    if (timer.elapsed() > timeoutMs) return false;
    QTest::qWait(5);
  }
  return true;
}

// The dialogs' tests look at the bytes that came, not at the picture.
inline PictureResult ShownWithoutDecoding(const std::string&, PictureKind, int, int, MessageSink*) {
  return PictureResult{true, 0, 0, nullptr};
}

// The window stand-in: records as the headless host does (pictures with their bytes; the
// engine it drives does not decode them: ShownWithoutDecoding), and hands the dialog notices to the open dialogs on the GUI thread.
class CTestHost : public HeadlessHost {
 public:
  CTestHost() {
    KeepPictureBytes(true);
  }
  // Dialogs the notices go to (the main window's pointers).
  QPointer<CMultipleCaptureDlg> multiCapture;
  QPointer<CAutoCaptureFinishDlg> autoCapture;
  QPointer<CImageControlDlg> imageControl;
  CCameraProtocol* camera = nullptr;
  int autoCaptureDialogsOpened = 0;

  // The burst window's buttons follow the snapshots the way the window derives them.
  void CaptureStateChanged(const SessionView& state) override {
    Post([this, state] {
      const CaptureControlFollower::Moves moves = m_dialogControls.Follow(state);
      if (!multiCapture) return;
      if (moves.burstRead)
        multiCapture->SetReadCaptureButton(moves.burstRead->enabled,
                                           QString::fromStdString(moves.burstRead->caption));
      if (moves.burstTest) multiCapture->SetTestButtonEnabled(*moves.burstTest);
    });
    HeadlessHost::CaptureStateChanged(state);
  }
  // Results and events reach the dialogs the way the window hands them on.
  void CameraEventArrived(const CameraEvent& event) override {
    if (event.kind == CameraEventKind::AutoCapture) {
      Post([this, count = event.count] {
        if (autoCapture) autoCapture->close();
        autoCapture = new CAutoCaptureFinishDlg(camera, count, nullptr);
        autoCapture->show();
        ++autoCaptureDialogsOpened;
      });
    }
    HeadlessHost::CameraEventArrived(event);
  }
  void CommandFinished(const CommandResult& result) override {
    Post([this, result] {
      if (const ImageParams* values = result.Data<ImageParams>())
        if (imageControl) imageControl->UpdateImageParams(*values);
      const bool answered = result.outcome == Outcome::Done || result.outcome == Outcome::Refused;
      if (result.code == CMD_MULTI_CAPTURE && answered && multiCapture)
        multiCapture->SetReadCaptureButton(true, QString());
      ReadBackFinished(camera, result);
      if (afterResult) afterResult(result);
    });
    HeadlessHost::CommandFinished(result);
  }
  // Called on the GUI thread after each result has been handed to the dialogs.
  std::function<void(const CommandResult&)> afterResult;

  // The boxes since the last ClearBoxes (GUI thread).
  std::vector<Box> Boxes() const {
    auto all = HeadlessHost::Boxes();
    return {all.begin() + static_cast<long>(std::min(m_boxMark, all.size())), all.end()};
  }
  void ClearBoxes() { m_boxMark = HeadlessHost::Boxes().size(); }
  bool HasBox(const std::string& text, const std::string& caption) const {
    const auto boxes = Boxes();
    return std::any_of(boxes.begin(), boxes.end(),
                       [&](const Box& b) { return b.text == text && b.caption == caption; });
  }
  // True when a status line ends with text (lines carry a time stamp in front).
  bool HasLine(const std::string& text) const {
    const auto lines = StatusLines();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.size() >= text.size() && l.compare(l.size() - text.size(), text.size(), text) == 0;
    });
  }
  size_t PictureCount() const { return Pictures().size(); }
  std::vector<uint8_t> Picture(size_t i) const {
    const auto all = Pictures();
    return i < all.size() ? all[i].bytes : std::vector<uint8_t>{};
  }

 private:
  // Runs f on the GUI thread later; dropped if this host is gone by then.
  template <typename F>
  void Post(F f) {
    QMetaObject::invokeMethod(&m_context, std::move(f), Qt::QueuedConnection);
  }

  QObject m_context;
  size_t m_boxMark = 0;
  CaptureControlFollower m_dialogControls;  // GUI thread only
};

// The engine on the virtual camera's line. Every box, the dialogs' and the engine's, lands
// in host's list.
class CCamFixture {
 public:
  explicit CCamFixture(CamSimOptions options = {}) : sim(options) {
    host.camera = nullptr;
    SetMessageBoxHook([this](const BoxRecord& b) {
      return host.ShowMessage(b.text, b.caption, b.icon, b.buttons);
    });
  }
  ~CCamFixture() {
    // Dialogs go before the engine they were given.
    delete host.autoCapture.data();
    delete host.imageControl.data();
    delete host.multiCapture.data();
    if (camera) {
      camera->ClosePort();
      camera->StopSender();
    }
    camera.reset();
    sim.Stop();
    SetMessageBoxHook({});
  }

  bool Open() {
    if (!sim.Start()) return false;
    camera = std::make_unique<CCameraProtocol>(&host, nullptr, ShownWithoutDecoding);
    host.camera = camera.get();
    SessionSettings settings = camera->Settings();
    settings.savePath = dir.Slash();
    camera->ApplySettings(settings);
    camera->StartSender();  // the window runs it for its whole life: it starts block reads
    return camera->OpenDevice(sim.SlavePath(), 1, 115200) == 1;
  }

  static std::string Normalise(std::string hex) {
    std::transform(hex.begin(), hex.end(), hex.begin(), ::toupper);
    while (!hex.empty() && hex.back() == ' ') hex.pop_back();
    return hex;
  }
  size_t RequestCount() const { return sim.ReceivedHex().size(); }
  // The request at index, waiting for it to arrive ("" when it never does).
  std::string Request(size_t index) {
    if (!WaitFor([&] { return RequestCount() > index; })) return {};
    return Normalise(sim.ReceivedHex()[index]);
  }
  // Waits until a transfer begun after `mark` has ended with its resume frame, so the
  // next request a test marks is its own and not this transfer's tail.
  bool WaitForResume(size_t mark) {
    return WaitFor([&] {
      const auto hex = sim.ReceivedHex();
      for (size_t i = mark; i < hex.size(); ++i)
        if (Normalise(hex[i]) == "56 00 36 01 03") return true;
      return false;
    });
  }

  CCamSim sim;
  CTestHost host;
  std::unique_ptr<CCameraProtocol> camera;
  testsupport::TempFolder dir{"brevant-dialog"};
};

// Finds a dialog's control by identifier.
template <typename T>
T* Control(QWidget* dialog, int id) {
  return FindControl<T>(dialog, id);
}

// Closes a dialog that deletes itself and waits until it is gone, so nothing of it (a
// pending timer) outlives the engine it was given.
inline bool CloseDialog(QWidget* dialog) {
  QPointer<QWidget> guard(dialog);
  dialog->close();
  return WaitFor([&] { return guard.isNull(); });
}

// Deletes a dialog at the end of a test body, failed or not, unless it is gone already.
// Declare it after the fixture so the dialog goes first.
struct DialogGuard {
  QPointer<QWidget> dialog;
  ~DialogGuard() { delete dialog.data(); }
};

// Replaces an edit's text as the operator would: select all, type.
inline void TypeInto(QWidget* edit, const QString& text) {
  edit->setFocus();
  QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(edit, Qt::Key_Delete);
  QTest::keyClicks(edit, text);
}
