#include <cstring>

#include "platform/environment.h"

extern char** environ;

namespace platform {

NameCase native_name_case() { return NameCase::Sensitive; }

Environment launcher_environment() {
  Environment env(NameCase::Sensitive);
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals == nullptr) continue;
    env.set(OsString(*entry, static_cast<size_t>(equals - *entry)), OsString(equals + 1));
  }
  return env;
}

Environment default_agent_environment() { return launcher_environment(); }

}  // namespace platform
