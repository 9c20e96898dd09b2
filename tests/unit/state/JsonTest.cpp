#include <gtest/gtest.h>

#include "state/Json.h"

namespace quavox {
namespace {

TEST(ParseJsonObject, OnlyObjectsPass) {
  for (const char* Bad : {"", "   ", "[]", "42", "{", "{\"a\":}", "\xFF\xFE{}", "nul"})
    EXPECT_FALSE(ParseJsonObject(Bad).has_value()) << Bad;
  EXPECT_TRUE(ParseJsonObject(" {\"a\": 1} ").has_value());
}

TEST(JsonReaders, LenientConversions) {
  const auto Root = ParseJsonObject(R"({
    "s": "text", "n": 12, "f": 2.75, "bt": true, "null": null, "o": {}, "a": [1],
    "ns": " 8080 ", "bad": "80x", "yes": " Yes ", "no": "no", "five": 5, "one": 1,
    "comma": "0,7", "dot": "0.7"})");
  ASSERT_TRUE(Root);
  const TJson* r = &*Root;
  EXPECT_EQ(JsonString(r, "s", "d"), "text");
  EXPECT_EQ(JsonString(r, "n", "d"), "12");
  EXPECT_EQ(JsonString(r, "null", "d"), "d");
  EXPECT_EQ(JsonString(r, "o", "d"), "d");
  EXPECT_EQ(JsonString(r, "missing", "d"), "d");
  EXPECT_EQ(JsonString(static_cast<const TJson*>(nullptr), "s", "d"), "d");
  EXPECT_EQ(JsonInteger(r, "n", 0), 12);
  EXPECT_EQ(JsonInteger(r, "f", 0), 2);
  EXPECT_EQ(JsonInteger(r, "ns", 0), 8080);
  EXPECT_EQ(JsonInteger(r, "bad", 7), 7);
  EXPECT_EQ(JsonInteger(r, "bt", 7), 7);
  EXPECT_TRUE(JsonBoolean(r, "bt", false));
  EXPECT_TRUE(JsonBoolean(r, "yes", false));
  EXPECT_FALSE(JsonBoolean(r, "no", true));
  EXPECT_FALSE(JsonBoolean(r, "five", true));
  EXPECT_TRUE(JsonBoolean(r, "one", false));
  EXPECT_TRUE(JsonBoolean(r, "missing", true));
  EXPECT_DOUBLE_EQ(JsonFloat(r, "comma", 0.58), 0.58);
  EXPECT_DOUBLE_EQ(JsonFloat(r, "dot", 0.58), 0.7);
  EXPECT_DOUBLE_EQ(JsonFloat(r, "n", 0), 12.0);
  EXPECT_NE(JsonChildObject(r, "o"), nullptr);
  EXPECT_EQ(JsonChildObject(r, "a"), nullptr);
  EXPECT_NE(JsonChildArray(r, "a"), nullptr);
  EXPECT_EQ(JsonChildArray(r, "o"), nullptr);
}

TEST(JsonDump, AsciiRepliesAndInvalidUtf8NeverThrow) {
  TJson v = {{"name", "航班"}, {"bad", std::string("a\xFFz")}};
  EXPECT_EQ(JsonDumpAscii(v), R"({"name":"\u822a\u73ed","bad":"a\ufffdz"})");
  EXPECT_NO_THROW(JsonDumpIndented(v));
  EXPECT_EQ(RoundTo4Decimals(0.58f), 0.58);
  EXPECT_EQ(StripUtf8Bom("\xEF\xBB\xBF{}"), "{}");
}

// Counted before parsing, so a body of countless empty arrays is refused before it costs a
// document many times its size; brackets and commas inside strings are text.
TEST(JsonShape, ValuesAreCountedWithoutParsing) {
  struct TCase {
    std::string Text;
    std::size_t Limit;
    bool More;
  };
  const TCase Cases[] = {
      {"{}", 1, false},
      {"{}", 0, true},
      {R"({"a":[1,2,3]})", 4, false},
      {R"({"a":[1,2,3]})", 3, true},
      {R"({"a":"[,],{,}"})", 1, false},
      {R"({"a":"\"[,,,]"})", 1, false},
      {R"({"a":[[],[]]})", 5, false},
      {R"({"a":[[],[]]})", 4, true},
  };
  for (const TCase& c : Cases)
    EXPECT_EQ(JsonHoldsMoreValuesThan(c.Text, c.Limit), c.More) << c.Text << " " << c.Limit;
  std::string Arrays = "{\"a\":[";
  for (int i = 0; i < 100000; ++i)
    Arrays += "[],";
  Arrays += "[]]}";
  EXPECT_TRUE(JsonHoldsMoreValuesThan(Arrays, 200002));
  EXPECT_FALSE(JsonHoldsMoreValuesThan(Arrays, 200003));
}

}  // namespace
}  // namespace quavox
