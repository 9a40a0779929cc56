// Answers about many nodes or places at once: the paths of many nodes from one walk of the tape,
// the lines of many byte indices from one pass over the text, and repeated keys in objects too
// large for the reader's pairwise check.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "json/reader.hpp"
#include "json/writer.hpp"

namespace orvane::json {
namespace {

std::string shown(const std::vector<PathStep>& path) {
  std::string out;
  for (const auto& s : path)
    out += s.is_key ? "." + std::string(s.key) : "[" + std::to_string(s.index) + "]";
  return out;
}

std::string shown(const PathTree& tree, std::uint32_t last) {
  std::vector<PathStep> path;
  for (std::uint32_t at = last; at != PathTree::kNone; at = tree.steps[at].parent) {
    path.push_back(tree.steps[at].step);
  }
  std::reverse(path.begin(), path.end());
  return shown(path);
}

// For every node of each document (folded and as written, from its root and from inner
// values), asked all at once in an order of their own, with repeats and nodes outside the
// subtree: the path path_to gives for it alone.
TEST(CanonicalManyNodes, PathsOfManyNodesAreThoseOfEachAlone) {
  const std::string texts[] = {
      R"({"a":[1,{"b":null}],"a":true,"c":{"d":[0,[5]]}})",
      R"({"k":{"x":1,"x":{"y":[2,3]},"z":4},"k":[],"m":[[{"n":1}],{"o":{"p":2}}]})",
      R"([[1,[2,{"q":[3]}]],{"r":{"s":{}},"r":5},"t"])",
      R"("scalar")",
  };
  int compared = 0;
  for (const std::string& text : texts) {
    for (bool as_written : {false, true}) {
      ParsedDocument parsed;
      ASSERT_TRUE(as_written ? parse_as_written(text, parsed) : parse_into(text, parsed)) << text;
      const auto count = std::uint32_t(parsed.doc.node_count());
      std::vector<std::uint32_t> nodes;
      for (std::uint32_t n = 0; n < count; ++n) nodes.push_back((n * 7) % count);
      nodes.push_back(0);
      nodes.push_back(count / 2);
      for (std::uint32_t root : {parsed.root, std::uint32_t(count / 3)}) {
        const PathTree tree = paths_to(parsed.doc, root, nodes);
        ASSERT_EQ(tree.last.size(), nodes.size());
        for (std::size_t k = 0; k < nodes.size(); ++k) {
          EXPECT_EQ(shown(tree, tree.last[k]), shown(path_to(parsed.doc, root, nodes[k])))
              << text << " node " << nodes[k] << " from " << root;
          ++compared;
        }
      }
    }
  }
  EXPECT_GT(compared, 100);
}

// Paths through one member share its step: the long key is there once.
TEST(CanonicalManyNodes, PathsShareTheStepsOnTheirWay) {
  const std::string key(1000, 'n');
  const std::string text = R"({"i":{")" + key + R"(":{"u":1,"v":2,"w":[3,4]}}})";
  auto parsed = parse(text);
  ASSERT_TRUE(parsed);
  // The keys u, v and w, and both elements of w.
  const std::uint32_t nodes[] = {5, 7, 9, 11, 12};
  const PathTree tree = paths_to(parsed->doc, parsed->root, nodes);
  const std::string expected[] = {".i." + key + ".u", ".i." + key + ".v", ".i." + key + ".w",
                                  ".i." + key + ".w[0]", ".i." + key + ".w[1]"};
  for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(shown(tree, tree.last[k]), expected[k]);
  // i, the long key, u, v, w, [0], [1].
  EXPECT_EQ(tree.steps.size(), 7u);
}

TEST(CanonicalManyNodes, LinesOfManyIndicesInOnePass) {
  const std::string text = "ab\ncd\n\nef\n";
  const std::pair<std::size_t, TextPlace> cases[] = {
      {9, {4, 7}}, {0, {1, 0}}, {2, {1, 0}},   {3, {2, 3}}, {5, {2, 3}}, {6, {3, 6}},
      {7, {4, 7}}, {1, {1, 0}}, {10, {5, 10}}, {7, {4, 7}}, {4, {2, 3}},
  };
  std::vector<std::size_t> indices;
  for (const auto& c : cases) indices.push_back(c.first);
  const auto places = text_places(text, indices);
  ASSERT_EQ(places.size(), indices.size());
  for (std::size_t k = 0; k < indices.size(); ++k) {
    EXPECT_EQ(places[k].line, cases[k].second.line) << indices[k];
    EXPECT_EQ(places[k].line_start, cases[k].second.line_start) << indices[k];
  }
  EXPECT_TRUE(text_places(text, {}).empty());
}

// Objects of more than 64 members settle their repeated keys by sorting them: the first
// position and the last value stand, as in small objects, with keys compared decoded.
TEST(CanonicalManyNodes, RepeatedKeysInLargeObjects) {
  struct Case {
    std::size_t distinct;
    std::vector<std::pair<std::size_t, int>> again;  // a key given again, with its new value
  };
  const Case cases[] = {
      {65, {}},
      {65, {{0, 100}}},
      {70, {{5, 100}, {69, 101}, {5, 102}}},
      {200, {{199, 1}, {0, 2}, {100, 3}, {0, 4}, {100, 5}, {0, 6}}},
      {64, {{1, 7}}},  // 65 members with the repeat
  };
  for (const Case& c : cases) {
    std::vector<std::string> keys;
    std::vector<int> values;
    for (std::size_t k = 0; k < c.distinct; ++k) {
      keys.push_back("key" + std::to_string(k * 7919 % 1000));
      values.push_back(int(k));
    }
    std::string text = "{";
    for (std::size_t k = 0; k < keys.size(); ++k) {
      // Every third key escaped in the text: the same key once decoded.
      const std::string written = k % 3 ? keys[k] : "\\u006b" + keys[k].substr(1);
      text += (k ? ",\"" : "\"") + written + "\":" + std::to_string(values[k]);
    }
    std::vector<std::string> repeated;
    for (const auto& [k, v] : c.again) {
      text += ",\"" + keys[k] + "\":" + std::to_string(v);
      values[k] = v;
      repeated.push_back(keys[k]);
    }
    text += "}";
    std::string expected = "{";
    for (std::size_t k = 0; k < keys.size(); ++k) {
      expected += (k ? ",\"" : "\"") + keys[k] + "\":" + std::to_string(values[k]);
    }
    expected += "}";
    auto parsed = parse(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(compact_json(parsed->value()), expected);
    EXPECT_EQ(parsed->value().size(), c.distinct);
    std::vector<std::string> seen;
    parsed->value().for_each_repeated_key([&](std::string_view k) { seen.emplace_back(k); });
    EXPECT_EQ(seen, repeated);
  }
}

}  // namespace
}  // namespace orvane::json
