// What reaches the terminal of a text the command did not write (a log, a scenario): each byte that
// is not UTF-8 and each control character escaped, the rest as it is.
#include <gtest/gtest.h>

#include <string>

#include "terminal_text.h"

namespace {

using tonewell::printable;

TEST(TerminalTextTest, KeepsUtf8AndEscapesControlCharacters) {
  EXPECT_EQ(printable("caf\xc3\xa9 \xf0\x9f\x94\x94"), "caf\xc3\xa9 \xf0\x9f\x94\x94");
  EXPECT_EQ(printable("a\x1b[2Jb\x7f"), "a\\x1b[2Jb\\x7f");
  EXPECT_EQ(printable("\xc2\x9b"), "\\u{9b}") << "a C1 control, valid UTF-8";
}

TEST(TerminalTextTest, EscapesEachByteThatBeginsNoCharacter) {
  EXPECT_EQ(printable("\xff"), "\\xff");
  EXPECT_EQ(printable("\xc0\xaf"), "\\xc0\\xaf") << "an overlong '/'";
  EXPECT_EQ(printable("\xe0\x80\xaf"), "\\xe0\\x80\\xaf") << "an overlong '/' in three bytes";
  EXPECT_EQ(printable("\xed\xa0\x80"), "\\xed\\xa0\\x80") << "a surrogate";
  EXPECT_EQ(printable("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80") << "past U+10FFFF";
  EXPECT_EQ(printable("\xe2\x82z"), "\\xe2\\x82z") << "cut short: the next byte reads again";
  EXPECT_EQ(printable("ok\xe2\x82"), "ok\\xe2\\x82") << "cut short by the end";
}

}  // namespace
