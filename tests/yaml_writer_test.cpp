// What the command writes as YAML reads back as it was meant, whatever the text: a log line may
// hold quotes, line breaks, control characters, bytes that are not UTF-8, and be very long.
#include "yaml_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "yaml_document.h"

namespace {

using tonewell::YamlWriter;

tonewell::yaml::Node readBack(const std::string& text,
                              std::optional<tonewell::yaml::Document>& doc) {
  auto [parsed, error] = tonewell::yaml::Document::parse(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  doc = std::move(parsed);
  return doc ? doc->root() : tonewell::yaml::Node();
}

TEST(YamlWriterTest, TextsReadBackAsTheyWereAndPlainWordsStayPlain) {
  const std::string awkward[] = {
      "say \"hi\"\\ and\nbye\ttab",
      "key: value # not a comment",
      "- not a list",
      "",
      "true",
      "{\n    VibePattern =     (\n        1,\n        \"0.5\"\n    );\n}",
      std::string(100'000, 'x') + " and the rest",
      "caf\xc3\xa9 \xf0\x9f\x94\x94",
  };
  YamlWriter writer;
  writer.beginMapping();
  writer.plain("count").plain("5");
  writer.plain("flow").beginSequence(YamlWriter::Style::flow);
  for (const auto& text : awkward) writer.quoted(text);
  writer.endSequence();
  writer.plain("words").beginMapping(YamlWriter::Style::flow);
  writer.plain("a b").plain("-3.0").plain("odd: key").plain("");
  writer.endMapping();
  writer.endMapping();
  const std::string text = writer.finish();
  EXPECT_NE(text.find("count: 5\n"), std::string::npos) << text;
  EXPECT_NE(text.find(std::string(100'000, 'x') + " and the rest\""), std::string::npos)
      << "a long text stays on one line";

  std::optional<tonewell::yaml::Document> doc;
  const auto root = readBack(text, doc);
  ASSERT_TRUE(root.IsMap());
  EXPECT_EQ(root["count"].Scalar(), "5");
  EXPECT_EQ(root["count"].Tag(), "") << "a plain number";
  ASSERT_EQ(root["flow"].size(), std::size(awkward));
  for (std::size_t i = 0; i < std::size(awkward); ++i) {
    EXPECT_EQ(root["flow"][i].Scalar(), awkward[i]);
    EXPECT_EQ(root["flow"][i].Tag(), "!") << "quoted, so never read as a number or a word";
  }
  EXPECT_EQ(root["words"]["a b"].Scalar(), "-3.0");
  EXPECT_EQ(root["words"]["odd: key"].Scalar(), "");
}

TEST(YamlWriterTest, WhatYamlCannotHoldBecomesTheReplacementCharacter) {
  YamlWriter writer;
  writer.beginSequence();
  writer.quoted("a\x1b[2Jb");
  writer.quoted("bad \xff\xfe byte");
  writer.plain("bom\xef\xbb\xbfhere");
  writer.endSequence();
  std::optional<tonewell::yaml::Document> doc;
  const auto root = readBack(writer.finish(), doc);
  ASSERT_TRUE(root.IsSequence());
  EXPECT_EQ(root[0].Scalar(), "a\xef\xbf\xbd[2Jb");
  EXPECT_EQ(root[1].Scalar(), "bad \xef\xbf\xbd\xef\xbf\xbd byte");
  EXPECT_EQ(root[2].Scalar(), "bom\xef\xbf\xbdhere");
}

}  // namespace
