#pragma once
// Runs a program with arguments through the shell and collects its exit
// status, standard output and standard error.
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace testrun {

struct Result {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline std::string Quote(const std::string& arg) {
  std::string q = "'";
  for (const char c : arg) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  return q + "'";
}

inline Result Run(const std::vector<std::string>& argv, const testsupport::TempDir& dir) {
  const std::string outPath = dir.File("stdout.txt");
  const std::string errPath = dir.File("stderr.txt");
  std::string command;
  for (const std::string& a : argv) command += Quote(a) + " ";
  command += "</dev/null >" + Quote(outPath) + " 2>" + Quote(errPath);
  const int status = std::system(command.c_str());
  Result r;
  r.exitCode = (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  r.out = testsupport::ReadFile(outPath);
  r.err = testsupport::ReadFile(errPath);
  return r;
}

// Whether a program can be found on the search path.
inline bool OnPath(const std::string& program) {
  return std::system(("command -v " + Quote(program) + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace testrun
