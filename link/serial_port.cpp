#include "link/serial_port.h"

#include "support/settings.h"

PortHandle port_open(int port_number) {
  if (port_number < 1 || port_number > 4) return kInvalidPort;
  return port_open_device(com_port_device(port_number));
}
