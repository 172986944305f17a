// SPDX-License-Identifier: MIT
#include "usb/usb_serial_devices.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "usb/sysfs_files.h"
#include "log/text_format.h"

namespace Tivaxlib {

namespace {

using Log::formatText;
using Usb::readFirstLine;

// Terminal kinds, searched in this order.
const char* const kTerminalPatterns[] = {"ttyACM*", "ttyS*", "ttyUSB*", "tty.*"};

const char kFixedVendorText[] = "1d6b";
const char kFixedProductText[] = "0104";

// "manufacturer product serial", or empty when the device reports none of
// them. Missing parts leave their separating spaces in place.
std::string usbDescription(const std::string& usbDir) {
  const std::string manufacturer = readFirstLine(usbDir + "/manufacturer");
  const std::string product = readFirstLine(usbDir + "/product");
  const std::string serial = readFirstLine(usbDir + "/serial");
  if (manufacturer.empty() && product.empty() && serial.empty()) return std::string();
  return formatText("%s %s %s", manufacturer.c_str(), product.c_str(), serial.c_str());
}

// "USB VID:PID=vvvv:pppp SNR=serial"; without a serial number the text
// still ends with the separating space.
std::string usbIdentification(const std::string& usbDir) {
  std::string serial = readFirstLine(usbDir + "/serial");
  if (!serial.empty()) serial = formatText("SNR=%s", serial.c_str());
  const std::string vendor = readFirstLine(usbDir + "/idVendor");
  const std::string product = readFirstLine(usbDir + "/idProduct");
  return formatText("USB VID:PID=%s:%s %s", vendor.c_str(), product.c_str(), serial.c_str());
}

port_info describeTerminal(const std::string& path, const SysfsRoots& roots) {
  port_info info;
  const std::string name = Usb::baseName(path);
  const std::string link = formatText("%s/%s/device", roots.sysClassTty.c_str(), name.c_str());

  if (name.compare(0, 6, "ttyUSB") == 0) {
    // device -> .../<usb device>/<interface>/<port>
    const std::string usb = Usb::parentPath(Usb::parentPath(Usb::canonicalPath(link)));
    if (Usb::pathExists(usb)) {
      info.description = usbDescription(usb);
      info.hardware_id = usbIdentification(usb);
    }
  } else if (name.compare(0, 6, "ttyACM") == 0) {
    // device -> .../<usb device>/<interface>
    const std::string usb = Usb::parentPath(Usb::canonicalPath(link));
    if (Usb::pathExists(usb)) {
      info.description = usbDescription(usb);
      info.product = usb_sysfs_product_name(usb);
      info.hardware_id = usbIdentification(usb);
      info.vendor_id = "0x" + readFirstLine(usb + "/idVendor");
      info.product_id = "0x" + readFirstLine(usb + "/idProduct");
    }
  } else {
    const std::string idFile = link + "/id";
    if (Usb::pathExists(idFile)) info.hardware_id = readFirstLine(idFile);
  }

  if (info.description.empty()) info.description = name;
  if (info.hardware_id.empty()) info.hardware_id = "n/a";
  info.device_path = path;
  return info;
}

// Base-16 parse with the rules of the standard string-to-int conversion:
// leading whitespace, a sign and "0x" are accepted and parsing stops at the
// first non-digit; no digits, or a value outside int, is a failure.
bool parseHexInt(const std::string& text, int& value) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(begin, &end, 16);
  if (end == begin || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) return false;
  value = static_cast<int>(parsed);
  return true;
}

bool low16Equals(const std::string& text, std::uint16_t expected) {
  int value = 0;
  if (!parseHexInt(text, value)) return false;
  return (static_cast<unsigned int>(value) & 0xffffu) == expected;
}

}  // namespace

std::vector<port_info> list_ports(const SysfsRoots& roots) {
  const std::string devPrefix = Usb::escapeForGlob(roots.dev) + "/";
  std::vector<std::string> patterns;
  for (const char* pattern : kTerminalPatterns) patterns.push_back(devPrefix + pattern);

  std::vector<port_info> ports;
  for (const std::string& path : Usb::globAll(patterns)) {
    ports.push_back(describeTerminal(path, roots));
  }
  return ports;
}

std::string usb_sysfs_product_name(const std::string& sysfs_path) {
  return readFirstLine(sysfs_path + "/product");
}

bool port_matches(const port_info& port, const std::string& product, std::uint16_t vendor_id,
                  std::uint16_t product_id) {
  return low16Equals(port.vendor_id, vendor_id) && low16Equals(port.product_id, product_id) &&
         port.product == product;
}

std::string is_connected(const std::string& product, std::uint16_t vendor_id,
                         std::uint16_t product_id, const SysfsRoots& roots) {
  for (const port_info& port : list_ports(roots)) {
    if (port_matches(port, product, vendor_id, product_id)) return port.device_path;
  }
  return std::string();
}

UsbSerialDevices::UsbSerialDevices(const std::string& name, const std::string& vendor,
                                   const std::string& product, const SysfsRoots& sysfsRoots)
    : productName(name), vendorID(vendor), productID(product), roots(sysfsRoots) {
  vendorID = kFixedVendorText;
  productID = kFixedProductText;
  loadDevicesFromName(productName);
}

UsbSerialDevices::~UsbSerialDevices() = default;

void UsbSerialDevices::setProductName(const std::string& name) { productName = name; }
void UsbSerialDevices::setVendorID(const std::string& id) { vendorID = id; }
void UsbSerialDevices::setProductID(const std::string& id) { productID = id; }

void UsbSerialDevices::loadDevicesFromName(const std::string& name) { findDevicesFromName(name); }

std::vector<std::string> UsbSerialDevices::findDevicesFromName(const std::string& name) {
  ports.clear();
  acmTerminals = 0;
  otherProducts.clear();
  for (const port_info& port : list_ports(roots)) {
    if (Usb::baseName(port.device_path).compare(0, 6, "ttyACM") == 0) ++acmTerminals;
    if (port_matches(port, name, kVendorId, kProductId))
      ports.push_back(port.device_path);
    else if (port_matches(port, port.product, kVendorId, kProductId))
      otherProducts.push_back(port);
  }
  return ports;
}

std::vector<std::string> UsbSerialDevices::getPortNames() const { return ports; }

std::string UsbSerialDevices::getCommPort() const {
  return ports.empty() ? std::string() : ports.front();
}

bool UsbSerialDevices::isConnected(const std::string& name, const SysfsRoots& roots) {
  return !is_connected(name, kVendorId, kProductId, roots).empty();
}

}  // namespace Tivaxlib
