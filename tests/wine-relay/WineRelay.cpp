// vlmu_wine_relay: the Linux end of the Wine test fixture. The test driver
// and the test programs under Wine reach the driver service over loopback
// TCP (Wine has no Unix sockets); this relay joins each TCP connection to a
// connection of its own to the service's Unix socket and copies bytes both
// ways without looking at them.
//
//   vlmu_wine_relay --socket SERVICE_SOCKET --announce FILE
//
// It listens on 127.0.0.1 only, on a port the system picks, and makes up a
// random token. Both go into FILE (created with mode 0600, one line
// "PORT TOKEN"), from where the test harness hands them to the Wine prefix.
// A client sends the token and a newline first, within 5 s; anything else
// closes the connection before the service is contacted. Ends on SIGTERM or
// SIGINT. Test code: never installed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr size_t kTokenBytes = 16;     // 128 bits, sent as 32 hex digits
constexpr int kTokenTimeoutMs = 5000;  // the token must come within this time
constexpr int kMaxConnections = 64;    // a handle per open device, the watcher, the tests

std::atomic<bool> gStop{false};
std::atomic<int> gConnections{0};

void OnSignal(int) { gStop = true; }

void Log(const std::string& message) { std::fprintf(stderr, "vlmu_wine_relay: %s\n", message.c_str()); }

// Closes its descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : mFd(fd) {}
  ~Fd() {
    if (mFd >= 0) ::close(mFd);
  }
  Fd(Fd&& other) noexcept : mFd(other.mFd) { other.mFd = -1; }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return mFd; }

 private:
  int mFd;
};

bool MakeToken(std::string& token) {
  unsigned char bytes[kTokenBytes];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return false;
  static const char kHex[] = "0123456789abcdef";
  token.clear();
  for (unsigned char b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 0x0F]);
  }
  return true;
}

// Reads the client's first line (the token) byte by byte, so that nothing
// after it is taken from the stream; false after kTokenTimeoutMs or on a
// line that is too long.
bool ReadTokenLine(int fd, std::string& line) {
  line.clear();
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kTokenTimeoutMs) <= 0) return false;
    char c = 0;
    if (::recv(fd, &c, 1, 0) != 1) return false;
    if (c == '\n') return true;
    if (line.size() >= 2 * kTokenBytes) return false;
    line.push_back(c);
  }
}

// Compares without stopping at the first difference.
bool SameToken(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

int ConnectService(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sends all of `size` bytes; false when the peer is gone.
bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies bytes both ways until one side ends or the relay stops. An end of
// stream on one side ends the whole pair: the protocol has no half-closed
// conversations.
void Pump(int tcp, int unixFd) {
  char buffer[64 * 1024];
  pollfd fds[2] = {{tcp, POLLIN, 0}, {unixFd, POLLIN, 0}};
  while (!gStop) {
    const int ready = ::poll(fds, 2, 200);
    if (ready < 0 && errno != EINTR) return;
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || !SendAll(fds[1 - i].fd, buffer, static_cast<size_t>(n))) return;
    }
  }
}

void Serve(Fd client, std::string token, std::string servicePath) {
  std::string line;
  if (!ReadTokenLine(client.get(), line) || !SameToken(line, token)) {
    Log("connection closed: no valid token");
  } else {
    Fd service(ConnectService(servicePath));
    if (service.get() < 0) {
      Log("cannot connect to the driver service at " + servicePath + "; is velmora-driverd running?");
    } else {
      Pump(client.get(), service.get());
    }
  }
  --gConnections;
}

int Listen(uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // loopback only, never another address
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

bool Announce(const std::string& file, uint16_t port, const std::string& token) {
  Fd out(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.get() < 0 || ::fchmod(out.get(), 0600) != 0) return false;
  const std::string line = std::to_string(port) + " " + token + "\n";
  return ::write(out.get(), line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

int Usage() {
  std::fprintf(stderr, "usage: vlmu_wine_relay --socket SERVICE_SOCKET --announce FILE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string servicePath, announceFile;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--socket")
      servicePath = argv[i + 1];
    else if (option == "--announce")
      announceFile = argv[i + 1];
    else
      return Usage();
  }
  if (servicePath.empty() || announceFile.empty() || argc % 2 == 0) return Usage();

  struct sigaction action {};
  action.sa_handler = OnSignal;  // no SA_RESTART: accept and poll return at once
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  std::string token;
  uint16_t port = 0;
  Fd listener(Listen(port));
  if (!MakeToken(token) || listener.get() < 0) {
    Log("cannot listen on 127.0.0.1");
    return 1;
  }
  if (!Announce(announceFile, port, token)) {
    Log("cannot write " + announceFile);
    return 1;
  }

  while (!gStop) {
    pollfd p{listener.get(), POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    Fd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (client.get() < 0) continue;
    if (gConnections >= kMaxConnections) {
      Log("too many connections; one refused");
      continue;
    }
    int one = 1;
    ::setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ++gConnections;
    std::thread(Serve, std::move(client), token, servicePath).detach();
  }
  // Serving threads see gStop within 200 ms; give them that long to close.
  for (int i = 0; i < 50 && gConnections > 0; ++i) ::usleep(10000);
  return 0;
}
