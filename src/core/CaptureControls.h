#pragma once
// The captions and states of the controls a capture moves (the detection "Read" button, the
// burst window's "Read capture" and "Multiple capture test"), derived from the engine's
// snapshots. The engine keeps the facts; the window words them.
#include <optional>
#include <string>

#include "protocol/SessionView.h"

class CaptureControlFollower {
 public:
  struct Button {
    bool enabled = false;
    std::string caption;  // empty: the caption stays as it is
  };
  // What moved since the previous snapshot; nothing for what did not.
  struct Moves {
    std::optional<Button> detectedRead;
    std::optional<Button> burstRead;
    std::optional<bool> burstTest;
    std::optional<bool> stopNotice;
  };
  // Snapshots are fed in the order the engine took them, on one thread.
  Moves Follow(const SessionView& view);

 private:
  unsigned m_detectedRead = 0;
  unsigned m_burstRead = 0;
  unsigned m_burstTest = 0;
  bool m_stopping = false;
};
