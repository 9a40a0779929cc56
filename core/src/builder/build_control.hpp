#pragma once
// What a build may be stopped by: a time limit over the whole build, and the caller's wish to
// stop (an interrupt reaching the host). Waiting steps (the project lock, cargo, wasm-bindgen)
// look at both every little while.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "builder/compile_error.hpp"

namespace orvane::builder {

// How often a waiting step asks whether to stop: signals reach the host within about this.
inline constexpr int kPollIntervalMs = 100;

class BuildControl {
 public:
  using Clock = std::chrono::steady_clock;

  BuildControl() = default;
  // `timeout_s` counts from now; `cancelled` is asked, on the building thread, whether the
  // caller wants the build stopped.
  BuildControl(std::optional<double> timeout_s, std::function<bool()> cancelled);

  // Why the build has to stop now, if it has to: "timed out after N s" or "cancelled".
  std::optional<std::string> stop_reason() const;
  // How long a wait may last before asking again: the polling interval, or less when the
  // time limit runs out sooner.
  int wait_ms(int interval_ms) const;

 private:
  std::optional<Clock::time_point> deadline_;
  std::optional<double> timeout_s_;
  std::function<bool()> cancelled_;
  // The caller is asked at most once per polling interval: asking may cost (a host may have
  // to take a lock for it), and a tool's output can wake a waiting step often.
  mutable std::optional<Clock::time_point> last_asked_;
};

// Takes an exclusive lock (flock) on `fd`, the file `shown`, waiting for its holder and asking
// `control` every little while whether to stop. Nothing when held; a Build error with the
// reason when told to stop; an Io error "locking <shown>: ..." when flock fails.
std::optional<CompileError> lock_exclusively(int fd, std::string_view shown,
                                             const BuildControl& control);

}  // namespace orvane::builder
