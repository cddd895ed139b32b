#include "camsim/CamSimControl.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "camsim/CamSimCamera.h"
#include "camsim/CamSimPicture.h"
#include "camsim/CamSimWire.h"

namespace camsim {

const char* const kControlHelp =
    "Control commands (one per line; the reply is one line, \"ok ...\" or \"error ...\"):\n"
    "  report banner                  power-on banner (\"Init end\", version after \"sion:\")\n"
    "  report motion N                motion report 76 SN 39 00 N; stores N pictures\n"
    "  report person FLAG COUNT       76 SN 39 03 01 FLAG COUNT; FLAG 1 stores COUNT pictures,\n"
    "  report vehicle FLAG COUNT        otherwise COUNT is the live count (vehicle: kind 02)\n"
    "  report auto N|fail             auto-capture report 76 SN 92 02 01 N (fail = 0xEE)\n"
    "  report motioncapture           76 SN 39 00 00 (motion while taking a picture)\n"
    "  send HEX...                    raw bytes, e.g. send 76 00 39 00 02\n"
    "  fault drop OFFSET COUNT        next answer loses COUNT bytes at OFFSET\n"
    "  fault corrupt OFFSET COUNT     next answer has COUNT bytes inverted at OFFSET\n"
    "  fault startmarker | endmarker  next frame-buffer answer has a bad start / end marker\n"
    "  fault extra COUNT              next answer gets COUNT extra bytes\n"
    "  fault stopshort COUNT          next answer stops COUNT bytes short\n"
    "  fault stall OFFSET MS          next answer pauses MS ms after OFFSET bytes\n"
    "  fault garbage COUNT            next answer is replaced by COUNT random bytes\n"
    "  fault silent                   the next request gets no answer at all\n"
    "  fault motion                   the next request is answered 76 SN 39 00 00\n"
    "  fault close [OFFSET]           hang up the line after OFFSET (default 0) bytes of the next answer\n"
    "  hangup                         hang up the line now (cable pulled)\n"
    "  fault mute OFFSET              fall silent after OFFSET bytes of the next frame-buffer answer\n"
    "  mute | unmute                  fall silent now (no reading, no writing) / carry on\n"
    "  fault none                     forget faults not yet used\n"
    "  received                       requests received, hex, separated by \"; \"\n"
    "  count                          number of requests received\n"
    "  clear                          forget the received requests\n"
    "  model TEXT                     version text, e.g. model QVX2M2E 1.01\n"
    "  serial N | size K | baud N | delay MS\n"
    "                                 serial byte, image size 1..14, line rate (0 = unpaced),\n"
    "                                 processing delay before each answer\n"
    "  next FILE                      the next picture taken is this file, byte for byte\n"
    "  cropstatus N | imagestatus N   status of the next crop / image-parameter write (0 = judge)\n"
    "  status CMD N                   status byte of the next reply to command byte CMD\n"
    "  state                          model, serial, size, image type, stored pictures\n"
    "  help                           this text\n"
    "Numbers are decimal or 0x-prefixed hexadecimal.\n";

const char* FaultName(CamSimFault::Kind kind) {
  switch (kind) {
    case CamSimFault::None: return "none";
    case CamSimFault::DropBytes: return "drop";
    case CamSimFault::CorruptBytes: return "corrupt";
    case CamSimFault::CorruptStartMarker: return "startmarker";
    case CamSimFault::CorruptEndMarker: return "endmarker";
    case CamSimFault::AppendExtra: return "extra";
    case CamSimFault::StopShort: return "stopshort";
    case CamSimFault::Stall: return "stall";
    case CamSimFault::Garbage: return "garbage";
    case CamSimFault::NeverAnswer: return "silent";
    case CamSimFault::CloseLine: return "close";
    case CamSimFault::MotionInstead: return "motion";
    case CamSimFault::Mute: return "mute";
  }
  return "?";
}

namespace {

bool ParseNumber(const std::string& text, unsigned long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text.c_str(), &end, 0);
  return errno == 0 && end && *end == '\0' && text[0] != '-';
}

// Reads numbers from the words after `first`; false when one is missing, malformed or too big.
bool Numbers(const std::vector<std::string>& words, size_t first, size_t count, unsigned long max,
             std::vector<unsigned long>& out) {
  if (words.size() != first + count) return false;
  out.clear();
  for (size_t i = first; i < first + count; ++i) {
    unsigned long v;
    if (!ParseNumber(words[i], v) || v > max) return false;
    out.push_back(v);
  }
  return true;
}

std::string Rest(const std::string& line, const std::string& keyword) {
  size_t at = line.find(keyword);
  size_t from = line.find_first_not_of(" \t", at + keyword.size());
  if (from == std::string::npos) return {};
  size_t to = line.find_last_not_of(" \t\r\n");
  return line.substr(from, to - from + 1);
}

const std::string kBadArguments = "error bad arguments";

std::string Report(CCamSim& sim, const std::vector<std::string>& w) {
  std::vector<unsigned long> n;
  const std::string what = w.size() > 1 ? w[1] : "";
  if (what == "banner" && w.size() == 2) {
    sim.SendPowerOnBanner();
  } else if (what == "motion" && Numbers(w, 2, 1, 255, n)) {
    sim.SendMotionReport(static_cast<uint8_t>(n[0]));
  } else if ((what == "person" || what == "vehicle") && Numbers(w, 2, 2, 255, n)) {
    sim.SendPersonVehicleReport(what == "person" ? 1 : 2, static_cast<uint8_t>(n[0]), static_cast<uint8_t>(n[1]));
  } else if (what == "auto" && w.size() == 3 && w[2] == "fail") {
    sim.SendAutoCaptureReport(0xEE);
  } else if (what == "auto" && Numbers(w, 2, 1, 255, n)) {
    sim.SendAutoCaptureReport(static_cast<uint8_t>(n[0]));
  } else if (what == "motioncapture" && w.size() == 2) {
    sim.SendMotionWhileCapturing();
  } else {
    return kBadArguments;
  }
  return "ok";
}

std::string Fault(CCamSim& sim, const std::vector<std::string>& w) {
  std::vector<unsigned long> n;
  const std::string what = w.size() > 1 ? w[1] : "";
  const unsigned long kMax = 0xFFFFFFFFul;
  CamSimFault f;
  if ((what == "drop" || what == "corrupt") && Numbers(w, 2, 2, kMax, n)) {
    f.kind = what == "drop" ? CamSimFault::DropBytes : CamSimFault::CorruptBytes;
    f.offset = static_cast<uint32_t>(n[0]);
    f.count = static_cast<uint32_t>(n[1]);
  } else if ((what == "startmarker" || what == "endmarker") && w.size() == 2) {
    f.kind = what == "startmarker" ? CamSimFault::CorruptStartMarker : CamSimFault::CorruptEndMarker;
  } else if ((what == "extra" || what == "stopshort" || what == "garbage") && Numbers(w, 2, 1, kMax, n)) {
    f.kind = what == "extra" ? CamSimFault::AppendExtra
             : what == "stopshort" ? CamSimFault::StopShort : CamSimFault::Garbage;
    f.count = static_cast<uint32_t>(n[0]);
  } else if (what == "stall" && Numbers(w, 2, 2, kMax, n)) {
    f.kind = CamSimFault::Stall;
    f.offset = static_cast<uint32_t>(n[0]);
    f.delayMs = static_cast<unsigned>(n[1]);
  } else if (what == "silent" && w.size() == 2) {
    f.kind = CamSimFault::NeverAnswer;
  } else if (what == "motion" && w.size() == 2) {
    f.kind = CamSimFault::MotionInstead;
  } else if (what == "close" && (w.size() == 2 || Numbers(w, 2, 1, kMax, n))) {
    f.kind = CamSimFault::CloseLine;
    f.offset = w.size() == 2 ? 0 : static_cast<uint32_t>(n[0]);
  } else if (what == "mute" && Numbers(w, 2, 1, kMax, n)) {
    f.kind = CamSimFault::Mute;
    f.offset = static_cast<uint32_t>(n[0]);
  } else if (what == "none" && w.size() == 2) {
    f.kind = CamSimFault::None;
  } else {
    return kBadArguments;
  }
  sim.InjectFault(f);
  return "ok";
}

std::string SendBytes(CCamSim& sim, const std::vector<std::string>& w) {
  Bytes bytes;
  for (size_t i = 1; i < w.size(); ++i) {
    char* end = nullptr;
    unsigned long v = std::strtoul(w[i].c_str(), &end, 16);
    if (!end || *end || v > 0xFF) return kBadArguments;
    bytes.push_back(static_cast<uint8_t>(v));
  }
  if (bytes.empty()) return kBadArguments;
  sim.SendRaw(bytes);
  return "ok";
}

std::string Received(CCamSim& sim) {
  std::string out = "ok";
  bool first = true;
  for (const std::string& hex : sim.ReceivedHex()) {
    out += first ? " " : "; ";
    out += hex;
    first = false;
  }
  return out;
}

std::string NextPicture(CCamSim& sim, const std::string& line) {
  std::string path = Rest(line, "next");
  Bytes bytes;
  if (path.empty()) return kBadArguments;
  if (!ReadWholeFile(path, bytes)) return "error cannot read " + path;
  sim.SetNextPicture(bytes);
  return "ok " + std::to_string(bytes.size()) + " bytes";
}

std::string State(CCamSim& sim) {
  const ImageSize& size = ImageSizeAt(sim.ImageSizeIndex());
  CCamSim::Crop crop = sim.GetCrop();
  std::ostringstream out;
  out << "ok size=" << sim.ImageSizeIndex() << " (" << size.width << "x" << size.height << ")"
      << " type=" << sim.ImageType() << " crop=" << int(crop.enable) << "," << crop.x << "," << crop.y
      << "," << crop.width << "," << crop.height << " stored=" << sim.StoredPictureCount()
      << " pictures=" << sim.FrameCounter() << " received=" << sim.ReceivedCount()
      << " line=" << (sim.LineClosed() ? "closed" : "open") << (sim.Muted() ? " muted" : "");
  return out.str();
}

// Commands that set one number of the camera's state. False when w is none of them (or its
// numbers are out of range), so the caller reports an unknown command.
bool SetNumber(CCamSim& sim, const std::vector<std::string>& w) {
  std::vector<unsigned long> n;
  const std::string& command = w[0];
  if (command == "serial" && Numbers(w, 1, 1, 255, n)) {
    sim.SetSerial(static_cast<uint8_t>(n[0]));
  } else if (command == "size" && Numbers(w, 1, 1, kImageSizeCount, n) && n[0] >= 1) {
    sim.SetImageSizeIndex(static_cast<int>(n[0]));
  } else if (command == "baud" && Numbers(w, 1, 1, 100'000'000, n)) {
    sim.SetBaud(static_cast<unsigned>(n[0]));
  } else if (command == "delay" && Numbers(w, 1, 1, 600'000, n)) {
    sim.SetProcessingDelay(static_cast<unsigned>(n[0]));
  } else if (command == "cropstatus" && Numbers(w, 1, 1, 255, n)) {
    sim.SetCropStatus(static_cast<uint8_t>(n[0]));
  } else if (command == "imagestatus" && Numbers(w, 1, 1, 255, n)) {
    sim.SetImageParamsStatus(static_cast<uint8_t>(n[0]));
  } else if (command == "status" && Numbers(w, 1, 2, 255, n)) {
    sim.SetReplyStatus(static_cast<int>(n[0]), static_cast<uint8_t>(n[1]));
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::string RunControlCommand(CCamSim& sim, const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string word; in >> word;) w.push_back(word);
  if (w.empty()) return "error empty command";
  const std::string& command = w[0];
  const bool alone = w.size() == 1;

  if (command == "report") return Report(sim, w);
  if (command == "fault") return Fault(sim, w);
  if (command == "send") return SendBytes(sim, w);
  if (command == "received" && alone) return Received(sim);
  if (command == "hangup" && alone) {
    sim.HangUp();
    return "ok";
  }
  if ((command == "mute" || command == "unmute") && alone) {
    sim.SetMuted(command == "mute");
    return "ok";
  }
  if (command == "count" && alone) return "ok " + std::to_string(sim.ReceivedCount());
  if (command == "clear" && alone) {
    sim.ClearReceived();
    return "ok";
  }
  if (command == "model") {
    std::string text = Rest(line, "model");
    if (text.empty()) return kBadArguments;
    sim.SetModel(text);
    return "ok";
  }
  if (SetNumber(sim, w)) return "ok";
  if (command == "next") return NextPicture(sim, line);
  if (command == "state" && alone) return State(sim);
  if (command == "help") {
    return "ok report, send, fault, hangup, mute, unmute, received, count, clear, model, serial, size, baud, delay, next, "
           "cropstatus, imagestatus, status, state, help (camsim --help explains each)";
  }
  return "error unknown command: " + command;
}

}  // namespace camsim
