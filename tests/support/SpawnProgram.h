#pragma once
// Starts a program of the build with this process's environment plus the
// given variables (which replace variables of the same name). Returns the
// child's pid, or -1.
#include <spawn.h>

#include <string>
#include <vector>

extern char** environ;

namespace testsupport {

inline pid_t SpawnProgram(const std::string& program, const std::vector<std::string>& setEnv) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string v = *e;
    bool replaced = false;
    for (const std::string& s : setEnv) replaced = replaced || v.compare(0, s.find('=') + 1, s, 0, s.find('=') + 1) == 0;
    if (!replaced) env.push_back(v);
  }
  env.insert(env.end(), setEnv.begin(), setEnv.end());
  std::vector<char*> envp;
  for (auto& v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string path = program;
  char* argv[] = {path.data(), nullptr};
  pid_t pid = -1;
  return posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, envp.data()) == 0 ? pid : -1;
}

}  // namespace testsupport
