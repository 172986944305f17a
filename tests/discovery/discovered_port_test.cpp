// SPDX-License-Identifier: MIT
// The whole road without a configured port: discovery in a sysfs tree,
// opening the terminal it names, and an exchange with the device behind it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "core/tivax.h"
#include "emulator.h"
#include "usb/fake_sysfs.h"

namespace {

const TivaxTest::FakeSysfs::Attributes kDevice = {
    {"idVendor", "1d6b\n"}, {"idProduct", "0104\n"}, {"product", "Tivax1\n"},
    {"manufacturer", "Fabricante\n"}, {"serial", "0001\n"}};

TEST(DiscoveredPort, TheDeviceFoundInSysfsIsOpenedAndAnswers) {
  tivaxemu::Emulator device;
  std::string error;
  ASSERT_TRUE(device.start(&error)) << error;

  TivaxTest::FakeSysfs sysfs;
  sysfs.addAcmTerminal("ttyACM0", sysfs.addUsbDevice("1-1", kDevice));
  // The device node is the emulator's terminal.
  const std::string node = sysfs.devPath("ttyACM0");
  ASSERT_EQ(::unlink(node.c_str()), 0);
  ASSERT_EQ(::symlink(device.terminalPath().c_str(), node.c_str()), 0);

  Tivaxlib::Tivax facade(Tivaxlib::Tivax::serialTerminal(), sysfs.roots());
  EXPECT_TRUE(facade.isConnected());
  EXPECT_EQ(facade.getSATCommPort(), node);
  ASSERT_TRUE(facade.connect());

  Tivaxlib::consultar_sat_t req;
  req.numeroSessao = 42;
  Tivaxlib::consultar_sat_retorno_t ret;
  std::string raw;
  ASSERT_TRUE(facade.consultarSAT(req, ret, raw));
  EXPECT_EQ(ret.numeroSessao, 42);
  EXPECT_EQ(ret.EEEEE, 8000);
  EXPECT_EQ(raw.substr(0, 13), "000042|08000|");
  EXPECT_EQ(device.requestCount(), 1u);
}

TEST(DiscoveredPort, WithoutTheDeviceNothingIsOpened) {
  TivaxTest::FakeSysfs sysfs;
  TivaxTest::FakeSysfs::Attributes other = kDevice;
  other["product"] = "tivax1\n";
  sysfs.addAcmTerminal("ttyACM0", sysfs.addUsbDevice("1-1", other));

  Tivaxlib::Tivax facade(Tivaxlib::Tivax::serialTerminal(), sysfs.roots());
  EXPECT_FALSE(facade.isConnected());
  EXPECT_EQ(facade.getSATCommPort(), "");
  EXPECT_FALSE(facade.connect());
}

}  // namespace
