#pragma once
// Working buffers a thread keeps from one use to the next, so that reading or writing a small
// document does not allocate them afresh. The first user on a thread borrows the thread's set;
// a user that comes while it is lent (a reader inside a reader) gets a set of its own. When a
// borrowed set is given back, Buffers::tidy() empties it and lets go of what grew too large.
#include <memory>

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

}  // namespace orvane::json
