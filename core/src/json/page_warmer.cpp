#include "json/page_warmer.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

namespace {
// -1: ask the machine; 0 or 1: FixedSecondCore's answer.
std::atomic<int> g_fixed_second_core{-1};
}  // namespace

FixedSecondCore::FixedSecondCore(bool free) { g_fixed_second_core.store(free ? 1 : 0); }
FixedSecondCore::~FixedSecondCore() { g_fixed_second_core.store(-1); }

bool second_core_free() {
  if (const int fixed = g_fixed_second_core.load(std::memory_order_relaxed); fixed >= 0) return fixed == 1;
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (::sched_getaffinity(0, sizeof cpus, &cpus) != 0 || CPU_COUNT(&cpus) < 2) return false;
  const int usable = CPU_COUNT(&cpus);
  // The fourth field of /proc/loadavg: threads ready to run now "/" threads in all. Where it
  // cannot be read, the helper is started, as before this was asked.
  const int fd = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char buf[128];
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return true;
  buf[n] = 0;
  const char* p = buf;
  for (int field = 0; field < 3 && *p; ++field) {
    while (*p && *p != ' ') ++p;
    while (*p == ' ') ++p;
  }
  int running = 0;
  while (*p >= '0' && *p <= '9') running = running * 10 + (*p++ - '0');
  if (*p != '/') return true;
  return running < usable;
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
