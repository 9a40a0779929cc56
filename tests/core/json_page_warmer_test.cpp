// The page warmer maps in pages a little ahead of the filler's progress, and never further.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "json/page_warmer.hpp"

namespace orvane::json {
namespace {

class Region {
 public:
  explicit Region(std::size_t len) : len_(len) {
    void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
  }
  ~Region() {
    if (base_) ::munmap(base_, len_);
  }
  char* base() const { return base_; }
  std::size_t len() const { return len_; }
  // Whether the page holding byte `at` is mapped in.
  bool resident(std::size_t at) const {
    const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
    unsigned char v = 0;
    ::mincore(base_ + at / page * page, page, &v);
    return v & 1;
  }

 private:
  char* base_;
  std::size_t len_;
};

TEST(PageWarmer, MapsPagesUpToTheLeadPastProgressAndNoFurther) {
  constexpr std::size_t kMB = std::size_t(1) << 20;
  const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
  Region region(64 * kMB);
  ASSERT_NE(region.base(), nullptr);
  // An unaligned start, as a vector's storage may have; progress in steps that are not whole
  // pages either.
  const std::size_t offset = 100, lead = 4 * kMB;
  std::atomic<std::size_t> used{0};
  std::size_t expect_to = 0;
  {
    PageWarmer warmer(region.base() + offset, region.len() - offset, used, lead);
    for (std::size_t step = 0; step < 12; ++step) {
      used.store(used.load() + kMB + 123);
      expect_to = offset + used.load() + lead - page;  // a page short of the lead: rounding
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (!region.resident(expect_to) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      ASSERT_TRUE(region.resident(expect_to)) << "step " << step;
    }
  }
  // Everything from the first whole page up to the lead is mapped; well past it nothing is.
  for (std::size_t at = page; at < expect_to; at += page) {
    ASSERT_TRUE(region.resident(at)) << at;
  }
  for (std::size_t at = offset + used.load() + lead + 2 * page; at < region.len(); at += page) {
    ASSERT_FALSE(region.resident(at)) << at;
  }
}

TEST(PageWarmer, StopsAtTheEndOfTheBuffer) {
  constexpr std::size_t kMB = std::size_t(1) << 20;
  const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
  Region region(8 * kMB);
  ASSERT_NE(region.base(), nullptr);
  std::atomic<std::size_t> used{0};
  {
    // Only the first 3 MB are the buffer: a lead far past its end must stop at it.
    PageWarmer warmer(region.base(), 3 * kMB, used, 64 * kMB);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!region.resident(3 * kMB - page) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  EXPECT_TRUE(region.resident(0));
  EXPECT_TRUE(region.resident(3 * kMB - page));
  for (std::size_t at = 3 * kMB; at < region.len(); at += page)
    ASSERT_FALSE(region.resident(at)) << at;
}

}  // namespace
}  // namespace orvane::json
