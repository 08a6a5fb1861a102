#include "bridge/bridge_envelope.hpp"

namespace ziri {

// The member order is fixed and not sorted, so the object is written by hand.
std::string request_text(const BridgeEnvelope& envelope) {
  std::string out;
  out.reserve(128);
  out += R"({"request_id":)";
  write_json_string(out, envelope.request_id);
  out += R"(,"server":)";
  write_json_string(out, envelope.server);
  out += R"(,"tool":)";
  write_json_string(out, envelope.tool);
  out += R"(,"arguments":)";
  write_json(out, envelope.arguments);
  out += R"(,"operation":)";
  write_json_string(out, envelope.operation);
  out += '}';
  return out;
}

}  // namespace ziri
