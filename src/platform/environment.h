// What the pseudo-terminal starts: the agent's command and its environment, and the environment
// the agent gets by default. The environment map is a plain value; nothing here is shared
// between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "platform/os_string.h"

namespace platform {

// How variable names compare: without regard to letter case on Windows, exactly elsewhere.
enum class NameCase : std::uint8_t { Sensitive, Insensitive };

// This platform's rule for variable names.
NameCase native_name_case();

// An environment: ordered entries, at most one per name as this map compares names. Each entry
// keeps the form of its name that it was last set with. Letter case is folded for ASCII letters
// only; variable names are ASCII in practice. Setting and finding take constant time on average
// (an index by name), so that a whole environment is built in linear time.
class Environment {
 public:
  struct Entry {
    OsString name;
    OsString value;
  };

  Environment() : Environment(native_name_case()) {}
  explicit Environment(NameCase name_case) : name_case_(name_case) {}

  // Sets `name` to `value`. An entry of the same name keeps its place and takes this name form
  // and value; otherwise the entry is appended.
  void set(OsString name, OsString value);

  // The value of `name`, or null. The pointer is valid until the map next changes.
  const OsString* find(OsStringView name) const;

  // Removes the entry of that name; false when there was none.
  bool remove(OsStringView name);

  const std::vector<Entry>& entries() const { return entries_; }
  NameCase name_case() const { return name_case_; }

 private:
  // The index's key for `name`: the name itself, or with ASCII letters folded to upper case.
  OsString key(OsStringView name) const;

  NameCase name_case_;
  std::vector<Entry> entries_;
  std::unordered_map<OsString, std::size_t> index_;  // key -> position in entries_
};

// True for a name that an environment block can carry: not empty, no NUL, and no "=" after its
// first character (Windows keeps per-drive directories in names such as "=C:").
bool is_valid_variable_name(OsStringView name);

// A string value stored in the registry's environment keys, already expanded.
struct StoredValue {
  OsString name;
  OsString value;
};

// Lays the stored machine-wide values, then the user's, over `env`: the machine's "username" is
// left out; a user value named "path" (any case) is appended to the existing PATH after ";".
// Names that no environment can carry are skipped.
void overlay_stored_environment(Environment& env, const std::vector<StoredValue>& machine,
                                const std::vector<StoredValue>& user);

// A copy of this process's environment, taken now.
Environment launcher_environment();

// The environment an agent starts with: on POSIX the launcher's; on Windows the launcher's with
// the registry's stored environment laid over it (see overlay_stored_environment; unreadable
// keys and values are skipped, expandable values are expanded, other types ignored).
Environment default_agent_environment();

// The command the pseudo-terminal starts. No working directory: the agent starts in the
// launcher's current directory.
struct AgentCommand {
  enum class Kind {
    Program,    // started itself
    BatchFile,  // a Windows batch file, started through the system's cmd.exe in the safe form
  };
  Kind kind = Kind::Program;
  OsString program;            // the program or the batch file, as found
  std::vector<OsString> args;  // args[0] is `program`, then the agent's arguments
  Environment env;
};

// The environment as a block for CreateProcessW (with CREATE_UNICODE_ENVIRONMENT on Windows):
// "name=value\0" per entry in the map's order, then a final "\0". Entries whose name is not valid
// or whose value holds a NUL cannot be written and are left out.
OsString environment_block(const Environment& env);

}  // namespace platform
