// The driver service's byte stream for the tests under Wine: loopback TCP to
// the fixture's relay (tests/wine-relay), which joins it to the service's
// Unix socket. Port and token come from the same registry values the test
// bus driver reads; the token goes first, then the protocol as on Linux, so
// DriverConnection and ServiceControl serve the Windows tests unchanged.
#include <winsock2.h>

#include <windows.h>

#include <memory>
#include <string>

#include "platform/posix/DriverProtocol.h"
#include "platform/posix/DriverSocket.h"
#include "testbus/RelaySettings.h"

namespace platform {

namespace {

// The relay's settings, with the token as text.
bool ReadRelay(DWORD& port, std::string& token) {
  char text[64] = {};
  if (!testbus::ReadRelaySettings(port, text)) return false;
  token = text;
  return true;
}

class RelaySocket final : public DriverSocket {
 public:
  explicit RelaySocket(SOCKET s) : mSocket(s) {}
  ~RelaySocket() override {
    closesocket(mSocket);
    WSACleanup();
  }
  RelaySocket(const RelaySocket&) = delete;
  RelaySocket& operator=(const RelaySocket&) = delete;

  uint32_t SendAll(const char* data, size_t size, uint32_t timeoutMs) override {
    const SendPart part{data, size};
    return SendParts(&part, 1, timeoutMs);
  }

  uint32_t SendParts(const SendPart* parts, size_t count, uint32_t /*timeoutMs*/) override {
    for (size_t i = 0; i < count; ++i) {
      const char* data = parts[i].data;
      size_t size = parts[i].size;
      while (size > 0) {
        const int sent = send(mSocket, data, static_cast<int>(size > 0x10000000 ? 0x10000000 : size), 0);
        if (sent <= 0) return driverproto::kErrorDeviceNotConnected;
        data += sent;
        size -= static_cast<size_t>(sent);
      }
    }
    return 0;
  }

  uint32_t Receive(char* data, size_t size, uint32_t timeoutMs, size_t& received) override {
    received = 0;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(mSocket, &readable);
    timeval limit{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    const int ready = select(0, &readable, nullptr, nullptr, timeoutMs == kInfiniteWait ? nullptr : &limit);
    if (ready == 0) return driverproto::kErrorSemTimeout;
    if (ready < 0) return driverproto::kErrorDeviceNotConnected;
    const int got = recv(mSocket, data, static_cast<int>(size > 0x10000000 ? 0x10000000 : size), 0);
    if (got <= 0) return driverproto::kErrorDeviceNotConnected;
    received = static_cast<size_t>(got);
    return 0;
  }

  void Shutdown() override { shutdown(mSocket, SD_BOTH); }

 private:
  static constexpr uint32_t kInfiniteWait = 0xFFFFFFFFu;
  const SOCKET mSocket;
};

}  // namespace

std::string DriverSocketPath() {
  DWORD port = 0;
  std::string token;
  return ReadRelay(port, token) ? "127.0.0.1:" + std::to_string(port) + " (relay)" : "(no relay configured)";
}

// The relay is trusted as it is: the harness made it and handed over its token.
uint32_t ConnectDriverSocket(const std::string& /*path*/, std::unique_ptr<DriverSocket>& socket, std::string* /*why*/) {
  DWORD port = 0;
  std::string token;
  if (!ReadRelay(port, token)) return driverproto::kErrorServiceNotActive;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return driverproto::kErrorServiceNotActive;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s == INVALID_SOCKET || connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (s != INVALID_SOCKET) closesocket(s);
    WSACleanup();
    return driverproto::kErrorServiceNotActive;
  }
  const BOOL noDelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  auto relay = std::make_unique<RelaySocket>(s);
  token.push_back('\n');
  if (const uint32_t error = relay->SendAll(token.data(), token.size(), 0); error != 0) return error;
  socket = std::move(relay);
  return 0;
}

}  // namespace platform
