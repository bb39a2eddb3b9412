#pragma once
// Several devices from one command. The library runs one download per
// process, so each device gets a worker process of its own (this program,
// started again with --worker); this process follows their progress, shows
// it, and ends with a summary.
#include <string>

namespace vlmuflash {

struct Options;

// upgrade IMAGE --serial A --serial B ... / --path ... / --all
int CmdUpgradeMany(const Options& o, const std::string& image);
// upgrade IMAGE --watch: each device that arrives is upgraded once, until interrupted.
int CmdWatch(const Options& o, const std::string& image);

}  // namespace vlmuflash
