#pragma once
// brevant-cli's runner in-process with its output captured, for the tests that link the
// command line's library.
#include <sstream>
#include <string>
#include <vector>

#include "CliRunner.h"
#include "station/StationDb.h"

namespace testsupport {

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

inline CliRun RunCli(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  CliRun run;
  cli::CCliRunner runner(out, err);
  runner.SetResultsStore(station::DatabaseStore());
  run.status = runner.Run(args);
  run.out = out.str();
  run.err = err.str();
  return run;
}

}  // namespace testsupport
