#pragma once
// Starts a program of the build with this process's environment plus the
// given variables (which replace variables of the same name; a name without
// "=" removes the variable). Its standard error goes to `stderrFile` when one
// is given. Returns the child's pid, or -1.
#include <fcntl.h>
#include <spawn.h>

#include <string>
#include <vector>

extern char** environ;

namespace testsupport {

inline pid_t SpawnProgram(const std::string& program, const std::vector<std::string>& setEnv,
                          const std::string& stderrFile = "") {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string v = *e;
    bool replaced = false;
    for (const std::string& s : setEnv) {
      const std::string name = s.substr(0, s.find('=')) + "=";
      replaced = replaced || v.compare(0, name.size(), name) == 0;
    }
    if (!replaced) env.push_back(v);
  }
  for (const std::string& s : setEnv) {
    if (s.find('=') != std::string::npos) env.push_back(s);
  }
  std::vector<char*> envp;
  for (auto& v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string path = program;
  char* argv[] = {path.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!stderrFile.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  pid_t pid = -1;
  const int error = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

}  // namespace testsupport
