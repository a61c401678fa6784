#include <gtest/gtest.h>

#include "platform/pty.h"

namespace platform {
namespace {

TEST(PseudoConsole, OpensForAConsoleLargerThanACoordHolds) {
  // Regression: a console wider or taller than 32,767 cells was handed to the pseudo-console as
  // a negative size, and the start failed.
  for (const ConsoleSize size : {ConsoleSize{40000, 24}, ConsoleSize{80, 65535}}) {
    Result<PtyPair> pair = open_pty(size);
    EXPECT_TRUE(pair) << size.columns << "x" << size.rows << ": " << pair.error().display();
  }
}

}  // namespace
}  // namespace platform
