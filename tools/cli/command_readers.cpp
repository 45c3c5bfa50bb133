// `vorkand readers`: what COM1..COM4 map to and whether each opens now, then
// the PC/SC readers with their card state and ATR.
#include "cli/commands.h"
#include "cli/pcsc_readers.h"
#include "vorkand.h"

namespace vorkand::cli {

int run_readers(const Context& context) {
  std::vector<PortState> ports;
  for (std::string_view port_name : kPorts) {
    const std::string name(port_name);
    PortState port;
    port.port = name;
    port.mapping = port_mapping(name);
    port.source = port_source(name);
    const int32_t handle = CT_open(name.c_str());
    port.opens = handle != 0;
    if (port.opens) {
      CT_close(handle);
    } else {
      port.why = open_failure(port.mapping);
    }
    ports.push_back(std::move(port));
  }
  context.out.readers(ports, list_pcsc_readers());
  return kExitOk;
}

}  // namespace vorkand::cli
