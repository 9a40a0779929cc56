#include "json/streamed_digests.hpp"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "json/sha256.hpp"
#include "json/tuning.hpp"
#include "json/writer.hpp"
#include "json/writer_core.hpp"

namespace orvane::json {

using detail::Writer;

namespace {

constexpr std::size_t kPiece = tuning::kPieceBytes;

// Both digests of the text, fed a piece at a time.
struct Digests {
  Sha256 text, framed;
  std::size_t bytes = 0;
  void update(std::string_view piece) {
    text.update(piece);
    framed.update(piece);
    bytes += piece.size();
  }
};

// Digests the pieces handed to it on a second thread, one at a time: while it digests one, the
// writer fills the other buffer. Joined on every way out (a failed allocation among them).
class PieceDigester {
 public:
  explicit PieceDigester(Digests& d) : d_(d) {
    try {
      helper_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
    }
  }
  ~PieceDigester() {
    if (!helper_.joinable()) return;
    {
      std::lock_guard lock(m_);
      stop_ = true;
    }
    cv_.notify_all();
    helper_.join();
  }
  PieceDigester(const PieceDigester&) = delete;
  PieceDigester& operator=(const PieceDigester&) = delete;

  bool running() const { return helper_.joinable(); }
  // Waits until the previous piece is digested, then hands over `piece`, which the caller
  // leaves alone until the next hand() or finish() returns.
  void hand(std::string_view piece) {
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return !pending_; });
    piece_ = piece;
    pending_ = true;
    cv_.notify_all();
  }
  // Waits until every piece handed over is digested.
  void finish() {
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return !pending_; });
  }

 private:
  void run() {
    std::unique_lock lock(m_);
    for (;;) {
      cv_.wait(lock, [&] { return stop_ || pending_; });
      if (stop_) return;
      const std::string_view piece = piece_;
      lock.unlock();
      d_.update(piece);
      lock.lock();
      pending_ = false;
      cv_.notify_all();
    }
  }

  Digests& d_;
  std::mutex m_;
  std::condition_variable cv_;
  std::string_view piece_;
  bool pending_ = false, stop_ = false;
  std::thread helper_;
};

}  // namespace

StreamedDigests canonical_json_streamed(Value v, std::string_view prefix, std::string_view suffix,
                                        bool helper) {
  Digests d;
  d.framed.update(prefix);
  // Two buffers: with a helper, one is digested while the other is written.
  std::string buffers[2];
  for (auto& b : buffers) b.reserve(kPiece + (kPiece >> 2));
  std::optional<PieceDigester> digester;
  if (helper) {
    digester.emplace(d);
    if (!digester->running()) digester.reset();
  }
  int k = 0;
  auto flush = [&] {
    std::string& b = buffers[k];
    if (digester) {
      digester->hand(b);
      k ^= 1;
      buffers[k].clear();  // its piece is digested: hand() waited for that
    } else {
      d.update(b);
      b.clear();
    }
  };
  const Document* doc = v.document();
  if (v.kind() != Kind::Array || v.size() == 0) {
    {
      Writer<true> w(buffers[k], doc);
      w.write(v);
    }
    flush();
  } else {
    // The elements as for_each_element walks them, a piece's worth per writer.
    std::uint32_t i = v.index() + 1;
    const std::uint32_t end = doc->end_of(v.index());
    buffers[k] += '[';
    bool first = true;
    while (i < end) {
      {
        Writer<true> w(buffers[k], doc);
        while (i < end && w.sink().used() < kPiece) {
          if (!first) w.put(',');
          first = false;
          const std::uint32_t next = doc->end_of(i);
          w.write(doc->value(doc->resolve(i)));
          i = next;
        }
        if (i == end) w.put(']');
      }  // the writer sets the buffer's length here
      flush();
    }
  }
  if (digester) digester->finish();
  digester.reset();
  StreamedDigests out;
  out.text_bytes = d.bytes;
  out.text_sha256 = d.text.hex();
  d.framed.update(suffix);
  out.framed_sha256 = d.framed.hex();
  return out;
}

}  // namespace orvane::json
