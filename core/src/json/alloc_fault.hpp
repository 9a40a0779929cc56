#pragma once
// Test hook: makes a text sink's buffer growth fail on purpose, as if the allocator had run
// out, so that tests can check that a command unwinds cleanly from an allocation failure at
// any point of writing (helper threads stopped and joined, nothing left spinning) and that
// the thread works normally afterwards. Not used outside tests.
//
// The check sits in the sink's growth, which is out of line and rare: a thread-local load
// there costs nothing on the writing path.
#include <cstddef>
#include <new>

namespace orvane::json::alloc_fault {

namespace detail {
// Growths on this thread up to and including the failing one; 0 when disarmed.
inline thread_local std::size_t growths_to_failure = 0;
}  // namespace detail

// Makes the `n`th growth of a sink on the calling thread, counting from 1, throw
// std::bad_alloc; 0 disarms. The hook disarms itself once it has fired.
inline void fail_nth_growth(std::size_t n) { detail::growths_to_failure = n; }

// Growths still to come on the calling thread up to and including the failing one; 0 once
// the hook has fired or when disarmed. Arming with a large `n` and reading this afterwards
// counts the growths of a call.
inline std::size_t growths_left() { return detail::growths_to_failure; }

// Called by the sink before each growth.
inline void on_growth() {
  std::size_t& left = detail::growths_to_failure;
  if (left != 0 && --left == 0) throw std::bad_alloc();
}

}  // namespace orvane::json::alloc_fault
