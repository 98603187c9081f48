// The YAML reader under the scenario parser: where each node and each error stands in the text,
// aliases shared rather than copied, and what a hostile document can cost.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "yaml_document.h"

namespace {

using tonewell::yaml::Document;
using tonewell::yaml::Node;
using tonewell::yaml::NodeType;
using tonewell::yaml::ParseError;

Document parsed(std::string_view text) {
  auto [document, error] = Document::parse(text);
  EXPECT_TRUE(document) << error.message << " at " << error.mark.line << ":" << error.mark.column;
  return document ? *document : Document::parse("").first.value();
}

ParseError refused(std::string_view text) {
  auto [document, error] = Document::parse(text);
  EXPECT_FALSE(document) << text;
  return error;
}

TEST(YamlDocumentTest, NodesKeepWhereTheyStand) {
  const Document document = parsed("name: ring\nworld:\n  - {at: 1.5, brightness: -5}\n  - x\n");
  const Node root = document.root();
  ASSERT_TRUE(root.IsMap());
  EXPECT_EQ(root.GetMark().line, 0);
  EXPECT_EQ(root["name"].GetMark().column, 6);
  const Node world = root["world"];
  ASSERT_TRUE(world.IsSequence());
  ASSERT_EQ(world.size(), 2u);
  EXPECT_EQ(world.GetMark().line, 2);
  EXPECT_EQ(world.GetMark().column, 2);
  EXPECT_EQ(world[0]["brightness"].Scalar(), "-5");
  EXPECT_EQ(world[0]["brightness"].GetMark().line, 2);
  EXPECT_EQ(world[0]["brightness"].GetMark().column, 26);
  EXPECT_EQ(world[1].GetMark().line, 3);
  EXPECT_EQ(world[1].GetMark().column, 4);
}

TEST(YamlDocumentTest, ErrorsNameTheLineAndColumn) {
  const ParseError indented = refused("name: ring\n  until: 3\n");
  EXPECT_EQ(indented.mark.line, 1);
  EXPECT_EQ(indented.mark.column, 7);
  EXPECT_NE(indented.message.find("mapping values are not allowed"), std::string::npos)
      << indented.message;

  const ParseError tab = refused("world:\n\t- 1\n");
  EXPECT_EQ(tab.mark.line, 1);
  EXPECT_EQ(tab.mark.column, 0);

  const ParseError unclosed = refused("events: [1, 2\nuntil: 3\n");
  EXPECT_GE(unclosed.mark.line, 1);
  EXPECT_FALSE(unclosed.message.empty());

  const ParseError quote = refused("name: \"ring\n");
  EXPECT_EQ(quote.mark.line, 1) << "found at the end of the text";
  EXPECT_NE(quote.message.find("while scanning a quoted scalar"), std::string::npos)
      << quote.message;
}

TEST(YamlDocumentTest, AnAliasMustFollowItsAnchor) {
  const ParseError unknown = refused("a: 1\nb: *nowhere\n");
  EXPECT_EQ(unknown.message, "an alias names no anchor defined before it");
  EXPECT_EQ(unknown.mark.line, 1);
  EXPECT_EQ(unknown.mark.column, 3);
  EXPECT_EQ(refused("a: *x\nb: &x 1\n").mark.line, 0) << "an anchor only counts from where it is";
}

TEST(YamlDocumentTest, AliasesShareTheirNodeSoLaughterStaysSmall) {
  // Nine levels of nine aliases each: 387,420,489 strings if copied.
  std::string text = "a: &a [lol]\n";
  char previous = 'a';
  for (char level = 'b'; level <= 'j'; ++level) {
    text += std::string(1, level) + ": &" + level + " [";
    for (int i = 0; i < 9; ++i) text += std::string(i ? ", *" : "*") + previous;
    text += "]\n";
    previous = level;
  }
  const Document document = parsed(text);
  EXPECT_LT(document.nodeCount(), 40u);
  Node deepest = document.root()["j"];
  for (int level = 0; level < 9; ++level) {
    ASSERT_EQ(deepest.size(), 9u) << level;
    deepest = deepest[8];
  }
  ASSERT_TRUE(deepest.IsSequence());
  EXPECT_EQ(deepest[0].Scalar(), "lol");
  const Node viaAlias = document.root()["b"][3];
  EXPECT_EQ(viaAlias.GetMark().line, 0) << "the anchored node itself, where it was written";
  EXPECT_EQ(viaAlias.GetMark().column, 3) << "its anchor begins it";
  EXPECT_EQ(viaAlias[0].GetMark().column, 7);
}

TEST(YamlDocumentTest, NestingIsReadWithoutRecursionAndRefusedPastAThousandLevels) {
  auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  // A thousand levels: beyond what a recursive reader's stack would take.
  auto [document, error] = Document::parse(nested(1000));
  ASSERT_TRUE(document) << error.message;
  Node node = document->root();
  std::size_t levels = 0;
  while (node.IsSequence() && node.size() == 1) {
    node = node[0];
    ++levels;
  }
  EXPECT_EQ(levels, 999u);
  EXPECT_EQ(document->nodeCount(), 1000u);

  // One more is refused where it opens. (libyaml's time grows with the square of the depth: a
  // 400 kB file of brackets took a minute and a half to read.)
  for (const std::size_t depth : {1001u, 200'000u}) {
    auto [deep, deepError] = Document::parse(nested(depth));
    EXPECT_FALSE(deep);
    EXPECT_EQ(deepError.message, "nested deeper than 1000 levels");
    EXPECT_EQ(deepError.mark.line, 0);
    EXPECT_EQ(deepError.mark.column, 1000);
  }
}

TEST(YamlDocumentTest, ARepeatedKeyIsKeptAndTheFirstIsFound) {
  const Document document = parsed("until: 3\nuntil: 9\n");
  const Node root = document.root();
  ASSERT_EQ(root.size(), 2u) << "the scenario parser sees both and can refuse them";
  EXPECT_EQ(root["until"].Scalar(), "3");
  EXPECT_EQ(root.entry(1).second.Scalar(), "9");
  EXPECT_EQ(root.entry(1).first.GetMark().line, 1);
}

TEST(YamlDocumentTest, NullsQuotesAndTags) {
  const Document document =
      parsed("a: ~\nb: null\nc:\nd: 'null'\ne: !!str null\nf: NULL\ng: nULL\nh: \"\"\n");
  const Node root = document.root();
  for (const char* key : {"a", "b", "c", "f"}) {
    EXPECT_TRUE(root[key].IsNull()) << key;
    EXPECT_EQ(root[key].Scalar(), "") << key;
  }
  EXPECT_TRUE(root["d"].IsScalar());
  EXPECT_EQ(root["d"].Scalar(), "null");
  EXPECT_EQ(root["d"].Tag(), "!") << "quoted: text, whatever it says";
  EXPECT_TRUE(root["e"].IsScalar());
  EXPECT_EQ(root["e"].Tag(), "tag:yaml.org,2002:str");
  EXPECT_TRUE(root["g"].IsScalar()) << "only the three spellings are null";
  EXPECT_TRUE(root["h"].IsScalar());
  EXPECT_EQ(root["h"].Tag(), "!");
  EXPECT_EQ(root["g"].Tag(), "");
}

TEST(YamlDocumentTest, WhatIsNotThereIsUndefinedAndHarmless) {
  const Document document = parsed("list: [1]\nmap: {k: v}\n? [complex]\n: key\n");
  const Node root = document.root();
  const Node missing = root["nowhere"];
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.Type(), NodeType::Undefined);
  EXPECT_EQ(missing.Scalar(), "");
  EXPECT_EQ(missing.size(), 0u);
  EXPECT_FALSE(missing["deeper"]);
  EXPECT_FALSE(missing[0]);
  EXPECT_EQ(missing.GetMark().line, -1);
  EXPECT_FALSE(root["list"][1]) << "past the end";
  EXPECT_FALSE(root["list"]["k"]) << "a sequence has no keys";
  EXPECT_FALSE(root["map"][0]) << "a map has no items";
  EXPECT_FALSE(root["map"].entry(1).first);
  EXPECT_FALSE(root["complex"]) << "a key that is not a scalar is never found by name";
  EXPECT_EQ(root.size(), 3u);
  EXPECT_TRUE(root.entry(2).first.IsSequence());
}

TEST(YamlDocumentTest, IterationGivesItemsOrEntries) {
  const Document document = parsed("s: [a, b, c]\nm: {x: 1, y: 2}\n");
  std::string items;
  for (const auto& item : document.root()["s"]) items += item.Scalar();
  EXPECT_EQ(items, "abc");
  std::string entries;
  for (const auto& entry : document.root()["m"]) {
    entries += entry.first.Scalar() + "=" + entry.second.Scalar() + ";";
  }
  EXPECT_EQ(entries, "x=1;y=2;");
  int scalars = 0;
  for (const auto& item : document.root()["s"][0]) {
    (void)item;
    ++scalars;
  }
  EXPECT_EQ(scalars, 0) << "a scalar has nothing to iterate";
}

TEST(YamlDocumentTest, OnlyTheFirstDocumentIsRead) {
  const Document empty = parsed("");
  EXPECT_TRUE(empty.root().IsNull());
  EXPECT_TRUE(parsed("# only a comment\n").root().IsNull());
  const Document first = parsed("until: 3\n---\nuntil: 9\n...\n");
  EXPECT_EQ(first.root()["until"].Scalar(), "3");
  EXPECT_EQ(first.root().size(), 1u);
  EXPECT_EQ(parsed("--- 42\n").root().Scalar(), "42");
  // JSON is YAML.
  const Document json = parsed(R"({"name": "ring", "events": [{"at": 0}]})");
  EXPECT_EQ(json.root()["events"][0]["at"].Scalar(), "0");
  EXPECT_EQ(json.root()["name"].Tag(), "!");
}

}  // namespace
