#pragma once
// brevant-cli's runner in-process with its output captured, for the tests that link the
// command line's library.
#include <sstream>
#include <string>
#include <vector>

#include "CliRunner.h"

namespace testsupport {

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

inline CliRun RunCli(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  CliRun run;
  run.status = cli::RunCli(args, out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

}  // namespace testsupport
