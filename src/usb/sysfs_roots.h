// SPDX-License-Identifier: MIT
// Where discovery looks for terminals and their sysfs entries. The defaults
// are the real system roots; tests point them into a temporary tree.
#pragma once

#include <string>

namespace Tivaxlib {

struct SysfsRoots {
  std::string dev = "/dev";
  std::string sysClassTty = "/sys/class/tty";
};

}  // namespace Tivaxlib
