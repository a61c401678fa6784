#include "platform/environment.h"

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

const OsString& username_name() {
  static const OsString name = os_string("username");
  return name;
}

const OsString& path_name() {
  static const OsString name = os_string("path");
  return name;
}

}  // namespace

OsString Environment::key(OsStringView name) const {
  OsString folded(name);
  if (name_case_ == NameCase::Insensitive) {
    for (OsChar& c : folded) c = fold_ascii(c);
  }
  return folded;
}

void Environment::set(OsString name, OsString value) {
  const auto [it, added] = index_.try_emplace(key(name), entries_.size());
  if (added) {
    entries_.push_back(Entry{std::move(name), std::move(value)});
  } else {
    Entry& entry = entries_[it->second];
    entry.name = std::move(name);
    entry.value = std::move(value);
  }
}

const OsString* Environment::find(OsStringView name) const {
  const auto it = index_.find(key(name));
  return it == index_.end() ? nullptr : &entries_[it->second].value;
}

bool Environment::remove(OsStringView name) {
  const auto it = index_.find(key(name));
  if (it == index_.end()) return false;
  const std::size_t removed = it->second;
  index_.erase(it);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(removed));
  // Linear, as the erase itself is.
  for (auto& [k, position] : index_) {
    if (position > removed) --position;
  }
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
