// SPDX-License-Identifier: MIT
#include "usb/fake_sysfs.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace TivaxTest {

FakeSysfs::FakeSysfs(const std::string& rootName) {
  std::string templ = (fs::temp_directory_path() / "tivax-usb-XXXXXX").string();
  std::vector<char> buffer(templ.begin(), templ.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  base_ = buffer.data();
  const std::string root = base_ + "/" + rootName;
  roots_.dev = root + "/dev";
  roots_.sysClassTty = root + "/sys/class/tty";
  devicesRoot_ = root + "/sys/devices/pci0000:00/usb1";
  fs::create_directories(roots_.dev);
  fs::create_directories(roots_.sysClassTty);
  fs::create_directories(devicesRoot_);
}

FakeSysfs::~FakeSysfs() {
  std::error_code ignored;
  fs::remove_all(base_, ignored);
}

void FakeSysfs::writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string FakeSysfs::addUsbDevice(const std::string& busPort, const Attributes& attributes) {
  const std::string dir = devicesRoot_ + "/" + busPort;
  fs::create_directories(dir);
  for (const auto& [name, content] : attributes) writeFile(dir + "/" + name, content);
  return dir;
}

void FakeSysfs::addBareTerminal(const std::string& tty) { writeFile(devPath(tty), ""); }

void FakeSysfs::linkClassEntry(const std::string& tty, const std::string& deviceDir) {
  const std::string classDir = deviceDir + "/tty/" + tty;
  fs::create_directories(classDir);
  fs::create_directory_symlink("../../../" + fs::path(deviceDir).filename().string(),
                               classDir + "/device");
  fs::create_directory_symlink(classDir, roots_.sysClassTty + "/" + tty);
}

void FakeSysfs::addAcmTerminal(const std::string& tty, const std::string& usbDevice) {
  addBareTerminal(tty);
  const std::string interface = usbDevice + "/" + fs::path(usbDevice).filename().string() + ":1.0";
  fs::create_directories(interface);
  linkClassEntry(tty, interface);
}

void FakeSysfs::addUsbSerialTerminal(const std::string& tty, const std::string& usbDevice) {
  addBareTerminal(tty);
  const std::string port =
      usbDevice + "/" + fs::path(usbDevice).filename().string() + ":1.0/" + tty;
  fs::create_directories(port);
  linkClassEntry(tty, port);
}

void FakeSysfs::addPlatformTerminal(const std::string& tty, const std::string* id) {
  addBareTerminal(tty);
  const std::string device = base_ + "/platform/serial8250-" + tty;
  fs::create_directories(device);
  if (id != nullptr) writeFile(device + "/id", *id);
  linkClassEntry(tty, device);
}

}  // namespace TivaxTest
