#include "tdbf/file/dbf_lang.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/codepage.h"
#include "runtime/exceptions.h"
#include "tdbf/dbf_common.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tests/support/dbf_locale.h"

TEST(DbfLang, TableEntriesAndClasses) {
  EXPECT_EQ(CodePageOfLanguageId(0x00), 0);
  EXPECT_EQ(LocaleOfLanguageId(0x00), 0x10000u);
  EXPECT_EQ(CodePageOfLanguageId(0x37), 850);
  EXPECT_EQ(LocaleOfLanguageId(0x37), 0x0409u);
  EXPECT_EQ(LocaleOfLanguageId(0x7A), 0x21004u);
  EXPECT_STREQ(LangDriverEntry(0x22).namePart, "HDC");
  // Ids not in the table name no driver.
  EXPECT_EQ(CodePageOfLanguageId(0x21), 0);
  EXPECT_EQ(CodePageOfLanguageId(0xFF), 0);
  EXPECT_EQ(LocaleOfLanguageId(0xF0), 0u);

  EXPECT_FALSE(IsFoxProLanguageId(0));
  EXPECT_TRUE(IsFoxProLanguageId(1));
  EXPECT_TRUE(IsFoxProLanguageId(4));
  EXPECT_FALSE(IsFoxProLanguageId(5));
  EXPECT_FALSE(IsFoxProLanguageId(93));
  EXPECT_TRUE(IsFoxProLanguageId(94));
  EXPECT_TRUE(IsFoxProLanguageId(255));
}

TEST(DbfLang, IdForCodePageAndLocale) {
  // No entry has 1252 with en-US: the locale alone finds the dBase id 0x37.
  EXPECT_EQ(LanguageIdFor(1252, 0x0409, false), 0x37);
  // FoxPro-class ids win only with the FoxPro flag.
  EXPECT_EQ(LanguageIdFor(437, 0x0409, false), 0x1B);
  EXPECT_EQ(LanguageIdFor(437, 0x0409, true), 0x01);
  // Turkish exists only as FoxPro-class ids; the flag makes no difference.
  EXPECT_EQ(LanguageIdFor(1254, 0x041F, false), 0xCA);
  EXPECT_EQ(LanguageIdFor(1254, 0x041F, true), 0xCA);
  // The last matching id of a class counts: 850 with de-DE has only 0x10.
  EXPECT_EQ(LanguageIdFor(850, 0x0407, false), 0x10);
  // Only the low 16 bits of the locale are compared.
  EXPECT_EQ(LanguageIdFor(1251, 0x00050419, false), 0xC9);
  EXPECT_EQ(LanguageIdFor(1252, 0x0000, false), 0x57);
  EXPECT_EQ(LanguageIdFor(1252, 0x7777, false), 0);
}

TEST(DbfLang, DriverNamesForNewTables) {
  EXPECT_EQ(LanguageDriverNameFor(1252, 0x0409, false), "DBWINUS0");
  EXPECT_EQ(LanguageDriverNameFor(437, 0x0409, false), "DB437US0");
  // The name carries the code page asked for, not the entry's.
  EXPECT_EQ(LanguageDriverNameFor(1252, 0x0407, true), "FOXDEWIN");
  EXPECT_EQ(LanguageDriverNameFor(866, 0x0419, true), "FOXRU0866");
  EXPECT_EQ(LanguageDriverNameFor(868, 0x0402, false), "BGDB868");
  EXPECT_EQ(LanguageDriverNameFor(1252, 0x7777, false), "");
}

TEST(DbfLang, IdFromDriverName) {
  EXPECT_EQ(LanguageIdFromName("DBWINUS0"), 0x57);
  EXPECT_EQ(LanguageIdFromName("DB437US0"), 0x1B);
  EXPECT_EQ(LanguageIdFromName("DB866RU0"), 0x26);
  EXPECT_EQ(LanguageIdFromName("FOXDEWIN"), 0x61);
  EXPECT_EQ(LanguageIdFromName("FOXNO850"), 0x60);
  EXPECT_EQ(LanguageIdFromName("DBREWXXX"), 0);
  EXPECT_EQ(LanguageIdFromName("BGDB868"), 0x8E);
  // Four-digit code pages, as new Turkish tables name them.
  EXPECT_EQ(LanguageDriverNameFor(1254, 0x041F, false), "DB1254TR0");
  EXPECT_EQ(LanguageIdFromName("DB1254TR0"), 0xCA);
  EXPECT_THROW(LanguageIdFromName("DBXYZUS0"), EConvertError);
}

TEST(DbfLang, CodePageFromLevel7DriverName) {
  EXPECT_EQ(CodePageFromDriverName("DBWINDE"), 1252);
  EXPECT_EQ(CodePageFromDriverName("DBWINUS0"), 1252);
  EXPECT_EQ(CodePageFromDriverName("DBHEBREW"), 1255);
  EXPECT_EQ(CodePageFromDriverName("DB437US0"), 437);
  EXPECT_EQ(CodePageFromDriverName("FOXDEWIN"), 1252);
  EXPECT_EQ(CodePageFromDriverName("FOXNO850"), 850);
  EXPECT_EQ(CodePageFromDriverName("DB1254TR0"), 1254);
  EXPECT_EQ(CodePageFromDriverName("DB0"), 0);
  EXPECT_EQ(CodePageFromDriverName("DBX12"), 0);
  EXPECT_EQ(CodePageFromDriverName("ASCII"), 0);
  EXPECT_EQ(CodePageFromDriverName(""), 0);
}

class TranslateTextTest : public ::testing::Test {
 protected:
  TScopedSystemLocale locale_;
};

TEST_F(TranslateTextTest, SameCodePageLeavesTextAndGivesLength) {
  char text[] = "Gr\xFC\xDF Gott";
  EXPECT_EQ(TranslateText(1252, 1252, text, text, -1), 9);
  EXPECT_STREQ(text, "Gr\xFC\xDF Gott");
  char copy[16] = {};
  EXPECT_EQ(TranslateText(1252, 1252, text, copy, 4), 4);
  EXPECT_STREQ(copy, "Gr\xFC\xDF");
}

TEST_F(TranslateTextTest, OemAndAnsiBothWaysInPlace) {
  char text[] =
      "\x81"
      "ber \x94l";  // "über öl" in 437
  EXPECT_EQ(TranslateText(437, 1252, text, text, -1), 7);
  EXPECT_STREQ(text,
               "\xFC"
               "ber \xF6l");
  EXPECT_EQ(TranslateText(1252, 437, text, text, -1), 7);
  EXPECT_STREQ(text,
               "\x81"
               "ber \x94l");
}

TEST_F(TranslateTextTest, OtherCodePagesThroughUnicode) {
  char text[] = "\xC0\xC1";  // Cyrillic A and Be in 1251
  char out[8] = {};
  EXPECT_EQ(TranslateText(1251, 866, text, out, 2), 2);
  EXPECT_EQ(std::string(out, 2), "\x80\x81");
}

TEST_F(TranslateTextTest, UnknownCodePageLeavesDestination) {
  char out[8] = "keep";
  EXPECT_EQ(TranslateText(1252, 59999, "abc", out, 3), 3);
  EXPECT_STREQ(out, "keep");
}

TEST_F(TranslateTextTest, ShorterResultIsTerminated) {
  // Two bytes of one GBK character become one byte in 1252.
  char text[] = "\xB0\xA1x";
  int n = TranslateText(936, 1252, text, text, -1);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(std::strlen(text), 2u);
  EXPECT_EQ(text[1], 'x');
}

TEST(DbfGlobalsTest, ValuesComeFromThePlatform) {
  TScopedSystemLocale turkish({1254, 857, 0x041F});
  EXPECT_EQ(DbfGlobals().OpenCodePage(), 1254);
  EXPECT_EQ(DbfGlobals().CreateCodePage(), 1254);
  EXPECT_EQ(DbfGlobals().CreateLocale(), 0x041Fu);
  EXPECT_FALSE(DbfGlobals().UserName().empty());
  EXPECT_LE(DbfGlobals().UserNameLength(), 260);
  EXPECT_TRUE(DbfGlobals().IsCodePageInstalled(1252));
  EXPECT_TRUE(DbfGlobals().IsCodePageInstalled(866));
  EXPECT_FALSE(DbfGlobals().IsCodePageInstalled(59999));
}

TEST(DbfGlobalsTest, SupportedLocales) {
  const TLCIDList& locales = DbfLocales();
  ASSERT_GT(locales.Count(), 10);
  EXPECT_TRUE(locales.Contains(0x0409));
  EXPECT_TRUE(locales.Contains(0x041F));
  EXPECT_FALSE(locales.Contains(0x10000));
  EXPECT_THROW(locales.Items(locales.Count()), EListError);
}
