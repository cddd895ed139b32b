#pragma once
// The telnet layer of a network serial port: the options a port server speaks (binary in
// both directions, suppress-go-ahead, the COM-PORT option carrying line settings), 0xFF
// doubled in data both ways, and the COM-PORT option's server answers kept for the open.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace telnet {

constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251;
constexpr uint8_t kSb = 250, kSe = 240;
constexpr uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server answers with +100.
enum ComPortCommand : uint8_t {
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kNotifyLineState = 6,
  kNotifyModemState = 7,
  kSetLineStateMask = 10,
  kSetModemStateMask = 11,
  kPurgeData = 12,
};
constexpr uint8_t kServerOffset = 100;

// The options asked for at connect: binary both ways (0xFF and CR pass untranslated),
// no go-aheads, and the COM-PORT option.
std::vector<uint8_t> Greeting();
// IAC SB COM-PORT-OPTION command value... IAC SE, with 0xFF in the value doubled.
std::vector<uint8_t> ComPortCommandBytes(uint8_t command, const std::vector<uint8_t>& value);
// The line settings as the server is asked for them: rate, data bits, parity
// ('N','O','E','M','S'), stop bits, no flow control, RTS low (as a local port is opened),
// no line or modem state reports unasked, then both directions purged.
std::vector<uint8_t> LineSettings(unsigned baud, char parity, unsigned dataBits, unsigned stopBits);
// The server drops what it has not yet written to the serial line (a local port's
// output flush: a write that timed out, a close).
std::vector<uint8_t> PurgeOutput();
// data with every 0xFF doubled, appended to out.
void Escape(const uint8_t* data, size_t length, std::vector<uint8_t>& out);

// What the server said to the settings (the values it reports it uses).
struct ServerSettings {
  std::optional<uint32_t> baud;
  std::optional<uint8_t> dataSize, parity, stopSize;
};

// The receiving side: splits a byte stream into data and telnet commands, across any
// chunk boundary, and answers the server's option requests.
class CDecoder {
 public:
  // Appends the data bytes of in to data and whatever the server must be told to answers.
  void Feed(const uint8_t* in, size_t length, std::vector<uint8_t>& data,
            std::vector<uint8_t>& answers);
  bool ComPortAccepted() const { return m_weWill[kComPort]; }
  bool ComPortRefused() const { return m_refused; }
  const ServerSettings& Server() const { return m_server; }
  // The last line and modem state the server reported (RFC 2217 bit layout).
  std::optional<uint8_t> LineState() const { return m_lineState; }
  std::optional<uint8_t> ModemState() const { return m_modemState; }
  // Say that these options were already asked for (by Greeting), so their acceptance is
  // not answered a second time.
  void AskedFor(bool we, uint8_t option);

 private:
  void OnOption(uint8_t verb, uint8_t option, std::vector<uint8_t>& answers);
  void OnSubnegotiation();

  enum class State { Data, Iac, Option, Sub, SubIac };
  State m_state = State::Data;
  uint8_t m_verb = 0;
  // A subnegotiation longer than any COM-PORT answer is cut: input is bounded before use.
  static constexpr size_t kMaxSub = 64;
  std::vector<uint8_t> m_sub;
  std::array<bool, 256> m_weWill{}, m_theyWill{}, m_weAsked{}, m_theyAsked{};
  bool m_refused = false;
  ServerSettings m_server;
  std::optional<uint8_t> m_lineState, m_modemState;
};

// The RFC 2217 parity and stop-size codes.
uint8_t ParityCode(char parity);
uint8_t StopSizeCode(unsigned stopBits);

}  // namespace telnet
