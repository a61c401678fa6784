#include "cli/companion/json.h"

#include <vector>

namespace companion {
namespace {

// Builds the value like nlohmann's own DOM builder, and refuses nesting of MAX_JSON_DEPTH or
// more.
class StrictBuilder {
 public:
  Json take() { return std::move(root_); }

  bool null() { return put(Json(nullptr)) != nullptr; }
  bool boolean(bool v) { return put(Json(v)) != nullptr; }
  bool number_integer(Json::number_integer_t v) { return put(Json(v)) != nullptr; }
  bool number_unsigned(Json::number_unsigned_t v) { return put(Json(v)) != nullptr; }
  bool number_float(Json::number_float_t v, const Json::string_t&) {
    return put(Json(v)) != nullptr;
  }
  bool string(Json::string_t& v) { return put(Json(std::move(v))) != nullptr; }
  bool binary(Json::binary_t&) { return false; }

  bool start_object(std::size_t) { return open(Json::object()); }
  bool start_array(std::size_t) { return open(Json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(Json::string_t& name) {
    key_ = std::move(name);
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  // Places a value where the parser is: the root, the next array element or the current member.
  Json* put(Json value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Json* top = stack_.back();
    if (top->is_array()) {
      top->push_back(std::move(value));
      return &top->back();
    }
    // An object keeps the last of repeated members.
    Json& slot = (*top)[key_];
    slot = std::move(value);
    return &slot;
  }

  bool open(Json container) {
    if (stack_.size() + 1 >= static_cast<std::size_t>(MAX_JSON_DEPTH)) return false;
    Json* placed = put(std::move(container));
    stack_.push_back(placed);
    return true;
  }

  bool close() {
    stack_.pop_back();
    return true;
  }

  Json root_;
  std::vector<Json*> stack_;  // the open arrays and objects, innermost last
  std::string key_;           // the name of the member whose value comes next
};

}  // namespace

bool may_be_json_text(std::string_view text) {
  // nlohmann skips a leading byte-order mark; the launcher refuses it.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") return false;
  // nlohmann's lexer takes a NUL byte for the end of the input, which would let anything behind
  // it pass; a NUL is never valid anywhere in JSON text.
  return text.find('\0') == std::string_view::npos;
}

std::optional<Json> parse_json(std::string_view text) {
  if (!may_be_json_text(text)) return std::nullopt;
  StrictBuilder builder;
  bool ok = false;
  try {
    ok = Json::sax_parse(text.begin(), text.end(), &builder, Json::input_format_t::json,
                         /*strict=*/true);
  } catch (const std::exception&) {
    ok = false;
  }
  if (!ok) return std::nullopt;
  return builder.take();
}

const Json* member(const Json& value, std::string_view name) {
  if (!value.is_object()) return nullptr;
  const auto it = value.find(name);
  return it == value.end() ? nullptr : &*it;
}

std::string encode_json(const Json& value) {
  // Objects are std::map: members come out in ascending byte order of their names.
  return value.dump(-1, ' ', /*ensure_ascii=*/false, Json::error_handler_t::replace);
}

}  // namespace companion
