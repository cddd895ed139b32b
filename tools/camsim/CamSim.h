#pragma once
// CCamSim: a virtual camera module on the far end of a pseudo-terminal. It answers every
// request of the protocol catalogue like a camera would, paces what it sends at the line
// rate, produces a fresh picture per capture, sends unsolicited reports on demand and
// injects faults for the reliability tests. The camsim program and the tests share it.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct CamSimOptions {
  std::string model = "QVX5M0 2.00";  // version text answered to CMD_GET_VERSION
  uint8_t serial = 0;                 // camera serial-number byte
  unsigned baud = 0;                  // pacing: at most baud/10 bytes per second; 0 = unpaced
  std::string imagesDir;              // optional JPEG files served instead of the test pattern
  uint32_t seed = 1;
  unsigned processingDelayMs = 1;     // delay before each answer
  // USB adapter model: bytes reach the tool in 62-byte packets, and a partial packet waits
  // this many milliseconds (the adapter's latency timer); 0 = no adapter, bytes flow as sent.
  unsigned adapterLatencyMs = 0;
  std::string attachDevice;           // serve on this tty instead of a new pty pair
  // Like a real module, a paced camera (baud != 0) hears only requests sent at its own rate;
  // at another rate it reads noise and answers nothing. anyRate hears every rate.
  bool anyRate = false;
  bool verbose = false;
};

// One injected fault; applies to the next answer the camera sends (or, for the ones that
// say so, to the line itself).
struct CamSimFault {
  enum Kind {
    None,
    DropBytes,        // drop `count` bytes at `offset` of the next answer
    CorruptBytes,     // xor 0xFF into `count` bytes at `offset`
    CorruptStartMarker,  // frame-buffer answer: bad leading 76 SN 32 00 00
    CorruptEndMarker,    // frame-buffer answer: bad trailing marker
    AppendExtra,      // append `count` extra bytes
    StopShort,        // send all but the last `count` bytes
    Stall,            // pause `delayMs` after `offset` bytes
    Garbage,          // send `count` random bytes instead of the answer
    NeverAnswer,      // swallow the next request
    CloseLine,        // hang up the line (cable pulled) after `offset` bytes of the next
                      // answer (0: instead of it); further requests are not read
    MotionInstead,    // answer the next request with 76 SN 39 00 00 (motion while capturing)
    Mute,             // fall silent after `offset` bytes of the next answer (see SetMuted)
  };
  Kind kind = None;
  uint32_t offset = 0;
  uint32_t count = 0;
  unsigned delayMs = 0;
};

class CCamSim {
 public:
  explicit CCamSim(CamSimOptions options = {});
  ~CCamSim();
  CCamSim(const CCamSim&) = delete;
  CCamSim& operator=(const CCamSim&) = delete;

  bool Start();                  // opens the pty (or attaches) and starts serving
  void Stop();                   // stops serving and closes the line
  std::string SlavePath() const; // the device the tool opens

  // ---- What the camera received (exact request frames, in order) ----
  std::vector<std::vector<uint8_t>> ReceivedRequests() const;
  // The requests as hex strings "56 00 11 00", one per frame.
  std::vector<std::string> ReceivedHex() const;
  void ClearReceived();
  // Waits until at least `count` requests have arrived; false on timeout.
  bool WaitForRequests(size_t count, unsigned timeoutMs) const;
  // Waits until every queued byte has been sent to the line; false on timeout.
  bool WaitIdle(unsigned timeoutMs) const;
  // Requests received since the last ClearReceived (the kept log is capped; this is not).
  size_t ReceivedCount() const;
  // True once the line has been hung up (CloseLine fault or Stop).
  bool LineClosed() const;

  // ---- Camera state ----
  void SetModel(const std::string& versionText);
  void SetSerial(uint8_t serial);
  void SetBaud(unsigned baud);             // pacing rate; 0 = unpaced
  unsigned Baud() const;                   // the rate the camera is at now (after rate changes)
  // Requests heard at a rate other than the camera's since the start (noise, unanswered).
  size_t NoiseCount() const;
  void SetProcessingDelay(unsigned ms);
  int ImageSizeIndex() const;            // 1..14
  void SetImageSizeIndex(int k);
  int ImageType() const;                 // 0 JPEG, 1 NV12
  // The picture the next capture freezes: these exact bytes instead of a generated one
  // (used once; then the camera generates again).
  void SetNextPicture(const std::vector<uint8_t>& bytes);
  // The picture the last stop froze (what a frame-buffer read with selector 0 returns); it
  // stays after resume until the next stop or reset.
  std::vector<uint8_t> FrozenPicture() const;
  // Stored pictures in frame buffers 1..N (burst, detection and power-on pictures).
  void SetStoredPictures(const std::vector<std::vector<uint8_t>>& pictures);
  std::vector<uint8_t> StoredPicture(int index) const;
  // Feature state the camera keeps, for assertions and to preset answers.
  struct Crop { uint16_t x = 0, y = 0, width = 640, height = 480; uint8_t enable = 0; };
  void SetCrop(const Crop& crop);
  Crop GetCrop() const;
  void SetCropStatus(uint8_t status);    // force the status of the next crop write (0 = judge)
  void SetImageParamsStatus(uint8_t status);  // force the status of the next image-param set
  // Force the status byte of the next reply to this command byte (0x31, 0x88, ...). A forced
  // non-zero status means the camera did not carry the request out.
  void SetReplyStatus(int command, uint8_t status);
  int StoredPictureCount() const;
  int FrameCounter() const;              // pictures generated so far

  // ---- Unsolicited reports ----
  void SendPowerOnBanner();              // "Init end" with the version after "sion:"
  void SendMotionReport(uint8_t stored); // 76 SN 39 00 NN (stores NN pictures)
  void SendPersonVehicleReport(uint8_t kind, uint8_t stored, uint8_t count);  // 76 SN 39 03 ..
  void SendAutoCaptureReport(uint8_t count);  // 76 SN 92 02 01 NN (0xEE = failed)
  void SendMotionWhileCapturing();       // 76 SN 39 00 00
  void SendRaw(const std::vector<uint8_t>& bytes);

  // ---- Faults ----
  // Kind None forgets the faults not used yet.
  void InjectFault(const CamSimFault& fault);
  // Pulls the cable now, whatever is being sent.
  void HangUp();
  // A camera that browns out or hangs: while muted it neither reads requests nor writes
  // (an answer under way stops where it is). Unmuting carries on from there, answering the
  // requests that waited in the line meanwhile, as a stopped process would when continued.
  void SetMuted(bool muted);
  bool Muted() const;
  // Bytes the tool wrote that the camera has not read yet (requests waiting while muted).
  size_t UnreadBytes() const;

  // ---- Replay ----
  // From now on every request is answered from the recording at `path` (a pcapng capture or
  // a saved text trace) instead of by the camera: the reply recorded for the same request,
  // the n-th arrival getting the n-th recorded reply, each part of it sent as long after
  // the request as it came in the recording (`recordedTiming`) or at once. A request the
  // recording has no reply left for is told on stderr and gets nothing. False with `error`
  // set when the file cannot be used.
  bool LoadReplay(const std::string& path, bool recordedTiming, std::string& error);
  // Requests that found no recorded reply.
  size_t ReplayMisses() const;

  // Line-oriented control commands (the --control socket speaks the same language).
  // Returns the reply line ("ok ..." or "error ...").
  std::string Control(const std::string& line);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_pImpl;
};
