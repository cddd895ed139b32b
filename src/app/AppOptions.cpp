#include "app/AppOptions.h"

#include <cstring>

#include "core/TraceModel.h"

namespace {
bool TakeValue(const std::string& arg, const char* name, int& i, int argc, char** argv,
               std::string& value, std::string& error) {
  const std::string prefix = std::string(name) + "=";
  if (arg.rfind(prefix, 0) == 0) {
    value = arg.substr(prefix.size());
    return true;
  }
  if (arg != name) return false;
  if (i + 1 >= argc) {
    error = std::string(name) + " needs a value";
    return true;
  }
  value = argv[++i];
  return true;
}
}  // namespace

const char* AppUsage() {
  return "Usage: brevant [--port COMn=DEVICE]... [--trace-limit SIZE]\n"
         "               [--demo-capture [--screenshot FILE]]\n"
         "   or: brevant --screenshots DIR [--port COMn=DEVICE]...\n"
         "   or: brevant --station PLAN --ports LIST [--port COMn=DEVICE]... [--screenshots DIR]\n"
         "Test and configure serial JPEG camera modules: capture and view pictures, set image\n"
         "size, compression, line rate, on-screen text, detection and more.\n\n"
         "Options:\n"
         "  --port COMn=DEVICE   show DEVICE as COMn in the port list (repeatable)\n"
         "  --trace-limit SIZE   serial traffic the trace keeps, e.g. 64M (default 16M,\n"
         "                       64K to 4G; the oldest requests are dropped first)\n"
         "  --demo-capture       open COM1 at 38400 and take one picture\n"
         "  --screenshot FILE    with --demo-capture: save the window as FILE and quit\n"
         "  --screenshots DIR    open COM1, take one picture, save the window and each\n"
         "                       feature dialog as DIR/*.png and quit\n"
         "  --station PLAN       the station window: PLAN run on every port of LIST\n"
         "  --ports LIST         with --station: COMn, devices, by-id paths or globs,\n"
         "                       comma-separated (as brevant-cli station --ports); with\n"
         "                       --screenshots DIR: run every tile once, save the window\n"
         "                       as DIR/station-window.png and quit\n"
         "  -h, --help           this text\n"
         "      --version        the program's version\n"
         "\nQt's own options (-platform, -style ...) are passed on to Qt.\n";
}

AppOptions ParseAppOptions(int& argc, char** argv) {
  AppOptions options;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    if (TakeValue(arg, "--port", i, argc, argv, value, options.error)) {
      if (!value.empty()) options.portMappings.push_back(value);
    } else if (TakeValue(arg, "--trace-limit", i, argc, argv, value, options.error)) {
      options.traceLimitBytes = ParseTraceLimit(value);
      if (options.error.empty() &&
          (options.traceLimitBytes < CTraceModel::kMinLimitBytes ||
           options.traceLimitBytes > (size_t(4) << 30)))
        options.error = "--trace-limit expects a size from 64K to 4G such as 16M, not \"" +
                        value + "\"";
    } else if (TakeValue(arg, "--station", i, argc, argv, value, options.error)) {
      options.stationPlan = value;
    } else if (TakeValue(arg, "--ports", i, argc, argv, value, options.error)) {
      options.stationPorts = value;
    } else if (TakeValue(arg, "--screenshot", i, argc, argv, value, options.error)) {
      options.screenshotFile = value;
    } else if (TakeValue(arg, "--screenshots", i, argc, argv, value, options.error)) {
      options.screenshotsDir = value;
    } else if (arg == "--demo-capture") {
      options.demoCapture = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  argv[argc] = nullptr;
  if (options.stationPlan.empty() != options.stationPorts.empty() && options.error.empty())
    options.error = "--station PLAN and --ports LIST go together";
  if (!options.screenshotFile.empty() && !options.demoCapture)
    options.error = "--screenshot needs --demo-capture";
  return options;
}
