// SPDX-License-Identifier: MIT
// Finding the device's serial terminal through sysfs.
//
// The device shows up as a ttyACM terminal. Its sysfs "device" link leads to
// the USB interface, one level below the USB device directory that holds
// idVendor, idProduct, product, manufacturer and serial. A USB-serial
// converter (ttyUSB) links to its port, two levels below the USB device.
// Only ttyACM terminals carry the ids and product string used for matching.
//
// Nothing here opens a port; everything is read from sysfs on every search.
// Missing or unreadable entries never raise errors, they just do not match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "usb/sysfs_roots.h"

namespace Tivaxlib {

// One serial terminal found under the device directory.
struct port_info {
  std::string device_path;  // as found, e.g. /dev/ttyACM0
  std::string description;  // "manufacturer product serial", or the base name
  std::string hardware_id;  // "USB VID:PID=vvvv:pppp SNR=...", sysfs id, or "n/a"
  std::string product;      // USB product string (ttyACM only)
  std::string vendor_id;    // "0x" + idVendor (ttyACM only)
  std::string product_id;   // "0x" + idProduct (ttyACM only)
};

// Every ttyACM, ttyS, ttyUSB and tty.* terminal, in that order, each group in
// name order. Roots containing glob metacharacters are matched literally.
std::vector<port_info> list_ports(const SysfsRoots& roots = SysfsRoots{});

// First line of the "product" file in a USB device directory.
std::string usb_sysfs_product_name(const std::string& sysfs_path);

// Whether the port's USB ids match (comparing the low 16 bits) and its
// product string equals `product` exactly. Ids that do not parse as base-16
// integers never match.
bool port_matches(const port_info& port, const std::string& product, std::uint16_t vendor_id,
                  std::uint16_t product_id);

// device_path of the first port matching the identity, or empty.
std::string is_connected(const std::string& product, std::uint16_t vendor_id,
                         std::uint16_t product_id, const SysfsRoots& roots = SysfsRoots{});

// Finder for terminals with the library's fixed USB identity and a given
// product string. The constructor searches once; the result is kept in
// `ports` until the next search.
class UsbSerialDevices {
 public:
  static constexpr std::uint16_t kVendorId = 0x1d6b;
  static constexpr std::uint16_t kProductId = 0x0104;

  // The vendor and product id texts are accepted for the caller's sake but
  // replaced by the fixed identity: the device is always the same product.
  UsbSerialDevices(const std::string& productName, const std::string& vendorID,
                   const std::string& productID, const SysfsRoots& roots = SysfsRoots{});
  virtual ~UsbSerialDevices();

  void setProductName(const std::string& name);
  void setVendorID(const std::string& id);
  void setProductID(const std::string& id);

  void loadDevicesFromName(const std::string& name);
  std::vector<std::string> findDevicesFromName(const std::string& name);
  std::vector<std::string> getPortNames() const;
  // First port found, or empty when none was.
  std::string getCommPort() const;

  // Whether a terminal with the fixed identity and product string `name` is
  // present right now.
  static bool isConnected(const std::string& name, const SysfsRoots& roots = SysfsRoots{});

  std::string productName;
  std::string vendorID;
  std::string productID;
  std::vector<std::string> ports;

  // What the last search saw besides the matches, to tell why it found
  // nothing: how many ttyACM terminals there were, and those with the USB
  // identity but another product string.
  std::size_t acmTerminals = 0;
  std::vector<port_info> otherProducts;

 private:
  SysfsRoots roots;
};

}  // namespace Tivaxlib
