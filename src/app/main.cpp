#include <cstdio>

#include "app/AppOptions.h"
#include "app/MainApp.h"
#include "controls/TrafficView.h"
#include "common/Version.h"
#include "serial/PortMap.h"

int main(int argc, char** argv) {
  const AppOptions options = ParseAppOptions(argc, argv);
  if (options.help) {
    std::fputs(AppUsage(), stdout);
    return 0;
  }
  if (options.version) {
    std::fputs("brevant " BREVANT_VERSION "\n", stdout);
    return 0;
  }
  if (!options.error.empty()) {
    std::fprintf(stderr, "brevant: %s\n%s", options.error.c_str(), AppUsage());
    return 2;
  }
  for (const std::string& mapping : options.portMappings) {
    if (!GlobalPortMap().AddOverride(mapping)) {
      std::fprintf(stderr, "brevant: --port expects COMn=DEVICE (n 1..15), not \"%s\"\n",
                   mapping.c_str());
      return 2;
    }
  }
  if (options.traceLimitBytes) CTrafficView::SetDefaultLimit(options.traceLimitBytes);

  CMainApp app(argc, argv);
  return app.InitInstance(options);
}
