// The one JSON document model of the module, with its reader and writer.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace ziri {

class Json;

/// Deepest nesting of arrays and objects that reading accepts.
inline constexpr int kJsonMaxDepth = 127;

using JsonArray = std::vector<Json>;

/// An immutable value held by reference count. A variable that a request uses
/// many times is held once: a copy of its value costs a count, not the value's
/// size, so a request cannot multiply a large variable by its uses.
using SharedJson = std::shared_ptr<const Json>;

/// A JSON object whose members stay in ascending byte order of their keys;
/// putting an existing key replaces its value, so the last duplicate wins.
class JsonObject {
 public:
  using Member = std::pair<std::string, Json>;
  using const_iterator = std::vector<Member>::const_iterator;

  JsonObject() = default;

  // Defined after Json, below: a vector's members may be used only once its
  // element type is complete, and clang instantiates them where they are named.
  const_iterator begin() const;
  const_iterator end() const;
  std::size_t size() const;
  bool empty() const;

  /// Returns the value under `key`, or nullptr.
  const Json* find(std::string_view key) const;

  /// Puts `value` under `key`, replacing an earlier value of that key. Moves
  /// every member after `key`: build large objects with from_unsorted.
  void insert_or_assign(std::string key, Json value);

  /// Puts every member's value behind a SharedJson, so copies of it are cheap.
  void share_values();

  /// Takes members already in strictly ascending key order (no check beyond a debug assert).
  static JsonObject from_sorted(std::vector<Member> members);

  /// Sorts members by key, keeping the last of each run of equal keys; n log n.
  static JsonObject from_unsorted(std::vector<Member> members);

  friend bool operator==(const JsonObject&, const JsonObject&);

 private:
  std::vector<Member> members_;
};

/// Compact JSON text of a known size that the writer writes in place,
/// straight into its output. Lets a view of the whole catalogue go from the
/// catalogue into the response in one pass, with neither a tree nor a copy.
/// Its writer may hold views into what it was made from (the views hold the
/// catalogue's texts), so write it while that lives: within the request that
/// made it, whose engine holds the catalogue.
class RawJson {
 public:
  /// Writes exactly `size` bytes at `out`.
  using Writer = std::function<void(char* out)>;

  RawJson(std::size_t size, Writer write) : size_(size), write_(std::move(write)) {}
  /// Text already at hand.
  explicit RawJson(std::string text);

  std::size_t size() const { return size_; }
  void write(char* out) const { write_(out); }
  /// The text itself: for comparisons and tests.
  std::string text() const;

  friend bool operator==(const RawJson& a, const RawJson& b) { return a.text() == b.text(); }

 private:
  std::size_t size_;
  Writer write_;
};

/// A JSON value. A shared value reads as the value it holds: `value()`, `is`,
/// the const `get_if` and comparison look through it, and only the mutable
/// `get_if` sees it as what it is, since a shared value cannot be changed.
class Json {
 public:
  using Value = std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, double, std::string,
                             JsonArray, JsonObject, RawJson, SharedJson>;

  Json() = default;
  Json(std::nullptr_t) {}
  Json(bool b) : value_(b) {}
  Json(int i) : value_(std::int64_t{i}) {}
  Json(std::int64_t i) : value_(i) {}
  Json(std::uint64_t u) : value_(u) {}
  Json(double d) : value_(d) {}
  Json(const char* s) : value_(std::string(s)) {}
  Json(std::string_view s) : value_(std::string(s)) {}
  Json(std::string s) : value_(std::move(s)) {}
  Json(JsonArray a) : value_(std::move(a)) {}
  Json(JsonObject o) : value_(std::move(o)) {}
  Json(RawJson r) : value_(std::move(r)) {}
  Json(SharedJson shared);

  template <class T>
  bool is() const {
    return std::holds_alternative<T>(value());
  }
  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&value());
  }
  template <class T>
  T* get_if() {
    return std::get_if<T>(&value_);
  }
  /// The value, or the shared value's own.
  const Value& value() const;

  friend bool operator==(const Json& a, const Json& b) { return a.value() == b.value(); }

 private:
  Value value_;
};

// A shared value never holds another, so one look through is enough.
inline Json::Json(SharedJson shared) {
  if (const auto* inner = std::get_if<SharedJson>(&shared->value_)) {
    value_ = *inner;
  } else {
    value_ = std::move(shared);
  }
}

inline const Json::Value& Json::value() const {
  if (const auto* shared = std::get_if<SharedJson>(&value_)) return (*shared)->value_;
  return value_;
}

inline JsonObject::const_iterator JsonObject::begin() const { return members_.begin(); }
inline JsonObject::const_iterator JsonObject::end() const { return members_.end(); }
inline std::size_t JsonObject::size() const { return members_.size(); }
inline bool JsonObject::empty() const { return members_.empty(); }
// Written out rather than defaulted: clang recurses without end through the
// defaulted comparisons of Json and JsonObject, which contain each other.
inline bool operator==(const JsonObject& a, const JsonObject& b) {
  return a.members_ == b.members_;
}

/// Reads exactly one JSON document (RFC 8259; space, tab, LF and CR around it).
/// A failure is a short description followed by " at line N column M".
std::expected<Json, std::string> parse_json(std::string_view text);

/// Appends the compact text of `value`.
void write_json(std::string& out, const Json& value);

/// Returns the compact text of `value`.
std::string to_json(const Json& value);

/// Appends `text` as a JSON string literal: only '"', '\\' and bytes below
/// 0x20 are escaped (\b \t \n \f \r, others as \u00xx in lowercase hex).
void write_json_string(std::string& out, std::string_view text);

/// Whether write_json_string escapes anything in `text`. Most texts need no
/// escape; the scan has no early exit, so the compiler vectorises it.
bool json_string_needs_escape(std::string_view text);

}  // namespace ziri
