#pragma once
// Command-line options of the brevant program.
#include <cstddef>
#include <string>
#include <vector>

struct AppOptions {
  std::vector<std::string> portMappings;  // "COMn=DEVICE", in order given
  bool demoCapture = false;               // window: open COM1 and capture once by itself
  std::string screenshotFile;             // window: after the demo capture, save a picture
  std::string screenshotsDir;             // window: save the window and every dialog here
  std::string stationPlan;                // --station PLAN: the station window alone
  std::string stationPorts;               // --ports LIST for it
  size_t traceLimitBytes = 0;             // traffic the trace keeps; 0: the default (16 MiB)
  bool help = false;
  bool version = false;
  std::string error;                      // non-empty: the command line was not understood
};

// Options this program knows are taken out; anything else is left for Qt (-platform ...).
AppOptions ParseAppOptions(int& argc, char** argv);
const char* AppUsage();
