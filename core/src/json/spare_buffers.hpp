#pragma once
// Working buffers a thread keeps from one use to the next, so that reading or writing a small
// document does not allocate them afresh. The first user on a thread borrows the thread's set;
// a user that comes while it is lent (a reader inside a reader) gets a set of its own. When a
// borrowed set is given back, Buffers::tidy() empties it and lets go of what grew too large.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace orvane::json {

template <class Buffers>
class SpareBuffers {
 public:
  SpareBuffers() {
    Slot& s = slot();
    if (!s.lent) {
      s.lent = true;
      buffers_ = &s.buffers;
    } else {
      own_ = std::make_unique<Buffers>();
      buffers_ = own_.get();
    }
  }
  ~SpareBuffers() {
    if (own_) return;
    buffers_->tidy();
    slot().lent = false;
  }
  SpareBuffers(const SpareBuffers&) = delete;
  SpareBuffers& operator=(const SpareBuffers&) = delete;

  Buffers& get() { return *buffers_; }

 private:
  struct Slot {
    Buffers buffers;
    bool lent = false;
  };
  static Slot& slot() {
    thread_local Slot s;
    return s;
  }

  std::unique_ptr<Buffers> own_;
  Buffers* buffers_ = nullptr;
};

// Large working buffers a handle keeps from one request to the next. A 100 MB request reads
// into a tape of about 110 MB; had it its own mapping every time, each call would fault in
// every one of its pages afresh (a 4 KiB page costs about 1.4 µs, tens of milliseconds per
// call), and hand them back at the end. Kept, the pages stay mapped and the next large request
// writes into them. Only buffers from tuning::kKeepBuffersFrom to tuning::kKeepBuffersUpTo
// bytes are kept: smaller ones the allocator serves from its heap anyway, and a handle that
// once read a gigabyte does not hold it. The handle's `reset` and its end let them go.
struct KeptBuffers {
  std::vector<std::uint64_t> tape;
  // The longest request text read into `tape` so far: a request no longer than that writes
  // only pages that are mapped already.
  std::size_t tape_text = 0;
  bool tape_lent = false;  // to a request being read (a command inside a command reads its own)

  void release() {
    tape = {};
    tape_text = 0;
  }
};

}  // namespace orvane::json
