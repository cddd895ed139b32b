#pragma once
// `brevant-cli sniff`: another program talks to the camera through a pseudo-terminal of ours
// while every byte is passed on unchanged and the traffic is printed decoded as it goes.
//
// One thread runs one poll loop over the camera's port, the pseudo-terminal's master side and
// a stop event; nothing spins. The other program's line rate is read from the
// pseudo-terminal (packet mode tells when its settings change, and the rate is looked at
// again before any of its bytes go on) and given to the camera's port, after the bytes sent
// at the old rate have left.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/PcapngTrace.h"

namespace cli {

class CConsoleHost;
class ResultWriter;
struct CommandPlan;
struct GlobalOptions;

inline constexpr char kDefaultSniffLink[] = "/tmp/brevant-sniff";

struct SniffOptions {
  std::string device;  // the camera's port
  unsigned baud = 38400;
  std::string link = kDefaultSniffLink;  // symbolic link to the pseudo-terminal
  std::string pcapng;                    // the capture written as it goes; "" for none
};

class CSniffer {
 public:
  // The trace goes to `host` (its TraceBytes decodes and prints, as --decode does); notes
  // (ready, rate changes, totals) to `writer`.
  CSniffer(ResultWriter& writer, CConsoleHost& host);
  ~CSniffer();
  CSniffer(const CSniffer&) = delete;
  CSniffer& operator=(const CSniffer&) = delete;

  // Opens the port, the pseudo-terminal and the link. "" or the reason it could not.
  std::string Open(const SniffOptions& options);
  // Passes bytes until Stop (normal end: kExitOk) or the port fails (kExitLine).
  int Run();
  // Any thread: ends Run at once; safe before Run starts.
  void Stop();

  // Any thread: the rate the camera's port runs at now, and the bytes passed each way.
  unsigned LineSpeed() const { return m_lineSpeed.load(); }
  uint64_t BytesToCamera() const { return m_toCameraTotal.load(); }
  uint64_t BytesFromCamera() const { return m_fromCameraTotal.load(); }
  const std::string& PtyPath() const { return m_ptyPath; }

  // Every traced frame sent, also handed here (tests, and a capture file) on the loop's thread.
  void SetFrameTap(std::function<void(bool transmit, const uint8_t*, size_t)> tap) {
    m_tap = std::move(tap);
  }

 private:
  bool ReadProgram();
  bool ReadCamera();
  bool WriteCamera();
  bool WriteProgram();
  void CheckProgramSpeed();
  bool ApplyPendingSpeed();
  void TraceSent(bool flushAll);
  void Trace(bool transmit, const uint8_t* bytes, size_t count);
  void Close();

  ResultWriter& m_writer;
  CConsoleHost& m_host;
  SniffOptions m_options;
  int m_line = -1;
  int m_master = -1;
  int m_slave = -1;  // held so the master never reads as hung up between programs
  int m_stop = -1;
  std::string m_ptyPath;
  bool m_bLinkMade = false;
  std::function<void(bool, const uint8_t*, size_t)> m_tap;
  CPcapngTrace m_capture;  // framed as the trace decoder frames it, as every capture is

  std::vector<uint8_t> m_toCamera, m_toProgram;
  std::vector<uint8_t> m_sentUnframed;  // the program's bytes not yet traced as a frame
  // A rate the program chose that waits for the bytes before it (m_toCamera[0, m_speedAt))
  // to leave at the old rate; 0: none.
  unsigned m_pendingSpeed = 0;
  size_t m_speedAt = 0;
  unsigned m_programSpeed = 0;
  std::string m_failure;
  std::atomic<unsigned> m_lineSpeed{0};
  std::atomic<uint64_t> m_toCameraTotal{0}, m_fromCameraTotal{0};
};

// The `sniff` command: the sniffer runs until Ctrl+C; `running` (under `guard`) lets the
// runner's Interrupt stop it.
int RunSniffCommand(const GlobalOptions& global, const CommandPlan& plan, ResultWriter& writer,
                    const std::atomic<bool>& interrupted, std::mutex& guard, CSniffer*& running);

}  // namespace cli
