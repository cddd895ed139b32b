#pragma once
// CCameraFinder: finds where a camera answers when nobody remembers its rate. It opens each
// candidate port at each rate in turn, asks for the version as "Open" does, and stops at
// the first valid answer. Window-free: brevant-cli's `find` and `--baud auto` and the
// window's "Find Camera…" share it. Run blocks; call it from a worker thread in a window.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/FeatureRecords.h"

struct FindCandidate {
  int port = 0;        // COM number, 0 for a device named only by its path
  std::string device;  // what is opened
};

// One try, announced before it starts.
struct FindStep {
  size_t index = 0;  // 0-based
  size_t total = 0;
  FindCandidate where;
  unsigned baud = 0;
};

struct FoundCamera {
  FindCandidate where;
  unsigned baud = 0;
  std::string versionText;
  ModelInfo model;
};

// The rates of the rate list, most likely first: 38400 (the camera's factory rate), 115200
// (the usual choice after a DefaultRate change), then the others in list order.
std::vector<unsigned> SearchRates(const std::vector<unsigned>& listed);
// The window's rate list in search order.
std::vector<unsigned> DefaultSearchRates();
// The ports a search tries, from the process-wide port map: the ones named ("COMn",
// "COMn=DEVICE" or a device path; an unmapped COM number stays, its open fails and says
// why), or when none is named every port with a device, COM1 first. The COM number
// `preferred` (the operator's choice) goes first.
std::vector<FindCandidate> SearchCandidates(const std::vector<std::string>& named = {},
                                            int preferred = 0);

class CCameraFinder {
 public:
  static constexpr std::chrono::milliseconds kDefaultTryTimeout{500};

  CCameraFinder(std::vector<FindCandidate> ports, std::vector<unsigned> rates);

  // Longest wait for the version answer at one port and rate.
  void SetTryTimeout(std::chrono::milliseconds timeout) { m_tryTimeout = timeout; }
  void SetSerialNumber(uint8_t serial) { m_serial = serial; }

  // Tries every port at every rate until one answers; progress is called (on this thread)
  // before each try. Empty when nothing answered or the search was cancelled.
  std::optional<FoundCamera> Run(const std::function<void(const FindStep&)>& progress = {});
  // From any thread: ends Run at once (the try under way is closed).
  void Cancel();
  bool Cancelled() const;
  // Ports that could not be opened at all, with the reason ("COM3: Permission denied ...").
  std::vector<std::string> OpenFailures() const;

  struct TryState;  // shared with the engine's host for one try

 private:
  enum class TryOutcome { Answered, Silent, CannotOpen, Cancelled };
  TryOutcome Try(const FindCandidate& where, unsigned baud, FoundCamera& found);

  std::vector<FindCandidate> m_ports;
  std::vector<unsigned> m_rates;
  std::chrono::milliseconds m_tryTimeout = kDefaultTryTimeout;
  uint8_t m_serial = 0;
  mutable std::mutex m_mutex;  // guards the fields below
  std::condition_variable m_wake;
  bool m_cancelled = false;
  std::vector<std::string> m_openFailures;
  TryState* m_pCurrent = nullptr;
};
