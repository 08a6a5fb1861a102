// What the harnesses check the engine against: a second reading of the same
// text straight through yyjson, with nothing of the engine's JSON model.
#pragma once

#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzz {

// A broken invariant: says which, and stops so that libFuzzer keeps the input.
[[noreturn]] inline void violated(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "invariant violated: %.*s\n%.*s\n", static_cast<int>(what.size()),
               what.data(), static_cast<int>(detail.size()), detail.data());
  std::abort();
}

inline void require(bool holds, std::string_view what, std::string_view detail = {}) {
  if (!holds) violated(what, detail);
}

struct DocFree {
  void operator()(yyjson_doc* doc) const { yyjson_doc_free(doc); }
};
using Doc = std::unique_ptr<yyjson_doc, DocFree>;

// Strict RFC 8259 reading, as the engine's reader is configured.
inline Doc read(std::string_view text) {
  return Doc(yyjson_read(text.data(), text.size(), YYJSON_READ_NOFLAG));
}

// Deepest nesting of arrays and objects (a scalar document has 0), walked with
// an explicit stack so that no input can exhaust the real one.
inline int container_depth(yyjson_val* root) {
  int deepest = 0;
  std::vector<std::pair<yyjson_val*, int>> stack{{root, 0}};
  while (!stack.empty()) {
    auto [value, depth] = stack.back();
    stack.pop_back();
    if (yyjson_is_arr(value)) {
      deepest = std::max(deepest, depth + 1);
      yyjson_val* item;
      yyjson_arr_iter it = yyjson_arr_iter_with(value);
      while ((item = yyjson_arr_iter_next(&it))) stack.emplace_back(item, depth + 1);
    } else if (yyjson_is_obj(value)) {
      deepest = std::max(deepest, depth + 1);
      yyjson_val* key;
      yyjson_obj_iter it = yyjson_obj_iter_with(value);
      while ((key = yyjson_obj_iter_next(&it))) {
        stack.emplace_back(yyjson_obj_iter_get_val(key), depth + 1);
      }
    }
  }
  return deepest;
}

// The engine accepts exactly the documents that nest no deeper than this.
inline constexpr int kMaxDepth = 127;

inline std::string_view str(yyjson_val* value) {
  return {yyjson_get_str(value), yyjson_get_len(value)};
}

// The value of the last member named `key`: with duplicate keys the last wins.
inline yyjson_val* last_member(yyjson_val* object, std::string_view key) {
  if (!yyjson_is_obj(object)) return nullptr;
  yyjson_val* found = nullptr;
  yyjson_val* name;
  yyjson_obj_iter it = yyjson_obj_iter_with(object);
  while ((name = yyjson_obj_iter_next(&it))) {
    if (str(name) == key) found = yyjson_obj_iter_get_val(name);
  }
  return found;
}

}  // namespace fuzz
