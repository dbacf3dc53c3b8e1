#include "recordset/datasource.h"

#include <gtest/gtest.h>

#include "recordset/dataset.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "tests/recordset/log_link.h"
#include "tests/support/memory_record_set.h"

namespace {

class TDataSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set.SetName("tbMain");
    set.AddColumn("ID", ftInteger);
    set.AddColumn("NAME", ftString, 10);
    ds.SetDataSet(&set);
  }
  void AddRecords(int n) {
    for (int i = 1; i <= n; ++i) set.AddRecord({std::to_string(i), "N" + std::to_string(i)});
  }
  int Id() { return set.FieldNamed("ID")->ValueAsInteger(); }

  TMemoryRecordSet set;
  TDataSource ds;
  TLogLink grid;
  TLogLink nav;
};

TEST_F(TDataSourceTest, GridLinkOnShortTableSeesOnlyItsRecords) {
  AddRecords(3);
  grid.SetVisualControl(true);
  grid.SetBufferCount(10);
  grid.SetDataSource(&ds);
  set.Open();
  EXPECT_EQ(set.BufferCount(), 10);
  EXPECT_NE(set.Buffers(10), nullptr);  // the spare
  EXPECT_EQ(set.Buffers(11), nullptr);
  EXPECT_EQ(set.RingRecordCount(), 3);
  EXPECT_EQ(grid.RecordCount(), 3);
  EXPECT_EQ(grid.ActiveRecord(), 0);
  grid.SetActiveRecord(2);  // a grid reads each row this way
  EXPECT_EQ(Id(), 3);
  EXPECT_THROW(grid.SetActiveRecord(3), EListError);
  grid.SetActiveRecord(0);
}

TEST_F(TDataSourceTest, OpeningActivatesLinksBeforeAnyDataSetChange) {
  AddRecords(3);
  grid.SetDataSource(&ds);
  int stateChanges = 0;
  std::vector<std::string> dataChanges;
  ds.SetOnStateChange([&](TDataSource&) { ++stateChanges; });
  ds.SetOnDataChange(
      [&](TDataSource&, TField* f) { dataChanges.push_back(f ? f->FieldName() : "none"); });
  set.Open();
  EXPECT_EQ(grid.Joined(), "active");
  EXPECT_EQ(stateChanges, 1);
  EXPECT_EQ(dataChanges, std::vector<std::string>{"none"});
  set.Next();  // settles a pending edit, then the one-row ring slides
  EXPECT_EQ(grid.Joined(), "active, browse, scrolled 1");
  set.Close();
  EXPECT_EQ(grid.Joined(), "active, browse, scrolled 1, inactive");
  EXPECT_EQ(stateChanges, 2);
  EXPECT_EQ(ds.State(), rsInactive);
}

TEST_F(TDataSourceTest, RingSlidesByOneRowOnNextAtTheBottom) {
  AddRecords(20);
  grid.SetBufferCount(10);
  grid.SetDataSource(&ds);
  nav.SetDataSource(&ds);
  set.Open();
  EXPECT_EQ(set.MoveRecords(9), 9);
  EXPECT_EQ(set.ActiveRecord(), 9);
  EXPECT_EQ(nav.FirstRecord(), 9);
  grid.Clear();
  set.Next();
  EXPECT_EQ(Id(), 11);
  EXPECT_EQ(set.ActiveRecord(), 9);
  EXPECT_EQ(grid.Joined(), "browse, scrolled 1");
  EXPECT_EQ(grid.FirstRecord(), 0);
  EXPECT_EQ(grid.ActiveRecord(), 9);
  EXPECT_EQ(nav.FirstRecord(), 9);
  grid.SetActiveRecord(0);
  EXPECT_EQ(Id(), 2);  // the ring slid: the first row is the second record
  grid.SetActiveRecord(9);

  grid.Clear();
  set.MoveRecords(-9);
  EXPECT_EQ(grid.Joined(), "browse, scrolled 0");
  grid.Clear();
  set.Prior();
  EXPECT_EQ(Id(), 1);
  EXPECT_EQ(grid.Joined(), "browse, scrolled -1");
  EXPECT_EQ(grid.FirstRecord(), 0);
  EXPECT_EQ(nav.FirstRecord(), 0);
}

TEST_F(TDataSourceTest, LinksAreToldInTwoPassesFromLastAdded) {
  struct TOrderLink : TDataLink {
    std::vector<std::string>* order = nullptr;
    std::string name;
    void DataSetChanged() override { order->push_back(name); }
  };
  std::vector<std::string> order;
  TOrderLink links[4];
  const char* names[] = {"plain1", "visual1", "plain2", "visual2"};
  for (int i = 0; i < 4; ++i) {
    links[i].order = &order;
    links[i].name = names[i];
    links[i].SetVisualControl(i % 2 == 1);
    links[i].SetDataSource(&ds);
  }
  AddRecords(2);
  set.Open();
  set.First();
  EXPECT_EQ(order, (std::vector<std::string>{"plain2", "plain1", "visual2", "visual1"}));
}

TEST_F(TDataSourceTest, BufferCountFollowsTheLargestLink) {
  AddRecords(20);
  nav.SetDataSource(&ds);
  set.Open();
  EXPECT_EQ(set.BufferCount(), 1);
  grid.SetBufferCount(10);
  grid.SetDataSource(&ds);  // added while open: the ring grows forward
  EXPECT_EQ(set.BufferCount(), 10);
  EXPECT_EQ(set.RingRecordCount(), 10);
  EXPECT_EQ(Id(), 1);
  TLogLink small;
  small.SetBufferCount(3);
  small.SetDataSource(&ds);
  set.MoveRecords(6);
  EXPECT_EQ(small.FirstRecord(), 4);
  grid.SetDataSource(nullptr);  // the ring shrinks around the active record
  EXPECT_EQ(set.BufferCount(), 3);
  EXPECT_EQ(Id(), 7);
  EXPECT_EQ(set.ActiveRecord(), 2);
  EXPECT_EQ(small.FirstRecord(), 0);
  EXPECT_EQ(small.ActiveRecord(), 2);
  EXPECT_EQ(nav.FirstRecord(), 2);
  small.SetDataSource(nullptr);
  EXPECT_EQ(set.BufferCount(), 1);
  EXPECT_EQ(Id(), 7);
  EXPECT_EQ(nav.ActiveRecord(), 0);
}

TEST_F(TDataSourceTest, GrowingAtTheEndFillsBackwardAndMovesFirstRecords) {
  AddRecords(20);
  nav.SetDataSource(&ds);
  set.Open();
  set.Last();
  grid.SetDataSource(&ds);
  grid.SetBufferCount(5);
  EXPECT_EQ(set.RingRecordCount(), 5);
  EXPECT_EQ(set.ActiveRecord(), 4);
  EXPECT_EQ(Id(), 20);
  EXPECT_EQ(nav.FirstRecord(), 4);
  EXPECT_EQ(grid.FirstRecord(), 0);
  EXPECT_EQ(grid.ActiveRecord(), 4);
}

TEST_F(TDataSourceTest, ResizingAnActiveLinkFitsItsWindow) {
  AddRecords(20);
  grid.SetBufferCount(10);
  grid.SetDataSource(&ds);
  nav.SetDataSource(&ds);
  set.Open();
  set.MoveRecords(5);
  EXPECT_EQ(nav.FirstRecord(), 5);
  nav.SetBufferCount(3);  // fitted before and after the ring is sized
  EXPECT_EQ(nav.FirstRecord(), 3);
  EXPECT_EQ(nav.ActiveRecord(), 2);
  EXPECT_EQ(nav.RecordCount(), 3);
  EXPECT_EQ(set.BufferCount(), 10);
}

TEST_F(TDataSourceTest, EditRequestsFollowAutoEditAndReadOnly) {
  AddRecords(2);
  grid.SetDataSource(&ds);
  set.Open();
  grid.Clear();
  EXPECT_TRUE(grid.Edit());
  EXPECT_EQ(set.State(), rsEdit);
  EXPECT_EQ(grid.Joined(), "browse, editing, record");
  set.Cancel();
  ds.SetAutoEdit(false);
  EXPECT_FALSE(grid.Edit());
  EXPECT_EQ(set.State(), rsBrowse);
  ds.SetAutoEdit(true);
  grid.SetReadOnly(true);
  EXPECT_FALSE(grid.Edit());
  EXPECT_EQ(set.State(), rsBrowse);
  set.Edit();
  EXPECT_FALSE(grid.Editing());  // a read-only link never edits
  set.Cancel();
}

TEST_F(TDataSourceTest, FieldChangesReachLinksExceptWhileTheyUpdate) {
  AddRecords(1);
  struct TWritingLink : TLogLink {
    void UpdateData() override {
      log.push_back("update");
      DataSet()->FieldNamed("NAME")->SetValueAsString("typed");
    }
  } editor;
  editor.SetDataSource(&ds);
  grid.SetDataSource(&ds);
  std::vector<std::string> seen;
  ds.SetOnDataChange([&](TDataSource&, TField* f) { seen.push_back(f ? f->FieldName() : "none"); });
  int updates = 0;
  ds.SetOnUpdateData([&](TDataSource&) { ++updates; });
  set.Open();
  set.Edit();
  seen.clear();
  editor.Clear();
  grid.Clear();
  set.FieldNamed("ID")->SetValueAsInteger(5);
  EXPECT_EQ(grid.Joined(), "record ID");
  EXPECT_EQ(seen, std::vector<std::string>{"ID"});
  grid.Clear();
  set.UpdateRecord();
  EXPECT_EQ(editor.Joined(), "record ID, update");  // not told of its own change
  EXPECT_EQ(grid.Joined(), "update, record NAME");
  EXPECT_EQ(updates, 1);
  set.Post();
  EXPECT_EQ(set.StoredText(1, 1), "typed");
}

TEST_F(TDataSourceTest, DisablingTheSourceDeactivatesItsLinks) {
  AddRecords(1);
  grid.SetDataSource(&ds);
  set.Open();
  ds.SetEnabled(false);
  EXPECT_EQ(ds.State(), rsInactive);
  EXPECT_FALSE(grid.Active());
  set.Next();  // nothing reaches a disabled source's links
  ds.SetEnabled(true);
  EXPECT_EQ(grid.Joined(), "active, inactive, active");
}

TEST_F(TDataSourceTest, CircularLinksAreRefused) {
  struct TDetailSet : TMemoryRecordSet {
    TDataSource* master = nullptr;
    TDataSource* MasterDataSource() const override { return master; }
  };
  TDetailSet detail1, detail2;
  TDataSource source1, source2;
  source1.SetName("dsDetail");
  detail1.master = &source1;
  try {
    source1.SetDataSet(&detail1);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "dsDetail: Circular datalinks are not allowed");
  }
  EXPECT_EQ(source1.DataSet(), nullptr);
  // detail1 follows source1, which shows detail2, which follows source2.
  source1.SetDataSet(&detail2);
  detail2.master = &source2;
  EXPECT_THROW(source2.SetDataSet(&detail1), EDatabaseError);
  EXPECT_TRUE(source1.IsLinkedTo(&detail2));
  EXPECT_FALSE(source1.IsLinkedTo(&detail1));
  source2.SetDataSet(&set);
  EXPECT_TRUE(source1.IsLinkedTo(&set));
}

TEST_F(TDataSourceTest, FixedLinkKeepsItsSource) {
  TDataSource other;
  grid.SetDataSource(&ds);
  grid.SetDataSourceFixed(true);
  try {
    grid.SetDataSource(&other);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "DataSource cannot be changed");
  }
  EXPECT_EQ(grid.DataSource(), &ds);
}

TEST_F(TDataSourceTest, DestroyingDetachesBothWays) {
  AddRecords(2);
  auto source = std::make_unique<TDataSource>();
  auto link = std::make_unique<TLogLink>();
  link->SetDataSource(source.get());
  {
    TMemoryRecordSet temporary;
    temporary.AddColumn("ID", ftInteger);
    temporary.AddRecord({"1"});
    source->SetDataSet(&temporary);
    temporary.Open();
    EXPECT_TRUE(link->Active());
  }
  EXPECT_EQ(source->DataSet(), nullptr);
  EXPECT_FALSE(link->Active());
  source->SetDataSet(&set);
  set.Open();
  EXPECT_TRUE(link->Active());
  source.reset();
  EXPECT_EQ(link->DataSource(), nullptr);
  EXPECT_FALSE(link->Active());
  EXPECT_EQ(set.DataSourceCount(), 1);
}

TEST_F(TDataSourceTest, DestroyingGoesOnWhenAListenerRaises) {
  TDataSource first, second;
  TLogLink link;
  link.SetDataSource(&second);
  {
    TMemoryRecordSet temporary;
    temporary.AddColumn("ID", ftInteger);
    temporary.AddRecord({"1"});
    first.SetDataSet(&temporary);
    second.SetDataSet(&temporary);
    temporary.Open();
    // Raising from a destructor would end the program.
    first.SetOnStateChange([](TDataSource& sender) {
      if (sender.State() == rsInactive) throw EDatabaseError("first failed");
    });
    second.SetOnStateChange([](TDataSource&) { throw EDatabaseError("second failed"); });
  }
  EXPECT_EQ(first.DataSet(), nullptr);
  EXPECT_EQ(second.DataSet(), nullptr);
  EXPECT_FALSE(link.Active());
}

}  // namespace
