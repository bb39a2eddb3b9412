#pragma once
// Child processes, interrupt signals and the terminal, for the command-line
// tools that run one worker process per device (the library keeps one
// download per process).
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A child process whose standard output and standard error arrive, merged,
// on one pipe of the parent, read line by line. The child runs in a process
// group of its own, so that the terminal's Ctrl-C reaches only the parent,
// which decides what the children do.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // closes the pipe; a child still running is killed and reaped
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `argv[0]` (a path) with `argv`. False with `error` when it cannot.
  bool Start(const std::vector<std::string>& argv, std::string& error);
  // Reads what the pipe holds without waiting and appends complete lines to
  // `lines` (without their newline). Returns false once the pipe has ended
  // (the child and its descendants closed it); a last line without newline
  // is delivered then.
  bool ReadLines(std::vector<std::string>& lines);
  // Waits for the child to end (after ReadLines returned false) and returns
  // its wait status. Returns -1 when no child was started.
  int Wait();
  // Sends a signal to the child (SIGTERM to abort it).
  void Signal(int signal);

  int OutputFd() const { return mFd; }
  pid_t Pid() const { return mPid; }

 private:
  pid_t mPid = -1;
  int mFd = -1;
  std::string mPartial;
};

// Waits until one of the descriptors is readable or `timeoutMs` passed.
void WaitReadable(const std::vector<int>& fds, uint32_t timeoutMs);

// Counts SIGINT and SIGTERM from the moment it is made (at most one object at
// a time; the previous handlers come back when it is destroyed). Fd() is
// readable after each signal, so a poll loop wakes at once.
class InterruptSignals {
 public:
  InterruptSignals();
  ~InterruptSignals();
  InterruptSignals(const InterruptSignals&) = delete;
  InterruptSignals& operator=(const InterruptSignals&) = delete;

  // Signals received so far (reading it also empties Fd()).
  unsigned Count();
  int Fd() const;

 private:
  unsigned mCount = 0;
};

// Ignores SIGINT (a worker finishes its download when the parent is asked to
// stop) and SIGPIPE (a worker whose parent is gone goes on writing to
// nobody instead of dying mid-download).
void IgnoreInterruptAndPipeSignals();

// Path of the running program, for starting copies of it.
std::string SelfExecutablePath();

// Whether standard output is a terminal, and its width in columns (80 when
// it cannot be told).
bool StdoutIsTerminal();
unsigned TerminalColumns();

}  // namespace platform
