// SPDX-License-Identifier: MIT
// A throw-away device directory and sysfs tree laid out like the kernel's,
// for discovery tests. Device nodes are plain files; class/tty entries link
// into a fake USB device directory.
#pragma once

#include <map>
#include <string>

#include "usb/sysfs_roots.h"

namespace TivaxTest {

class FakeSysfs {
 public:
  // Attribute file name -> exact file content.
  using Attributes = std::map<std::string, std::string>;

  // `rootName` names the temporary directory's child that holds the tree,
  // so tests can put awkward characters into the roots.
  explicit FakeSysfs(const std::string& rootName = "root");
  ~FakeSysfs();
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  const Tivaxlib::SysfsRoots& roots() const { return roots_; }
  std::string devPath(const std::string& tty) const { return roots_.dev + "/" + tty; }

  // A USB device directory (e.g. "1-1") with the given attribute files;
  // returns its path.
  std::string addUsbDevice(const std::string& busPort, const Attributes& attributes);

  // /dev/<tty> only, with no sysfs entry at all.
  void addBareTerminal(const std::string& tty);
  // A CDC-ACM terminal: its device link leads to an interface directory
  // one level below the USB device.
  void addAcmTerminal(const std::string& tty, const std::string& usbDevice);
  // A USB-serial converter terminal: its device link leads to a port
  // directory two levels below the USB device.
  void addUsbSerialTerminal(const std::string& tty, const std::string& usbDevice);
  // A platform serial terminal, with an "id" file when `id` is given.
  void addPlatformTerminal(const std::string& tty, const std::string* id);

  // Writes (or replaces) a file anywhere below the USB device.
  static void writeFile(const std::string& path, const std::string& content);

 private:
  // Creates the class/tty entry for `tty` as a link to <deviceDir>/tty/<tty>,
  // whose "device" link climbs back to deviceDir, as the kernel does.
  void linkClassEntry(const std::string& tty, const std::string& deviceDir);

  std::string base_;
  std::string devicesRoot_;
  Tivaxlib::SysfsRoots roots_;
};

}  // namespace TivaxTest
