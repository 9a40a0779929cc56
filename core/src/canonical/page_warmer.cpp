#include "canonical/page_warmer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace orvane::json {

namespace {
constexpr std::size_t kStep = std::size_t(2) << 20;
}  // namespace

PageWarmer::PageWarmer(char* base, std::size_t len, const std::atomic<std::size_t>& used,
                       std::size_t lead)
    : base_(base), len_(len), used_(used), lead_(lead) {
  helper_ = std::thread([this] { run(); });
}

PageWarmer::~PageWarmer() {
  {
    std::lock_guard lock(m_);
    stop_ = true;
  }
  cv_.notify_one();
  helper_.join();
}

void PageWarmer::run() {
  const std::uintptr_t page = std::uintptr_t(::sysconf(_SC_PAGESIZE));
  // Whole pages inside the buffer only: the partial pages at its ends are the filler's.
  const std::uintptr_t first = (std::uintptr_t(base_) + page - 1) & ~(page - 1);
  const std::uintptr_t last = (std::uintptr_t(base_) + len_) & ~(page - 1);
  std::uintptr_t warm = first;
  std::unique_lock lock(m_);
  while (!stop_ && warm < last) {
    // Page-aligned: madvise takes whole pages from an aligned start.
    const std::uintptr_t ahead =
        std::uintptr_t(base_) + used_.load(std::memory_order_relaxed) + lead_;
    const std::uintptr_t want = std::min<std::uintptr_t>(last, (ahead + page - 1) & ~(page - 1));
    if (warm < want) {
      const std::size_t n = std::min<std::size_t>(kStep, want - warm);
      lock.unlock();
      // Maps the pages in without changing a byte of them, so it is safe beside the filler.
      // A kernel that does not know the advice refuses it: then there is nothing to gain.
      if (::madvise(reinterpret_cast<void*>(warm), n, MADV_POPULATE_WRITE) != 0) return;
      warm += n;
      lock.lock();
      continue;
    }
    cv_.wait_for(lock, std::chrono::microseconds(250));
  }
}

}  // namespace orvane::json
