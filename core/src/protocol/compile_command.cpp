#include <filesystem>

#include "builder/artifact_store.hpp"
#include "builder/pipeline.hpp"
#include "builder/run_cargo.hpp"
#include "builder/write_project.hpp"
#include "json/writer.hpp"
#include "protocol/commands.hpp"
#include "protocol/decode_request.hpp"
#include "protocol/requests.hpp"
#include "protocol/responses.hpp"

namespace orvane::protocol {

namespace {

// `store`: how a build through a store went, told after `built` ({"hit":...,"key":...}).
std::string compile_response(const builder::Manifest& m, const std::string* path,
                             const builder::StoreUse* store = nullptr) {
  std::string out = "{\"target\":";
  schema::append_target(out, m.target);
  if (path) {
    out += ",\"path\":";
    json::append_string(out, *path);
  }
  out += ",\"manifest\":";
  append_manifest(out, m);
  out += path ? ",\"built\":true" : ",\"built\":false";
  if (store) {
    out += store->hit ? ",\"store\":{\"hit\":true,\"key\":\"" : ",\"store\":{\"hit\":false,\"key\":\"";
    out += store->key + "\"}";
  }
  out += '}';
  return out;
}

}  // namespace

std::string compile_command(HandleState& state, std::string_view cmd_json,
                            const json::ParsedDocument& request,
                            const CommandHooks& hooks) {
  // The strategy and candle values stay in the request's document.
  auto req = decode_request<CompileReq>(cmd_json, request);
  if (!req) return error_response("bad compile request: " + req.error().message);
  return compile_decoded(state, *req, hooks, false);
}

std::string compile_decoded(HandleState&, const CompileReq& request, const CommandHooks& hooks,
                            bool strategy_checked, std::string* strategy_text) {
  const CompileReq* req = &request;
  auto refused = [&](const builder::CompileError& e) {
    if (hooks.failure) *hooks.failure = e;
    return error_response(e.display());
  };
  auto project = builder::generate_project(
      req->spec, strategy_checked,
      req->dry_run ? builder::FileTexts::DigestsOnly : builder::FileTexts::Kept, strategy_text);
  if (!project) return refused(project.error());
  if (req->dry_run) {
    std::string answer = compile_response(project->manifest, nullptr);
    if (hooks.success) hooks.success->emplace(CompileSuccess{std::move(project->manifest), {}, {}});
    return answer;
  }

  const builder::Manifest& m = project->manifest;
  std::filesystem::path project_dir =
      std::filesystem::path(req->out_dir.value_or("_out")) / m.crate_name;
  // The host's last word before anything is written (a tool chain that cannot build this).
  if (hooks.before_write) {
    if (auto stop = hooks.before_write(m, project_dir)) return refused(*stop);
  }
  std::optional<double> timeout_s;
  if (req->build && req->build->timeout_s) timeout_s = req->build->timeout_s->value;
  const builder::BuildControl control(timeout_s, hooks.cancelled);
  std::optional<std::filesystem::path> cache_dir;
  if (req->build && req->build->cache_dir) {
    cache_dir = *req->build->cache_dir;
    // A cache that cannot be used is found before the project is written.
    if (auto bad = builder::prepare_chosen_folder(*cache_dir)) {
      bad->field = "build.cache_dir";
      bad->field_in_request = true;
      return refused(*bad);
    }
  }
  std::unique_ptr<builder::ArtifactStore> store;
  if (req->build && req->build->store) {
    const std::string& location = *req->build->store;
    auto opened = hooks.open_store && builder::is_remote_store(location) ? hooks.open_store(location)
                                                                          : builder::open_store(location);
    if (!opened) {
      builder::CompileError fault = opened.error();
      if (fault.field.empty()) {
        fault.field = builder::kStoreField;
        fault.field_in_request = true;
      }
      return refused(fault);
    }
    store = std::move(*opened);
  }
  // The folder stays locked until the build is over: builds of one folder take turns.
  auto folder = builder::write_project(project_dir, project->files, control);
  if (!folder) return refused(folder.error());
  builder::CargoRun run{folder->fd(), std::nullopt};
  if (req->build && req->build->jobs) run.jobs = req->build->jobs->value;
  auto build = [&] {
    return builder::run_cargo(project_dir, m.target, m.opt_level, m.crate_name, control, cache_dir,
                              hooks.echo_fd, run);
  };
  // With a store, a build it holds already is a copy.
  builder::StoreUse used;
  auto artifact = store ? builder::build_through_store(*store, m, folder->fd(), project_dir, control, build, &used)
                        : build();
  if (!artifact) return refused(artifact.error());
  // What made the artifact, beside it. The answer does not wait on it: an artifact that is not
  // there (the runner names where it goes without looking) has no record, and says so by that.
  (void)builder::write_provenance(m, folder->fd(), project_dir, *artifact, control);
  std::string path = (project_dir / *artifact).string();
  std::string answer = compile_response(m, &path, store ? &used : nullptr);
  if (hooks.success) {
    hooks.success->emplace(CompileSuccess{std::move(project->manifest), std::move(path),
                                          store ? std::optional(std::move(used)) : std::nullopt});
  }
  return answer;
}

}  // namespace orvane::protocol
