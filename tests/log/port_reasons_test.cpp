// SPDX-License-Identifier: MIT
// Why no link could be made: no device found, and ports that cannot be
// used. A program of its own, so that discovery runs before any port is
// configured.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "core/tivax.h"
#include "tivax.h"
#include "usb/fake_sysfs.h"

namespace {

std::string take(char* result) {
  std::string copy = result;
  DesalocarString(result);
  return copy;
}

std::string lastError() { return TivaxlibUltimoErro(); }

int countOf(const std::string& text, const std::string& what) {
  int count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

const TivaxTest::FakeSysfs::Attributes kDevice = {
    {"idVendor", "1d6b\n"}, {"idProduct", "0104\n"}, {"product", "Tivax1\n"}};

TEST(NoDevice, DiscoverySaysWhatItFound) {
  const char none[] = "nenhum equipamento encontrado: não há terminal ttyACM no sistema";
  TivaxTest::FakeSysfs empty;
  Tivaxlib::Tivax::instance().setSysfsRoots(empty.roots());
  EXPECT_EQ(TivaxlibInit(), 0);
  EXPECT_EQ(lastError(), none);
  EXPECT_EQ(DispositivoConectado(), 0);
  EXPECT_EQ(lastError(), none);
  EXPECT_EQ(take(ConsultarSAT(1)), "");
  EXPECT_EQ(lastError(), none);

  TivaxTest::FakeSysfs other;
  TivaxTest::FakeSysfs::Attributes renamed = kDevice;
  renamed["product"] = "tivax1\n";
  other.addAcmTerminal("ttyACM0", other.addUsbDevice("1-1", renamed));
  Tivaxlib::Tivax::instance().setSysfsRoots(other.roots());
  EXPECT_EQ(TivaxlibInit(), 0);
  EXPECT_EQ(lastError(), "nenhum equipamento encontrado: " + other.devPath("ttyACM0") +
                             " tem a identidade USB 1d6b:0104, mas o produto \"tivax1\", e não "
                             "\"Tivax1\"");

  TivaxTest::FakeSysfs unrelated;
  TivaxTest::FakeSysfs::Attributes modem = {{"idVendor", "2c7c\n"}, {"idProduct", "0125\n"}};
  unrelated.addAcmTerminal("ttyACM0", unrelated.addUsbDevice("1-1", modem));
  Tivaxlib::Tivax::instance().setSysfsRoots(unrelated.roots());
  EXPECT_EQ(DispositivoConectado(), 0);
  EXPECT_EQ(lastError(),
            "nenhum equipamento encontrado: o único terminal ttyACM não tem a identidade USB "
            "1d6b:0104");
  Tivaxlib::Tivax::instance().setSysfsRoots(Tivaxlib::SysfsRoots());
}

class Scratch : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tivax-ports-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    chmod(dir.c_str(), 0755);
    file = dir + "/not-a-terminal";
    std::ofstream(file) << "kept as it is\n";
  }
  void TearDown() override {
    ::unlink(file.c_str());
    ::rmdir(dir.c_str());
  }
  std::string dir, file;
};

// The port is stored either way; the reason says why it cannot be used,
// each attempt prints its diagnostic once, and the next call tries again.
TEST_F(Scratch, PortsThatCannotBeUsed) {
  const struct {
    std::string port;
    const char* reason;
    const char* diagnostic;
  } cases[] = {
      {dir + "/ttyACM9",
       "porta não abre: {port}: No such file or directory (o caminho não existe: o equipamento "
       "está desligado, ou a porta é outra)",
       "SerialPort::portOpen: Unable to open device {port} (No such file or directory)\n"},
      {file, "porta não abre: {port}: Inappropriate ioctl for device (o caminho não é um terminal)",
       "SerialPort::portOpen: Unable to open device {port} (Inappropriate ioctl for device)\n"},
      {"/dev/null",
       "configuração recusada: {port}: as configurações do terminal não puderam ser lidas "
       "(Inappropriate ioctl for device) (o caminho não é um terminal)",
       "SerialPort::setParameters: Failed to read port settings {port} (Inappropriate ioctl for "
       "device)\n"},
  };
  const auto filled = [](std::string text, const std::string& port) {
    text.replace(text.find("{port}"), 6, port);
    return text;
  };
  for (const auto& c : cases) {
    const std::string reason = filled(c.reason, c.port);
    const std::string diagnostic = filled(c.diagnostic, c.port);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ConfigurarPortaSerial(c.port.c_str()), 1) << c.port;
    const std::string firstAttempt = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lastError(), reason);
    EXPECT_EQ(countOf(firstAttempt, diagnostic), 1) << firstAttempt;

    EXPECT_EQ(take(ConsultarSAT(2)), "") << c.port;
    EXPECT_EQ(lastError(), reason);
  }
  // Nothing was written into the file.
  std::ifstream in(file);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "kept as it is\n");
}

// A terminal the program's user may not open (run as root, the check
// drops to an unprivileged user in a child process).
TEST_F(Scratch, PortWithoutPermissionPointsAtTheGroup) {
  ASSERT_EQ(chmod(file.c_str(), 0600), 0);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(out[0]);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    if (geteuid() != 0) chmod(file.c_str(), 0);
    ConfigurarPortaSerial(file.c_str());
    const std::string reason = lastError();
    const bool sent = write(out[1], reason.data(), reason.size()) == static_cast<ssize_t>(reason.size());
    _exit(sent ? 0 : 1);
  }
  close(out[1]);
  std::string reason;
  char buffer[512];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) reason.append(buffer, n);
  close(out[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(reason, "porta não abre: " + file +
                        ": Permission denied (o usuário do programa precisa de leitura e escrita "
                        "no terminal: em geral, pertencer ao grupo dialout)");
}

}  // namespace
