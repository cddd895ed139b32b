#include "core/CaptureControls.h"

#include "protocol/StatusMessages.h"

namespace {
std::string Count(int message, int shown, int of) {
  return StatusText(message) + std::to_string(shown) + "/" + std::to_string(of);
}
}  // namespace

CaptureControlFollower::Moves CaptureControlFollower::Follow(const SessionView& view) {
  Moves moves;
  if (view.detectedRead.changes != m_detectedRead) {
    m_detectedRead = view.detectedRead.changes;
    const PictureCountButton& b = view.detectedRead;
    moves.detectedRead = Button{
        b.enabled, b.shown < 0 ? std::string()
                               : Count(MSG_READ, b.shown, b.of)};
  }
  if (view.burstRead.changes != m_burstRead) {
    m_burstRead = view.burstRead.changes;
    const PictureCountButton& b = view.burstRead;
    // Once the last picture is in, the button names the read it starts again.
    moves.burstRead = Button{b.enabled, b.enabled ? Count(MSG_NEXT, b.shown, b.of)
                                                  : std::string(StatusText(MSG_READ_MULTI))};
  }
  if (view.burstTestChanges != m_burstTest) {
    m_burstTest = view.burstTestChanges;
    moves.burstTest = view.burstTestEnabled;
  }
  if (view.stopDraining != m_stopping) {
    m_stopping = view.stopDraining;
    moves.stopNotice = m_stopping;
  }
  return moves;
}
