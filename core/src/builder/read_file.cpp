#include "builder/read_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "builder/compile_error.hpp"
#include "json/page_warmer.hpp"
#include "json/tuning.hpp"

namespace orvane::builder {

namespace {

// Files from this size on are read a piece at a time, each piece consumed while it is in
// the cache, with the buffer's pages mapped in ahead of the reading.
constexpr std::size_t kPiecewiseRead = tuning::kPiecewiseReadFrom;
constexpr std::size_t kPiece = tuning::kPieceBytes;
constexpr std::size_t kWarmLead = tuning::kWarmLead;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads up to `len` bytes at `dst`, retrying interruptions; the count read (short only at the
// end of the file), or -errno.
long long read_fully(int fd, char* dst, std::size_t len) {
  std::size_t got = 0;
  while (got < len) {
    ssize_t n = ::read(fd, dst + got, len - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (n == 0) break;
    got += std::size_t(n);
  }
  return (long long)got;
}

// Reads on past `used` until the end of the file: for files that report no size, or that
// grew since it was taken. A probe into a small buffer first, so that a file that was
// complete does not cost a second buffer of its size.
int read_rest(int fd, std::string& out, std::size_t& used) {
  char probe[65536];
  long long got = read_fully(fd, probe, sizeof probe);
  if (got <= 0) return got < 0 ? int(-got) : 0;
  out.resize(used);
  out.append(probe, std::size_t(got));
  used = out.size();
  if (std::size_t(got) < sizeof probe) return 0;
  for (;;) {
    if (used == out.size()) {
      std::size_t grow = out.size() < 65536 ? 65536 : out.size();
      const std::size_t size = out.size() + grow;
      out.resize_and_overwrite(size, [size](char*, std::size_t) { return size; });
    }
    long long n = read_fully(fd, out.data() + used, out.size() - used);
    if (n < 0) return int(-n);
    used += std::size_t(n);
    if (used < out.size()) return 0;
  }
}

// Why a file of this mode is not read, or null for a regular file or a directory (which
// fails as reading it would).
const char* not_regular_reason(mode_t mode) {
  if (S_ISREG(mode) || S_ISDIR(mode)) return nullptr;
  if (S_ISFIFO(mode)) return "not a regular file (a FIFO)";
  if (S_ISCHR(mode)) return "not a regular file (a character device)";
  if (S_ISBLK(mode)) return "not a regular file (a block device)";
  if (S_ISSOCK(mode)) return "not a regular file (a socket)";
  return "not a regular file";
}

// Why `path` could not be read: the errno of a failing system call, or a reason of our own.
CompileError unreadable(const std::string& path, int errnum) {
  return system_error(ErrorKind::Io, "reading", path, errnum);
}
CompileError unreadable(const std::string& path, const char* reason) {
  std::string message = "reading ";
  message += path;
  message += ": ";
  message += reason;
  return CompileError{ErrorKind::Io, std::move(message)};
}

}  // namespace

std::expected<std::string, CompileError> read_whole_file(
    const std::string& path, const std::function<void(std::string_view)>& consume,
    const std::function<void(std::string_view)>& inspect) {
  // The system reads a path up to its first NUL: a path holding one would name another file.
  if (path.find('\0') != std::string::npos) return std::unexpected(unreadable(path, EINVAL));
  // Opened without waiting: the open of a FIFO would otherwise wait for a writer, and that of
  // a terminal line for its carrier. A terminal never becomes our controlling one.
  int raw;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) {
    const int err = errno;
    // Some kinds cannot be opened at all (a socket: ENXIO), or not by us (a device): the
    // kind is the better answer, the same whatever the permissions.
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) {
      if (const char* reason = not_regular_reason(st.st_mode)) {
        return std::unexpected(unreadable(path, reason));
      }
    }
    return std::unexpected(unreadable(path, err));
  }
  Fd fd(raw);
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(unreadable(path, errno));
  if (S_ISDIR(st.st_mode)) return std::unexpected(unreadable(path, EISDIR));  // as read() would say
  if (const char* reason = not_regular_reason(st.st_mode)) {
    return std::unexpected(unreadable(path, reason));
  }
  // O_NONBLOCK stays set: it has no effect on a regular file's reads.
  std::size_t expected_size = st.st_size > 0 ? std::size_t(st.st_size) : 0;
  std::string out;
  // Sized without zero-filling: every byte is about to be overwritten by the read. (The size
  // given to the callback may exceed the one asked for, so the callback returns our own.)
  out.resize_and_overwrite(expected_size, [expected_size](char*, std::size_t) { return expected_size; });
  std::size_t used = 0;
  std::size_t consumed = 0;

  if (expected_size >= kPiecewiseRead && consume) {
    // A piece at a time: read, checked and digested while it is still in the cache. A second
    // thread maps in the buffer's pages ahead of the reading, which would otherwise fault
    // them in one at a time; if that thread falls behind, the reading faults them itself.
    std::atomic<std::size_t> filled{0};
    json::PageWarmer warmer(out.data(), expected_size, filled, kWarmLead);
    while (used < expected_size) {
      const std::size_t want = std::min(kPiece, expected_size - used);
      long long n = read_fully(fd.get(), out.data() + used, want);
      if (n < 0) return std::unexpected(unreadable(path, int(-n)));
      const std::string_view piece(out.data() + used, std::size_t(n));
      if (inspect) inspect(piece);
      consume(piece);
      used += piece.size();
      filled.store(used, std::memory_order_relaxed);
      if (piece.size() < want) break;  // the file ended early
    }
    consumed = used;
  } else {
    long long n = read_fully(fd.get(), out.data(), expected_size);
    if (n < 0) return std::unexpected(unreadable(path, int(-n)));
    used = std::size_t(n);
    if (inspect && used) inspect(std::string_view(out.data(), used));
  }
  std::size_t inspected = used;
  // The size was a hint: the file may have grown while it was read, or tell no size at all
  // (the files of /proc report 0).
  if (used == out.size()) {
    if (int err = read_rest(fd.get(), out, used)) return std::unexpected(unreadable(path, err));
  }
  out.resize(used);
  if (inspect && used > inspected) inspect(std::string_view(out.data() + inspected, used - inspected));
  if (consume && used > consumed) consume(std::string_view(out.data() + consumed, used - consumed));
  return out;
}

namespace {

// Validates whole characters from the start of `bytes`; the count of bytes validated (a
// character cut off at the end is left over), or npos at the first invalid byte.
std::size_t valid_utf8_prefix(std::string_view bytes) {
  const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* p = begin;
  const auto* end = p + bytes.size();
  while (p < end) {
    // ASCII runs eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p >= end) break;
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int n;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      cp = c & 0x07;
    } else {
      return std::string_view::npos;
    }
    int have = int(std::min<std::ptrdiff_t>(end - p - 1, n));
    for (int k = 1; k <= have; ++k) {
      if ((p[k] & 0xC0) != 0x80) return std::string_view::npos;
      cp = (cp << 6) | (p[k] & 0x3F);
    }
    if (have < n) break;  // cut off: the next piece completes it
    if ((n == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (n == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return std::string_view::npos;
    }
    p += n + 1;
  }
  return std::size_t(p - begin);
}

}  // namespace

void Utf8Check::feed(std::string_view piece) {
  if (!ok_) return;
  if (!carry_.empty()) {
    // Complete the cut character with at most three more bytes, then go on in place.
    std::size_t take = std::min<std::size_t>(piece.size(), 4 - carry_.size());
    std::string joined = carry_ + std::string(piece.substr(0, take));
    std::size_t done = valid_utf8_prefix(joined);
    if (done == std::string_view::npos) {
      ok_ = false;
      return;
    }
    if (done < carry_.size()) {  // still cut off: the piece was tiny
      carry_ = joined;
      return;
    }
    piece.remove_prefix(done - carry_.size());
    carry_.clear();
  }
  std::size_t done = valid_utf8_prefix(piece);
  if (done == std::string_view::npos) {
    ok_ = false;
    return;
  }
  carry_.assign(piece.substr(done));
}

bool Utf8Check::finish() { return ok_ && carry_.empty(); }

bool is_valid_utf8(std::string_view bytes) {
  Utf8Check check;
  check.feed(bytes);
  return check.finish();
}

}  // namespace orvane::builder
