#include "json/page_warmer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <system_error>

#include "json/tuning.hpp"

namespace orvane::json {

namespace {
constexpr std::size_t kStep = tuning::kWarmerStep;
}  // namespace

std::optional<std::size_t> map_in_pages(const char* base, std::size_t len, std::size_t from,
                                        std::size_t to) {
  const std::uintptr_t page = std::uintptr_t(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t b = std::uintptr_t(base);
  const std::uintptr_t start = (b + from + page - 1) & ~(page - 1);
  const std::uintptr_t last = (b + len) & ~(page - 1);
  if (start >= last) return len;
  const std::uintptr_t end = std::min(last, (b + to + page - 1) & ~(page - 1));
  if (end <= start) return from;
  // Safe beside a thread that fills the buffer: no byte changes.
  if (::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE) != 0) {
    return std::nullopt;
  }
  return end == last ? len : std::size_t(end - b);
}

PageWarmer::PageWarmer(char* base, std::size_t len, const std::atomic<std::size_t>& used,
                       std::size_t lead)
    : base_(base), len_(len), used_(used), lead_(lead) {
  // The pages are mapped in ahead only to save time: when no thread can be started (a limit
  // on threads or on address space), the filling thread faults them in itself.
  try {
    helper_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
  }
}

PageWarmer::~PageWarmer() {
  if (!helper_.joinable()) return;
  {
    std::lock_guard lock(m_);
    stop_ = true;
  }
  cv_.notify_one();
  helper_.join();
}

void PageWarmer::run() {
  std::size_t warm = 0;
  std::unique_lock lock(m_);
  while (!stop_ && warm < len_) {
    const std::size_t want = std::min(len_, used_.load(std::memory_order_relaxed) + lead_);
    if (warm < want) {
      lock.unlock();
      auto reached = map_in_pages(base_, len_, warm, std::min(want, warm + kStep));
      lock.lock();
      if (!reached) return;
      if (*reached > warm) {
        warm = *reached;
        continue;
      }
    }
    cv_.wait_for(lock, std::chrono::microseconds(250));
  }
}

}  // namespace orvane::json
