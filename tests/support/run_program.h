// Runs a program to its end with standard input empty and standard output and error captured,
// as a script would. For tests of what a program prints and the status it ends with.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct ProgramResult {
  int status = -1;  // the exit status; -1 when the program could not be run or did not end
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
};

// Runs `program` with `args` (after argv[0]) in an environment of exactly `env` (UTF-8), waiting
// at most a minute.
ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env);

}  // namespace testing_support
