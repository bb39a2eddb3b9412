#pragma once
// Runs a shell command line and collects its exit status and its standard
// output and standard error together.
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace testsupport {

struct ShellResult {
  int exitCode = -1;
  std::string output;  // stdout and stderr together
};

inline ShellResult RunShell(const std::string& commandLine) {
  ShellResult r;
  FILE* p = ::popen((commandLine + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  const int status = ::pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace testsupport
