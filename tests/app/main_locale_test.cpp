// Dates and numbers in the window follow the user's locale, from ICU's
// locale data: the grid's cells, the filter's value box and the messages,
// under Turkish and US English. ISO dates are taken everywhere; a number
// shows the decimals its field stores, and one too wide for its column
// shows "#" marks instead of some of its digits.

#include <QTest>

#include "app/db_grid.h"
#include "runtime/exceptions.h"
#include "tests/app/main_fixture.h"

namespace {

TEST_F(TfrMainTest, DatesAndNumbersInTheUsersLocale) {
  const std::string path = dir_.File("sales.dbf");
  TDbfWriter sales({{"NAME", 'C', 10, 0}, {"AMOUNT", 'N', 12, 2}, {"DUE", 'D', 8, 0}});
  sales.Add({"first", "672298", "20201015"});
  sales.Add({"second", "0.5", "20201105"});
  sales.Write(path);
  const std::string before = ReadWholeFile(path);
  struct TCase {
    const char* locale;
    const char* amount;  // 672298 as the grid shows it
    const char* half;    // 0.5
    const char* date;    // 2020-10-15
    const char* range;   // the range message of a value too large
  } cases[] = {
      {"tr_TR.UTF-8", "672298,00", "0,50", "15.10.2020",
       "tbMain: 1,5e+12 is not a valid value for field 'AMOUNT'. The allowed range is -1e+08 to "
       "1e+09"},
      {"en_US.UTF-8", "672298.00", "0.50", "10/15/2020",
       "tbMain: 1.5e+12 is not a valid value for field 'AMOUNT'. The allowed range is -1e+08 to "
       "1e+09"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.locale);
    FormatSettings() = FormatSettingsForLocales(c.locale, c.locale);
    window_.OpenTable(path);
    TDBGrid* grid = window_.grMain();
    EXPECT_EQ(grid->CellText(0, 1), c.amount);
    EXPECT_EQ(grid->CellText(1, 1), c.half);
    EXPECT_EQ(grid->CellText(0, 2), c.date);

    // The filter's value box takes the date in the user's format and in
    // ISO form, and the number with the user's decimal separator.
    ClickMark(2);
    Filter(c.date);
    EXPECT_EQ(Names(), (std::vector<std::string>{"first"}));
    Filter("2020-11-05");
    EXPECT_EQ(Names(), (std::vector<std::string>{"second"}));
    ClickMark(1);
    Filter(c.half);
    EXPECT_EQ(Names(), (std::vector<std::string>{"second"}));
    QTest::mouseClick(window_.btClear(), Qt::LeftButton);

    // A value the field cannot hold is refused with its numbers in the
    // user's format.
    TDbf* table = window_.tbMain();
    table->First();
    table->Edit();
    std::string message;
    try {
      table->FieldNamed("AMOUNT")->SetValueAsString(std::string("1500000000000") +
                                                    FormatSettings().DecimalSeparator + "5");
    } catch (const Exception& e) {
      message = e.Message();
    }
    EXPECT_EQ(message, c.range);
    table->Cancel();

    // Too narrow a column: the number as "#" marks, text with "…".
    grid->SetColumnWidth(1, 40);
    const QString marks = grid->FittedCellText(0, 1);
    EXPECT_FALSE(marks.isEmpty());
    EXPECT_EQ(marks, QString(marks.size(), QLatin1Char('#')));
    grid->SetColumnWidth(0, 20);
    EXPECT_TRUE(grid->FittedCellText(1, 0).endsWith(QChar(0x2026)));
    EXPECT_EQ(grid->FittedCellText(1, 1), QString::fromUtf8(c.half));
  }
  window_.tbMain()->Close();
  EXPECT_EQ(before, ReadWholeFile(path));
}

}  // namespace
