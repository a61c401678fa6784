#include <gtest/gtest.h>
#include <windows.h>

#include <regex>

#include "platform/console.h"

namespace platform {
namespace {

// Points one standard handle elsewhere for the test and puts it back afterwards.
class StdHandleSwap {
 public:
  StdHandleSwap(DWORD which, HANDLE replacement) : which_(which), saved_(GetStdHandle(which)) {
    SetStdHandle(which_, replacement);
  }
  ~StdHandleSwap() { SetStdHandle(which_, saved_); }

 private:
  DWORD which_;
  HANDLE saved_;
};

class ConsoleErrors : public ::testing::Test {
 protected:
  ConsoleErrors() { CreatePipe(&read_end_, &write_end_, nullptr, 0); }
  ~ConsoleErrors() override {
    CloseHandle(read_end_);
    CloseHandle(write_end_);
  }
  HANDLE read_end_ = nullptr;
  HANDLE write_end_ = nullptr;
};

// "<system message> (0x8007XXXX)": the message trimmed, the code as an HRESULT in upper case.
const std::regex PLATFORM_ERROR(R"(\S.*\S \(0x8007[0-9A-F]{4}\))");

TEST_F(ConsoleErrors, AMissingStandardHandleReadsAsAnInvalidHandle) {
  StdHandleSwap input(STD_INPUT_HANDLE, nullptr);
  StdHandleSwap output(STD_OUTPUT_HANDLE, nullptr);
  for (const Error& error : {install_console_handler().error(), console_size().error(),
                             enter_relay_input_mode().error()}) {
    EXPECT_TRUE(std::regex_match(error.display(), PLATFORM_ERROR)) << error.display();
    EXPECT_NE(error.display().find("(0x80070006)"), std::string::npos) << error.display();
  }
}

TEST_F(ConsoleErrors, RedirectedStreamsAreNotAConsole) {
  StdHandleSwap input(STD_INPUT_HANDLE, read_end_);
  StdHandleSwap output(STD_OUTPUT_HANDLE, write_end_);
  Result<void> installed = install_console_handler();
  ASSERT_FALSE(installed);
  EXPECT_TRUE(std::regex_match(installed.error().display(), PLATFORM_ERROR))
      << installed.error().display();
  Result<ConsoleSize> size = console_size();
  ASSERT_FALSE(size);
  EXPECT_TRUE(std::regex_match(size.error().display(), PLATFORM_ERROR)) << size.error().display();
  // Nothing was saved: restoring must leave the pipe alone and not fail.
  restore_console();
}

}  // namespace
}  // namespace platform
