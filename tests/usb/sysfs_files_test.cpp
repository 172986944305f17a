// SPDX-License-Identifier: MIT
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "usb/fake_sysfs.h"
#include "usb/sysfs_files.h"
#include "log/text_format.h"

namespace {

using namespace Tivaxlib::Usb;
using Tivaxlib::Log::formatText;

TEST(SysfsPaths, ParentAndBaseName) {
  struct Case {
    const char* path;
    const char* parent;
    const char* base;
  } const cases[] = {
      {"/sys/devices/usb1/1-1", "/sys/devices/usb1", "1-1"},
      {"/sys", "/", "sys"},
      {"/", "/", ""},
      {"ttyS0", "ttyS0", "ttyS0"},
      {"", "", ""},
      {"dir/", "dir", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(parentPath(c.path), c.parent);
    EXPECT_EQ(baseName(c.path), c.base);
  }
}

TEST(SysfsPaths, EscapeForGlobQuotesOnlyMetacharacters) {
  EXPECT_EQ(escapeForGlob("/tmp/plain-dir_1"), "/tmp/plain-dir_1");
  EXPECT_EQ(escapeForGlob("/a*b?c[d]\\e"), "/a\\*b\\?c\\[d]\\\\e");
}

TEST(TextFormat, GrowsBeyondTheFirstBuffer) {
  const std::string longText(1000, 'x');
  EXPECT_EQ(formatText("<%s>", longText.c_str()), "<" + longText + ">");
  EXPECT_EQ(formatText("%s %s %s", "", "b", ""), " b ");
}

class ReadFirstLine : public ::testing::Test {
 protected:
  TivaxTest::FakeSysfs tree;
  std::string dir = tree.addUsbDevice("1-9", {});
};

TEST_F(ReadFirstLine, TakesTheFirstLineWithoutItsLineFeed) {
  struct Case {
    const char* content;
    const char* expected;
  } const cases[] = {
      {"1d6b\n", "1d6b"},
      {"1d6b", "1d6b"},
      {"first\nsecond\n", "first"},
      {"\nsecond\n", ""},
      {"", ""},
      {"keeps\r\n", "keeps\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    TivaxTest::FakeSysfs::writeFile(dir + "/attr", c.content);
    EXPECT_EQ(readFirstLine(dir + "/attr"), c.expected);
  }
}

TEST_F(ReadFirstLine, MissingDirectoryOrFifoReadsEmpty) {
  EXPECT_EQ(readFirstLine(dir + "/missing"), "");
  EXPECT_EQ(readFirstLine(dir), "");
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(readFirstLine(fifo), "");  // and does not wait for a writer
}

TEST_F(ReadFirstLine, StopsAtOnePage) {
  TivaxTest::FakeSysfs::writeFile(dir + "/big", std::string(10000, 'a'));
  EXPECT_EQ(readFirstLine(dir + "/big"), std::string(4096, 'a'));
}

}  // namespace
