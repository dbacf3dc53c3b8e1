#include "recordset/dataset.h"

#include <gtest/gtest.h>

#include <climits>

#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "runtime/classes.h"
#include "runtime/exceptions.h"
#include "tests/recordset/log_link.h"
#include "tests/support/memory_record_set.h"

namespace {

class TDataSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FormatSettings() = TFormatSettings();
    set.SetName("tbMain");
    set.AddColumn("ID", ftInteger);
    set.AddColumn("NAME", ftString, 10);
    set.AddColumn("PRICE", ftFloat);
    ds.SetDataSet(&set);
    link.SetDataSource(&ds);
  }
  void AddRecords(int n) {
    for (int i = 1; i <= n; ++i)
      set.AddRecord({std::to_string(i), "N" + std::to_string(i), std::to_string(i) + ".5"});
  }
  int Id() { return set.FieldNamed("ID")->ValueAsInteger(); }
  // Persistent fields: the data fields and a calculated one of type T.
  template <class T>
  void AddFieldsWithCalculated(const char* name) {
    set.UpdateFieldDefs();
    for (int i = 0; i < set.FieldDefs().Count(); ++i)
      set.AddField(set.FieldDefs()[i].CreateField());
    auto calculated = std::make_unique<T>();
    calculated->SetFieldName(name);
    calculated->SetFieldKind(fkCalculated);
    set.AddField(std::move(calculated));
  }
  template <class F>
  std::string ErrorOf(F f) {
    try {
      f();
    } catch (const Exception& e) {
      return e.Message();
    }
    return "no error";
  }

  TMemoryRecordSet set;
  TDataSource ds;
  TLogLink link;
};

TEST_F(TDataSetTest, OpenMakesFieldsFillsRingAndCloseFreesThem) {
  AddRecords(3);
  std::vector<std::string> events;
  set.SetBeforeOpen([&](TDataSet& d) { events.push_back("before " + std::to_string(d.State())); });
  set.SetAfterOpen([&](TDataSet& d) { events.push_back("after " + std::to_string(d.State())); });
  set.Open();
  EXPECT_EQ(events, (std::vector<std::string>{"before 0", "after 1"}));
  EXPECT_EQ(set.State(), rsBrowse);
  EXPECT_EQ(set.FieldCount(), 3);
  EXPECT_EQ(set.Fields(1)->FieldNo(), 2);
  EXPECT_EQ(set.BufferCount(), 1);
  EXPECT_EQ(set.RingRecordCount(), 1);
  EXPECT_TRUE(set.AtStart());
  EXPECT_FALSE(set.AtEnd());
  EXPECT_EQ(Id(), 1);
  set.Close();
  EXPECT_EQ(set.State(), rsInactive);
  EXPECT_EQ(set.FieldCount(), 0);
  EXPECT_EQ(set.BufferCount(), 0);
  EXPECT_EQ(set.CloseStorageCalls(), 1);
}

TEST_F(TDataSetTest, FailingOpenStaysClosedAndReleasesStorage) {
  set.FailOpen("Invalid DBF file.");
  bool afterOpen = false;
  set.SetAfterOpen([&](TDataSet&) { afterOpen = true; });
  EXPECT_EQ(ErrorOf([&] { set.Open(); }), "Invalid DBF file.");
  EXPECT_EQ(set.State(), rsInactive);
  EXPECT_FALSE(afterOpen);
  EXPECT_EQ(set.CloseStorageCalls(), 1);
  EXPECT_FALSE(link.Active());
  set.Open();  // the next attempt works
  EXPECT_TRUE(set.Active());
}

TEST_F(TDataSetTest, OpenedEmptySetIsAtBothEnds) {
  set.Open();
  EXPECT_TRUE(set.AtStart());
  EXPECT_TRUE(set.AtEnd());
  EXPECT_TRUE(set.IsEmpty());
  EXPECT_EQ(set.RingRecordCount(), 0);
  set.First();
  EXPECT_EQ(set.RingRecordCount(), 0);
  EXPECT_TRUE(set.AtStart());
  EXPECT_EQ(set.MoveRecords(1), 0);
  EXPECT_TRUE(set.AtEnd());
  EXPECT_EQ(set.Bookmark(), "");
  EXPECT_TRUE(set.FieldNamed("NAME")->ValueIsNull());
  EXPECT_EQ(ErrorOf([&] { set.Delete(); }),
            "tbMain: Cannot perform this operation on an empty dataset");
}

TEST_F(TDataSetTest, OperationsOnClosedSetAreRefused) {
  const std::string closed = "tbMain: Cannot perform this operation on a closed dataset";
  EXPECT_EQ(ErrorOf([&] { set.Next(); }), closed);
  EXPECT_EQ(ErrorOf([&] { set.First(); }), closed);
  EXPECT_EQ(ErrorOf([&] { set.Delete(); }), closed);
  EXPECT_EQ(ErrorOf([&] { set.SettlePendingEdit(); }), closed);
  EXPECT_EQ(ErrorOf([&] { set.Edit(); }), closed);
  EXPECT_EQ(ErrorOf([&] { set.LocateRecord("ID", TVariant(int32_t(1)), 0); }), closed);
  EXPECT_EQ(ErrorOf([&] { set.Post(); }), "tbMain: Dataset not in edit or insert mode");
}

TEST_F(TDataSetTest, MoveRecordsCountsWhatItMoved) {
  AddRecords(5);
  set.Open();
  EXPECT_EQ(set.MoveRecords(2), 2);
  EXPECT_EQ(Id(), 3);
  EXPECT_EQ(set.MoveRecords(5), 2);  // two records after the current one
  EXPECT_EQ(Id(), 5);
  EXPECT_TRUE(set.AtEnd());
  EXPECT_EQ(set.MoveRecords(1), 0);
  EXPECT_EQ(Id(), 5);
  EXPECT_EQ(set.MoveRecords(-10), -4);
  EXPECT_TRUE(set.AtStart());
  EXPECT_EQ(Id(), 1);
  set.Last();
  EXPECT_EQ(Id(), 5);
  EXPECT_TRUE(set.AtEnd());
  set.Prior();
  EXPECT_EQ(Id(), 4);
  EXPECT_FALSE(set.AtEnd());
  set.First();
  EXPECT_EQ(Id(), 1);
  // The farthest distances an int can carry.
  EXPECT_EQ(set.MoveRecords(INT_MAX), 4);
  EXPECT_TRUE(set.AtEnd());
  EXPECT_EQ(set.MoveRecords(INT_MIN), -4);
  EXPECT_TRUE(set.AtStart());
  EXPECT_EQ(Id(), 1);
}

TEST_F(TDataSetTest, DeletedRecordsAreSkippedBothWays) {
  AddRecords(5);
  set.DeleteStored(2);
  set.DeleteStored(5);
  set.Open();
  set.Next();
  EXPECT_EQ(Id(), 3);
  set.Last();
  EXPECT_EQ(Id(), 4);
  set.SetShowDeleted(true);
  set.Last();
  EXPECT_EQ(Id(), 5);
}

TEST_F(TDataSetTest, ScrollEventsSurroundMoves) {
  AddRecords(3);
  set.Open();
  std::vector<std::string> events;
  set.SetBeforeScroll([&](TDataSet&) { events.push_back("before"); });
  set.SetAfterScroll([&](TDataSet&) { events.push_back("after " + std::to_string(Id())); });
  set.Next();
  set.Last();
  set.MoveRecords(1);  // at the end: only the before event
  EXPECT_EQ(events, (std::vector<std::string>{"before", "after 2", "before", "after 3", "before"}));
}

TEST_F(TDataSetTest, RefillAfterCurrentRecordWasFilteredOut) {
  AddRecords(5);
  set.Open();
  set.MoveRecords(2);
  int hidden = 0;
  set.SetOnFilterRecord([&](TDataSet& d, bool& accept) {
    int id = d.FieldNamed("ID")->ValueAsInteger();
    accept = hidden == 0 || (hidden == 1 ? id != 3 : (hidden == 2 ? id < 3 : false));
  });
  hidden = 1;
  set.SetFiltered(true);
  EXPECT_EQ(Id(), 4);  // the next acceptable record
  set.Last();
  hidden = 2;
  set.SetFiltered(true);
  EXPECT_EQ(Id(), 2);  // none after it: the previous one
  hidden = 3;
  set.SetFiltered(true);
  EXPECT_EQ(set.RingRecordCount(), 0);  // none at all
  EXPECT_TRUE(set.IsEmpty());
  EXPECT_EQ(set.State(), rsBrowse);
  hidden = 0;
  set.SetFiltered(false);
  set.First();
  EXPECT_EQ(Id(), 1);
}

TEST_F(TDataSetTest, PostOfUnchangedEditWritesButNavigationCancels) {
  AddRecords(3);
  set.Open();
  set.Edit();
  EXPECT_EQ(set.State(), rsEdit);
  EXPECT_FALSE(set.IsModified());
  set.Post();
  EXPECT_EQ(set.StoreRecordCalls(), 1);
  EXPECT_EQ(set.State(), rsBrowse);

  set.Edit();
  set.Next();
  EXPECT_EQ(set.StoreRecordCalls(), 1);
  EXPECT_EQ(set.State(), rsBrowse);
  EXPECT_EQ(Id(), 2);

  set.Edit();
  set.FieldNamed("NAME")->SetValueAsString("changed");
  EXPECT_TRUE(set.IsModified());
  set.Next();
  EXPECT_EQ(set.StoreRecordCalls(), 2);
  EXPECT_EQ(set.StoredText(2, 1), "changed");
  EXPECT_EQ(Id(), 3);
}

TEST_F(TDataSetTest, CancelRestoresStoredValuesAndCloseDropsEdit) {
  AddRecords(2);
  set.Open();
  set.Edit();
  set.FieldNamed("NAME")->SetValueAsString("typed");
  set.Cancel();
  EXPECT_EQ(set.FieldNamed("NAME")->ValueAsString(), "N1");
  set.Edit();
  set.FieldNamed("NAME")->SetValueAsString("typed");
  set.Close();
  EXPECT_EQ(set.StoreRecordCalls(), 0);
  EXPECT_EQ(set.StoredText(1, 1), "N1");
}

TEST_F(TDataSetTest, EventsOfAnInsertCancelledAndARefresh) {
  AddRecords(2);
  set.Open();
  std::vector<std::string> events;
  auto log = [&events](const char* name) {
    return [&events, name](TDataSet&) { events.push_back(name); };
  };
  set.SetBeforeInsert(log("BeforeInsert"));
  set.SetAfterInsert(log("AfterInsert"));
  set.SetBeforeScroll(log("BeforeScroll"));
  set.SetAfterScroll(log("AfterScroll"));
  set.SetOnNewRecord(log("OnNewRecord"));
  set.SetBeforeCancel(log("BeforeCancel"));
  set.SetAfterCancel(log("AfterCancel"));
  set.SetBeforeRefresh(log("BeforeRefresh"));
  set.SetAfterRefresh(log("AfterRefresh"));
  set.SetBeforeEdit(log("BeforeEdit"));
  set.SetAfterEdit(log("AfterEdit"));
  set.Insert();
  set.Cancel();
  EXPECT_EQ(events, (std::vector<std::string>{"BeforeInsert", "BeforeScroll", "OnNewRecord",
                                              "AfterInsert", "AfterScroll", "BeforeCancel",
                                              "BeforeScroll", "AfterCancel", "AfterScroll"}));
  events.clear();
  set.Edit();
  set.Refresh();  // the unchanged edit is cancelled first
  EXPECT_EQ(events, (std::vector<std::string>{"BeforeEdit", "AfterEdit", "BeforeRefresh",
                                              "BeforeCancel", "AfterCancel", "AfterRefresh"}));
  EXPECT_EQ(set.State(), rsBrowse);
  EXPECT_EQ(Id(), 1);
  EXPECT_EQ(set.RecordNumber(), 1);
}

TEST_F(TDataSetTest, FieldWriteOutsideEditingIsRefused) {
  AddRecords(1);
  set.Open();
  EXPECT_EQ(ErrorOf([&] { set.FieldNamed("NAME")->SetValueAsString("x"); }),
            "tbMain: Dataset not in edit or insert mode");
  EXPECT_EQ(set.FieldNamed("NAME")->ValueAsString(), "N1");
}

TEST_F(TDataSetTest, InsertPlacesBlankRecordBeforeCurrent) {
  AddRecords(3);
  link.SetBufferCount(5);
  set.Open();
  set.Next();
  set.Insert();
  EXPECT_EQ(set.State(), rsInsert);
  EXPECT_EQ(set.ActiveRecord(), 1);
  EXPECT_EQ(set.RingRecordCount(), 4);
  EXPECT_TRUE(set.FieldNamed("ID")->ValueIsNull());
  EXPECT_EQ(set.Bookmark(), "");
  set.FieldNamed("ID")->SetValueAsInteger(9);
  set.Post();
  EXPECT_EQ(Id(), 9);
  ASSERT_EQ(set.Records().size(), 4u);
  EXPECT_EQ(set.StoredText(set.Records()[1].id, 0), "9");
  set.First();
  set.Next();
  EXPECT_EQ(Id(), 9);
}

TEST_F(TDataSetTest, AppendNewThenPostAddsLastRecord) {
  AddRecords(3);
  link.SetBufferCount(4);
  set.Open();
  set.AppendNew();
  EXPECT_EQ(set.State(), rsInsert);
  EXPECT_EQ(set.ActiveRecord(), 3);  // the earlier records were fetched backward
  EXPECT_EQ(set.RingRecordCount(), 4);
  EXPECT_EQ(set.Bookmark(), "");
  EXPECT_FALSE(set.AtStart());
  set.FieldNamed("ID")->SetValueAsInteger(4);
  set.FieldNamed("NAME")->SetValueAsString("last");
  set.Post();
  EXPECT_EQ(set.Records().size(), 4u);
  EXPECT_EQ(Id(), 4);
  set.Last();
  EXPECT_EQ(set.FieldNamed("NAME")->ValueAsString(), "last");
}

TEST_F(TDataSetTest, InsertOnEmptySetAndEditOfEmptySetInserts) {
  set.Open();
  set.Edit();
  EXPECT_EQ(set.State(), rsInsert);
  set.FieldNamed("ID")->SetValueAsInteger(1);
  set.Post();
  EXPECT_EQ(set.Records().size(), 1u);
  EXPECT_EQ(Id(), 1);
  EXPECT_FALSE(set.IsEmpty());
}

TEST_F(TDataSetTest, DeleteWhileInsertingCancelsInsertion) {
  AddRecords(2);
  set.Open();
  set.Insert();
  set.FieldNamed("ID")->SetValueAsInteger(7);
  set.Delete();
  EXPECT_EQ(set.State(), rsBrowse);
  EXPECT_EQ(set.Records().size(), 2u);
  EXPECT_FALSE(set.Records()[0].deleted);
  EXPECT_EQ(Id(), 1);
}

TEST_F(TDataSetTest, DeleteMovesToNextElsePrevious) {
  AddRecords(3);
  set.Open();
  set.Next();
  set.Delete();
  EXPECT_EQ(Id(), 3);
  EXPECT_TRUE(set.Records()[1].deleted);
  set.Delete();
  EXPECT_EQ(Id(), 1);
  set.Delete();
  EXPECT_TRUE(set.IsEmpty());
}

TEST_F(TDataSetTest, OnNewRecordExceptionReturnsToBrowse) {
  AddRecords(2);
  set.Open();
  set.SetOnNewRecord([](TDataSet&) { throw EDatabaseError("no new records"); });
  EXPECT_EQ(ErrorOf([&] { set.Insert(); }), "no new records");
  EXPECT_EQ(set.State(), rsBrowse);
  EXPECT_EQ(set.RingRecordCount(), 1);
  EXPECT_EQ(Id(), 1);
}

TEST_F(TDataSetTest, OnNewRecordValuesDoNotCountAsChanges) {
  AddRecords(1);
  set.Open();
  set.SetOnNewRecord([](TDataSet& d) { d.FieldNamed("PRICE")->SetValueAsFloat(1); });
  set.Insert();
  EXPECT_FALSE(set.IsModified());
  set.Prior();  // unchanged insertion: cancelled, not posted
  EXPECT_EQ(set.Records().size(), 1u);
}

TEST_F(TDataSetTest, ReadOnlySetRefusesChanges) {
  AddRecords(1);
  set.SetReadOnly(true);
  set.Open();
  const std::string message = "tbMain: Cannot modify a read-only dataset";
  EXPECT_EQ(ErrorOf([&] { set.Edit(); }), message);
  EXPECT_EQ(ErrorOf([&] { set.Insert(); }), message);
  EXPECT_EQ(ErrorOf([&] { set.AppendNew(); }), message);
  EXPECT_EQ(set.State(), rsBrowse);
}

TEST_F(TDataSetTest, RequiredFieldMustHaveValueAndGetsFocus) {
  set.AddColumn("CODE", ftString, 4, true);
  AddRecords(1);
  set.Open();
  link.focusField = "CODE";
  set.Insert();
  set.FieldNamed("ID")->SetValueAsInteger(5);
  link.Clear();
  EXPECT_EQ(ErrorOf([&] { set.Post(); }), "tbMain: Field 'CODE' must have a value");
  EXPECT_EQ(link.Joined(), "update, browse, focus CODE");
  EXPECT_EQ(set.State(), rsInsert);
  set.FieldNamed("CODE")->SetDisplayLabel("Code");
  set.FieldNamed("CODE")->SetReadOnly(true);
  set.Post();  // read-only fields are not checked
  EXPECT_EQ(set.Records().size(), 2u);
}

TEST_F(TDataSetTest, ErrorEventRetriesAbortsOrFails) {
  AddRecords(2);
  set.Open();
  int calls = 0;
  std::string seen;
  set.SetOnEditError([&](TDataSet&, EDatabaseError& e, TDataAction& action) {
    ++calls;
    seen = e.Message();
    action = daRetry;
  });
  set.FailEdits(2);
  set.Edit();
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(seen, "Record locked.");
  EXPECT_EQ(set.State(), rsEdit);
  set.Cancel();

  set.SetOnEditError([&](TDataSet&, EDatabaseError&, TDataAction& action) { action = daAbort; });
  set.FailEdits(1);
  EXPECT_THROW(set.Edit(), EAbort);
  EXPECT_EQ(set.State(), rsBrowse);

  set.SetOnEditError(nullptr);
  set.FailEdits(1);
  EXPECT_EQ(ErrorOf([&] { set.Edit(); }), "Record locked.");
  EXPECT_EQ(set.State(), rsBrowse);

  set.Insert();
  set.FieldNamed("ID")->SetValueAsInteger(3);
  set.FailPosts(1);
  EXPECT_EQ(ErrorOf([&] { set.Post(); }), "Key violation.");
  EXPECT_EQ(set.State(), rsInsert);  // the values stay for another try
  EXPECT_EQ(Id(), 3);
  set.SetOnPostError([](TDataSet&, EDatabaseError&, TDataAction& action) { action = daRetry; });
  set.FailPosts(1);
  set.Post();
  EXPECT_EQ(set.Records().size(), 3u);

  set.SetOnDeleteError([](TDataSet&, EDatabaseError&, TDataAction& action) { action = daFail; });
  set.FailDeletes(1);
  EXPECT_EQ(ErrorOf([&] { set.Delete(); }), "Record locked.");
}

// Starting an edit fails with an error that is not a database error.
class TConvertFailingSet : public TMemoryRecordSet {
 protected:
  void BeginEditRecord() override { throw EConvertError("'x' is not a valid integer value"); }
};

TEST(TDataSetErrorEventTest, OtherErrorsPassTheEventBy) {
  TConvertFailingSet set;
  set.AddColumn("ID", ftInteger);
  set.AddRecord({"1"});
  set.Open();
  int calls = 0;
  set.SetOnEditError([&](TDataSet&, EDatabaseError&, TDataAction& action) {
    ++calls;
    action = daRetry;
  });
  EXPECT_THROW(set.Edit(), EConvertError);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(set.State(), rsBrowse);
}

TEST_F(TDataSetTest, BookmarksReturnToRecordsCentred) {
  AddRecords(20);
  link.SetBufferCount(5);
  set.Open();
  set.MoveRecords(9);
  std::string mark = set.Bookmark();
  EXPECT_EQ(mark.size(), 4u);
  set.First();
  set.MoveToBookmark(mark);
  EXPECT_EQ(Id(), 10);
  EXPECT_EQ(set.ActiveRecord(), 2);  // (5 - 1) / 2 rows above it
  set.MoveToBookmark("");            // no bookmark: nothing happens
  EXPECT_EQ(Id(), 10);
  EXPECT_EQ(set.CompareMarks(mark, ""), 1);
  EXPECT_EQ(set.CompareMarks("", ""), 0);
  EXPECT_EQ(ErrorOf([&] { set.MoveToBookmark("xy"); }), "tbMain: Record not found");
  set.DeleteStored(10);
  EXPECT_EQ(ErrorOf([&] { set.MoveToBookmark(mark); }), "tbMain: Record not found");
}

TEST_F(TDataSetTest, FieldNamesAndLookups) {
  TStringList names;
  set.ListFieldNames(names);  // closed: from the field definitions
  EXPECT_EQ(names.DelimitedText(','), "ID,NAME,PRICE");
  set.Open();
  set.FieldNamed("PRICE")->SetIndex(0);
  set.ListFieldNames(names);
  EXPECT_EQ(names.DelimitedText(','), "PRICE,ID,NAME");
  EXPECT_EQ(set.FindFieldNamed("name"), set.Fields(2));
  EXPECT_EQ(set.FindFieldNamed("NONE"), nullptr);
  EXPECT_EQ(ErrorOf([&] { set.FieldNamed("NONE"); }), "tbMain: Field 'NONE' not found");
  EXPECT_EQ(ErrorOf([&] { set.FieldList("ID;BAD"); }), "tbMain: Field 'BAD' not found");
  EXPECT_EQ(set.FieldList("ID; NAME").size(), 2u);
  EXPECT_THROW(set.Fields(3), EListError);
}

TEST_F(TDataSetTest, FrameworkDefaults) {
  AddRecords(1);
  set.Open();
  EXPECT_FALSE(set.TDataSet::LocateRecord("ID", TVariant(int32_t(1)), 0));
  EXPECT_EQ(set.TDataSet::RecordCount(), -1);
  EXPECT_EQ(set.TDataSet::RecordNumber(), -1);
  EXPECT_FALSE(set.TDataSet::Lookup("ID", TVariant(int32_t(1)), "ID").AsBoolean());
  EXPECT_EQ(set.TDataSet::CreateBlobStream(set.Fields(0), bmRead), nullptr);
  std::string out;
  set.TDataSet::TextToStorage(*set.Fields(0), "abcdef", out, 3);
  EXPECT_EQ(out, "abc");
  set.TDataSet::TextFromStorage("x\xE9y", out);
  EXPECT_EQ(out, "x\xE9y");
}

TEST_F(TDataSetTest, CalculatedFieldsAreComputedPerBufferAndKeepModified) {
  AddRecords(3);
  AddFieldsWithCalculated<TFloatField>("TOTAL");
  int calcs = 0;
  set.SetOnCalcFields([&](TDataSet& d) {
    ++calcs;
    EXPECT_EQ(d.State(), rsCalcFields);
    d.FieldNamed("TOTAL")->SetValueAsFloat(d.FieldNamed("PRICE")->ValueAsFloat() * 2);
  });
  link.SetBufferCount(3);
  set.Open();
  EXPECT_EQ(set.CalcFieldsSize(), 8);
  EXPECT_EQ(set.FieldNamed("TOTAL")->FieldNo(), -1);
  EXPECT_EQ(calcs, 3);
  link.SetActiveRecord(2);
  EXPECT_DOUBLE_EQ(set.FieldNamed("TOTAL")->ValueAsFloat(), 7.0);
  link.SetActiveRecord(0);
  set.Edit();
  set.FieldNamed("PRICE")->SetValueAsFloat(10);
  EXPECT_DOUBLE_EQ(set.FieldNamed("TOTAL")->ValueAsFloat(), 20.0);
  EXPECT_TRUE(set.IsModified());  // recomputing did not forget the change
  set.Next();
  EXPECT_EQ(set.StoredText(1, 2), "10");
  set.Close();
  EXPECT_EQ(set.FieldCount(), 4);  // persistent fields survive closing
}

TEST_F(TDataSetTest, SuspendedNotificationsEndInOneSetChanged) {
  AddRecords(10);
  link.SetBufferCount(4);
  set.Open();
  link.Clear();
  EXPECT_TRUE(set.LocateRecord("NAME", TVariant("N7"), 0));
  EXPECT_EQ(Id(), 7);
  EXPECT_EQ(link.Joined(), "changed");
  link.Clear();
  EXPECT_FALSE(set.LocateRecord("NAME", TVariant("nothing"), 0));
  EXPECT_EQ(Id(), 7);
  EXPECT_EQ(link.Joined(), "changed");
  EXPECT_TRUE(set.LocateRecord("NAME", TVariant("n9"), SearchOpt(soCaseInsensitive)));
  EXPECT_EQ(Id(), 9);
  EXPECT_TRUE(set.LocateRecord("ID;NAME", TVariant(std::vector<TVariant>{int32_t(2), "N2"}), 0));
  EXPECT_EQ(Id(), 2);
  EXPECT_FALSE(set.LocateRecord("ID;NAME", TVariant(std::vector<TVariant>{int32_t(3)}), 0));
  EXPECT_EQ(Id(), 2);

  link.Clear();
  set.SuspendNotifications();
  set.SuspendNotifications();
  set.Edit();
  set.Cancel();
  set.Next();
  set.ResumeNotifications();
  EXPECT_EQ(link.Joined(), "");
  set.ResumeNotifications();
  EXPECT_EQ(link.Joined(), "changed");

  link.Clear();
  set.SuspendNotifications();
  set.Edit();
  set.ResumeNotifications();  // the state changed meanwhile
  EXPECT_EQ(link.Joined(), "editing, changed");
  set.Cancel();

  link.Clear();
  set.SuspendNotifications();
  set.Close();
  set.Open();
  set.ResumeNotifications();  // a close was held back
  EXPECT_EQ(link.Joined(), "layout");
}

TEST_F(TDataSetTest, ChangingPropertyOfOpenSet) {
  set.Open();
  EXPECT_EQ(ErrorOf([&] { set.CheckInactive(); }),
            "tbMain: Cannot perform this operation on an open dataset");
  set.SetDesigning(true);
  set.CheckInactive();
  EXPECT_FALSE(set.Active());
}

TEST_F(TDataSetTest, ActiveFromStoredFormAppliesWhenLoaded) {
  AddRecords(1);
  set.BeginLoading();
  set.SetActive(true);
  EXPECT_FALSE(set.Active());
  set.EndLoading();
  EXPECT_TRUE(set.Active());

  TMemoryRecordSet designed;
  designed.SetDesigning(true);
  designed.FailOpen("cannot open");
  designed.BeginLoading();
  designed.Open();
  designed.EndLoading();  // in design mode the failure is shown, not raised
  EXPECT_EQ(designed.ReportedErrors(), std::vector<std::string>{"cannot open"});
}

TEST_F(TDataSetTest, BlockReadingReadsBlocksWithoutNotifications) {
  AddRecords(7);
  set.Open();
  link.Clear();
  set.SetBlockReadSize(3);
  EXPECT_EQ(link.Joined(), "browse");  // the pending edit was settled first
  link.Clear();
  EXPECT_EQ(set.State(), rsBlockRead);
  EXPECT_EQ(set.RingRecordCount(), 3);
  std::vector<int> ids;
  while (!set.AtEnd()) {
    ids.push_back(Id());
    set.Next();
  }
  EXPECT_EQ(ids, (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(Id(), 7);
  EXPECT_EQ(link.Joined(), "");
  set.SetBlockReadSize(0);
  EXPECT_EQ(set.State(), rsBrowse);
  EXPECT_EQ(set.BufferCount(), 1);
  EXPECT_EQ(Id(), 7);
  EXPECT_EQ(link.Joined(), "changed");
}

// A block that fails to read leaves the last record of the block before
// shown, and the walk goes on from it once the fault is gone.
TEST_F(TDataSetTest, BlockReadingFailureKeepsTheLastRecordShown) {
  AddRecords(7);
  AddFieldsWithCalculated<TIntegerField>("CHECK");
  bool failing = true;
  set.SetOnCalcFields([&](TDataSet& d) {
    if (failing && d.FieldNamed("ID")->ValueAsInteger() == 4) throw EDatabaseError("unreadable");
  });
  set.Open();
  set.SetBlockReadSize(3);
  set.Next();
  set.Next();
  EXPECT_THROW(set.Next(), EDatabaseError);
  EXPECT_EQ(Id(), 3);
  EXPECT_FALSE(set.AtEnd());
  failing = false;
  std::vector<int> ids;
  for (set.Next(); !set.AtEnd(); set.Next()) ids.push_back(Id());
  EXPECT_EQ(ids, (std::vector<int>{4, 5, 6, 7}));
}

}  // namespace
