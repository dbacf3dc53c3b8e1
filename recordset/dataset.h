#pragma once
// TDataSet: the generic record set. It runs the state machine (browse,
// edit, insert, ...), keeps a ring of record buffers around the current
// record, owns its field objects and field definitions, and sends its
// notifications to the data sources linked to it. A concrete record set
// (the table dataset) derives from it and fills in the storage hooks.
// Single-threaded.
//
// The ring: Buffers(0 .. BufferCount()) are BufferCount() + 1 buffers made
// by NewRecordBuffer; indexes 0 .. RingRecordCount() - 1 hold records in
// storage order, index RingRecordCount() is the spare that the next fetch
// fills. ActiveRecord() is the current record's index, CurrentRecord() the
// index of the buffer the storage cursor sits on (-1: unknown).
//
// A concrete record set's destructor must call Destroying() first: it
// closes the set while the hooks can still run.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "recordset/component.h"
#include "recordset/db_types.h"
#include "recordset/field_defs.h"
#include "runtime/variant.h"

class EDatabaseError;
class Exception;
class TDataLink;
class TDataSet;
class TDataSource;
class TField;
class TStream;
class TStringList;

using TDataSetNotifyEvent = std::function<void(TDataSet& dataSet)>;
using TFilterRecordEvent = std::function<void(TDataSet& dataSet, bool& accept)>;
using TDataSetErrorEvent =
    std::function<void(TDataSet& dataSet, EDatabaseError& error, TDataAction& action)>;

class TDataSet : public TComponent {
 public:
  TDataSet();
  ~TDataSet() override;

  // ---- Published properties ----
  bool Active() const { return state_ != rsInactive && state_ != rsOpening; }
  void SetActive(bool value);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  TFieldDefs& FieldDefs() { return fieldDefs_; }
  const std::string& Filter() const { return filter_; }
  virtual void SetFilter(const std::string& text);
  bool Filtered() const { return filtered_; }
  virtual void SetFiltered(bool value);

  TRecordSetState State() const { return state_; }

  // ---- Navigation ----
  void First();
  void Last();
  // Inline for a walk in blocks, where most steps move within the ring.
  void Next() {
    if (state_ == rsBlockRead && activeRecord_ < recordCount_ - 1 && !beforeScroll_ &&
        !afterScroll_)
      ++activeRecord_;
    else
      MoveNext();
  }
  void Prior();
  // Moves by a signed distance; returns the signed number of records moved.
  int MoveRecords(int distance);
  bool AtStart() const { return atStart_; }
  bool AtEnd() const { return atEnd_; }
  // No records to show: both AtStart and AtEnd.
  bool IsEmpty() const { return atStart_ && atEnd_; }

  // ---- Editing ----
  void Edit();
  void Insert();
  void AppendNew();
  void Post();
  void Cancel();
  void Delete();
  void Refresh();
  // Posts a modified pending edit, cancels an unchanged one.
  void SettlePendingEdit();
  // Lets the controls write their pending input into the record
  // (reUpdateRecord); "Dataset not in edit or insert mode" outside editing.
  void UpdateRecord();
  // The current record changed since editing began.
  bool IsModified() const { return modified_; }
  void SetModified(bool value) { modified_ = value; }

  // ---- Fields ----
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  // By position, 0-based (EListError outside).
  TField* Fields(int index) const;
  // By name, without regard to ASCII case; FieldNamed raises
  // "Field '%s' not found".
  TField* FindFieldNamed(const std::string& name) const;
  TField* FieldNamed(const std::string& name) const;
  // The fields named in a list separated by semicolons, in list order
  // (FieldNamed for each, so an unknown name raises).
  std::vector<TField*> FieldList(const std::string& fieldNames) const;
  // Fills list with the field names (of the field objects, else of the
  // field definitions).
  void ListFieldNames(TStringList& list);
  // Adds a field object to the set (persistent fields are added before
  // opening; aggregate fields go to a list of their own). Returns it.
  TField* AddField(std::unique_ptr<TField> field);
  // Removes and frees a field object.
  void RemoveField(TField* field);
  // Brings FieldDefs up to date with the storage (BuildFieldDefs when they
  // are out of date).
  virtual void UpdateFieldDefs();

  // ---- Bookmarks and positions ----
  // The current record's bookmark (BookmarkSize bytes), empty when there
  // is none (no record, not browsing or editing, or a new record).
  std::string Bookmark();
  // Does nothing for an empty bookmark; "Record not found" when the
  // bookmark has the wrong size or its record is gone.
  void MoveToBookmark(const std::string& bookmark);
  // -1, 0, 1; an empty bookmark sorts first.
  virtual int CompareMarks(const std::string& mark1, const std::string& mark2);
  int BookmarkSize() const { return bookmarkSize_; }
  // Records in the storage; -1 when unknown.
  virtual int RecordCount();
  // 1-based number of the current record; -1 when unknown.
  virtual int RecordNumber();
  virtual void SetRecordNumber(int value);
  virtual bool IsWritable();
  // Moves to the first record whose key fields (names separated by
  // semicolons) equal the key values (one value, or an array with one
  // element per field). The framework's version finds nothing.
  virtual bool LocateRecord(const std::string& keyFields, const TVariant& keyValues,
                            TSearchOptions options);
  // The result fields' values of the record with the key values. The
  // framework's version gives the variant false.
  virtual TVariant Lookup(const std::string& keyFields, const TVariant& keyValues,
                          const std::string& resultFields);
  // Field text between the storage's own bytes and the program's UTF-8.
  // TextFromStorage sets text from stored. TextToStorage sets stored from
  // text, cut to at most width bytes between two characters, and raises,
  // naming the field, when the storage cannot hold a character of it. The
  // framework copies (and cuts at width bytes).
  virtual void TextFromStorage(std::string_view stored, std::string& text);
  virtual void TextToStorage(const TField& field, std::string_view text, std::string& stored,
                             size_t width);
  // A stream over a blob field's value in the current record; null when
  // the set has none. The framework's version gives none.
  virtual std::shared_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode);

  // ---- Notifications ----
  // Nested: while suspended (and while block-reading) data sources get no
  // notifications; the last resume sends reStateChanged when the state
  // differs from the state at the first suspension, then, when both are
  // active, reLayoutChanged if a layout change or a close was held back,
  // else reSetChanged.
  void SuspendNotifications();
  void ResumeNotifications();
  bool NotificationsSuspended() const { return suspendCount_ > 0; }
  // Sends a notification to the linked data sources (field: with
  // reFieldChanged and reFocusControl; distance: with reScrolled). A
  // reFieldChanged first marks the record modified (data and internal
  // calculated fields), recomputes calculated fields and runs the field's
  // OnChange.
  virtual void Notify(TRecordSetEvent event, TField* field = nullptr, int distance = 0);
  // Called after a field's data was written: notifies reFieldChanged
  // unless the set is computing calculated fields, filtering or
  // presenting new values.
  void FieldDataChanged(TField* field);

  // ---- The ring ----
  virtual void RefillBuffers(TRefillMode mode);
  int BufferCount() const { return bufferCount_; }
  int RingRecordCount() const { return recordCount_; }
  int ActiveRecord() const { return activeRecord_; }
  // Makes another ring record the active one (controls do this to read
  // each visible row); EListError outside the ring's records.
  void SetActiveRecord(int index);
  int CurrentRecord() const { return currentRecord_; }
  // Buffer at a ring index, 0 .. BufferCount() (none outside). Inline, as
  // a walk asks for the active one at every record.
  char* Buffers(int index) const {
    if (index < 0 || index >= static_cast<int>(buffers_.size())) return nullptr;
    return buffers_[static_cast<size_t>(index)].get();
  }
  // The active record's buffer; none while the ring has no buffers.
  char* ActiveBuffer() const { return Buffers(activeRecord_); }
  // The buffer whose calculated fields are being computed.
  char* CalcBuffer() const { return calcBuffer_; }
  int CalcFieldsSize() const { return calcFieldsSize_; }
  // Computes the calculated fields of a buffer (state rsCalcFields for the
  // duration; clears the calculated area, then OnCalcFields).
  void ComputeCalcFields(char* buffer);
  // Block reading: with a size above 0 the ring holds that many records,
  // Next reads the following block and data sources get no notifications
  // until the size is set back to 0.
  int BlockReadSize() const { return blockReadSize_; }
  void SetBlockReadSize(int size);

  // ---- Data sources and links ----
  // Called by TDataSource when it is linked to / unlinked from this set.
  void AddDataSource(TDataSource* source);
  void RemoveDataSource(TDataSource* source);
  int DataSourceCount() const { return static_cast<int>(dataSources_.size()); }
  TDataSource* DataSources(int index) const;
  // Resizes the ring to the largest BufferCount of all links of all data
  // sources (at least 1) while the set is open.
  void UpdateBufferCount();
  // The data source this set follows (a master), none by default.
  virtual TDataSource* MasterDataSource() const { return nullptr; }
  // Whether following master sources from this set reaches source.
  bool IsLinkedTo(const TDataSource* source) const;

  // ---- Events ----
  void SetBeforeOpen(TDataSetNotifyEvent h) { beforeOpen_ = std::move(h); }
  void SetAfterOpen(TDataSetNotifyEvent h) { afterOpen_ = std::move(h); }
  void SetBeforeClose(TDataSetNotifyEvent h) { beforeClose_ = std::move(h); }
  void SetAfterClose(TDataSetNotifyEvent h) { afterClose_ = std::move(h); }
  void SetBeforeInsert(TDataSetNotifyEvent h) { beforeInsert_ = std::move(h); }
  void SetAfterInsert(TDataSetNotifyEvent h) { afterInsert_ = std::move(h); }
  void SetBeforeEdit(TDataSetNotifyEvent h) { beforeEdit_ = std::move(h); }
  void SetAfterEdit(TDataSetNotifyEvent h) { afterEdit_ = std::move(h); }
  void SetBeforePost(TDataSetNotifyEvent h) { beforePost_ = std::move(h); }
  void SetAfterPost(TDataSetNotifyEvent h) { afterPost_ = std::move(h); }
  void SetBeforeCancel(TDataSetNotifyEvent h) { beforeCancel_ = std::move(h); }
  void SetAfterCancel(TDataSetNotifyEvent h) { afterCancel_ = std::move(h); }
  void SetBeforeDelete(TDataSetNotifyEvent h) { beforeDelete_ = std::move(h); }
  void SetAfterDelete(TDataSetNotifyEvent h) { afterDelete_ = std::move(h); }
  void SetBeforeScroll(TDataSetNotifyEvent h) { beforeScroll_ = std::move(h); }
  void SetAfterScroll(TDataSetNotifyEvent h) { afterScroll_ = std::move(h); }
  void SetBeforeRefresh(TDataSetNotifyEvent h) { beforeRefresh_ = std::move(h); }
  void SetAfterRefresh(TDataSetNotifyEvent h) { afterRefresh_ = std::move(h); }
  void SetOnCalcFields(TDataSetNotifyEvent h) { onCalcFields_ = std::move(h); }
  void SetOnNewRecord(TDataSetNotifyEvent h) { onNewRecord_ = std::move(h); }
  virtual void SetOnFilterRecord(TFilterRecordEvent h) { onFilterRecord_ = std::move(h); }
  void SetOnDeleteError(TDataSetErrorEvent h) { onDeleteError_ = std::move(h); }
  void SetOnEditError(TDataSetErrorEvent h) { onEditError_ = std::move(h); }
  void SetOnPostError(TDataSetErrorEvent h) { onPostError_ = std::move(h); }
  const TDataSetNotifyEvent& OnCalcFields() const { return onCalcFields_; }
  const TFilterRecordEvent& OnFilterRecord() const { return onFilterRecord_; }

  // Raises "Cannot perform this operation on a closed dataset" unless
  // active.
  void CheckActive() const;
  // Raises "Cannot perform this operation on an open dataset" when active;
  // in design mode or while updating the set is closed instead.
  void CheckInactive();

 protected:
  // ---- Storage hooks, in slot order ----
  virtual std::unique_ptr<char[]> NewRecordBuffer() = 0;
  virtual void DisposeRecordBuffer(std::unique_ptr<char[]>& buffer) { buffer.reset(); }
  // Copies BookmarkSize bytes of the buffer's bookmark to dest.
  virtual void ReadBookmark(const char* buffer, char* dest) = 0;
  virtual TRecordBufferFlag ReadBufferFlag(const char* buffer) = 0;
  // Moves the storage cursor (not for fcCurrent) and reads the record
  // into buffer.
  virtual TFetchResult FetchRecord(char* buffer, TFetchMode mode, bool check) = 0;
  virtual uint16_t RecordImageSize() = 0;
  virtual void StoreNewRecord(char* buffer, bool append) = 0;
  virtual void CloseStorage() = 0;
  virtual void DeleteCurrent() = 0;
  virtual void CursorToStart() = 0;
  virtual void CursorToBookmark(const char* bookmark) = 0;
  virtual void ReportException(const Exception& error) = 0;
  virtual void BuildFieldDefs() = 0;
  virtual void InitRecordBuffer(char* buffer) = 0;
  virtual void CursorToEnd() = 0;
  // Opens the storage, makes the fields (CreateFields when DefaultFields)
  // and binds them, and places the cursor before the first record.
  virtual void OpenStorage() = 0;
  virtual void StoreRecord() = 0;
  virtual void CursorToBuffer(const char* buffer) = 0;
  virtual bool StorageOpen() = 0;
  virtual void WriteBufferFlag(char* buffer, TRecordBufferFlag flag) = 0;
  virtual void WriteBookmark(char* buffer, const char* bookmark) = 0;
  // Writes a field's native data into the current buffer (source none:
  // blank), then calls FieldDataChanged(field).
  virtual void WriteFieldData(TField* field, const void* source) = 0;

  // ---- Further overridables ----
  // Reads a field's native data into dest (which may be none); false when
  // the field has no value. The framework's version has no data.
  virtual bool ReadFieldData(TField* field, void* dest);
  virtual void ClearCalcArea(char* buffer);
  virtual void BeginEditRecord() {}
  virtual void BeginInsertRecord() {}
  virtual void CancelRecord() {}
  virtual void RefreshStorage() {}
  // Around a run of fetches that fills the buffers: a record set whose
  // storage is shared with other processes may hold it steady for the run,
  // and may read together the records the run is to fetch, at most
  // records of them. Runs nest: an inner one is part of the outer.
  // EndFetchRun runs also when a fetch fails, and must not throw.
  virtual void BeginFetchRun(int /*records*/) {}
  virtual void EndFetchRun() noexcept {}
  // Within a run, after a fetch forward: fills Buffers(first) on, at most
  // count of them, with the records that count calls of
  // FetchRecord(buffer, fcNext, true) would give, as far as the storage
  // has them at hand (read for the run, nothing to compute, no handler
  // to run), and leaves its cursor on the last one. Gives how many it
  // filled; 0 leaves the fetching to FetchRecord. Should it raise, its
  // cursor stays where it was.
  virtual int FetchReadyForward(int /*first*/, int /*count*/) { return 0; }

  // ---- Helpers for concrete record sets ----
  void SetBookmarkSize(int size) { bookmarkSize_ = size; }
  // Whether Open found no field objects, so OpenStorage must make them.
  bool DefaultFields() const { return defaultFields_; }
  // One field object per definition, except ftUnknown, hidden
  // (faHiddenCol) and types without a field class.
  void CreateFields();
  // Frees every field object.
  void DestroyFields();
  // Binds the fields to the field definitions (field numbers; calculated
  // fields' offsets and CalcFieldsSize), or unbinds them.
  void BindFields(bool binding);
  void FreeFieldBuffers();
  // Switches to a temporary state (rsFilter, rsCalcFields) without
  // notifications; IsModified reads false meanwhile. LeaveTempState
  // restores the state and IsModified.
  struct TTempState {
    TRecordSetState state;
    bool modified;
  };
  TTempState EnterTempState(TRecordSetState state);
  void LeaveTempState(const TTempState& saved);
  // Places the storage cursor on the record of a ring index (nothing when
  // it is already there).
  void CursorToRing(int index);
  // Places it on the active buffer when the ring holds records.
  void CursorToActive();
  // Forgets where the storage cursor is.
  void CursorMoved() { currentRecord_ = -1; }
  // Runs a storage operation through the error-event loop: on an
  // EDatabaseError the event chooses fail (re-raise), abort (EAbort) or
  // retry.
  void RunWithErrorEvent(const std::function<void()>& operation, const TDataSetErrorEvent& event);
  // Closes the set while the hooks still work; call first in destructors.
  // Never raises: a failure while closing goes to ReportException and the
  // close goes on, so the storage is closed and the sources let go.
  void Destroying() noexcept;
  void SetState(TRecordSetState state);
  // Raise the scroll events (for searches a concrete set runs itself).
  void DoBeforeScroll() { Run(beforeScroll_); }
  void DoAfterScroll() { Run(afterScroll_); }
  void Loaded() override;
  // Raises the read-only error when IsWritable is false; a storage may say
  // why in its own message.
  virtual void CheckWritable();

 private:
  friend class TField;

  void OpenCursor();
  void CloseCursor();
  void SetBufferCount(int count);
  void ClearBuffers();
  void ActivateBuffers();
  bool FetchForward();
  bool FetchBackward();
  int FillForward();
  int FillBackward();
  void BeginInsertOrAppend();
  void FinishInsertOrAppend();
  void CheckRequiredFields();
  void MoveNext();
  void NextBlock();
  void SendToSources(TRecordSetEvent event, TField* field, int distance);
  void Run(const TDataSetNotifyEvent& event);

  TRecordSetState state_ = rsInactive;
  TFieldDefs fieldDefs_;
  std::vector<std::unique_ptr<TField>> fields_;
  std::vector<std::unique_ptr<TField>> aggregateFields_;
  std::vector<TDataSource*> dataSources_;
  std::vector<std::unique_ptr<char[]>> buffers_;
  int bufferCount_ = 0;
  int recordCount_ = 0;
  int activeRecord_ = 0;
  int currentRecord_ = -1;
  bool atStart_ = true;
  bool atEnd_ = true;
  bool modified_ = false;
  char* calcBuffer_ = nullptr;
  int calcFieldsSize_ = 0;
  bool defaultFields_ = false;
  // OpenStorage succeeded and the cursor is not closed yet.
  bool openComplete_ = false;
  bool streamedActive_ = false;
  int bookmarkSize_ = 0;
  int blockReadSize_ = 0;
  int suspendCount_ = 0;
  TRecordSetState suspendState_ = rsInactive;
  bool heldLayout_ = false;
  std::string filter_;
  bool filtered_ = false;

  TDataSetNotifyEvent beforeOpen_, afterOpen_, beforeClose_, afterClose_;
  TDataSetNotifyEvent beforeInsert_, afterInsert_, beforeEdit_, afterEdit_;
  TDataSetNotifyEvent beforePost_, afterPost_, beforeCancel_, afterCancel_;
  TDataSetNotifyEvent beforeDelete_, afterDelete_, beforeScroll_, afterScroll_;
  TDataSetNotifyEvent beforeRefresh_, afterRefresh_, onCalcFields_, onNewRecord_;
  TFilterRecordEvent onFilterRecord_;
  TDataSetErrorEvent onDeleteError_, onEditError_, onPostError_;
};
