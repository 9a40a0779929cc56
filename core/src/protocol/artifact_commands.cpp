#include "builder/read_file.hpp"
#include "json/sha256.hpp"
#include "protocol/commands.hpp"
#include "protocol/decode_request.hpp"
#include "protocol/requests.hpp"
#include "protocol/responses.hpp"

namespace orvane::protocol {

std::string artifact_bytes_command(HandleState& state, std::string_view cmd_json,
                                   const json::ParsedDocument& request) {
  auto req = decode_request<BytesReq>(cmd_json, request);
  if (!req) return error_response("bad artifact_bytes request: " + req.error().message);
  // Digested as it is read: a large file a piece at a time, each piece while it is in the cache.
  json::Sha256 sha;
  auto bytes = builder::read_whole_file(req->path, [&](std::string_view piece) { sha.update(piece); });
  // The answer words a file that cannot be read without the kind's prefix.
  if (!bytes) return error_response(bytes.error().message);
  std::uint64_t handle = state.next_handle++;
  std::string out = "{\"handle\":" + std::to_string(handle) +
                    ",\"len\":" + std::to_string(bytes->size()) + ",\"sha256\":\"" + sha.hex() +
                    "\"}";
  state.artifact_cache.insert_or_assign(handle, std::move(*bytes));
  return out;
}

std::string reset_command(HandleState& state) {
  state.release_cache();
  state.next_handle = 0;
  return "{\"ok\":true}";
}

}  // namespace orvane::protocol
