#include "platform/posix/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace platform {

ChildProcess::~ChildProcess() {
  if (mFd >= 0) ::close(mFd);
  if (mPid > 0) {
    ::kill(mPid, SIGKILL);
    Wait();
  }
}

bool ChildProcess::Start(const std::vector<std::string>& argv, std::string& error) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int r = ::posix_spawn(&mPid, argv[0].c_str(), &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (r != 0) {
    ::close(fds[0]);
    mPid = -1;
    error = argv[0] + ": " + std::strerror(r);
    return false;
  }
  mFd = fds[0];
  ::fcntl(mFd, F_SETFL, ::fcntl(mFd, F_GETFL) | O_NONBLOCK);
  return true;
}

bool ChildProcess::ReadLines(std::vector<std::string>& lines) {
  if (mFd < 0) return false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(mFd, buffer, sizeof buffer);
    if (n > 0) {
      mPartial.append(buffer, static_cast<size_t>(n));
      size_t start = 0;
      for (size_t nl; (nl = mPartial.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(mPartial.substr(start, nl - start));
      mPartial.erase(0, start);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    // End of the stream (or an error that ends it just the same).
    if (!mPartial.empty()) lines.push_back(std::move(mPartial));
    mPartial.clear();
    ::close(mFd);
    mFd = -1;
    return false;
  }
}

int ChildProcess::Wait() {
  if (mPid <= 0) return -1;
  int status = 0;
  while (::waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
  }
  mPid = -1;
  return status;
}

void ChildProcess::Signal(int signal) {
  if (mPid > 0) ::kill(mPid, signal);
}

void WaitReadable(const std::vector<int>& fds, uint32_t timeoutMs) {
  std::vector<pollfd> set;
  for (int fd : fds)
    if (fd >= 0) set.push_back(pollfd{fd, POLLIN, 0});
  const int r = ::poll(set.data(), set.size(), static_cast<int>(timeoutMs));
  (void)r;  // a signal or a time-out: the caller looks at everything again
}

namespace {

// The write end is used by the signal handler (async-signal-safe write).
std::atomic<int> gSignalWriteFd{-1};
int gSignalReadFd = -1;
struct sigaction gOldInt, gOldTerm;

extern "C" void OnInterrupt(int) {
  const int saved = errno;
  const char one = 1;
  const int fd = gSignalWriteFd.load();
  if (fd >= 0 && ::write(fd, &one, 1) < 0) {
    // The pipe is full: enough signals are counted already.
  }
  errno = saved;
}

}  // namespace

InterruptSignals::InterruptSignals() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  gSignalReadFd = fds[0];
  gSignalWriteFd = fds[1];
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &sa, &gOldInt);
  ::sigaction(SIGTERM, &sa, &gOldTerm);
}

InterruptSignals::~InterruptSignals() {
  if (gSignalReadFd < 0) return;
  ::sigaction(SIGINT, &gOldInt, nullptr);
  ::sigaction(SIGTERM, &gOldTerm, nullptr);
  const int w = gSignalWriteFd.exchange(-1);
  ::close(w);
  ::close(gSignalReadFd);
  gSignalReadFd = -1;
}

unsigned InterruptSignals::Count() {
  char buffer[64];
  ssize_t n;
  while (gSignalReadFd >= 0 && (n = ::read(gSignalReadFd, buffer, sizeof buffer)) > 0)
    mCount += static_cast<unsigned>(n);
  return mCount;
}

int InterruptSignals::Fd() const { return gSignalReadFd; }

void IgnoreInterruptAndPipeSignals() {
  ::signal(SIGINT, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
}

std::string SelfExecutablePath() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

unsigned TerminalColumns() {
  winsize ws{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
  return 80;
}

}  // namespace platform
