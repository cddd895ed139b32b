#include "serial/Telnet.h"

namespace telnet {

namespace {

bool Supported(bool we, uint8_t option) {
  if (option == kBinary || option == kSuppressGoAhead) return true;
  return we && option == kComPort;  // we are the COM-PORT client, never its server
}

void Verb(std::vector<uint8_t>& out, uint8_t verb, uint8_t option) {
  out.insert(out.end(), {kIac, verb, option});
}

std::vector<uint8_t> BigEndian32(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

}  // namespace

uint8_t ParityCode(char parity) {
  switch (parity) {
    case 'O': case 'o': return 2;
    case 'E': case 'e': return 3;
    case 'M': case 'm': return 4;
    case 'S': case 's': return 5;
    default: return 1;
  }
}

uint8_t StopSizeCode(unsigned stopBits) { return stopBits == 2 ? 2 : 1; }

std::vector<uint8_t> Greeting() {
  std::vector<uint8_t> out;
  Verb(out, kWill, kBinary);
  Verb(out, kDo, kBinary);
  Verb(out, kWill, kSuppressGoAhead);
  Verb(out, kDo, kSuppressGoAhead);
  Verb(out, kWill, kComPort);
  return out;
}

void Escape(const uint8_t* data, size_t length, std::vector<uint8_t>& out) {
  out.reserve(out.size() + length);
  for (size_t i = 0; i < length; ++i) {
    out.push_back(data[i]);
    if (data[i] == kIac) out.push_back(kIac);
  }
}

std::vector<uint8_t> ComPortCommandBytes(uint8_t command, const std::vector<uint8_t>& value) {
  std::vector<uint8_t> out{kIac, kSb, kComPort, command};
  Escape(value.data(), value.size(), out);
  out.insert(out.end(), {kIac, kSe});
  return out;
}

std::vector<uint8_t> LineSettings(unsigned baud, char parity, unsigned dataBits, unsigned stopBits) {
  std::vector<uint8_t> out;
  auto add = [&out](uint8_t command, std::vector<uint8_t> value) {
    const std::vector<uint8_t> bytes = ComPortCommandBytes(command, value);
    out.insert(out.end(), bytes.begin(), bytes.end());
  };
  add(kSetBaudRate, BigEndian32(baud));
  add(kSetDataSize, {static_cast<uint8_t>(dataBits)});
  add(kSetParity, {ParityCode(parity)});
  add(kSetStopSize, {StopSizeCode(stopBits)});
  add(kSetControl, {1});   // no flow control
  add(kSetControl, {12});  // RTS off
  add(kSetLineStateMask, {0});
  add(kSetModemStateMask, {0});
  add(kPurgeData, {3});    // both buffers
  return out;
}

std::vector<uint8_t> PurgeOutput() { return ComPortCommandBytes(kPurgeData, {2}); }

void CDecoder::AskedFor(bool we, uint8_t option) { (we ? m_weAsked : m_theyAsked)[option] = true; }

// RFC 1143 in short: an option is answered only when its state changes, so two sides
// never loop; what we asked for is taken as agreed when the server accepts it.
void CDecoder::OnOption(uint8_t verb, uint8_t option, std::vector<uint8_t>& answers) {
  const bool we = verb == kDo || verb == kDont;
  const bool on = verb == kDo || verb == kWill;
  std::array<bool, 256>& enabled = we ? m_weWill : m_theyWill;
  std::array<bool, 256>& asked = we ? m_weAsked : m_theyAsked;
  const bool wasAsked = asked[option];
  asked[option] = false;
  if (on) {
    if (enabled[option]) return;
    if (Supported(we, option)) {
      enabled[option] = true;
      if (!wasAsked) Verb(answers, we ? kWill : kDo, option);
    } else if (!wasAsked) {
      Verb(answers, we ? kWont : kDont, option);
    }
    return;
  }
  if (we && option == kComPort) m_refused = true;
  if (!enabled[option] && !wasAsked) return;
  const bool answer = enabled[option];
  enabled[option] = false;
  if (answer) Verb(answers, we ? kWont : kDont, option);
}

void CDecoder::OnSubnegotiation() {
  if (m_sub.size() < 2 || m_sub[0] != kComPort) return;
  const uint8_t command = m_sub[1];
  const size_t valueLength = m_sub.size() - 2;
  const uint8_t* value = m_sub.data() + 2;
  if (command < kServerOffset || valueLength == 0) return;
  switch (command - kServerOffset) {
    case kSetBaudRate:
      if (valueLength >= 4)
        m_server.baud = static_cast<uint32_t>(value[0]) << 24 | static_cast<uint32_t>(value[1]) << 16 |
                        static_cast<uint32_t>(value[2]) << 8 | value[3];
      break;
    case kSetDataSize: m_server.dataSize = value[0]; break;
    case kSetParity: m_server.parity = value[0]; break;
    case kSetStopSize: m_server.stopSize = value[0]; break;
    case kNotifyLineState: m_lineState = value[0]; break;
    case kNotifyModemState: m_modemState = value[0]; break;
    default: break;
  }
}

void CDecoder::Feed(const uint8_t* in, size_t length, std::vector<uint8_t>& data,
                    std::vector<uint8_t>& answers) {
  for (size_t i = 0; i < length; ++i) {
    const uint8_t b = in[i];
    switch (m_state) {
      case State::Data:
        if (b == kIac)
          m_state = State::Iac;
        else
          data.push_back(b);
        break;
      case State::Iac:
        if (b == kIac) {
          data.push_back(kIac);
          m_state = State::Data;
        } else if (b >= kWill && b <= kDont) {
          m_verb = b;
          m_state = State::Option;
        } else if (b == kSb) {
          m_sub.clear();
          m_state = State::Sub;
        } else {
          m_state = State::Data;  // NOP, GA, data mark, break...: nothing for a byte stream
        }
        break;
      case State::Option:
        OnOption(m_verb, b, answers);
        m_state = State::Data;
        break;
      case State::Sub:
        if (b == kIac)
          m_state = State::SubIac;
        else if (m_sub.size() < kMaxSub)
          m_sub.push_back(b);
        break;
      case State::SubIac:
        if (b == kSe) {
          OnSubnegotiation();
          m_state = State::Data;
        } else {
          if (b == kIac && m_sub.size() < kMaxSub) m_sub.push_back(b);
          m_state = State::Sub;
        }
        break;
    }
  }
}

}  // namespace telnet
