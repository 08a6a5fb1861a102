#include "catalogue/views.hpp"

#include <cassert>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>

namespace ziri {
namespace {

// The `servers` and `search` views cover the whole catalogue (a search over a
// thousand tools is most of a 128 KB response), so they write their JSON text
// directly instead of building a tree. Each view describes its text once, as a
// function of a sink, and runs it twice: first to measure the exact size, then,
// when the response is written, to copy straight into it.

std::string escaped(std::string_view text) {
  std::string out;
  write_json_string(out, text);
  return out;
}

class Measure {
 public:
  void raw(std::string_view text) { size_ += text.size(); }
  void plain_string(std::string_view text) { size_ += text.size() + 2; }
  void string(std::string_view text) {
    if (!json_string_needs_escape(text)) {
      plain_string(text);
    } else {
      size_ += escaped(text).size();
      escapes_ = true;
    }
  }
  void count(std::uint64_t n) {
    char digits[20];
    size_ += std::to_chars(digits, digits + sizeof digits, n).ptr - digits;
  }

  std::size_t size() const { return size_; }
  bool escapes() const { return escapes_; }

 private:
  std::size_t size_ = 0;
  bool escapes_ = false;
};

class Copy {
 public:
  // Without escapes anywhere in the view, texts are copied without a second look.
  Copy(char* out, bool escapes) : out_(out), escapes_(escapes) {}

  void raw(std::string_view text) {
    std::memcpy(out_, text.data(), text.size());
    out_ += text.size();
  }
  // A text known to need no escaping, such as a GraphQL field name: quoted, never scanned.
  void plain_string(std::string_view text) {
    *out_++ = '"';
    raw(text);
    *out_++ = '"';
  }
  void string(std::string_view text) {
    if (escapes_ && json_string_needs_escape(text)) {
      raw(escaped(text));
    } else {
      plain_string(text);
    }
  }
  void count(std::uint64_t n) { out_ = std::to_chars(out_, out_ + 20, n).ptr; }

  char* end() const { return out_; }

 private:
  char* out_;
  bool escapes_;
};

// Measures now and writes later, straight into the response.
template <class Write>
Json write_view(Write write) {
  Measure measure;
  write(measure);
  return RawJson(measure.size(), [write = std::move(write), escapes = measure.escapes(),
                                  size = measure.size()](char* out) {
    Copy copy(out, escapes);
    write(copy);
    assert(copy.end() - out == static_cast<std::ptrdiff_t>(size));
  });
}

}  // namespace

std::string describe_text(std::span<const ToolMetadata> tools) {
  return "dive-ziri GraphQL schema engine stub (" + std::to_string(tools.size()) + " tool fields)";
}

Json server_summaries(std::span<const ToolMetadata> tools) {
  struct Summary {
    std::optional<std::string_view> description;
    std::uint64_t tool_count = 0;
    std::uint64_t read_only_count = 0;
  };
  // Views into the catalogue: each text is copied once, into the output.
  // string_view compares bytes as unsigned, which is the order required.
  std::map<std::string_view, Summary> servers;
  // Catalogues usually list a server's tools together, so most tools belong to
  // the server of the tool before them.
  auto last = servers.end();
  for (const ToolMetadata& tool : tools) {
    if (last == servers.end() || last->first != tool.server_id) {
      last = servers.try_emplace(tool.server_id).first;
    }
    Summary& summary = last->second;
    ++summary.tool_count;
    if (tool.read_only) ++summary.read_only_count;
    if (!summary.description && tool.server_description) {
      summary.description = *tool.server_description;
    }
  }

  // The map goes with the writer: it holds only views into the catalogue.
  return write_view([servers = std::move(servers)](auto& out) {
    out.raw("[");
    for (auto it = servers.begin(); it != servers.end(); ++it) {
      const auto& [name, summary] = *it;
      if (it != servers.begin()) out.raw(",");
      out.raw(R"({"description":)");
      out.string(summary.description.value_or(""));
      out.raw(R"(,"name":)");
      out.string(name);
      out.raw(R"(,"readOnlyCount":)");
      out.count(summary.read_only_count);
      out.raw(R"(,"toolCount":)");
      out.count(summary.tool_count);
      out.raw("}");
    }
    out.raw("]");
  });
}

Json search_hits(std::span<const ToolMetadata> tools) {
  return write_view([tools](auto& out) {
    out.raw("[");
    for (const ToolMetadata& tool : tools) {
      if (&tool != tools.data()) out.raw(",");
      out.raw(R"({"description":)");
      out.string(tool.description);
      out.raw(R"(,"field":)");
      out.plain_string(tool.graphql_name);
      out.raw(tool.read_only ? R"(,"readOnly":true,"server":)" : R"(,"readOnly":false,"server":)");
      out.string(tool.server_id);
      out.raw(R"(,"tool":)");
      out.string(tool.tool_name);
      out.raw("}");
    }
    out.raw("]");
  });
}

}  // namespace ziri
