#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/Text.h"
#include "text/SpokenText.h"

namespace quavox {
namespace {

// The tables the program ships, read from the source tree.
std::shared_ptr<const TSpeechTables> ShippedTables() {
  static const auto Tables =
      std::make_shared<const TSpeechTables>(LoadSpeechTables(QUAVOX_SOURCE_DIR "/data/text/"));
  return Tables;
}

struct TLine {
  const char* Text;
  const char* Spoken;
};

void ExpectSpoken(const TSpeechIndex& AIndex, const char* ALanguage,
                  const std::vector<TLine>& ALines) {
  for (const TLine& Line : ALines)
    EXPECT_EQ(AIndex.Speak(Line.Text, ALanguage), Line.Spoken) << ALanguage << ": " << Line.Text;
}

TEST(SpokenTextTest, EnglishAnnouncements) {
  const TSpeechIndex Index(ShippedTables(), {});
  ExpectSpoken(
      Index, "en",
      {
          {"Flight CA1234 to PEK is now boarding at Gate B12.",
           "Flight Air China one two three four to Beijing Capital is now boarding at Gate B "
           "twelve."},
          {"Final call for passengers on MU 5101 to PVG, gate 23.",
           "Final call for passengers on China Eastern Airlines five one zero one to Shanghai "
           "Pudong, gate twenty-three."},
          {"CCA981 to JFK has been delayed until 14:35.",
           "Air China nine eight one to New York Kennedy has been delayed until fourteen "
           "thirty-five."},
          {"Gate change: flight 3U8888 will now depart from gate 112 at 2:05 PM.",
           "Gate change: flight Sichuan Airlines eight eight eight eight will now depart from "
           "gate one twelve at two oh five PM."},
          {"Baggage from CZ3102 from CAN is on belt 5.",
           "Baggage from China Southern Airlines three one zero two from Guangzhou is on belt "
           "five."},
          {"Flight JL 21 departs at 09:05 from stand 105.",
           "Flight Japan Airlines two one departs at oh nine oh five from stand one oh five."},
          {"Runway 36L is in use; departures at 14:00.",
           "Runway three six left is in use; departures at fourteen hundred."},
          {"FLIGHT CA1234 TO PEK NOW BOARDING",
           "FLIGHT Air China one two three four TO Beijing Capital NOW BOARDING"},
      });
}

TEST(SpokenTextTest, ChineseAnnouncements) {
  const TSpeechIndex Index(ShippedTables(), {});
  ExpectSpoken(Index, "zh",
               {
                   {"前往PEK的CA1234航班现在开始登机,请到B12登机口。",
                    "前往北京首都的中国国际航空幺二三四航班现在开始登机,请到B十二登机口。"},
                   {"飞往PVG的MU5101航班登机口变更为23号登机口。",
                    "飞往上海浦东的中国东方航空五幺零幺航班登机口变更为二十三号登机口。"},
                   {"由CAN飞来的CZ3102航班行李在5号行李转盘。",
                    "由广州飞来的中国南方航空三幺零二航班行李在五号行李转盘。"},
                   {"HU7181航班延误,预计起飞时间14:35。",
                    "海南航空七幺八幺航班延误,预计起飞时间十四点三十五分。"},
                   {"CA 981航班最后一次登机广播,起飞时间2:05。",
                    "中国国际航空九八幺航班最后一次登机广播,起飞时间两点零五分。"},
                   {"飞往NRT的航班将于14:00起飞,使用36L跑道。",
                    "飞往东京成田的航班将于十四点整起飞,使用三六左跑道。"},
               });
}

TEST(SpokenTextTest, JapaneseAnnouncements) {
  const TSpeechIndex Index(ShippedTables(), {});
  ExpectSpoken(Index, "ja",
               {
                   {"JL123便HND行きは12番搭乗口よりご搭乗いただけます。",
                    "日本航空百二十三便東京羽田行きは十二番搭乗口よりご搭乗いただけます。"},
                   {"NH 1234便は14:35に出発いたします。",
                    "全日空千二百三十四便は十四時三十五分に出発いたします。"},
                   {"CA925便PEK行きの搭乗口は5番に変更になりました。",
                    "中国国際航空九百二十五便北京首都行きの搭乗口は五番に変更になりました。"},
                   {"MU522便PVG発の手荷物は3番ターンテーブルです。",
                    "中国東方航空五百二十二便上海浦東発の手荷物は三番ターンテーブルです。"},
                   {"出発は9:05です。", "出発は九時五分です。"},
                   {"滑走路34Rを使用します。", "滑走路三四ライトを使用します。"},
               });
}

// Words that are codes, gates, times and numbers that only look like flights are never
// read as codes.
TEST(SpokenTextTest, FalsePositivesStayAsWritten) {
  const TSpeechIndex Index(ShippedTables(), {});
  for (const char* Text : {
           "PASSENGERS CAN BOARD NOW",
           "Passengers CAN board now.",
           "We are MAD about SIN and BOS.",
           "PASSENGERS FOR GATE CHANGE PLEASE WAIT",
           "The A320 and the B737 are at the hangar.",
           "Please have your ID and boarding pass ready.",
           "It is 12:30:15 now, version 1.25.",
           "AS 12 PASSENGERS ARE WAITING",
           "Ladies and gentlemen, we are now ready for departure. Please fasten your seat belt "
           "and stow your tray table.",
           "hello",
           "Hello there",
           "a tone",
           "rate test",
           "gate twelve",
       })
    EXPECT_EQ(Index.Speak(Text, "en"), Text);
  for (const char* Text : {"各位旅客请注意,本次航班即将起飞,请系好安全带,收起小桌板。",
                           "这是一次连通测试。", "航班航班航"})
    EXPECT_EQ(Index.Speak(Text, "zh"), Text);
  EXPECT_EQ(
      Index.Speak("ご搭乗のみなさま、まもなく出発いたします。シートベルトをお締めください。", "ja"),
      "ご搭乗のみなさま、まもなく出発いたします。シートベルトをお締めください。");
}

TEST(SpokenTextTest, PlacesNeedContextWhenTheCodeIsAWord) {
  const TSpeechIndex Index(ShippedTables(), {});
  EXPECT_EQ(Index.Speak("Flight to CAN", "en"), "Flight to Guangzhou");
  EXPECT_EQ(Index.Speak("PASSENGERS TO SIN PLEASE BOARD", "en"),
            "PASSENGERS TO Singapore PLEASE BOARD");
  EXPECT_EQ(Index.Speak("Arriving from MAD", "en"), "Arriving from Madrid");
  EXPECT_EQ(Index.Speak("CAN行きの便", "ja"), "広州行きの便");
  EXPECT_EQ(Index.Speak("飞往CAN的旅客", "zh"), "飞往广州的旅客");
  EXPECT_EQ(Index.Speak("PVG", "en"), "Shanghai Pudong");
  EXPECT_EQ(Index.Speak("PEK ARRIVALS DELAYED", "en"), "PEK ARRIVALS DELAYED");
}

TEST(SpokenTextTest, TheFlightWordIsNeverAdded) {
  const TSpeechIndex Index(ShippedTables(), {});
  EXPECT_EQ(Index.Speak("Flight CA1234", "en"), "Flight Air China one two three four");
  EXPECT_EQ(Index.Speak("CA1234航班", "zh"), "中国国际航空幺二三四航班");
  EXPECT_EQ(Index.Speak("CA1234", "zh"), "中国国际航空幺二三四");
  EXPECT_EQ(Index.Speak("JL5便", "ja"), "日本航空五便");
  EXPECT_EQ(Index.Speak("Flight BA 9A", "en"), "Flight British Airways nine A");
}

TEST(SpokenTextTest, TheScriptChoosesWhenNoLanguageIsGiven) {
  const TSpeechIndex Index(ShippedTables(), {});
  EXPECT_EQ(Index.Speak("CA1234 to PEK", ""), "Air China one two three four to Beijing Capital");
  EXPECT_EQ(Index.Speak("CA1234航班", ""), "中国国际航空幺二三四航班");
  EXPECT_EQ(Index.Speak("CA1234便です", ""), "中国国際航空千二百三十四便です");
}

TEST(SpokenTextTest, OtherLanguagesGetOnlyTheLexicon) {
  const TSpeechIndex Index(ShippedTables(), {{"fr", "Roissy", "Paris Charles de Gaulle"}});
  EXPECT_EQ(Index.Speak("Vol AF123 pour CDG à 14:35", "fr"), "Vol AF123 pour CDG à 14:35");
  EXPECT_EQ(Index.Speak("Départ de roissy", "fr"), "Départ de Paris Charles de Gaulle");
  EXPECT_EQ(Index.Speak("Départ de roissy", "de"), "Départ de roissy");
}

TEST(SpokenTextTest, LexiconEntriesWinOverTheBuiltInTables) {
  const TSpeechIndex Index(ShippedTables(), {
                                                {"en", "CA", "Air China Limited"},
                                                {"en", "PEK", "Beijing"},
                                                {"en", "can", "Guangzhou Baiyun"},
                                                {"en", "1", "wun"},
                                                {"en", "Zeta", "Zayta"},
                                                {"en", "ZZ", "Zeta Air"},
                                                {"en", "New York", "the Big Apple"},
                                                {"zh", "浦东", "浦东国际机场"},
                                                {"zh", "1", "一"},
                                                {"ja", "2", "ふた"},
                                            });
  EXPECT_EQ(Index.Speak("Flight CCA1234 to PEK", "en"),
            "Flight Air China Limited wun two three four to Beijing");
  EXPECT_EQ(Index.Speak("Passengers to CAN", "en"), "Passengers to Guangzhou Baiyun");
  EXPECT_EQ(Index.Speak("You can board", "en"), "You can board");
  EXPECT_EQ(Index.Speak("ZETA flight ZZ12 to New York.", "en"),
            "Zayta flight Zeta Air wun two to the Big Apple.");
  EXPECT_EQ(Index.Speak("New Yorker", "en"), "New Yorker");
  EXPECT_EQ(Index.Speak("飞往浦东的CA1234航班", "zh"),
            "飞往浦东国际机场的中国国际航空一二三四航班");
  EXPECT_EQ(Index.Speak("JL222便", "ja"), "日本航空ふた百ふた十ふた便");
}

TEST(SpokenTextTest, AnyBytesGiveValidUtf8) {
  const TSpeechIndex Index(ShippedTables(), {{"zh", "登机", "登機"}});
  const std::string Broken = std::string("CA1234 \xE4\xB8 to PEK \xFF") + "\xE7\x99\xBB";
  for (const char* Language : {"en", "zh", "ja", "", "fr"}) {
    const std::string Spoken = Index.Speak(Broken, Language);
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(Spoken)), Spoken) << Language;
  }
}

TEST(SpokenTextTest, WithoutTablesOnlyNumbersAreRead) {
  const TSpeechIndex Index(std::make_shared<const TSpeechTables>(), {});
  EXPECT_EQ(Index.Speak("Flight CA1234 to PEK at gate 5, 14:35", "en"),
            "Flight CA1234 to PEK at gate five, fourteen thirty-five");
}

}  // namespace
}  // namespace quavox
