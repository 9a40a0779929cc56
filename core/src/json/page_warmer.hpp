#pragma once
// Mapping in the pages of a large buffer on a second thread, a little ahead of the thread
// that fills it. A fresh page costs a fault the first time it is written; for a tape of tens
// of megabytes those faults are a fifth of the reading time, and the second core is idle
// while the text is read.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <thread>

namespace orvane::json {

// Maps in, without changing a byte of them, the pages of the buffer [base, base + len) from
// offset `from` to about `to`. Whole pages inside the buffer only: the partial pages at its
// ends may belong to other data. Gives the offset reached (where the next call starts; `len`
// when the buffer has no whole page left), or nullopt when the kernel refuses the advice,
// and then there is nothing to gain.
std::optional<std::size_t> map_in_pages(const char* base, std::size_t len, std::size_t from,
                                        std::size_t to);

// Whether a helper thread would have a core of its own now: the process may run on two CPUs
// or more, and fewer threads are ready to run on the machine than it may use (this one
// counted). Asked before a large request starts a helper; with one core taken by another
// process, the helper and the thread it helps take turns on the other, and one thread doing
// both is faster (bench/harness.py --busy). Cheap (one read of /proc/loadavg), not free:
// asked once per large request, not per piece.
bool second_core_free();

// Fixes what second_core_free answers, for as long as the returned guard lives (nullopt: the
// machine is asked again): for tests that count what a large request does, which must not
// depend on what else the machine is running.
class FixedSecondCore {
 public:
  explicit FixedSecondCore(bool free);
  ~FixedSecondCore();
  FixedSecondCore(const FixedSecondCore&) = delete;
  FixedSecondCore& operator=(const FixedSecondCore&) = delete;
};

class PageWarmer {
 public:
  // Keeps the pages of [base, base + len) mapped up to `lead` bytes past `used`, which the
  // filling thread raises as it goes. Never maps further than that, so memory that is never
  // filled is never taken.
  PageWarmer(char* base, std::size_t len, const std::atomic<std::size_t>& used, std::size_t lead);
  // Stops and joins the helper. Runs on every way out of the filling scope, a failed
  // allocation among them: the helper never outlives the buffer.
  ~PageWarmer();
  PageWarmer(const PageWarmer&) = delete;
  PageWarmer& operator=(const PageWarmer&) = delete;

 private:
  void run();

  char* base_;
  std::size_t len_;
  const std::atomic<std::size_t>& used_;
  std::size_t lead_;
  std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread helper_;
};

}  // namespace orvane::json
