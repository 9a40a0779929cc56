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

// What get() gives for the key: the record and the artifact's bytes, or "none".
std::string fetched(ArtifactStore& store, const fs::path& scratch) {
  const fs::path out = scratch / "fetched";
  fs::remove(out);
  int fd = ::open(out.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  auto got = store.get(kKey, fd);
  ::close(fd);
  if (!got) return got.error().display();
  return *got ? **got + " | " + read_file(out) : "none";
}

TEST(BuilderArtifactStore, EntriesAreWholeAndTheFirstBuilderOfAKeyKeepsIt) {
  TempDir tmp;
  const fs::path root = tmp.path() / "store";
  auto store = open_store(root.string());
  ASSERT_TRUE(store) << store.error().display();
  auto put = [&](const std::string& bytes, const std::string& record) {
    write_file(tmp.path() / "artifact", bytes);
    int fd = ::open((tmp.path() / "artifact").c_str(), O_RDONLY | O_CLOEXEC);
    auto failed = (*store)->put(kKey, fd, record);
    ::close(fd);
    return failed ? failed->display() : "stored";
  };
  const std::string entry = "aa/" + kKey;
  struct Step {
    std::string action;  // "get", "put" (of `bytes` with `record`), "drop"
    std::string bytes, record;
    std::string answer;
    std::string fetched;
    std::vector<std::string> listing;
  };
  const std::vector<std::string> first = {"aa/", entry + "/", entry + "/artifact: first",
                                          entry + "/record.json: {\"n\":1}"};
  const Step steps[] = {
      {"get", "", "", "", "none", {}},
      {"put", "first", "{\"n\":1}", "stored", "{\"n\":1} | first", first},
      // A second builder of the key finds it taken: it succeeds, and the first entry stays.
      {"put", "second", "{\"n\":2}", "stored", "{\"n\":1} | first", first},
      {"drop", "", "", "dropped", "none", {"aa/"}},
      {"drop", "", "", "dropped", "none", {"aa/"}},
      {"put", "third", "{\"n\":3}", "stored", "{\"n\":3} | third",
       {"aa/", entry + "/", entry + "/artifact: third", entry + "/record.json: {\"n\":3}"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.action + " " + step.bytes);
    std::string answer;
    if (step.action == "put") {
      answer = put(step.bytes, step.record);
    } else if (step.action == "drop") {
      auto failed = (*store)->drop(kKey);
      answer = failed ? failed->display() : "dropped";
    }
    EXPECT_EQ(answer, step.answer);
    EXPECT_EQ(fetched(**store, tmp.path()), step.fetched);
    EXPECT_EQ(listing(root), step.listing);
  }
}

}  // namespace
}  // namespace orvane::builder
