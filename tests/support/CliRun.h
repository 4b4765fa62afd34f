// Running pelmora-cli and the project's tools from the volume tests.
#pragma once

#include <string>
#include <vector>

#include "support/Sha256.h"

// A script of tools/.
std::string Tool(const std::string& name);

std::string ReadWholeFile(const std::string& path);
// The lines of `text`, without their line ends (CR LF or LF).
std::vector<std::string> Lines(const std::string& text);

struct CliRun {
  int status = -1;
  std::string out, err;
  long maxRssKiB = 0;
};

// Runs pelmora-cli with `args` in `workDir` (empty: this process's folder);
// its streams go through files in `scratch`. Also measures its peak memory.
CliRun Cli(const std::vector<std::string>& args, const std::string& scratch, const std::string& workDir = "");
