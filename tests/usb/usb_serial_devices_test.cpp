// SPDX-License-Identifier: MIT
#include "usb/usb_serial_devices.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "usb/fake_sysfs.h"

namespace {

using Tivaxlib::is_connected;
using Tivaxlib::list_ports;
using Tivaxlib::port_info;
using Tivaxlib::port_matches;
using Tivaxlib::UsbSerialDevices;
using TivaxTest::FakeSysfs;
using Strings = std::vector<std::string>;

const char kProduct[] = "Tivax1";

FakeSysfs::Attributes deviceAttributes(const std::string& serial = "SN0001") {
  FakeSysfs::Attributes attributes = {{"idVendor", "1d6b\n"},
                                      {"idProduct", "0104\n"},
                                      {"product", "Tivax1\n"},
                                      {"manufacturer", "Acme\n"}};
  if (!serial.empty()) attributes["serial"] = serial + "\n";
  return attributes;
}

// Finds the record for one terminal, failing the test when it is absent.
port_info portFor(const FakeSysfs& tree, const std::string& tty) {
  for (const port_info& p : list_ports(tree.roots())) {
    if (p.device_path == tree.devPath(tty)) return p;
  }
  ADD_FAILURE() << tty << " not listed";
  return {};
}

TEST(UsbDiscovery, FindsTheDeviceOnAnAcmTerminal) {
  FakeSysfs tree;
  tree.addAcmTerminal("ttyACM0", tree.addUsbDevice("1-1", deviceAttributes()));

  const port_info p = portFor(tree, "ttyACM0");
  EXPECT_EQ(p.description, "Acme Tivax1 SN0001");
  EXPECT_EQ(p.hardware_id, "USB VID:PID=1d6b:0104 SNR=SN0001");
  EXPECT_EQ(p.product, "Tivax1");
  EXPECT_EQ(p.vendor_id, "0x1d6b");
  EXPECT_EQ(p.product_id, "0x0104");

  UsbSerialDevices finder(kProduct, "", "", tree.roots());
  EXPECT_EQ(finder.getPortNames(), Strings{tree.devPath("ttyACM0")});
  EXPECT_EQ(finder.getCommPort(), tree.devPath("ttyACM0"));
  EXPECT_TRUE(UsbSerialDevices::isConnected(kProduct, tree.roots()));
  EXPECT_EQ(is_connected(kProduct, 0x1d6b, 0x0104, tree.roots()), tree.devPath("ttyACM0"));
  EXPECT_EQ(is_connected(kProduct, 0x1d6b, 0x0105, tree.roots()), "");
}

TEST(UsbDiscovery, SameDeviceBehindAUsbSerialConverterIsDescribedButNotFound) {
  FakeSysfs tree;
  tree.addUsbSerialTerminal("ttyUSB0", tree.addUsbDevice("1-2", deviceAttributes()));

  const port_info p = portFor(tree, "ttyUSB0");
  EXPECT_EQ(p.description, "Acme Tivax1 SN0001");
  EXPECT_EQ(p.hardware_id, "USB VID:PID=1d6b:0104 SNR=SN0001");
  EXPECT_EQ(p.product, "");
  EXPECT_EQ(p.vendor_id, "");
  EXPECT_EQ(p.product_id, "");

  UsbSerialDevices finder(kProduct, "", "", tree.roots());
  EXPECT_TRUE(finder.getPortNames().empty());
  EXPECT_EQ(finder.getCommPort(), "");
  EXPECT_FALSE(UsbSerialDevices::isConnected(kProduct, tree.roots()));
}

// Texts built from the USB device's attribute files.
TEST(UsbDiscovery, DescriptionAndIdentificationTexts) {
  struct Case {
    const char* name;
    FakeSysfs::Attributes attributes;
    const char* description;
    const char* hardwareId;
  } const cases[] = {
      {"with serial", deviceAttributes("SN0001"), "Acme Tivax1 SN0001",
       "USB VID:PID=1d6b:0104 SNR=SN0001"},
      {"without serial", deviceAttributes(""), "Acme Tivax1 ",
       "USB VID:PID=1d6b:0104 "},
      {"only a product", {{"product", "Tivax1\n"}}, " Tivax1 ", "USB VID:PID=: "},
      {"no attributes at all", {}, "ttyACM0", "USB VID:PID=: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSysfs tree;
    tree.addAcmTerminal("ttyACM0", tree.addUsbDevice("1-1", c.attributes));
    const port_info p = portFor(tree, "ttyACM0");
    EXPECT_EQ(p.description, c.description);
    EXPECT_EQ(p.hardware_id, c.hardwareId);
  }
}

// Whether a device with the given attribute overrides is found.
TEST(UsbDiscovery, MatchingOnAttributeContents) {
  struct Case {
    const char* name;
    FakeSysfs::Attributes overrides;
    bool found;
  } const cases[] = {
      {"exact identity", {}, true},
      {"upper-case hex ids", {{"idVendor", "1D6B\n"}}, true},
      {"vendor id wider than 16 bits", {{"idVendor", "51d6b\n"}}, true},
      {"vendor id beyond int range", {{"idVendor", "ffffffff1d6b\n"}}, false},
      {"other vendor", {{"idVendor", "1d6c\n"}}, false},
      {"other product id", {{"idProduct", "0105\n"}}, false},
      {"vendor id not hex", {{"idVendor", "zz\n"}}, false},
      {"product differs in case", {{"product", "TIVAX1\n"}}, false},
      {"product with trailing blank", {{"product", "Tivax1 \n"}}, false},
      {"product with carriage return", {{"product", "Tivax1\r\n"}}, false},
      {"product is a prefix", {{"product", "Tivax\n"}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSysfs::Attributes attributes = deviceAttributes();
    for (const auto& [file, content] : c.overrides) attributes[file] = content;
    FakeSysfs tree;
    tree.addAcmTerminal("ttyACM0", tree.addUsbDevice("1-1", attributes));
    EXPECT_EQ(UsbSerialDevices::isConnected(kProduct, tree.roots()), c.found);
    EXPECT_EQ(UsbSerialDevices(kProduct, "", "", tree.roots()).getCommPort().empty(), !c.found);
  }
}

// The id texts as list_ports would hold them, including forms that the
// "0x" prefix keeps away from real sysfs data.
TEST(UsbDiscovery, IdParsingFollowsTheStandardConversion) {
  struct Case {
    const char* vendorId;
    bool matches;
  } const cases[] = {
      {"0x1d6b", true},
      {"1d6b", true},
      {"  0x1d6b", true},
      {"+0x1d6b", true},
      {"0x1d6bzz", true},    // parsing stops at the first non-digit
      {"0x7fff1d6b", true},  // only the low 16 bits are compared
      {"-0xe295", true},     // whose low 16 bits are 0x1d6b
      {"0x80001d6b", false},  // outside int
      {"0x", false},
      {"", false},
      {"zz", false},
      {"0x0x1d6b", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vendorId);
    port_info p;
    p.vendor_id = c.vendorId;
    p.product_id = "0x0104";
    p.product = kProduct;
    EXPECT_EQ(port_matches(p, kProduct, 0x1d6b, 0x0104), c.matches);
  }
}

TEST(UsbDiscovery, SeveralMatchesComeInGlobOrder) {
  FakeSysfs tree;
  // Created out of order: the order must come from the search, not the disk.
  for (const char* tty : {"ttyACM2", "ttyACM10", "ttyACM1", "ttyACM0"}) {
    tree.addAcmTerminal(tty, tree.addUsbDevice(std::string("1-") + (tty + 6), deviceAttributes()));
  }
  UsbSerialDevices finder(kProduct, "", "", tree.roots());
  const Strings expected = {tree.devPath("ttyACM0"), tree.devPath("ttyACM1"),
                            tree.devPath("ttyACM10"), tree.devPath("ttyACM2")};
  EXPECT_EQ(finder.ports, expected);
  EXPECT_EQ(finder.getCommPort(), tree.devPath("ttyACM0"));
  EXPECT_EQ(is_connected(kProduct, 0x1d6b, 0x0104, tree.roots()), tree.devPath("ttyACM0"));
}

TEST(UsbDiscovery, TerminalKindsAreListedInPatternOrder) {
  FakeSysfs tree;
  tree.addBareTerminal("tty.usbmodem1");
  tree.addBareTerminal("ttyUSB0");
  tree.addBareTerminal("ttyS0");
  tree.addBareTerminal("ttyACM0");
  tree.addBareTerminal("tty0");     // matched by no pattern
  tree.addBareTerminal("console");  // likewise

  Strings listed;
  for (const port_info& p : list_ports(tree.roots())) listed.push_back(p.device_path);
  EXPECT_EQ(listed, (Strings{tree.devPath("ttyACM0"), tree.devPath("ttyS0"),
                             tree.devPath("ttyUSB0"), tree.devPath("tty.usbmodem1")}));
}

TEST(UsbDiscovery, TerminalWithoutSysfsEntryGetsDefaults) {
  FakeSysfs tree;
  tree.addBareTerminal("ttyACM3");
  const port_info p = portFor(tree, "ttyACM3");
  EXPECT_EQ(p.description, "ttyACM3");
  EXPECT_EQ(p.hardware_id, "n/a");
  EXPECT_EQ(p.product, "");
  EXPECT_EQ(p.vendor_id, "");
  EXPECT_FALSE(UsbSerialDevices::isConnected(kProduct, tree.roots()));
}

TEST(UsbDiscovery, PlatformTerminalTakesItsIdFile) {
  FakeSysfs tree;
  const std::string id = "PNP0501\nsecond line\n";
  tree.addPlatformTerminal("ttyS0", &id);
  tree.addPlatformTerminal("ttyS1", nullptr);

  const port_info withId = portFor(tree, "ttyS0");
  EXPECT_EQ(withId.hardware_id, "PNP0501");
  EXPECT_EQ(withId.description, "ttyS0");
  EXPECT_EQ(withId.vendor_id, "");
  EXPECT_EQ(portFor(tree, "ttyS1").hardware_id, "n/a");
}

TEST(UsbDiscovery, UnreadableAttributesReadAsEmpty) {
  FakeSysfs tree;
  const std::string usb = tree.addUsbDevice("1-1", deviceAttributes());
  std::filesystem::remove(usb + "/idVendor");
  std::filesystem::create_directory(usb + "/idVendor");  // open succeeds, read fails
  std::filesystem::remove(usb + "/manufacturer");
  tree.addAcmTerminal("ttyACM0", usb);

  const port_info p = portFor(tree, "ttyACM0");
  EXPECT_EQ(p.vendor_id, "0x");
  EXPECT_EQ(p.description, " Tivax1 SN0001");
  EXPECT_EQ(p.hardware_id, "USB VID:PID=:0104 SNR=SN0001");
  EXPECT_FALSE(UsbSerialDevices::isConnected(kProduct, tree.roots()));
}

TEST(UsbDiscovery, LinkIntoNothingGetsDefaults) {
  FakeSysfs tree;
  const std::string usb = tree.addUsbDevice("1-1", deviceAttributes());
  tree.addAcmTerminal("ttyACM0", usb);
  const std::string converter = tree.addUsbDevice("1-2", deviceAttributes());
  tree.addUsbSerialTerminal("ttyUSB0", converter);
  std::filesystem::remove_all(usb);
  std::filesystem::remove_all(converter);

  for (const char* tty : {"ttyACM0", "ttyUSB0"}) {
    SCOPED_TRACE(tty);
    const port_info p = portFor(tree, tty);
    EXPECT_EQ(p.description, tty);
    EXPECT_EQ(p.hardware_id, "n/a");
  }
}

TEST(UsbDiscovery, AFaultyPortIsSkippedAndTheNextOneFound) {
  FakeSysfs tree;
  FakeSysfs::Attributes broken = deviceAttributes();
  broken["idVendor"] = "not-hex\n";
  tree.addAcmTerminal("ttyACM0", tree.addUsbDevice("1-1", broken));
  tree.addAcmTerminal("ttyACM1", tree.addUsbDevice("1-2", deviceAttributes()));

  UsbSerialDevices finder(kProduct, "", "", tree.roots());
  EXPECT_EQ(finder.ports, Strings{tree.devPath("ttyACM1")});
}

TEST(UsbDiscovery, NothingPresent) {
  FakeSysfs tree;
  EXPECT_TRUE(list_ports(tree.roots()).empty());
  Tivaxlib::SysfsRoots missing{"/nonexistent/dev", "/nonexistent/sys"};
  EXPECT_TRUE(list_ports(missing).empty());
  UsbSerialDevices finder(kProduct, "", "", missing);
  EXPECT_EQ(finder.getCommPort(), "");
  EXPECT_FALSE(UsbSerialDevices::isConnected(kProduct, missing));
}

TEST(UsbDiscovery, RootsWithGlobAndFormatCharactersAreTakenLiterally) {
  FakeSysfs tree("odd [1]*?%s\\dir");
  tree.addAcmTerminal("ttyACM0", tree.addUsbDevice("1-1", deviceAttributes()));
  EXPECT_EQ(UsbSerialDevices(kProduct, "", "", tree.roots()).getCommPort(),
            tree.devPath("ttyACM0"));
}

TEST(UsbSerialDevicesFinder, IdentityIsFixedAndSettersDoNotSearch) {
  FakeSysfs tree;
  UsbSerialDevices finder("Other", "ffff", "9999", tree.roots());
  EXPECT_EQ(finder.productName, "Other");
  EXPECT_EQ(finder.vendorID, "1d6b");
  EXPECT_EQ(finder.productID, "0104");

  tree.addAcmTerminal("ttyACM0", tree.addUsbDevice("1-1", deviceAttributes()));
  finder.setProductName(kProduct);
  finder.setVendorID("aaaa");
  finder.setProductID("");
  EXPECT_EQ(finder.productName, kProduct);
  EXPECT_EQ(finder.vendorID, "aaaa");
  EXPECT_EQ(finder.productID, "");
  EXPECT_TRUE(finder.getPortNames().empty());

  // A new search uses the fixed identity, not the texts set above.
  EXPECT_EQ(finder.findDevicesFromName(kProduct), Strings{tree.devPath("ttyACM0")});
  finder.loadDevicesFromName("Other");
  EXPECT_TRUE(finder.ports.empty());
}

}  // namespace
