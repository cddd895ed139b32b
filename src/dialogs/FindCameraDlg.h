#pragma once
// "Find Camera…": a small progress dialog around the camera search. The search runs on its
// own thread (each try may wait half a second for an answer); every step is posted to the
// GUI thread, and Cancel wakes the search at once. The dialog closes itself when the
// search ends; `finished` then carries the camera found, if any.
#include <QDialog>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "core/CameraFinder.h"

class QLabel;
class QProgressBar;
class QPushButton;

class CFindCameraDlg : public QDialog {
 public:
  using Done = std::function<void(const std::optional<FoundCamera>& found, bool cancelled)>;

  CFindCameraDlg(QWidget* parent, std::vector<FindCandidate> ports, std::vector<unsigned> rates,
                 uint8_t serial, Done done);
  ~CFindCameraDlg() override;  // cancels and joins a search still running

  void Start();    // shows the dialog (window-modal) and starts the search
  void Cancel();   // what the Cancel button and Escape do

 protected:
  void reject() override { Cancel(); }

 private:
  void ShowStep(const FindStep& step);
  void Finish(std::optional<FoundCamera> found);

  std::unique_ptr<CCameraFinder> m_pFinder;
  std::thread m_worker;
  Done m_done;
  QLabel* m_pText = nullptr;
  QProgressBar* m_pBar = nullptr;
  QPushButton* m_pCancel = nullptr;
};
