// The little JSON the front panel's protocol needs: reading one object whose
// members of interest are plain values (strings, numbers, true/false/null),
// and writing strings with the escapes JSON requires. The reader takes any
// well-formed JSON text (nested members are checked and skipped) and refuses
// everything else with a one-line reason; it never throws and bounds its
// nesting, so hostile input costs at most one pass over the text.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vb::web {

// A member's value: null, a boolean, a number, a string, or (for an array or
// object, whose contents are not kept) Nested.
struct Nested {
  bool operator==(const Nested&) const = default;
};
using JsonValue = std::variant<std::nullptr_t, bool, double, std::string, Nested>;
using JsonObject = std::map<std::string, JsonValue>;

// Parses `text` as one JSON object. On failure returns nothing and sets
// `error` ("expected ':' at offset 7").
std::optional<JsonObject> parse_object(std::string_view text, std::string& error);

// `s` as a JSON string literal, quotes included. Bytes that are not valid
// UTF-8 become U+FFFD, so the result is always valid JSON.
std::string json_string(std::string_view s);

// A number as JSON writes it (no NaN or infinity: those become 0).
std::string json_number(double v);

}  // namespace vb::web
