// The parsers and writers every endpoint shares: query strings, entity tags, base64,
// the ASCII-only JSON envelope and the ranking of advertised addresses.
#include <gtest/gtest.h>

#include "http/Http.h"

namespace quavox {
namespace {

TEST(HttpQueryParam, CasesOfTheQueryString) {
  struct TCase {
    const char* Query;
    const char* Name;
    const char* Expected;
  };
  const TCase Cases[] = {
      // Given twice: the first wins, its "+" is a blank, an encoded plus stays a plus.
      {"text=hello+big%2Bworld&TEXT=second", "text", "hello big+world"},
      {"TEXT=upper&text=lower", "text", "upper"},
      {"te%78t=by+encoded+name", "text", "by encoded name"},
      {"lang=ja&text=%E4%BD%A0%E5%A5%BD", "text", "\xE4\xBD\xA0\xE5\xA5\xBD"},
      {"text=a=b=c", "text", "a=b=c"},
      {"text&text=second", "text", "second"},
      {"&&text=x&", "text", "x"},
      {"text=", "text", ""},
      {"other=1", "text", "fallback"},
      {"", "text", "fallback"},
      // Malformed percent sequences are kept as they are.
      {"text=100%", "text", "100%"},
      {"text=%4", "text", "%4"},
      {"text=%zz%41", "text", "%zzA"},
      {"text=%%41", "text", "%A"},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Query);
    EXPECT_EQ(QueryParam(c.Query, c.Name, "fallback"), c.Expected);
  }
  EXPECT_EQ(QueryParam("text=%00end", "text", ""), std::string("\0end", 4));
}

TEST(HttpQueryParam, SurvivesAnyBytes) {
  std::string Query;
  for (int b = 0; b < 256; ++b)
    Query += static_cast<char>(b);
  Query += "&text=%ff%FE+%";
  EXPECT_EQ(QueryParam(Query, "text", ""), "\xFF\xFE %");
}

TEST(HttpEntityTag, IfNoneMatchIsUnquoted) {
  struct TCase {
    const char* Header;
    const char* Expected;
  };
  const TCase Cases[] = {
      {"\"abc\"", "abc"},     {"  \"abc\"\t", "abc"}, {"abc", "abc"}, {"W/\"abc\"", "W/\"abc\""},
      {"\"a\"\"b\"", "a\"b"}, {"\"", "\""},           {"\"\"", ""},   {"", ""},
      {"\"abc", "\"abc"},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Header);
    EXPECT_EQ(UnquoteEntityTag(c.Header), c.Expected);
  }
}

TEST(HttpBase64, AcceptsOnlyWellFormedInput) {
  struct TCase {
    const char* Text;
    bool Valid;
    const char* Decoded;
  };
  const TCase Cases[] = {
      {"", true, ""},
      {"TWFu", true, "Man"},
      {"TWE=", true, "Ma"},
      {"TQ==", true, "M"},
      {"TWE", true, "Ma"},  // a last group without its padding
      {"TQ", true, "M"},
      {"TWFu\r\nTWFu", true, "ManMan"},  // wrapped lines
      {" TW Fu ", true, "Man"},
      {"+/+/", true, "\xFB\xFF\xBF"},
      {"T", false, ""},
      {"TWFuT", false, ""},
      {"TW=u", false, ""},
      {"T===", false, ""},
      {"=TWF", false, ""},
      {"TQ==TWFu", false, ""},  // data after the padding
      {"TQ=", false, ""},
      {"TW-u", false, ""},  // URL-safe alphabet
      {"TW_u", false, ""},
      {"TWF\x01", false, ""},
      {"data:audio/wav;base64,TWFu", false, ""},
      {"TWFu\xC3\xA9", false, ""},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.Text);
    TBytes Bytes{1, 2, 3};
    EXPECT_EQ(Base64Decode(c.Text, Bytes), c.Valid);
    if (c.Valid) {
      EXPECT_EQ(std::string(Bytes.begin(), Bytes.end()), c.Decoded);
    }
  }
}

TEST(HttpBase64, RoundTripsEveryByte) {
  static const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  TBytes Source;
  for (int i = 0; i < 1000; ++i)
    Source.push_back(static_cast<uint8_t>(i * 37 + 11));
  for (std::size_t Length : {0u, 1u, 2u, 3u, 998u, 1000u}) {
    std::string Text;
    for (std::size_t i = 0; i < Length; i += 3) {
      const uint32_t n = (Source[i] << 16) | ((i + 1 < Length ? Source[i + 1] : 0) << 8) |
                         (i + 2 < Length ? Source[i + 2] : 0);
      Text += Alphabet[(n >> 18) & 63];
      Text += Alphabet[(n >> 12) & 63];
      Text += i + 1 < Length ? Alphabet[(n >> 6) & 63] : '=';
      Text += i + 2 < Length ? Alphabet[n & 63] : '=';
    }
    TBytes Decoded;
    ASSERT_TRUE(Base64Decode(Text, Decoded)) << Length;
    EXPECT_EQ(Decoded, TBytes(Source.begin(), Source.begin() + Length));
  }
}

TEST(HttpJson, RepliesArePureAscii) {
  THttpResponse Res;
  const std::string Message = "没有这个音色:x\n\t\"q\"\\ \x7F\xC3\xA9\xF0\x9F\x98\x80 bad:\xFF";
  SendError(Res, 404, "not_found", Message);
  EXPECT_EQ(Res.Status, 404);
  EXPECT_EQ(Res.ContentType, "application/json; charset=utf-8");
  for (const char c : Res.Body)
    EXPECT_TRUE(c >= 0x20 && c < 0x7F) << static_cast<int>(static_cast<unsigned char>(c));
  EXPECT_EQ(Res.Body.rfind("{\"error\":\"not_found\",\"message\":\"", 0), 0u) << Res.Body;
  EXPECT_NE(Res.Body.find("\\u6ca1\\u6709"), std::string::npos) << Res.Body;
  EXPECT_NE(Res.Body.find("x\\u000a\\u0009\\\"q\\\"\\\\ "), std::string::npos) << Res.Body;
  EXPECT_NE(Res.Body.find("\\ud83d\\ude00"), std::string::npos) << Res.Body;
  EXPECT_EQ(Res.Body.find("\\n"), std::string::npos);

  const auto Parsed = ParseJsonObject(Res.Body);
  ASSERT_TRUE(Parsed);
  EXPECT_EQ(Parsed->size(), 2u);
  EXPECT_EQ(JsonString(&*Parsed, "message", "").substr(0, 20), "没有这个音色:x");
}

TEST(HttpReachableUrls, RanksPrivateNetworksFirst) {
  const std::vector<std::string> Local = {
      "8.8.4.4", "127.0.0.1",   "172.32.0.1", "10.1.2.3", "172.16.5.5",  "169.254.1.1",
      "",        "192.168.9.1", "172.31.0.9", "10.0.0.1", "192.168.10.1"};
  const std::vector<std::string> Expected = {
      "http://192.168.10.1:17150", "http://192.168.9.1:17150", "http://10.0.0.1:17150",
      "http://10.1.2.3:17150",     "http://172.16.5.5:17150",  "http://172.31.0.9:17150",
      "http://8.8.4.4:17150",      "http://172.32.0.1:17150"};
  EXPECT_EQ(RankReachableUrls("0.0.0.0", 17150, Local), Expected);
  EXPECT_EQ(RankReachableUrls("", 17150, Local), Expected);
  EXPECT_EQ(RankReachableUrls("10.9.9.9", 8080, Local),
            std::vector<std::string>{"http://10.9.9.9:8080"});
  EXPECT_EQ(RankReachableUrls("0.0.0.0", 9, {"127.0.0.1", "169.254.3.3"}),
            std::vector<std::string>{"http://127.0.0.1:9"});
  // IPv6 addresses, written with or without brackets, are bracketed in URLs; "::" is every
  // interface like 0.0.0.0.
  for (const char* Bind : {"[::1]", "::1"})
    EXPECT_EQ(RankReachableUrls(Bind, 8080, Local), std::vector<std::string>{"http://[::1]:8080"});
  EXPECT_EQ(RankReachableUrls("[::]", 17150, Local), Expected);
  EXPECT_EQ(RankReachableUrls("::", 17150, Local), Expected);
  EXPECT_EQ(BindHost("[::1]"), "::1");
  EXPECT_EQ(BindHost("[::]"), "::");
  EXPECT_EQ(BindHost(""), "0.0.0.0");
  EXPECT_EQ(BindHost("10.9.9.9"), "10.9.9.9");
}

}  // namespace
}  // namespace quavox
