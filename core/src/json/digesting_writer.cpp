// The canonical text of a large value, written on one thread while a second digests it a piece
// behind (see canonical_json_digested in writer.hpp).
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "json/page_warmer.hpp"
#include "json/sha256.hpp"
#include "json/writer.hpp"
#include "json/writer_core.hpp"

namespace orvane::json {

using detail::MoveListener;
using detail::Sink;
using detail::Writer;

namespace {

// Digests a text on a second thread while another thread writes it, a piece behind the
// writer, so that each piece is read while it is still in the cache. Ahead of the writer it
// maps in the pages that are about to be written. When no thread can be started (a limit on
// threads or on address space), the writer's thread takes the digests at the end instead.
class TrailingDigester final : public MoveListener {
 public:
  explicit TrailingDigester(std::string_view prefix) {
    framed_.update(prefix);
    try {
      helper_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
    }
  }
  // Without finish() (the writer gave up, say on a failed allocation), the helper stops where
  // it is rather than digesting the rest.
  ~TrailingDigester() {
    if (!helper_.joinable()) return;
    {
      std::lock_guard lock(m_);
      stop_ = true;
    }
    cv_.notify_all();
    helper_.join();
  }
  TrailingDigester(const TrailingDigester&) = delete;
  TrailingDigester& operator=(const TrailingDigester&) = delete;

  // The text is written up to `ready` in a buffer of `capacity` bytes at `base`.
  void publish(const char* base, std::size_t ready, std::size_t capacity) {
    {
      std::lock_guard lock(m_);
      base_ = base;
      ready_ = ready;
      capacity_ = capacity;
    }
    cv_.notify_all();
  }
  void before_move() override {
    std::unique_lock lock(m_);
    moving_ = true;
    cv_.wait(lock, [&] { return !reading_; });
  }
  void after_move(const char* base) override {
    {
      std::lock_guard lock(m_);
      base_ = base;
      moving_ = false;
      warm_ = 0;  // a new buffer: its pages are the writer's to take
    }
    cv_.notify_all();
  }
  // The last publication; waits for the digests.
  void finish(const char* base, std::size_t ready, std::size_t capacity) {
    {
      std::lock_guard lock(m_);
      base_ = base;
      ready_ = ready;
      capacity_ = capacity;
      finished_ = true;
    }
    if (!helper_.joinable()) {
      const std::string_view rest(base_ + done_, ready_ - done_);
      text_.update(rest);
      framed_.update(rest);
      done_ = ready_;
      return;
    }
    cv_.notify_all();
    helper_.join();
  }
  std::string text_hex() { return text_.hex(); }
  std::string framed_hex(std::string_view suffix) {
    framed_.update(suffix);
    return framed_.hex();
  }

 private:
  static constexpr std::size_t kPiece = tuning::kPieceBytes;
  static constexpr std::size_t kLead = tuning::kWarmLead;
  static constexpr std::size_t kWarmStep = tuning::kDigesterWarmStep;

  void run() {
    std::unique_lock lock(m_);
    for (;;) {
      // While the writer moves the text, nothing is read: the helper sleeps until the move is
      // over (it always ends, failed or not) or it is told to stop.
      cv_.wait(lock,
               [&] { return stop_ || (!moving_ && (finished_ || ready_ > done_ || can_warm())); });
      if (stop_) return;
      if (ready_ > done_) {
        const char* b = base_;
        const std::size_t from = done_, upto = std::min(ready_, done_ + kPiece);
        reading_ = true;
        lock.unlock();
        const std::string_view piece(b + from, upto - from);
        text_.update(piece);
        framed_.update(piece);
        lock.lock();
        reading_ = false;
        done_ = upto;
        if (moving_) cv_.notify_all();
        continue;
      }
      if (finished_) return;
      // Nothing to digest yet: map in the next pages ahead of the writer.
      const char* base = base_;
      const std::size_t capacity = capacity_, from = std::max(warm_, ready_);
      const std::size_t to = std::min(from + kWarmStep, ready_ + kLead);
      reading_ = true;
      lock.unlock();
      auto reached = map_in_pages(base, capacity, from, to);
      lock.lock();
      reading_ = false;
      if (reached) {
        warm_ = *reached;
      } else {
        warm_ok_ = false;
      }
      if (moving_) cv_.notify_all();
    }
  }
  bool can_warm() const {
    return warm_ok_ && std::max(warm_, ready_) + page_slack() < std::min(capacity_, ready_ + kLead);
  }
  static constexpr std::size_t page_slack() { return 4096; }

  std::mutex m_;
  std::condition_variable cv_;
  const char* base_ = nullptr;
  std::size_t ready_ = 0, capacity_ = 0, done_ = 0, warm_ = 0;
  bool moving_ = false, reading_ = false, finished_ = false, stop_ = false, warm_ok_ = true;
  Sha256 text_, framed_;
  std::thread helper_;
};

}  // namespace

DigestedText canonical_json_digested(Value v, std::string_view prefix, std::string_view suffix) {
  DigestedText out;
  // Untouched capacity costs no memory; the text is about as long as its source.
  out.text.reserve(v.document()->source().size() + 16);
  {
    Writer<true> w(out.text, v.document());
    Sink& sink = w.sink();
    // Declared after the writer, so that on every way out (a failed allocation among them)
    // the helper is stopped and joined before the writer lets go of the text.
    TrailingDigester digester(prefix);
    sink.listen(&digester);
    digester.publish(sink.base(), 0, sink.capacity());
    std::size_t published = 0;
    auto publish = [&] {
      if (sink.used() - published >= (std::size_t(64) << 10)) {
        published = sink.used();
        digester.publish(sink.base(), published, sink.capacity());
      }
    };
    if (v.kind() == Kind::Array) {
      w.put('[');
      bool first = true;
      v.for_each_element([&](Value e) {
        if (!first) w.put(',');
        first = false;
        w.write(e);
        publish();
        return true;
      });
      w.put(']');
    } else {
      w.write(v);
    }
    digester.finish(sink.base(), sink.used(), sink.capacity());
    sink.listen(nullptr);
    out.text_sha256 = digester.text_hex();
    out.framed_sha256 = digester.framed_hex(suffix);
  }  // the writer sets the text's length here
  return out;
}

}  // namespace orvane::json
