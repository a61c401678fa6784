#include "platform/process.h"

#include <algorithm>
#include <utility>

namespace platform {
namespace {

OsChar fold_ascii(OsChar c) {
  return (c >= 'a' && c <= 'z') ? static_cast<OsChar>(c - 'a' + 'A') : c;
}

bool equal_ignoring_ascii_case(OsStringView a, OsStringView b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](OsChar x, OsChar y) {
           return fold_ascii(x) == fold_ascii(y);
         });
}

bool names_equal(OsStringView a, OsStringView b, NameCase name_case) {
  return name_case == NameCase::Sensitive ? a == b : equal_ignoring_ascii_case(a, b);
}

const OsString& username_name() {
  static const OsString name = os_string("username");
  return name;
}

const OsString& path_name() {
  static const OsString name = os_string("path");
  return name;
}

}  // namespace

std::vector<Environment::Entry>::iterator Environment::position(OsStringView name) {
  return std::find_if(entries_.begin(), entries_.end(),
                      [&](const Entry& e) { return names_equal(e.name, name, name_case_); });
}

void Environment::set(OsString name, OsString value) {
  const auto it = position(name);
  if (it == entries_.end()) {
    entries_.push_back(Entry{std::move(name), std::move(value)});
  } else {
    it->name = std::move(name);
    it->value = std::move(value);
  }
}

const OsString* Environment::find(OsStringView name) const {
  for (const Entry& e : entries_) {
    if (names_equal(e.name, name, name_case_)) return &e.value;
  }
  return nullptr;
}

bool Environment::remove(OsStringView name) {
  const auto it = position(name);
  if (it == entries_.end()) return false;
  entries_.erase(it);
  return true;
}

bool is_valid_variable_name(OsStringView name) {
  if (name.empty() || name.find(OsChar{0}) != OsStringView::npos) return false;
  return name.find(OsChar{'='}, 1) == OsStringView::npos;
}

void overlay_stored_environment(Environment& env, const std::vector<StoredValue>& machine,
                                const std::vector<StoredValue>& user) {
  for (const StoredValue& v : machine) {
    if (!is_valid_variable_name(v.name) || equal_ignoring_ascii_case(v.name, username_name())) {
      continue;
    }
    env.set(v.name, v.value);
  }
  for (const StoredValue& v : user) {
    if (!is_valid_variable_name(v.name)) continue;
    OsString value = v.value;
    if (equal_ignoring_ascii_case(v.name, path_name())) {
      if (const OsString* existing = env.find(v.name)) value = *existing + OsChar{';'} + value;
    }
    env.set(v.name, std::move(value));
  }
}

OsString environment_block(const Environment& env) {
  OsString block;
  for (const Environment::Entry& e : env.entries()) {
    if (!is_valid_variable_name(e.name) || e.value.find(OsChar{0}) != OsString::npos) continue;
    block += e.name;
    block += OsChar{'='};
    block += e.value;
    block += OsChar{0};
  }
  // An empty block still needs its two terminating NULs.
  if (block.empty()) block += OsChar{0};
  block += OsChar{0};
  return block;
}

}  // namespace platform
