#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/environment.h"

namespace platform {
namespace {

constexpr const wchar_t* MACHINE_ENVIRONMENT_KEY =
    L"System\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr const wchar_t* USER_ENVIRONMENT_KEY = L"Environment";
// A value that keeps changing size while we read it is given up after this many tries.
constexpr int MAX_VALUE_READS = 4;

// An open registry key, closed with its owner.
class RegistryKey {
 public:
  RegistryKey(HKEY root, const wchar_t* path) {
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// %name% references replaced from this process's environment; nothing when that fails.
std::optional<OsString> expand(const OsString& text) {
  DWORD size = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  for (int attempt = 0; size != 0 && attempt < MAX_VALUE_READS; ++attempt) {
    OsString out(size, L'\0');
    const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), out.data(), size);
    if (needed == 0) return std::nullopt;
    if (needed <= size) {
      out.resize(needed - 1);  // the count includes the terminating NUL
      return out;
    }
    size = needed;
  }
  return std::nullopt;
}

// A string value's text: up to its first NUL (stored strings may or may not carry one).
OsString string_data(const std::vector<BYTE>& data, DWORD length) {
  OsString text(length / sizeof(wchar_t), L'\0');
  if (!text.empty()) memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
  const size_t nul = text.find(L'\0');
  if (nul != OsString::npos) text.resize(nul);
  return text;
}

// Value `index` of `key`, or nothing when it cannot be read or is not a string.
// ERROR_NO_MORE_ITEMS ends the enumeration through *done.
std::optional<StoredValue> read_value(HKEY key, DWORD index, bool* done) {
  DWORD max_name = 0, max_data = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       &max_name, &max_data, nullptr, nullptr) != ERROR_SUCCESS) {
    *done = true;
    return std::nullopt;
  }
  for (int attempt = 0; attempt < MAX_VALUE_READS; ++attempt) {
    std::vector<wchar_t> name(max_name + 1);
    std::vector<BYTE> data(max_data + sizeof(wchar_t));
    DWORD name_length = static_cast<DWORD>(name.size());
    DWORD data_length = static_cast<DWORD>(data.size());
    DWORD type = 0;
    const LSTATUS status = RegEnumValueW(key, index, name.data(), &name_length, nullptr, &type,
                                         data.data(), &data_length);
    if (status == ERROR_NO_MORE_ITEMS) {
      *done = true;
      return std::nullopt;
    }
    if (status == ERROR_MORE_DATA) {
      // The value grew since the key was measured: measure again.
      max_name = max_name * 2 + 64;
      max_data = data_length > max_data ? data_length : max_data * 2 + 64;
      continue;
    }
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
    StoredValue value{OsString(name.data(), name_length), string_data(data, data_length)};
    if (type == REG_EXPAND_SZ) {
      std::optional<OsString> expanded = expand(value.value);
      if (!expanded) return std::nullopt;
      value.value = std::move(*expanded);
    }
    return value;
  }
  return std::nullopt;
}

// The string values stored under root\path; an unreadable key gives none, an unreadable value
// is skipped.
std::vector<StoredValue> stored_values(HKEY root, const wchar_t* path) {
  std::vector<StoredValue> values;
  RegistryKey key(root, path);
  if (key.get() == nullptr) return values;
  bool done = false;
  for (DWORD index = 0; !done; ++index) {
    if (std::optional<StoredValue> value = read_value(key.get(), index, &done)) {
      values.push_back(std::move(*value));
    }
  }
  return values;
}

}  // namespace

NameCase native_name_case() { return NameCase::Insensitive; }

Environment launcher_environment() {
  Environment env(NameCase::Insensitive);
  wchar_t* block = GetEnvironmentStringsW();
  if (block == nullptr) return env;
  for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
    const OsStringView text(entry);
    // Names such as "=C:" (the per-drive directories) begin with "=": look past the first one.
    const size_t equals = text.find(L'=', 1);
    if (equals == OsStringView::npos) continue;
    env.set(OsString(text.substr(0, equals)), OsString(text.substr(equals + 1)));
  }
  FreeEnvironmentStringsW(block);
  return env;
}

Environment default_agent_environment() {
  Environment env = launcher_environment();
  overlay_stored_environment(env, stored_values(HKEY_LOCAL_MACHINE, MACHINE_ENVIRONMENT_KEY),
                             stored_values(HKEY_CURRENT_USER, USER_ENVIRONMENT_KEY));
  return env;
}

}  // namespace platform
