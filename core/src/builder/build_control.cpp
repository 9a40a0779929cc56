#include "builder/build_control.hpp"

#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <thread>

namespace orvane::builder {

namespace {

// Longer limits than this (about 31 years) are no limit: the deadline would overflow.
constexpr double kLongestLimit = 1e9;

std::string seconds_text(double s) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, s);
  return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

}  // namespace

BuildControl::BuildControl(std::optional<double> timeout_s, std::function<bool()> cancelled)
    : timeout_s_(timeout_s), cancelled_(std::move(cancelled)) {
  if (timeout_s && *timeout_s < kLongestLimit) {
    deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(*timeout_s));
  }
}

std::optional<std::string> BuildControl::stop_reason() const {
  if (cancelled_) {
    const Clock::time_point now = Clock::now();
    if (!last_asked_ || now - *last_asked_ >= std::chrono::milliseconds(kPollIntervalMs)) {
      last_asked_ = now;
      if (cancelled_()) return std::string("cancelled");
    }
  }
  if (deadline_ && Clock::now() >= *deadline_) {
    return "timed out after " + seconds_text(*timeout_s_) + " s";
  }
  return std::nullopt;
}

std::optional<CompileError> lock_exclusively(int fd, std::string_view shown,
                                             const BuildControl& control) {
  constexpr int kLockPollMs = 50;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return std::nullopt;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return system_error(ErrorKind::Io, "locking", shown, errno);
    if (auto stop = control.stop_reason()) return CompileError{ErrorKind::Build, std::move(*stop)};
    std::this_thread::sleep_for(std::chrono::milliseconds(control.wait_ms(kLockPollMs)));
  }
}

int BuildControl::wait_ms(int interval_ms) const {
  if (!deadline_) return interval_ms;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
  return int(std::clamp<long long>(left, 0, interval_ms));
}

}  // namespace orvane::builder
