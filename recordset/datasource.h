#pragma once
// Data sources and data links: how controls see a record set. A
// TDataSource sits between one record set and any number of TDataLinks
// (one per control) and passes the record set's notifications on; each
// link sees a window of the record set's buffer ring (its first record and
// BufferCount rows) and turns the notifications into calls of its
// overridable operations. Neither owns the other: a data source and its
// links detach from each other when either is destroyed.

#include <functional>
#include <vector>

#include "recordset/component.h"
#include "recordset/db_types.h"

class TDataLink;
class TDataSet;
class TDataSource;
class TField;

using TNotifyEvent = std::function<void(TDataSource& sender)>;
using TDataChangeEvent = std::function<void(TDataSource& sender, TField* field)>;

class TDataSource : public TComponent {
 public:
  TDataSource() = default;
  ~TDataSource() override;

  TDataSet* DataSet() const { return dataSet_; }
  // Refused with "Circular datalinks are not allowed" when the record set
  // leads back to this source through its master sources.
  void SetDataSet(TDataSet* dataSet);
  // Whether following this source's record set and its master sources
  // reaches dataSet.
  bool IsLinkedTo(const TDataSet* dataSet) const;
  bool AutoEdit() const { return autoEdit_; }
  void SetAutoEdit(bool value) { autoEdit_ = value; }
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  // The record set's state, or rsInactive when disabled or without one.
  TRecordSetState State() const { return state_; }
  // Edits the record set when AutoEdit is set and it is browsing.
  void Edit();

  void SetOnStateChange(TNotifyEvent handler) { onStateChange_ = std::move(handler); }
  void SetOnDataChange(TDataChangeEvent handler) { onDataChange_ = std::move(handler); }
  void SetOnUpdateData(TNotifyEvent handler) { onUpdateData_ = std::move(handler); }

  int DataLinkCount() const { return static_cast<int>(links_.size()); }
  TDataLink* DataLinks(int index) const;

  // Called by the record set: passes a notification to the links.
  void Notify(TRecordSetEvent event, TField* field, int distance);
  // Takes the record set's state; tells links and handlers when it changed.
  void TakeState();

 private:
  friend class TDataLink;
  void AddDataLink(TDataLink* link);
  void RemoveDataLink(TDataLink* link);
  void NotifyLinks(TRecordSetEvent event, TField* field, int distance);

  TDataSet* dataSet_ = nullptr;
  bool autoEdit_ = true;
  bool enabled_ = true;
  TRecordSetState state_ = rsInactive;
  std::vector<TDataLink*> links_;
  TNotifyEvent onStateChange_;
  TDataChangeEvent onDataChange_;
  TNotifyEvent onUpdateData_;
};

class TDataLink {
 public:
  TDataLink() = default;
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  TDataSource* DataSource() const { return dataSource_; }
  // Refused with "DataSource cannot be changed" for a fixed link.
  void SetDataSource(TDataSource* source);
  // The data source's record set, or none.
  TDataSet* DataSet() const;

  bool Active() const { return active_; }
  bool Editing() const { return editing_; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value);
  // The link belongs to a visible control (told in the second pass).
  bool VisualControl() const { return visualControl_; }
  void SetVisualControl(bool value) { visualControl_ = value; }
  bool DataSourceFixed() const { return dataSourceFixed_; }
  void SetDataSourceFixed(bool value) { dataSourceFixed_ = value; }

  // Rows the link wants of the ring (default 1).
  int BufferCount() const { return bufferCount_; }
  void SetBufferCount(int count);
  // Ring index of the link's first row.
  int FirstRecord() const { return firstRecord_; }
  // The record set's active record relative to the first row (0 in
  // rsSetKey); setting it makes that row the record set's active record.
  int ActiveRecord() const;
  void SetActiveRecord(int index);
  // Rows holding records: the smaller of BufferCount and the ring's
  // records (1 in rsSetKey).
  int RecordCount() const;
  bool AtStart() const;
  bool AtEnd() const;
  int MoveBy(int distance);
  // Asks the data source to edit (unless read-only); whether the link is
  // now editing.
  bool Edit();
  // Lets the control write its pending input (update data, with the
  // updating flag set).
  void UpdateRecord();
  bool Updating() const { return updating_; }

  // Routes one notification (called by the data source).
  void Notify(TRecordSetEvent event, TField* field, int distance);

 protected:
  // The notification operations, in slot order. By default data set
  // scrolled and layout changed call data set changed, which calls record
  // changed with none; the others do nothing.
  virtual void ActiveChanged() {}
  virtual void CheckBrowseMode() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int distance);
  virtual void EditingChanged() {}
  // A link whose control shows field focuses it and sets field to none,
  // which ends the search.
  virtual void FocusControl(TField*& field);
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void RecordChanged(TField* field);
  virtual void UpdateData() {}

 private:
  friend class TDataSet;
  friend class TDataSource;
  void UpdateState();
  void SetActive(bool value);
  void SetEditing(bool value);
  void FitFirstRecord();

  TDataSource* dataSource_ = nullptr;
  int bufferCount_ = 1;
  int firstRecord_ = 0;
  bool active_ = false;
  bool editing_ = false;
  bool readOnly_ = false;
  bool updating_ = false;
  bool visualControl_ = false;
  bool dataSourceFixed_ = false;
};
