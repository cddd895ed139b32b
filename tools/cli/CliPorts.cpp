#include "CliPorts.h"

#include "CliOutput.h"
#include "serial/PortMap.h"

namespace cli {

int ListPorts(CPortMap& map, bool json, std::ostream& out, std::ostream& err) {
  map.Refresh();
  ResultWriter writer(out, err, json);
  bool any = false;
  for (const PortEntry& e : map.MappedEntries()) {
    any = true;
    ResultLine line;
    line.command = "ports";
    line.fields = {
        Field::Str("port", PortLabel(e.number, e.device)),
        Field::Int("number", e.number),
        Field::Str("device", e.device),
        Field::Str("stable_path", e.stablePath),
        Field::Str("vendor", e.vendor),
        Field::Str("model", e.model),
        Field::Str("serial", e.serialNumber),
        Field::Str("description", e.description),
    };
    // COM3  /dev/ttyUSB0  FTDI FT232R USB UART  serial A1B2  /dev/serial/by-id/...
    line.text = PortLabel(e.number, e.device) + (e.number < 10 ? "   " : "  ") + e.device;
    if (!e.description.empty()) line.text += "  " + e.description;
    if (!e.serialNumber.empty()) line.text += "  serial " + e.serialNumber;
    if (!e.stablePath.empty()) line.text += "  " + e.stablePath;
    writer.Result(line);
  }
  if (!any && !json)
    out << "No serial devices found (USB adapters, ACM devices and board UARTs are listed)\n";
  out.flush();
  return kExitOk;
}

int RunPortsCommand(const GlobalOptions& global, std::ostream& out, std::ostream& err) {
  CPortMap& map = GlobalPortMap();
  if (global.port.find('=') != std::string::npos) map.AddOverride(global.port);
  return ListPorts(map, global.json, out, err);
}

}  // namespace cli
