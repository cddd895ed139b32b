// What a capture file, a saved trace or a port server hands us: the pcapng reader and the
// replay's trace reader must refuse or read any file within their bounds, and the telnet decoder must give the same data and answers
// whichever way the stream is split into reads, with 0xFF escaping undone exactly.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "camsim/CamSimReplay.h"
#include "common/Pcapng.h"
#include "serial/Telnet.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// The reader takes a path: each input goes through one scratch file, removed at exit.
struct Scratch {
  std::string path = "/tmp/fuzz_netcapture." + std::to_string(getpid()) + ".pcapng";
  ~Scratch() { std::remove(path.c_str()); }
};

const std::string& ScratchFile() {
  static const Scratch scratch;
  return scratch.path;
}

void Capture(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(ScratchFile().c_str(), "wb");
  if (!f) return;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  std::vector<pcapng::Frame> frames;
  std::string error;
  bool truncated = false;
  const bool read = pcapng::ReadFile(ScratchFile(), frames, error, &truncated);
  size_t bytes = 0;
  for (const pcapng::Frame& frame : frames) bytes += frame.bytes.size();
  Check(bytes <= size);  // nothing is made up
  Check(read || !error.empty());
}

void Telnet(const uint8_t* data, size_t size) {
  if (size == 0) return;
  const size_t split = data[0] % size;
  std::vector<uint8_t> whole, wholeAnswers, pieces, pieceAnswers;
  telnet::CDecoder a, b;
  a.Feed(data + 1, size - 1, whole, wholeAnswers);
  b.Feed(data + 1, split > 0 ? split - 1 : 0, pieces, pieceAnswers);
  const size_t done = split > 0 ? split - 1 : 0;
  b.Feed(data + 1 + done, size - 1 - done, pieces, pieceAnswers);
  Check(whole == pieces);
  Check(wholeAnswers == pieceAnswers);
  Check(whole.size() < size);
  // What we escape comes back as it was.
  std::vector<uint8_t> escaped, back, answers;
  telnet::Escape(data, size, escaped);
  telnet::CDecoder c;
  c.Feed(escaped.data(), escaped.size(), back, answers);
  Check(back == std::vector<uint8_t>(data, data + size));
}

}  // namespace

void Trace(const uint8_t* data, size_t size) {
  camsim::CReplayScript script;
  std::string error;
  if (!script.LoadText(std::string(reinterpret_cast<const char*>(data), size), error)) {
    Check(!error.empty());
    return;
  }
  size_t bytes = 0;
  for (const camsim::ReplayExchange& exchange : script.Exchanges()) {
    bytes += exchange.request.size();
    for (const camsim::ReplayChunk& chunk : exchange.reply) bytes += chunk.bytes ? chunk.bytes->size() : 0;
  }
  Check(bytes <= size);  // hex text is longer than its bytes: nothing is made up
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Capture(data, size);
  Trace(data, size);
  Telnet(data, size);
  return 0;
}
