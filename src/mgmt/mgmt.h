// The mgmt module: link test, address questions and configuration of the
// management Ethernet port.
#pragma once

#include <cstdint>
#include <netinet/in.h>

// 1 when eth0 is up, running and has link; 0 otherwise.
int mgmt_link_status(char port);
// 1 when the address (network byte order) is plausible for a host.
int verify_ip_address(in_addr_t address);
// Asks for one address; 1 when answered (or an empty answer was allowed),
// 0 when the operator quit with 'q'.
int get_ip_addr(const char *prompt, struct in_addr *address, int required, int validate);
// The port questions; 1 when complete, 0 when the operator quit.
int mgmt_port_params(char *port, uint8_t *use_dhcp, struct in_addr *address, struct in_addr *netmask,
		     struct in_addr *gateway, int offer_dhcp);
// Applies a configuration; 1 when done, 0 when port '0' has no link.
int mgmt_port_configure(uint8_t use_dhcp, char port, struct in_addr address, struct in_addr netmask,
			struct in_addr gateway);
// Questions and configuration of port '1'.
int mgmt_port_setup(int offer_dhcp);
