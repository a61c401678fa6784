#include "cli/launch/path_search.h"

#include <algorithm>

namespace launch {
namespace {

using platform::OsChar;
using platform::OsString;
using platform::OsStringView;

bool ends_in_separator(OsStringView dir, std::string_view separators) {
  return !dir.empty() && separators.find(static_cast<char>(dir.back())) != std::string_view::npos;
}

// `dir` and `file` as one path; an empty `dir` leaves the bare file name.
OsString join(const OsString& dir, const OsString& file, std::string_view separators) {
  if (dir.empty()) return file;
  OsString joined = dir;
  if (!ends_in_separator(dir, separators)) joined += static_cast<OsChar>(separators.front());
  return joined + file;
}

// A PATHEXT element as the text after the agent's name and ".", or nothing when it is left
// empty once its leading dots are gone.
std::optional<OsString> extension_of(const OsString& element) {
  // Extensions are handled as text: what is not valid Unicode becomes U+FFFD.
  const OsString text = platform::from_utf8(platform::to_utf8_lossy(element));
  const size_t first = text.find_first_not_of(OsChar{'.'});
  if (first == OsString::npos) return std::nullopt;
  return text.substr(first);
}

OsChar fold_ascii(OsChar c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<OsChar>(c - 'A' + 'a') : c;
}

bool equals_ignoring_ascii_case(OsStringView text, std::string_view lower) {
  return text.size() == lower.size() &&
         std::equal(text.begin(), text.end(), lower.begin(),
                    [](OsChar a, char b) { return fold_ascii(a) == static_cast<OsChar>(b); });
}

constexpr std::string_view WINDOWS_SEPARATORS = "\\/";
constexpr std::string_view POSIX_SEPARATORS = "/";

}  // namespace

std::vector<OsString> split_path_list(OsStringView list) {
  std::vector<OsString> elements(1);
  bool quoted = false;
  for (OsChar c : list) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ';' && !quoted) {
      elements.emplace_back();
    } else {
      elements.back() += c;
    }
  }
  return elements;
}

std::optional<OsString> search_windows_path(std::string_view name,
                                            const std::optional<OsString>& path,
                                            const std::optional<OsString>& pathext,
                                            const FileTest& is_candidate) {
  if (!path) return std::nullopt;
  const OsString base = platform::os_string(name);
  const OsString extensions = pathext.value_or(platform::os_string(DEFAULT_PATHEXT));
  std::vector<OsString> names;  // every extension first, then the bare name
  for (const OsString& element : split_path_list(extensions)) {
    if (std::optional<OsString> ext = extension_of(element)) {
      names.push_back(base + OsChar{'.'} + *ext);
    }
  }
  names.push_back(base);
  for (const OsString& dir : split_path_list(*path)) {
    for (const OsString& file : names) {
      OsString candidate = join(dir, file, WINDOWS_SEPARATORS);
      if (is_candidate(candidate)) return candidate;
    }
  }
  return std::nullopt;
}

std::optional<OsString> search_posix_path(std::string_view name,
                                          const std::optional<OsString>& path,
                                          const FileTest& is_candidate) {
  if (!path) return std::nullopt;
  const OsString file = platform::os_string(name);
  size_t start = 0;
  for (;;) {
    const size_t end = path->find(OsChar{':'}, start);
    const OsString dir = path->substr(start, end == OsString::npos ? OsString::npos : end - start);
    OsString candidate = join(dir, file, POSIX_SEPARATORS);
    if (is_candidate(candidate)) return candidate;
    if (end == OsString::npos) return std::nullopt;
    start = end + 1;
  }
}

bool is_batch_file(OsStringView path) {
  const size_t slash = path.find_last_of(platform::os_string(WINDOWS_SEPARATORS));
  const OsStringView last = slash == OsStringView::npos ? path : path.substr(slash + 1);
  const size_t dot = last.rfind(OsChar{'.'});
  if (dot == OsStringView::npos || dot == 0) return false;
  const OsStringView ext = last.substr(dot + 1);
  return equals_ignoring_ascii_case(ext, "bat") || equals_ignoring_ascii_case(ext, "cmd");
}

}  // namespace launch
