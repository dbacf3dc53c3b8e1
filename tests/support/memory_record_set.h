#pragma once
// TMemoryRecordSet: a record set over records held in memory, for tests of
// the record-set framework and of controls bound to it. It implements the
// storage hooks the way a table does (a cursor over a record list, deleted
// records skipped, OnFilterRecord applied while fetching, blob values kept
// per record) and lets a test make hooks fail on purpose.
//
// Record buffer: 4-byte bookmark (the record's id, 0 in a blank record),
// 1-byte buffer flag, the record image (per field definition one byte
// "has a value" and the native data), then the calculated-field area.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "recordset/dataset.h"

class TMemoryRecordSet : public TDataSet {
 public:
  struct TColumn {
    std::string name;
    TFieldType type;
    int size;
    bool required;
  };
  struct TRecord {
    int32_t id;
    bool deleted;
    std::string image;
    std::map<int, std::string> blobs;  // by field number
  };

  TMemoryRecordSet();
  ~TMemoryRecordSet() override;

  // The storage's columns (used by BuildFieldDefs) and records.
  void AddColumn(const std::string& name, TFieldType type, int size = 0, bool required = false);
  // Appends a record with values given as texts ("" for none) in column
  // order: strings, decimal numbers (time: milliseconds; date-time:
  // milliseconds as a double), "T" for true, dates as YYYY-MM-DD, blob
  // contents as they are. Works while closed. Returns the record's id.
  int32_t AddRecord(const std::vector<std::string>& texts);
  const std::vector<TRecord>& Records() const { return records_; }
  // Marks the record with that id deleted in the storage.
  void DeleteStored(int32_t id);
  // Native value of a column of a stored record as text (tests compare).
  std::string StoredText(int32_t id, int column) const;
  std::string StoredBlob(int32_t id, int column) const;

  // Failure injection: the next n calls of the hook raise EDatabaseError
  // with the message given.
  void FailOpen(std::string message) { failOpen_ = std::move(message); }
  void FailEdits(int n, std::string message = "Record locked.");
  void FailPosts(int n, std::string message = "Key violation.");
  void FailDeletes(int n, std::string message = "Record locked.");
  void SetReadOnly(bool value) { readOnly_ = value; }
  void SetShowDeleted(bool value) { showDeleted_ = value; }

  // Counters of hook calls.
  int CloseStorageCalls() const { return closeStorageCalls_; }
  int StoreRecordCalls() const { return storeRecordCalls_; }
  int FetchCalls() const { return fetchCalls_; }
  const std::vector<std::string>& ReportedErrors() const { return reported_; }

  void SetFiltered(bool value) override;
  bool IsWritable() override { return !readOnly_; }
  int RecordCount() override { return static_cast<int>(records_.size()); }
  int RecordNumber() override;
  // A scan over the visible records comparing the fields' variants;
  // notifications suspended meanwhile, the old record kept on failure.
  bool LocateRecord(const std::string& keyFields, const TVariant& keyValues,
                    TSearchOptions options) override;
  std::shared_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override;

  // Helpers the tests reach through the set.
  using TDataSet::BindFields;
  using TDataSet::CursorToActive;
  using TDataSet::SetState;

 protected:
  std::unique_ptr<char[]> NewRecordBuffer() override;
  void ReadBookmark(const char* buffer, char* dest) override;
  TRecordBufferFlag ReadBufferFlag(const char* buffer) override;
  TFetchResult FetchRecord(char* buffer, TFetchMode mode, bool check) override;
  uint16_t RecordImageSize() override { return static_cast<uint16_t>(imageSize_); }
  void StoreNewRecord(char* buffer, bool append) override;
  void CloseStorage() override;
  void DeleteCurrent() override;
  void CursorToStart() override { position_ = -1; }
  void CursorToBookmark(const char* bookmark) override;
  void ReportException(const Exception& error) override;
  void BuildFieldDefs() override;
  void InitRecordBuffer(char* buffer) override;
  void CursorToEnd() override { position_ = static_cast<int>(records_.size()); }
  void OpenStorage() override;
  void StoreRecord() override;
  void CursorToBuffer(const char* buffer) override;
  bool StorageOpen() override { return open_; }
  void WriteBufferFlag(char* buffer, TRecordBufferFlag flag) override;
  void WriteBookmark(char* buffer, const char* bookmark) override;
  void WriteFieldData(TField* field, const void* source) override;
  bool ReadFieldData(TField* field, void* dest) override;
  void ClearCalcArea(char* buffer) override;
  void BeginEditRecord() override;
  void CancelRecord() override;

 private:
  class TBlobWriter;
  static int NativeSize(const TColumn& column);
  void Layout();
  int IndexOfId(int32_t id) const;
  bool Accept(const TRecord& record);
  const char* RecordBuffer() const;
  int32_t BookmarkOf(const char* buffer) const;
  std::string InsertImage(const char* buffer) const;

  std::vector<TColumn> columns_;
  std::vector<int> offsets_;
  int imageSize_ = 0;
  std::vector<TRecord> records_;
  int32_t nextId_ = 1;
  int position_ = -1;
  bool open_ = false;
  bool readOnly_ = false;
  bool showDeleted_ = false;
  const char* filterImage_ = nullptr;
  std::map<int, std::string> pendingBlobs_;
  std::string failOpen_;
  int failEdits_ = 0, failPosts_ = 0, failDeletes_ = 0;
  std::string failEditMessage_, failPostMessage_, failDeleteMessage_;
  int closeStorageCalls_ = 0;
  int storeRecordCalls_ = 0;
  int fetchCalls_ = 0;
  std::vector<std::string> reported_;
};
