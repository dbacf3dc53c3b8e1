#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

using platform::TSystemLocale;

std::string AllBytes() {
  std::string bytes(256, '\0');
  for (int i = 0; i < 256; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(i);
  return bytes;
}

class TCodePageTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::ResetSystemLocale(); }
};

TEST_F(TCodePageTest, SystemLocaleFromProcessLocaleNames) {
  const struct {
    const char* name;
    uint32_t ansi;
    uint32_t oem;
    uint32_t lcid;
  } cases[] = {
      {"C", 1252, 437, 0x0409},
      {"POSIX", 1252, 437, 0x0409},
      {"", 1252, 437, 0x0409},
      {"C.UTF-8", 1252, 437, 0x0409},
      {"en_US.UTF-8", 1252, 437, 0x0409},
      {"en_GB.UTF-8", 1252, 850, 0x0809},
      {"tr_TR.UTF-8", 1254, 857, 0x041F},
      {"tr_TR", 1254, 857, 0x041F},
      {"ru_RU.KOI8-R", 1251, 866, 0x0419},
      {"de_DE@euro", 1252, 850, 0x0407},
      {"de_AT.UTF-8", 1252, 850, 0x0C07},
      {"pl_PL.UTF-8", 1250, 852, 0x0415},
      {"cs_CZ", 1250, 852, 0x0405},
      {"el_GR.UTF-8", 1253, 737, 0x0408},
      {"he_IL.UTF-8", 1255, 862, 0x040D},
      {"ja_JP.UTF-8", 932, 932, 0x0411},
      {"zh_TW.UTF-8", 950, 950, 0x0404},
      {"zh_CN.UTF-8", 936, 936, 0x0804},
      {"sr_RS@latin", 1250, 852, 0x241A},
      {"de", 1252, 850, 0x0407},
      {"xx_YY.UTF-8", 1252, 437, 0x0409},
      {"hi_IN.UTF-8", 1252, 437, 0x0409},  // no ANSI code page: the default
  };
  for (const auto& c : cases) {
    const TSystemLocale locale = platform::SystemLocaleFromName(c.name);
    EXPECT_EQ(c.ansi, locale.ansiCodePage) << c.name;
    EXPECT_EQ(c.oem, locale.oemCodePage) << c.name;
    EXPECT_EQ(c.lcid, locale.lcid) << c.name;
  }
}

TEST_F(TCodePageTest, SystemLocaleCanBeSetByCode) {
  platform::SetSystemLocale(TSystemLocale{1254, 857, 0x041F});
  EXPECT_EQ(1254u, platform::GetACP());
  EXPECT_EQ(857u, platform::GetOEMCP());
  EXPECT_EQ(0x041Fu, platform::GetUserDefaultLCID());
  std::string out;
  ASSERT_TRUE(platform::OemToChar("\x80\x9E", out));  // Ç and Ş in 857
  EXPECT_EQ("\xC7\xDE", out);                         // the same in 1254
  ASSERT_TRUE(platform::CharToOem(out, out));
  EXPECT_EQ("\x80\x9E", out);
}

TEST_F(TCodePageTest, RoundTripsThroughUtf16KeepEveryByte) {
  const std::string bytes = AllBytes();
  for (uint32_t codePage : {437u, 850u, 852u, 857u, 866u, 1250u, 1251u, 1252u, 1253u, 1254u}) {
    std::u16string wide;
    ASSERT_TRUE(platform::MultiByteToWideChar(codePage, bytes, wide)) << codePage;
    ASSERT_EQ(256u, wide.size());
    std::string back;
    ASSERT_TRUE(platform::WideCharToMultiByte(codePage, wide, back)) << codePage;
    EXPECT_EQ(bytes, back) << codePage;
  }
}

TEST_F(TCodePageTest, KnownCharacters) {
  std::u16string wide;
  ASSERT_TRUE(platform::MultiByteToWideChar(437, "\x1A\x7F\x81\xC9", wide));
  EXPECT_EQ(u"\u001A\u007F\u00FC\u2554", wide);  // controls stay in place
  ASSERT_TRUE(platform::MultiByteToWideChar(866, "\x80\xAF\xE0", wide));
  EXPECT_EQ(u"\u0410\u043F\u0440", wide);
  ASSERT_TRUE(platform::MultiByteToWideChar(1254, "\xFD\xF0\xDD", wide));
  EXPECT_EQ(u"\u0131\u011F\u0130", wide);
  ASSERT_TRUE(platform::MultiByteToWideChar(1252, "\x80", wide));
  EXPECT_EQ(u"\u20AC", wide);
}

TEST_F(TCodePageTest, ConversionBetweenCodePages) {
  std::string out;
  ASSERT_TRUE(platform::ConvertCodePage(850, 1252, "\x8E\x99\x9A\xE1", out));
  EXPECT_EQ("\xC4\xD6\xDC\xDF", out);  // Ä Ö Ü ß
  ASSERT_TRUE(platform::ConvertCodePage(1251, 866, "\xCF\xF0\xE8", out));
  EXPECT_EQ("\x8F\xE0\xA8", out);  // При
  ASSERT_TRUE(platform::ConvertCodePage(1252, platform::kCodePageUtf8, "caf\xE9", out));
  EXPECT_EQ("caf\xC3\xA9", out);
  ASSERT_TRUE(platform::ConvertCodePage(platform::kCodePageUtf8, 1254, "\xC4\xB1", out));
  EXPECT_EQ("\xFD", out);
  // A character the target lacks becomes '?'.
  ASSERT_TRUE(platform::ConvertCodePage(1251, 1252, "\xC6", out));
  EXPECT_EQ("?", out);
  ASSERT_TRUE(platform::ConvertCodePage(1252, 1252, std::string("a\0b", 3), out));
  EXPECT_EQ(std::string("a\0b", 3), out);
}

TEST_F(TCodePageTest, DoubleByteCodePages) {
  std::u16string wide;
  ASSERT_TRUE(platform::MultiByteToWideChar(932, "\x93\xFA\x96\x7B", wide));
  EXPECT_EQ(u"\u65E5\u672C", wide);  // 日本
  std::string back;
  ASSERT_TRUE(platform::WideCharToMultiByte(932, wide, back));
  EXPECT_EQ("\x93\xFA\x96\x7B", back);
}

TEST_F(TCodePageTest, SingleByteCodePages) {
  for (uint32_t codePage : {437u, 850u, 857u, 866u, 1252u, 1254u, 10007u})
    EXPECT_TRUE(platform::IsSingleByteCodePage(codePage)) << codePage;
  for (uint32_t codePage : {932u, 936u, 949u, 950u, platform::kCodePageUtf8, 868u})
    EXPECT_FALSE(platform::IsSingleByteCodePage(codePage)) << codePage;
}

TEST_F(TCodePageTest, UnknownCodePageFailsAndLeavesTheOutput) {
  std::string out = "unchanged";
  EXPECT_FALSE(platform::ConvertCodePage(868, 1252, "abc", out));
  EXPECT_FALSE(platform::ConvertCodePage(1252, 12345, "abc", out));
  EXPECT_EQ("unchanged", out);
  std::u16string wide = u"unchanged";
  EXPECT_FALSE(platform::MultiByteToWideChar(0, "abc", wide));
  EXPECT_EQ(u"unchanged", wide);
  EXPECT_FALSE(platform::WideCharToMultiByte(99999, u"abc", out));
  EXPECT_FALSE(platform::IsValidCodePage(868));
  EXPECT_TRUE(platform::IsValidCodePage(1252));
}

TEST_F(TCodePageTest, InstalledCodePages) {
  const std::vector<uint32_t> installed = platform::InstalledCodePages();
  EXPECT_TRUE(std::is_sorted(installed.begin(), installed.end()));
  for (uint32_t codePage : {437u, 850u, 852u, 857u, 866u, 932u, 1250u, 1251u, 1252u, 1253u, 1254u,
                            1255u, 1256u, 1257u, 1258u, 10007u, 65001u}) {
    EXPECT_TRUE(std::binary_search(installed.begin(), installed.end(), codePage)) << codePage;
  }
  EXPECT_FALSE(std::binary_search(installed.begin(), installed.end(), 868u));
}

TEST_F(TCodePageTest, SupportedLocalesAndTheirFacts) {
  const std::vector<uint32_t> locales = platform::SupportedLocales();
  EXPECT_TRUE(std::is_sorted(locales.begin(), locales.end()));
  for (uint32_t lcid : {0x0409u, 0x041Fu, 0x0407u, 0x0419u, 0x0405u, 0x0C0Au, 0x0411u}) {
    EXPECT_TRUE(platform::IsSupportedLocale(lcid)) << std::hex << lcid;
  }
  EXPECT_FALSE(platform::IsSupportedLocale(0x0A03));
  EXPECT_FALSE(platform::IsSupportedLocale(0x0009));  // a language without territory

  uint32_t codePage = 0;
  ASSERT_TRUE(platform::LocaleAnsiCodePage(0x041F, codePage));
  EXPECT_EQ(1254u, codePage);
  ASSERT_TRUE(platform::LocaleOemCodePage(0x041F, codePage));
  EXPECT_EQ(857u, codePage);
  ASSERT_TRUE(platform::LocaleAnsiCodePage(0x0419, codePage));
  EXPECT_EQ(1251u, codePage);
  ASSERT_TRUE(platform::LocaleAnsiCodePage(0x0409, codePage));
  EXPECT_EQ(1252u, codePage);
  EXPECT_FALSE(platform::LocaleAnsiCodePage(0x0A03, codePage));
  std::string name;
  ASSERT_TRUE(platform::LocaleName(0x041F, name));
  EXPECT_EQ("tr-TR", name);
  EXPECT_FALSE(platform::LocaleName(0x10000, name));
}

TEST_F(TCodePageTest, TurkishCollation) {
  // ı comes before i in Turkish, after it elsewhere; ç between c and d.
  EXPECT_EQ(platform::kCstrLessThan, platform::CompareStringA(0x041F, "\xFDl\xFDk", "ilik"));
  EXPECT_EQ(platform::kCstrGreaterThan, platform::CompareStringA(0x0409, "\xFDl\xFDk", "ilik"));
  EXPECT_EQ(platform::kCstrLessThan, platform::CompareStringA(0x041F,
                                                              "\xE7"
                                                              "am",
                                                              "dam"));
  EXPECT_EQ(platform::kCstrGreaterThan, platform::CompareStringA(0x041F, "dam",
                                                                 "\xE7"
                                                                 "am"));
}

TEST_F(TCodePageTest, GermanCollation) {
  // Ä sorts with A, not after Z as its byte value would have it.
  EXPECT_EQ(platform::kCstrLessThan, platform::CompareStringA(0x0407, "\xC4pfel",
                                                              "B\xE4"
                                                              "cker"));
  EXPECT_EQ(platform::kCstrLessThan, platform::CompareStringA(0x0407, "Apfel", "\xC4pfel"));
  EXPECT_EQ(platform::kCstrEqual, platform::CompareStringA(0x0407,
                                                           "Stra\xDF"
                                                           "e",
                                                           "Stra\xDF"
                                                           "e"));
  EXPECT_EQ(platform::kCstrLessThan, platform::CompareStringA(0x0407, "abc", "ABC"));
}

TEST_F(TCodePageTest, CollationOfAnUnknownLocaleFails) {
  EXPECT_EQ(0, platform::CompareStringA(0x0A03, "a", "b"));
  EXPECT_EQ(0, platform::CompareStringA(0, "a", "b"));
}

}  // namespace

namespace {

std::string Utf8Of(const std::u16string& wide) {
  std::string out;
  EXPECT_TRUE(platform::ConvertCodePage(
      1200, platform::kCodePageUtf8,
      std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2), out));
  return out;
}

}  // namespace

TEST_F(TCodePageTest, TextCodecsConvertEveryByteBothWays) {
  const std::string bytes = AllBytes();
  for (uint32_t codePage :
       {437u, 737u, 850u, 852u, 857u, 866u, 1250u, 1251u, 1252u, 1253u, 1254u, 874u, 10007u}) {
    SCOPED_TRACE(codePage);
    auto codec = platform::TTextCodec::Make(codePage);
    ASSERT_NE(nullptr, codec);
    EXPECT_TRUE(codec->SingleByte());
    std::u16string wide;
    ASSERT_TRUE(platform::MultiByteToWideChar(codePage, bytes, wide));
    std::string text;
    codec->ToUtf8(bytes, text);
    EXPECT_EQ(Utf8Of(wide), text);
    std::string back, bad;
    ASSERT_TRUE(codec->FromUtf8(text, back, bad));
    EXPECT_EQ(bytes, back);
    EXPECT_EQ(5u, codec->CharBoundary(bytes, 5));
  }
  EXPECT_EQ(nullptr, platform::TTextCodec::Make(620));
  EXPECT_EQ(nullptr, platform::TTextCodec::Make(12345));
}

TEST_F(TCodePageTest, TextCodecsRefuseWhatTheCodePageLacks) {
  std::string stored, bad = "unchanged";
  auto latin = platform::TTextCodec::Make(1252);
  EXPECT_FALSE(latin->FromUtf8("abc\u015Ed\u0130", stored, bad));
  EXPECT_EQ("\u015E", bad);
  // No best fit: a look-alike is no substitute.
  EXPECT_FALSE(latin->FromUtf8("\u0101", stored, bad));
  EXPECT_EQ("\u0101", bad);
  EXPECT_FALSE(latin->FromUtf8("\xFF", stored, bad));  // no UTF-8
  EXPECT_EQ("\xFF", bad);

  auto japanese = platform::TTextCodec::Make(932);
  ASSERT_NE(nullptr, japanese);
  EXPECT_FALSE(japanese->SingleByte());
  EXPECT_TRUE(japanese->FromUtf8("a\u65E5\u672C", stored, bad));
  EXPECT_EQ("a\x93\xFA\x96\x7B", stored);
  std::string text;
  japanese->ToUtf8(stored, text);
  EXPECT_EQ("a\u65E5\u672C", text);
  EXPECT_FALSE(japanese->FromUtf8("x\u0394\u0130", stored, bad));
  EXPECT_EQ("\u0130", bad);
  // Cut between characters: never inside a two-byte one.
  EXPECT_EQ(3u, japanese->CharBoundary("a\x93\xFA\x96\x7B", 4));
  EXPECT_EQ(5u, japanese->CharBoundary("a\x93\xFA\x96\x7B", 5));
  EXPECT_EQ(1u, japanese->CharBoundary("a\x93\xFA\x96\x7B", 2));

  auto utf8 = platform::TTextCodec::Make(platform::kCodePageUtf8);
  ASSERT_NE(nullptr, utf8);
  EXPECT_TRUE(utf8->FromUtf8("\u015Ei\u015F \U0001F600", stored, bad));
  EXPECT_EQ("\u015Ei\u015F \U0001F600", stored);
  EXPECT_EQ(3u, utf8->CharBoundary(stored, 4));
  EXPECT_EQ(6u, utf8->CharBoundary(stored, 9));
  EXPECT_EQ(10u, utf8->CharBoundary(stored, 10));
  utf8->ToUtf8("ok\xC3", text);  // a cut sequence reads as U+FFFD
  EXPECT_EQ("ok\uFFFD", text);
}
