// Network ports: the names an operator types, the telnet stream's framing (0xFF in picture
// data, answers split across reads), and an open that a Ctrl+C must be able to end.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "serial/NetworkPort.h"
#include "serial/PortMap.h"
#include "serial/SerialChannel.h"
#include "serial/Telnet.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const Bytes& bytes) {
  std::string text;
  char byte[4];
  for (uint8_t b : bytes) {
    std::snprintf(byte, sizeof byte, text.empty() ? "%02X" : " %02X", b);
    text += byte;
  }
  return text;
}

TEST(NetworkPort, NamesAreCheckedWhereTheyAreParsed) {
  struct Case {
    const char* text;
    bool network, ok;
    const char* host;
    const char* service;
  };
  const Case cases[] = {
      {"rfc2217://rack-pi:4001", true, true, "rack-pi", "4001"},
      {"socket://10.0.0.7:2000", true, true, "10.0.0.7", "2000"},
      {"rfc2217://[::1]:4001", true, true, "::1", "4001"},
      {"rfc2217://rack-pi", true, false, "", ""},
      {"rfc2217://:4001", true, false, "", ""},
      {"rfc2217://rack-pi:0", true, false, "", ""},
      {"rfc2217://rack-pi:65536", true, false, "", ""},
      {"socket://rack-pi:40x1", true, false, "", ""},
      {"socket://rack-pi:4001/dev/ttyUSB0", true, false, "", ""},
      {"rfc2217://::1:4001", true, false, "", ""},
      {"/dev/ttyUSB0", false, false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const NetworkAddress address = ParseNetworkAddress(c.text);
    EXPECT_EQ(address.kind != NetworkAddress::Kind::None, c.network);
    EXPECT_EQ(address.ok, c.ok);
    if (c.ok) {
      EXPECT_EQ(address.host, c.host);
      EXPECT_EQ(address.service, c.service);
    }
    // A bad address is a usage error, like a bad COMn=DEVICE; a device path is not judged.
    EXPECT_EQ(ParsePortName(c.text).ok, !c.network || c.ok);
  }
  const PortName mapped = ParsePortName("COM4=socket://rack-pi:2000");
  EXPECT_TRUE(mapped.ok);
  EXPECT_EQ(mapped.number, 4);
  EXPECT_FALSE(ParsePortName("COM4=socket://rack-pi").ok);
}

TEST(NetworkPort, ThePortMapListsANetworkPortAsItIs) {
  CPortMap map("/nonexistent-dev", "/nonexistent-sys");
  map.AddOverride(3, "rfc2217://rack-pi:4001");
  EXPECT_EQ(map.DeviceFor(3), "rfc2217://rack-pi:4001");
  EXPECT_EQ(map.NumberOf("rfc2217://rack-pi:4001"), 3);
  EXPECT_EQ(map.Entries()[2].description, "network port (RFC 2217)");
  // The window's "Network port…": the same address keeps its number, a new one takes the
  // lowest free number, and none is left once all fifteen have a device.
  EXPECT_EQ(map.AddNetworkPort("rfc2217://rack-pi:4001"), 3);
  EXPECT_EQ(map.AddNetworkPort("socket://rack-pi:2000"), 1);
  for (int n = 2; n <= CPortMap::kPortCount; ++n)
    if (n != 3) map.AddOverride(n, "socket://rack-pi:" + std::to_string(3000 + n));
  EXPECT_EQ(map.AddNetworkPort("socket://other:1"), 0);
}

// 0xFF is data in a picture: doubled on the way out, one byte on the way in, wherever the
// reads split the stream (inside an IAC pair, an option or a server's answer).
TEST(NetworkPort, TelnetFramingSurvivesEverySplit) {
  Bytes out;
  const Bytes frame{0x56, 0x00, 0xFF, 0x01};
  telnet::Escape(frame.data(), frame.size(), out);
  EXPECT_EQ(Hex(out), "56 00 FF FF 01");
  // A rate whose bytes hold 0xFF is escaped inside the subnegotiation too.
  EXPECT_EQ(Hex(telnet::ComPortCommandBytes(telnet::kSetBaudRate, {0x00, 0x00, 0xFF, 0x10})),
            "FF FA 2C 01 00 00 FF FF 10 FF F0");

  const Bytes wire{0xFF, 0xD8, 0xFF, 0xFF, 0xE0,                            // IAC D8, data FF E0
                   0xFF, 0xFB, 0x00,                                        // WILL BINARY
                   0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x01, 0xC2, 0x00, 0xFF, 0xF0,  // baud 115200
                   0xFF, 0xFF, 0xD9, 0xFF, 0xF1,                            // FF D9, NOP
                   0xFF, 0xFA, 0x2C, 0x6A, 0xFF, 0xFF, 0xFF, 0xF0};         // line state FF
  for (size_t split = 0; split <= wire.size(); ++split) {
    SCOPED_TRACE(split);
    telnet::CDecoder decoder;
    Bytes data, answers;
    decoder.Feed(wire.data(), split, data, answers);
    decoder.Feed(wire.data() + split, wire.size() - split, data, answers);
    // IAC D8 is a command nobody sends; it is dropped, as is the NOP.
    EXPECT_EQ(Hex(data), "FF E0 FF D9");
    EXPECT_EQ(Hex(answers), "FF FD 00");  // an unasked WILL BINARY is welcomed
    ASSERT_TRUE(decoder.Server().baud);
    EXPECT_EQ(*decoder.Server().baud, 115200u);
    EXPECT_EQ(decoder.LineState(), std::optional<uint8_t>(0xFF));
  }
}

// Options are answered once per change, never in a loop; what we do not speak is refused;
// a server that refuses the COM-PORT option is told apart from one that is slow.
TEST(NetworkPort, TelnetOptionsAreAnsweredOnceAndRefusalsSeen) {
  telnet::CDecoder decoder;
  decoder.AskedFor(true, telnet::kBinary);
  decoder.AskedFor(true, telnet::kComPort);
  Bytes data, answers;
  const Bytes requests{0xFF, 0xFD, 0x00,   // DO BINARY (we asked): agreed, no answer
                       0xFF, 0xFD, 0x01,   // DO ECHO: refused
                       0xFF, 0xFB, 0x01,   // WILL ECHO: refused
                       0xFF, 0xFD, 0x03,   // DO SGA (unasked): accepted
                       0xFF, 0xFD, 0x03,   // again: already on, nothing
                       0xFF, 0xFD, 0x2C};  // DO COM-PORT (we asked)
  decoder.Feed(requests.data(), requests.size(), data, answers);
  EXPECT_EQ(Hex(answers), "FF FC 01 FF FE 01 FF FB 03");
  EXPECT_TRUE(data.empty());
  EXPECT_TRUE(decoder.ComPortAccepted());
  EXPECT_FALSE(decoder.ComPortRefused());

  telnet::CDecoder refusing;
  refusing.AskedFor(true, telnet::kComPort);
  const Bytes dont{0xFF, 0xFE, 0x2C};
  answers.clear();
  refusing.Feed(dont.data(), dont.size(), data, answers);
  EXPECT_TRUE(refusing.ComPortRefused());
  EXPECT_TRUE(answers.empty());
}

// A loopback listener that takes connections and never answers; its url in *url. (This room
// builds without the shared test support, which needs the engine.)
int SilentListener(std::string* url) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(listener);
    return -1;
  }
  *url = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  return listener;
}

// A server that takes the connection but never answers: the open waits (bounded), and an
// interrupt from another thread ends it at once.
TEST(NetworkPort, AnOpenWaitingForAServerEndsOnInterrupt) {
  std::string url;
  const int listener = SilentListener(&url);
  ASSERT_GE(listener, 0);

  NetworkOpenRequest request;
  request.address = ParseNetworkAddress(url);
  request.baud = 115200;
  NetworkOpenResult result;
  std::thread open([&] { result = OpenNetworkPort(request); });
  const int accepted = accept(listener, nullptr, nullptr);  // the open is now waiting
  InterruptNetworkOpens(true);
  open.join();
  InterruptNetworkOpens(false);
  EXPECT_EQ(result.fd, -1);
  EXPECT_EQ(result.errnum, EINTR) << result.error;
  EXPECT_NE(result.error.find("interrupted"), std::string::npos) << result.error;

  // Not interrupted, the same silent server is given up on with a reason.
  std::thread again([&] { result = OpenNetworkPort(request); });
  const int second = accept(listener, nullptr, nullptr);
  again.join();
  EXPECT_EQ(result.fd, -1);
  EXPECT_NE(result.error.find("did not answer"), std::string::npos) << result.error;
  for (int fd : {accepted, second, listener}) close(fd);
}

}  // namespace

// An open on its own thread, given up while the server is silent: the outcome says it was
// cancelled (not a fault of the server), the connection is closed, and an interrupt of the
// whole run was not needed for it.
TEST(NetworkPort, AGivenUpAttemptEndsAtOnceAndClosesItsConnection) {
  std::string url;
  const int listener = SilentListener(&url);
  ASSERT_GE(listener, 0);
  NetworkOpenRequest request;
  request.address = ParseNetworkAddress(url);
  request.baud = 115200;
  std::mutex lock;
  std::condition_variable done;
  std::optional<NetworkOpenResult> outcome;
  auto attempt = std::make_unique<CNetworkOpenAttempt>(request, [&](NetworkOpenResult result) {
    std::lock_guard<std::mutex> guard(lock);
    outcome = std::move(result);
    done.notify_all();
  });
  const int accepted = accept(listener, nullptr, nullptr);  // the open now waits for answers
  ASSERT_GE(accepted, 0);
  attempt->Cancel();
  {
    std::unique_lock<std::mutex> wait(lock);
    ASSERT_TRUE(done.wait_for(wait, std::chrono::seconds(20), [&] { return outcome.has_value(); }));
    EXPECT_EQ(outcome->fd, -1);
    EXPECT_EQ(outcome->errnum, ECANCELED);
    EXPECT_NE(outcome->error.find("cancelled"), std::string::npos) << outcome->error;
  }
  attempt.reset();
  char buffer[256];
  ssize_t n;
  while ((n = recv(accepted, buffer, sizeof buffer, 0)) > 0) {
  }
  EXPECT_EQ(n, 0);  // the client's end is closed, not left open behind the cancel

  // Given up before it starts, and by its owner going away: no connection is kept either.
  std::optional<NetworkOpenResult> never;
  {
    CNetworkOpenAttempt quick(request, [&](NetworkOpenResult result) { never = std::move(result); });
  }
  ASSERT_TRUE(never.has_value());
  EXPECT_EQ(never->fd, -1);
  for (int fd : {accepted, listener}) close(fd);
}

// Where a local port discards its output (before it closes), a port server is asked to:
// the channel's last bytes on the connection are the purge of the server's output buffer.
TEST(NetworkPort, AClosingChannelPurgesTheServersOutput) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  NetworkOpenResult connected;
  connected.fd = pair[0];
  connected.decoder = std::make_shared<telnet::CDecoder>();
  CSerialChannel channel;
  ASSERT_EQ(channel.OpenConnected(nullptr, nullptr, "rfc2217://rack-pi:4001", 3, 115200, 512,
                                  std::move(connected)),
            1);
  ASSERT_EQ(channel.StartMonitor(), 1);
  const Bytes frame{0x56, 0x00, 0xFF};
  ASSERT_EQ(channel.Send(frame.data(), frame.size()), 1);
  Bytes heard;
  uint8_t buffer[256];
  while (heard.size() < 4) {  // the frame, its 0xFF doubled
    const ssize_t n = recv(pair[1], buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    heard.insert(heard.end(), buffer, buffer + n);
  }
  channel.Close();
  for (ssize_t n; (n = recv(pair[1], buffer, sizeof buffer, 0)) > 0;) heard.insert(heard.end(), buffer, buffer + n);
  EXPECT_EQ(Hex(heard), "56 00 FF FF FF FA 2C 0C 02 FF F0");
  close(pair[1]);
}
