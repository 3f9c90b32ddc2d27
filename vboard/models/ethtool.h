// ethtool's link query for an emulator that passes no ethtool request on:
// qemu-user answers SIOCETHTOOL with ENOSYS, where the board's kernel (and
// any kernel) answers it, so a program of the board's own build would find
// its link test failing on the virtual board only.
#pragma once

namespace vb {

// Answers the SIOCETHTOOL request `ifr` (a struct ifreq) as the kernel does
// for ETHTOOL_GLINK: whether the interface runs and has its carrier, read
// from the interface's flags over rtnetlink. Any other ethtool command
// fails with EOPNOTSUPP.
int ethtool_link(void *ifr);

} // namespace vb
