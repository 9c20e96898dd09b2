#include <gtest/gtest.h>

#include "core/Text.h"

namespace quavox {
namespace {

TEST(Text, Utf16LengthCountsCodeUnits) {
  EXPECT_EQ(Utf16Length("abc"), 3u);
  EXPECT_EQ(Utf16Length("航班"), 2u);
  EXPECT_EQ(Utf16Length("\xF0\x9F\x98\x80"), 2u);  // one emoji, a surrogate pair
  EXPECT_EQ(Utf16Length("\xFF\xFE"), 2u);          // invalid bytes count one each
  // Bytes that never start a sequence stay invalid even when continuation bytes follow.
  EXPECT_EQ(Utf8ToUtf16("\xF8\x88\x80"), std::u16string(3, char16_t(0xFFFD)));
}

TEST(Text, InvalidUtf8BecomesReplacementCharacters) {
  const std::string Bad = "a\xC3\x28\xED\xA0\x80z";
  const std::u16string Wide = Utf8ToUtf16(Bad);
  EXPECT_EQ(Wide.front(), u'a');
  EXPECT_EQ(Wide.back(), u'z');
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16("航班 ok")), "航班 ok");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(Text, ClassifiesCodeUnits) {
  EXPECT_TRUE(IsLetterOrDigit(u'a'));
  EXPECT_TRUE(IsLetterOrDigit(u'7'));
  EXPECT_TRUE(IsLetterOrDigit(u'航'));
  EXPECT_TRUE(IsLetterOrDigit(u'ä'));
  EXPECT_FALSE(IsLetterOrDigit(u'-'));
  EXPECT_FALSE(IsLetterOrDigit(char16_t(0xD83D)));
  EXPECT_TRUE(IsWhiteSpace(u' '));
  EXPECT_TRUE(IsWhiteSpace(char16_t(0x3000)));
  EXPECT_FALSE(IsWhiteSpace(u'x'));
}

TEST(Text, NumberParsingIsStrict) {
  int64_t i = 0;
  EXPECT_TRUE(TryParseInt64(" 8080 ", i));
  EXPECT_EQ(i, 8080);
  EXPECT_FALSE(TryParseInt64("80a", i));
  EXPECT_FALSE(TryParseInt64("", i));
  double d = 0;
  EXPECT_TRUE(TryParseDouble("0.7", d));
  EXPECT_DOUBLE_EQ(d, 0.7);
  EXPECT_FALSE(TryParseDouble("0,7", d));
}

}  // namespace
}  // namespace quavox
