#pragma once
// A content-addressed store of built artifacts: a build whose inputs were built before, here or
// on another machine sharing the store, is a copy rather than a build.
//
// An entry is found by a key, the SHA-256 of a canonical description of everything that decides
// the artifact's bytes (`StoreKey::parts`): the project (the manifest's `project_hash`), the
// target and opt level, the tool chain's identity as its tools tell it, the resolved dependency
// lock, and the compiler flags the user gives cargo through the environment. The paths a build
// remaps away are left out (they do not reach the artifact); the remap scheme's version stands
// in for them.
//
// Each entry holds the artifact and a record (JSON: the key and its parts, the artifact's
// SHA-256 and size, how long its build took). An artifact whose digest is not its record's is
// never served: the entry is dropped, and the artifact built again.
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "builder/build_control.hpp"
#include "builder/compile_error.hpp"
#include "builder/pipeline.hpp"

namespace orvane::builder {

// Where a store keeps its entries. A backend only moves bytes: the keys, the records and the
// check of what comes back are the caller's (`build_through_store`).
class ArtifactStore {
 public:
  virtual ~ArtifactStore() = default;
  // The record of `key`'s entry, its artifact written to `out` (a fresh, empty file open for
  // writing); nullopt when the store has no such entry.
  virtual std::expected<std::optional<std::string>, CompileError> get(const std::string& key, int out) = 0;
  // Stores the file open as `artifact` (read from its start) and `record` as `key`'s entry,
  // whole or not at all. When the key has an entry by then, the store keeps that one.
  virtual std::optional<CompileError> put(const std::string& key, int artifact, const std::string& record) = 0;
  // Removes `key`'s entry, if there is one.
  virtual std::optional<CompileError> drop(const std::string& key) = 0;
};

// The member of a request that names the store, where its faults are placed.
inline constexpr std::string_view kStoreField = "build.store";

// The store a request names: a local folder, by its path or a file:// URL (created when
// missing; it must be the user's and writable by no one else, like the build cache). Any other
// scheme is refused, naming it. Faults are placed at `build.store`.
std::expected<std::unique_ptr<ArtifactStore>, CompileError> open_store(std::string_view location);

// Whether `location` is a URL of a scheme other than file://: a store only a host's backend
// can open.
bool is_remote_store(std::string_view location);

struct StoreKey {
  std::string digest;  // SHA-256 (hex) of `parts`
  std::string parts;   // a JSON object, with sorted members
};

// The key of the build of `m` in the held project folder `project` (shown as `project_dir`).
// Without `resolve_lock`, a folder without Cargo.lock is not resolved: the lock is null.
// Asks the tools the build would run, in the project folder (so that a tool-chain override
// there applies): `rustc -vV` (RUSTC, else rustc on the PATH), `cargo -V`, `wasm-bindgen
// --version` for wasm, and `cargo generate-lockfile` when the folder holds no Cargo.lock yet
// (the lock a build would resolve; a lock already there is the one the build uses). `host`
// reads the host's environment.
std::expected<StoreKey, CompileError> store_key(
    const Manifest& m, int project, const std::filesystem::path& project_dir, const BuildControl& control,
    const std::function<std::optional<std::string>(const char*)>& host, bool resolve_lock = true);

// The name of the provenance record beside an artifact.
inline constexpr std::string_view kProvenanceSuffix = ".provenance.json";

// Writes, beside the artifact at `artifact` (relative to the held project folder), its
// provenance record: an in-toto Statement whose subject is the artifact's SHA-256 and whose
// predicate holds what made it: the build's key parts (`store_key`, the lock as the build left
// it; null when the tool chain cannot be asked) and the manifest's facts, the embedded strategy
// (`src/spec.json`) among them. Replaced whole, never half written.
std::optional<CompileError> write_provenance(const Manifest& m, int project, const std::filesystem::path& project_dir,
                                             const std::string& artifact, const BuildControl& control);

// The artifact of `m` at its place below the held project folder, from `store` when it holds
// the key's entry (no build), else from `build`, whose artifact is then stored. The artifact's
// path relative to the project folder, as `build` returns it.
// `used`, when given, is told the key and whether the store held it.
struct StoreUse {
  std::string key;
  bool hit = false;
};
std::expected<std::string, CompileError> build_through_store(
    ArtifactStore& store, const Manifest& m, int project, const std::filesystem::path& project_dir,
    const BuildControl& control, const std::function<std::expected<std::string, CompileError>()>& build,
    StoreUse* used = nullptr);

}  // namespace orvane::builder
