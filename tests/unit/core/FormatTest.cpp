#include <gtest/gtest.h>

#include <clocale>

#include "core/Format.h"

namespace quavox {
namespace {

TEST(Format, SpecifiersOfTheProgramsTexts) {
  EXPECT_EQ(Format("%s-%d-%.1f-%.0f%%", "a", 42, 2.25, 99.5), "a-42-2.2-100%");
  EXPECT_EQ(Format("%5d|%-4s|", 7, "ab"), "    7|ab  |");
  EXPECT_EQ(Format("%x", 255), "FF");
  EXPECT_EQ(Format("p50 %d ms · RTF %.2f", 12LL, 0.456f), "p50 12 ms · RTF 0.46");
}

TEST(Format, DecimalsIgnoreTheLocale) {
  const char* Old = std::setlocale(LC_NUMERIC, nullptr);
  const std::string Saved = Old ? Old : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) std::setlocale(LC_NUMERIC, "C.UTF-8");
  EXPECT_EQ(Format("%.2f", 1.5), "1.50");
  std::setlocale(LC_NUMERIC, Saved.c_str());
}

TEST(Format, IndexSpecifiersReorder) {
  EXPECT_EQ(Format("%1:s then %0:s", "first", "second"), "second then first");
  EXPECT_EQ(Format("%1:d %0:d %d", 1, 2), "2 1 2");
}

TEST(Format, MismatchesAndMissingArgumentsNeverThrow) {
  EXPECT_EQ(Format("%d", "text"), "text");
  EXPECT_EQ(Format("%s", 3), "3");
  EXPECT_EQ(Format("%.1f", 3), "3.0");
  EXPECT_EQ(Format("%d", 2.9), "2");
  EXPECT_EQ(Format("%s and %s", "one"), "one and %s");
  EXPECT_EQ(Format("trailing %"), "trailing %");
  EXPECT_EQ(Format("%9:s", "x"), "%9:s");
}

}  // namespace
}  // namespace quavox
