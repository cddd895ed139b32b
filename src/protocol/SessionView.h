#pragma once
// SessionView: what the window and the front ends read of the session, as one consistent
// snapshot. The engine hands one to the host with every state change, taken when the change
// happened, so a front end that shows it later still shows each step in order.
#include <cstdint>
#include <string>

#include "protocol/CommandCodes.h"
#include "protocol/FeatureRecords.h"

// A button whose caption counts pictures ("3/5"), as the engine last moved it. `changes`
// counts the moves, so a front end applies each move once and otherwise leaves the button
// to its own rules (a closed port disables it whatever the engine last said).
struct PictureCountButton {
  unsigned changes = 0;
  bool enabled = false;
  int shown = -1;  // the picture the caption names; -1: no count shown yet
  int of = 0;      // out of
};

struct SessionView {
  int captureMode = CAPTURE_IDLE;
  bool continuous = false;
  int readIndex = 0;          // detected picture to read next
  int storedCount = 0;        // detected pictures waiting to be read
  uint32_t fileLength = 0;    // of the picture being read, 0 when none
  uint32_t bytesWritten = 0;
  uint32_t bytesReceived = 0;  // picture bytes arrived so far, whole or block read
  uint32_t imageLength = 0;   // of the last length reply
  std::string lastImageFile;  // the temporary file of the last complete picture
  bool lastImageYuv = false;  // ... and whether it holds an NV12 frame
  int frameWidth = 0;         // NV12 size from the long length reply
  int frameHeight = 0;
  std::string versionText;    // mirrors the "Version:" field
  ModelInfo model;
  bool detectionActive = false;
  uint8_t detectType = 0;     // wording of detection on/off results
  // Set by a detection report; cleared by a reset reply, CMD_MOTION_ON and after the
  // last detected picture has been read.
  bool readingDetected = false;
  int multiReadIndex = 0;     // burst picture last requested
  int autoReadIndex = 0;      // power-on picture last requested
  // Stop Capture is waiting for the line to go quiet: the stop notice shows meanwhile.
  bool stopDraining = false;
  // A finished picture is being decoded: the camera owes nothing meanwhile.
  bool decodingPicture = false;
  // Reading the pictures a detection report announced: the detection "Read" button.
  PictureCountButton detectedRead;
  // Reading a burst: the burst window's "Read capture" button (disabled once the last
  // picture is in) and whether its "Multiple capture test" may start another burst.
  PictureCountButton burstRead;
  unsigned burstTestChanges = 0;
  bool burstTestEnabled = false;
};
