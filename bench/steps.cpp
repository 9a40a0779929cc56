// The 2 KB dry run taken apart: each step of a compile dry run timed on its own, with the
// allocations it makes, beside the whole command as the binding calls it. The steps are the
// public pieces the command is made of, called in its order on its data; what the whole call
// costs beyond their sum is shown as "leftover".
//
//   orvane_steps [calls per round, default 20000] [rounds, default 9]
//
// Allocations are counted by this program's own malloc, calloc, realloc and aligned
// allocations, which stand in front of the C library's for every library in the process
// (operator new, and libcrypto, which is linked in statically, call them).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "builder/crate_name.hpp"
#include "builder/digests.hpp"
#include "builder/pipeline.hpp"
#include "builder/project_files.hpp"
#include "builder/target_table.hpp"
#include "json/writer.hpp"
#include "micro/workload.hpp"
#include "protocol/decode_request.hpp"
#include "protocol/dispatch.hpp"
#include "protocol/requests.hpp"
#include "protocol/responses.hpp"
#include "protocol/state.hpp"
#include "schema/strategy.hpp"

// ---- counting allocations ----

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {
// Only the measuring thread allocates while a count is taken.
std::atomic<std::uint64_t> g_allocations{0};
void counted() { g_allocations.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

extern "C" {
void* malloc(std::size_t n) {
  counted();
  return __libc_malloc(n);
}
void* calloc(std::size_t k, std::size_t n) {
  counted();
  return __libc_calloc(k, n);
}
void* realloc(void* p, std::size_t n) {
  counted();
  return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
void* memalign(std::size_t a, std::size_t n) {
  counted();
  return __libc_memalign(a, n);
}
void* aligned_alloc(std::size_t a, std::size_t n) {
  counted();
  return __libc_memalign(a, n);
}
int posix_memalign(void** out, std::size_t a, std::size_t n) {
  counted();
  void* p = __libc_memalign(a, n);
  if (!p) return 12;  // ENOMEM
  *out = p;
  return 0;
}
}

namespace {

using namespace orvane;
using Clock = std::chrono::steady_clock;

struct Step {
  const char* name;
  double ns = 0;
  std::uint64_t allocations = 0;
};

// Times one dry run step by step, adding to `steps` (in the order of the names below).
void one_call(const std::string& text, std::vector<Step>& steps) {
  std::size_t k = 0;
  auto t = Clock::now();
  std::uint64_t a = g_allocations.load(std::memory_order_relaxed);
  auto mark = [&] {
    const auto now = Clock::now();
    const std::uint64_t b = g_allocations.load(std::memory_order_relaxed);
    steps[k].ns += double(std::chrono::duration_cast<std::chrono::nanoseconds>(now - t).count());
    steps[k].allocations += b - a;
    ++k;
    t = Clock::now();
    a = g_allocations.load(std::memory_order_relaxed);
  };
  {
    json::ParsedDocument request;
    request.doc.set_source(text);
    request.doc.reserve(text.size() / 6 + 16);
    if (!json::parse_into(text, request)) std::abort();
    mark();  // parse
    auto envelope = schema::decode<protocol::Envelope>(request.value());
    if (!envelope) std::abort();
    mark();  // envelope
    auto req = protocol::decode_request<protocol::CompileReq>(text, request);
    if (!req) std::abort();
    mark();  // request
    // The strategy checked and its canonical text written in one walk, as the pipeline does.
    std::string spec_text;
    spec_text.reserve(std::min<std::size_t>(text.size(), std::size_t(1) << 16));
    if (!schema::write_checked_strategy(req->spec.strategy, spec_text)) std::abort();
    mark();  // check and canonical text
    auto crate = builder::derive_crate_name(req->spec.crate_name, req->spec.strategy);
    if (!crate || !builder::check_target(req->spec.target)) std::abort();
    mark();  // crate name, target
    builder::FileSet files = builder::project_files(req->spec.target, *crate,
                                                    builder::profile_snippet(req->spec.opt_level),
                                                    std::move(spec_text), builder::EmbeddedData{});
    mark();  // templates
    builder::Manifest m;
    m.spec_hash = builder::spec_hash(req->spec, files.find("src/spec.json")->second, "");
    mark();  // spec_hash
    m.files = builder::file_digests(files);
    mark();  // file digests
    m.project_hash = builder::project_hash(m.files);
    mark();  // project_hash
    m.target = req->spec.target;
    m.crate_name = *crate;
    std::string out = "{\"target\":";
    schema::append_target(out, m.target);
    out += ",\"manifest\":";
    protocol::append_manifest(out, m);
    out += ",\"built\":false}";
    mark();  // answer
  }
  mark();  // freeing
}

constexpr const char* kStepNames[] = {
    "parse (text to tape)", "envelope",  "request body", "check, canonical text",
    "crate name, target",   "templates", "spec_hash",    "file digests",
    "project_hash",         "answer",    "freeing",
};

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
  const std::string& text = bench::small_request();
  protocol::HandleState handle;
  {
    const std::string answer = protocol::command(handle, text);
    if (answer.find("\"ok\":false") != std::string::npos) {
      std::fprintf(stderr, "%s\n", answer.c_str());
      return 1;
    }
  }
  // Each round: the whole command `calls` times, then the steps `calls` times; the round
  // whose whole command was the median is reported.
  struct Round {
    double whole_ns;
    std::uint64_t whole_allocations;
    std::vector<Step> steps;
  };
  std::vector<Round> all;
  for (int r = 0; r < rounds; ++r) {
    Round round{0, 0, {}};
    for (const char* n : kStepNames) round.steps.push_back(Step{n});
    for (int i = 0; i < calls / 10; ++i) (void)protocol::command(handle, text);  // warm
    const std::uint64_t a0 = g_allocations.load();
    const auto t0 = Clock::now();
    for (int i = 0; i < calls; ++i) {
      std::string out = protocol::command(handle, text);
      asm volatile("" : : "r"(out.data()) : "memory");
    }
    const auto t1 = Clock::now();
    round.whole_allocations = g_allocations.load() - a0;
    round.whole_ns = double(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
    for (int i = 0; i < calls; ++i) one_call(text, round.steps);
    all.push_back(std::move(round));
  }
  std::sort(all.begin(), all.end(),
            [](const Round& x, const Round& y) { return x.whole_ns < y.whole_ns; });
  const Round& mid = all[all.size() / 2];
  double sum_ns = 0;
  std::printf("%-24s %10s %10s\n", "step", "us/call", "mallocs");
  for (const Step& s : mid.steps) {
    std::printf("%-24s %10.3f %10.1f\n", s.name, s.ns / calls / 1000.0,
                double(s.allocations) / calls);
    sum_ns += s.ns;
  }
  std::printf("%-24s %10.3f %10s\n", "sum of steps", sum_ns / calls / 1000.0, "");
  std::printf("%-24s %10.3f %10.1f\n", "whole command", mid.whole_ns / calls / 1000.0,
              double(mid.whole_allocations) / calls);
  std::printf("(%d bytes of request, %d calls a round, median of %d rounds)\n", int(text.size()),
              calls, rounds);
  return 0;
}
