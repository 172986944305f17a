// SPDX-License-Identifier: MIT
#include "comm/serial_port.h"

#include <gtest/gtest.h>

#include <functional>

namespace Tivaxlib {
namespace Comm {
namespace {

termios baseline() {
  termios t{};
  t.c_iflag = IGNPAR;
  t.c_cflag = CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 5;
  cfsetspeed(&t, B115200);
  return t;
}

TEST(TermiosComparison, SeesEveryFieldTheLinkDependsOnAndNothingElse) {
  struct Case {
    const char* field;
    std::function<void(termios&)> change;
    bool differs;
  };
  const Case cases[] = {
      {"input flags", [](termios& t) { t.c_iflag |= ICRNL; }, true},
      {"output flags", [](termios& t) { t.c_oflag |= OPOST; }, true},
      {"control flags", [](termios& t) { t.c_cflag |= PARENB; }, true},
      {"local flags", [](termios& t) { t.c_lflag |= ICANON; }, true},
      {"line discipline", [](termios& t) { t.c_line = 1; }, true},
      {"VMIN", [](termios& t) { t.c_cc[VMIN] = 0; }, true},
      {"VTIME", [](termios& t) { t.c_cc[VTIME] = 0; }, true},
      {"input speed", [](termios& t) { cfsetispeed(&t, B9600); }, true},
      {"output speed", [](termios& t) { cfsetospeed(&t, B9600); }, true},
      {"interrupt character", [](termios& t) { t.c_cc[VINTR] = 3; }, false},
      {"end-of-file character", [](termios& t) { t.c_cc[VEOF] = 4; }, false},
  };
  for (const Case& c : cases) {
    termios changed = baseline();
    c.change(changed);
    EXPECT_EQ(changed != baseline(), c.differs) << c.field;
    EXPECT_EQ(baseline() != changed, c.differs) << c.field;
  }
  EXPECT_FALSE(baseline() != baseline());
}

}  // namespace
}  // namespace Comm
}  // namespace Tivaxlib
