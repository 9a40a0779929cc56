// The local folder store: entries stored whole, the first of two builders of one key kept, a
// dropped entry gone, and nothing left behind under a temporary name.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "builder/artifact_store.hpp"
#include "builder_test_support.hpp"

namespace orvane::builder {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

const std::string kKey(64, 'a');

// What the store holds, as "path: contents" below its folder, in order.
std::vector<std::string> listing(const fs::path& root) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(e.path(), root).string();
    out.push_back(e.is_regular_file() ? rel + ": " + read_file(e.path()) : rel + "/");
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(BuilderArtifactStore, EntriesAreWholeAndTheFirstBuilderOfAKeyKeepsIt) {
  TempDir tmp;
  const fs::path root = tmp.path() / "store";
  auto store = open_store(root.string());
  ASSERT_TRUE(store) << store.error().display();
  const std::string entry = "aa/" + kKey;
  const std::vector<std::string> first = {"aa/", entry + "/", entry + "/artifact: first",
                                          entry + "/record.json: {\"n\":1}"};
  struct Step {
    std::string put;  // the artifact's bytes to store, with `record`; empty: drop the entry
    std::string record;
    std::string fetched;  // what get() then gives: the record and the bytes, or "none"
    std::vector<std::string> listing;
  };
  const Step steps[] = {
      {"first", "{\"n\":1}", "{\"n\":1} | first", first},
      // A second builder of the key finds it taken: it succeeds, and the first entry stays.
      {"second", "{\"n\":2}", "{\"n\":1} | first", first},
      {"", "", "none", {"aa/"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.put);
    write_file(tmp.path() / "artifact", step.put);
    int in = ::open((tmp.path() / "artifact").c_str(), O_RDONLY | O_CLOEXEC);
    auto failed = step.put.empty() ? (*store)->drop(kKey) : (*store)->put(kKey, in, step.record);
    ::close(in);
    EXPECT_FALSE(failed) << failed->display();
    const fs::path out = tmp.path() / ("fetched-" + step.put);
    int fd = ::open(out.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    auto got = (*store)->get(kKey, fd);
    ::close(fd);
    ASSERT_TRUE(got) << got.error().display();
    EXPECT_EQ(*got ? **got + " | " + read_file(out) : "none", step.fetched);
    EXPECT_EQ(listing(root), step.listing);
  }
}

}  // namespace
}  // namespace orvane::builder
