// Each program's --help and its man page name the same options: an option
// added to a program without its man page (or left in the page after it
// went) fails here. Options are the words that begin with "-" or "--" after
// a blank or one of "[(|,": anywhere in the --help text, in the man page's
// SYNOPSIS and OPTIONS.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "support/BuildPaths.h"
#include "support/RunShell.h"

namespace {

std::set<std::string> Options(const std::string& text) {
  static const std::regex option(R"((?:^|[\s\[(|,])(--?[A-Za-z][A-Za-z0-9-]*))");
  std::set<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it) found.insert((*it)[1]);
  return found;
}

// The SYNOPSIS and OPTIONS sections of a man page as they read: "\-" is a
// minus, font changes go. (Other sections may show other commands' options.)
std::string ManOptionText(const std::string& path) {
  std::ifstream in(path);
  std::string line, text;
  bool keep = false;
  while (std::getline(in, line)) {
    if (line.rfind(".SH", 0) == 0) keep = line == ".SH SYNOPSIS" || line == ".SH OPTIONS";
    if (keep) text += line + "\n";
  }
  text = std::regex_replace(text, std::regex(R"(\\f[BIRP])"), "");
  return std::regex_replace(text, std::regex(R"(\\-)"), "-");
}

std::string Missing(const std::set<std::string>& from, const std::set<std::string>& in) {
  std::string missing;
  for (const std::string& o : from) {
    if (in.count(o) == 0) missing += " " + o;
  }
  return missing;
}

TEST(ManPages, ListTheOptionsOfTheirProgramsHelp) {
  struct Program {
    const char* binary;
    const char* page;
  };
  const Program programs[] = {
      {VLMU_DRIVERD, "velmora-driverd.8"},
      {VLMU_DRIVERCTL, "velmora-driverctl.1"},
      {VLMU_VLDTOOL, "vldtool.1"},
      {VLMU_FLASH, "vlmu-flash.1"},
#ifdef VLMAPP_PROGRAM
      {VLMAPP_PROGRAM, "VelmoraFlashTool_x64.1"},
#endif
  };
  for (const Program& p : programs) {
    const testsupport::ShellResult help = testsupport::RunShell(std::string(p.binary) + " --help");
    ASSERT_EQ(help.exitCode, 0) << p.binary << ": " << help.output;
    const std::set<std::string> helpOptions = Options(help.output);
    const std::set<std::string> pageOptions =
        Options(ManOptionText(testsupport::SourceDir() + "/packaging/man/" + p.page));
    EXPECT_GT(helpOptions.count("--help"), 0u) << p.binary << " does not list --help";
    EXPECT_EQ(Missing(helpOptions, pageOptions), "") << "in the --help of " << p.binary << " but not in " << p.page;
    EXPECT_EQ(Missing(pageOptions, helpOptions), "") << "in " << p.page << " but not in the --help of " << p.binary;
  }
}

}  // namespace
