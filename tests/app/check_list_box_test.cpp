#include "app/check_list_box.h"

#include <gtest/gtest.h>
#include <QTest>

namespace {

class TCheckListBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.resize(145, 257);
    box_.SetCheckKind(ckCheckBoxes);
    TStringList items;
    items.Add("NAME");
    items.Add("PRICE");
    items.Add("\u0130\u015F");  // two Turkish letters
    box_.SetItems(items);
    box_.show();
    box_.SetOnClickCheck([this](TCheckListBox& sender) {
      ++clicks_;
      selectedAtClick_ = -1;
      for (int i = 0; i < sender.Count(); ++i)
        if (sender.Selected(i)) selectedAtClick_ = i;
    });
  }

  QPoint MarkOf(int index) { return box_.CheckRect(index).center(); }
  QPoint TextOf(int index) {
    const QRect r = box_.visualItemRect(box_.item(index));
    return QPoint(r.left() + 60, r.center().y());
  }

  TCheckListBox box_;
  int clicks_ = 0;
  int selectedAtClick_ = -2;
};

TEST_F(TCheckListBoxTest, ItemsKeepTheirBytesAndStartUnmarked) {
  const TStringList items = box_.Items();
  ASSERT_EQ(items.Count(), 3);
  EXPECT_EQ(items[2], "\u0130\u015F");
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(box_.Checked(i));
  EXPECT_EQ(box_.visualItemRect(box_.item(0)).height(), 16);
}

TEST_F(TCheckListBoxTest, ClickOnTextOnlyHighlights) {
  QTest::mouseClick(box_.viewport(), Qt::LeftButton, {}, TextOf(1));
  EXPECT_TRUE(box_.Selected(1));
  EXPECT_FALSE(box_.Checked(1));
  EXPECT_EQ(clicks_, 0);
}

TEST_F(TCheckListBoxTest, ClickOnMarkHighlightsThenToggles) {
  QTest::mouseClick(box_.viewport(), Qt::LeftButton, {}, TextOf(0));
  QTest::mouseClick(box_.viewport(), Qt::LeftButton, {}, MarkOf(1));
  EXPECT_EQ(clicks_, 1);
  EXPECT_EQ(selectedAtClick_, 1);
  EXPECT_TRUE(box_.Checked(1));
  QTest::mouseClick(box_.viewport(), Qt::LeftButton, {}, MarkOf(1));
  EXPECT_EQ(clicks_, 2);
  EXPECT_FALSE(box_.Checked(1));
}

TEST_F(TCheckListBoxTest, SpacePlusAndMinusChangeMarks) {
  box_.setFocus();
  QTest::mouseClick(box_.viewport(), Qt::LeftButton, {}, TextOf(2));
  QTest::keyClick(&box_, Qt::Key_Space);
  EXPECT_EQ(clicks_, 1);
  EXPECT_EQ(selectedAtClick_, 2);
  EXPECT_TRUE(box_.Checked(2));
  QTest::keyClick(&box_, Qt::Key_Plus);
  EXPECT_EQ(clicks_, 2);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(box_.Checked(i));
  QTest::keyClick(&box_, Qt::Key_Minus);
  EXPECT_EQ(clicks_, 3);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(box_.Checked(i));
}

TEST_F(TCheckListBoxTest, RadioButtonsAreOneChoiceMadeAnywhereOnTheItem) {
  box_.SetCheckKind(ckRadioButtons);
  box_.setFocus();
  QTest::mouseClick(box_.viewport(), Qt::LeftButton, {}, MarkOf(0));
  QTest::mouseClick(box_.viewport(), Qt::LeftButton, {}, MarkOf(1));
  EXPECT_EQ(box_.CheckedIndex(), 1);
  EXPECT_FALSE(box_.Checked(0));
  // A second click on the marked item keeps it marked.
  QTest::mouseClick(box_.viewport(), Qt::LeftButton, {}, MarkOf(1));
  EXPECT_TRUE(box_.Checked(1));
  // A click on the name marks it too.
  QTest::mouseClick(box_.viewport(), Qt::LeftButton, {}, TextOf(2));
  EXPECT_EQ(clicks_, 4);
  EXPECT_EQ(selectedAtClick_, 2);
  EXPECT_EQ(box_.CheckedIndex(), 2);
  EXPECT_FALSE(box_.Checked(1));
  // + and - would break the one choice: they change nothing.
  QTest::keyClick(&box_, Qt::Key_Plus);
  QTest::keyClick(&box_, Qt::Key_Minus);
  EXPECT_EQ(clicks_, 4);
  EXPECT_EQ(box_.CheckedIndex(), 2);
  EXPECT_FALSE(box_.Checked(0));
  // Space marks the highlighted item, moved there with the keyboard.
  QTest::keyClick(&box_, Qt::Key_Up);
  QTest::keyClick(&box_, Qt::Key_Space);
  EXPECT_EQ(box_.CheckedIndex(), 1);
  EXPECT_FALSE(box_.Checked(2));
  box_.SetChecked(0, true);
  EXPECT_EQ(box_.CheckedIndex(), 0);
  EXPECT_FALSE(box_.Checked(1));
}

TEST_F(TCheckListBoxTest, SpaceWithNothingHighlightedChangesNothing) {
  box_.setFocus();
  box_.clearSelection();
  QTest::keyClick(&box_, Qt::Key_Space);
  EXPECT_EQ(clicks_, 0);
}

}  // namespace
