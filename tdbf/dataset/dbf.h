#pragma once
// TDbf: the record set that presents one dBase table file as a navigable,
// editable set of records. It fills in the storage hooks of TDataSet on top
// of a table file (TDbfFile), one record cursor and one blob stream per memo
// field in use, all owned while the set is open. Single-threaded; other
// processes may share the table file, coordinated by record and header
// locks.

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "recordset/dataset.h"
#include "tdbf/dataset/dbf_cursor.h"
#include "tdbf/dbf_common.h"
#include "tdbf/file/dbf_codepage.h"
#include "tdbf/file/dbf_pgfile.h"

class TDataSource;
class TDbf;
class TDbfIndexDefs;
class TDbfMasterLink;
class TIndexFile;
class TDbfBlobStream;
class TDbfFile;
class TDbfParser;
class TMemoFile;
namespace platform {
class TTextCodec;
}

// Whether a missing table is created when the set opens.
enum TDbfOpenMode : uint8_t { omNormal = 0, omAutoCreate = 1, omTemporary = 2 };
// Kept for the component's stored form: tables always live in files.
enum TDbfStorage : uint8_t { stoMemory = 0, stoAuto = 1, stoFile = 2 };

// The Action of OnLanguageWarning: what to do with a table whose code page
// the system cannot convert. Any other value keeps the translation mode.
enum TDbfLanguageAction : int {
  laReadOnly = 0,   // open read-only
  laForceOEM = 1,   // treat the table as being in the OEM code page
  laForceANSI = 2,  // treat the table as being in the ANSI code page
};

// Which code page the table's text is in, as the system sees it. Text is
// converted between that code page and UTF-8 in every mode but tmReadOnly.
//   tmReadOnly  no usable code page: the set is read-only and its bytes
//               read as ISO-8859-1
//   tmAnsi      the system's ANSI code page
//   tmOem       the system's OEM code page
//   tmOther     another code page the system has installed
enum TDbfTranslationMode : uint8_t { tmReadOnly = 0, tmAnsi = 1, tmOem = 2, tmOther = 3 };

using TBeforeAutoCreateEvent = std::function<void(TDbf& dbf, bool& doCreate)>;
using TLanguageWarningEvent = std::function<void(TDbf& dbf, int& action)>;
// Replaces the built-in conversion of field text: sets dest from src,
// towards the table's bytes when toStorage, else towards UTF-8.
using TTranslateEvent =
    std::function<void(TDbf& dbf, std::string_view src, std::string& dest, bool toStorage)>;
using TDbfNotifyEvent = std::function<void(TDbf& dbf)>;
using TConvertFieldEvent = std::function<void(TDbf& dbf, TField* dstField, TField* srcField)>;
// Told how far the scan of SortByField is (records read of all); false
// gives up.
using TSortProgressEvent = std::function<bool(int32_t done, int32_t total)>;

// Record buffer (one per ring slot):
//   offset           size             content
//   0                4                bookmark: the cursor's signed 32-bit
//                                     value; -1 after a failed fetch, 0 in a
//                                     blank new record
//   4                1                buffer flag (TRecordBufferFlag)
//   5                record size      the record image as stored: deletion
//                                     flag ("*" deleted, " " live), fields
//   5 + record size  CalcFieldsSize   calculated-field area
//   then             3                spare
constexpr int kDbfBookmarkSize = 4;
constexpr int kDbfBufferFlagOffset = 4;
constexpr int kDbfRecordImageOffset = 5;
// The first byte of a record image: a live or a deleted record; other
// bytes mark a slot that holds no record.
constexpr uint8_t kLiveFlag = ' ';
constexpr uint8_t kDeletedFlag = '*';

// States (besides those of TDataSet): while open the set holds its table
// file, a cursor and the blob-stream slots; a record is locked for editing
// from BeginEditRecord until StoreRecord or CancelRecord.
class TDbf : public TDataSet {
 public:
  TDbf();
  ~TDbf() override;

  // ---- Published properties ----

  // File name of the table; a name with a folder also sets FilePath. No
  // extension is added: the file is FilePathFull() + TableName().
  const std::string& TableName() const { return tableName_; }
  void SetTableName(const std::string& value);
  // Folder of the table, with a trailing delimiter when not empty. Refused
  // while open.
  const std::string& FilePath() const { return filePath_; }
  void SetFilePath(const std::string& value);
  // The absolute folder in use, with a trailing delimiter: FilePath
  // resolved against the program's folder.
  const std::string& FilePathFull() const { return filePathFull_; }
  // dBase level for new tables (3, 4, 7, 30 for Visual FoxPro; other values
  // are ignored); set from the file on open (3, 4, 25, 7, 30). Refused while
  // open.
  int TableLevel() const { return tableLevel_; }
  void SetTableLevel(int value);
  // Both take effect at the next open.
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value) { readOnly_ = value; }
  // On (the default): a table the user may not write (its permissions, a
  // read-only file system) or whose memo file is missing opens read-only,
  // with a notice in OpenWarnings(); off: opening it fails with the
  // engine's error. Takes effect at the next open.
  bool ReadOnlyFallback() const { return readOnlyFallback_; }
  void SetReadOnlyFallback(bool value) { readOnlyFallback_ = value; }
  // Why the open table cannot be written although ReadOnly is off (no
  // permission, memo file missing, a structural ".cdx" index); empty when
  // it can be written.
  std::string ReadOnlyReason() const;
  // Notices for the user from the last open: the table opened read-only
  // and why, a table cut short, a count beyond the file.
  const std::vector<std::string>& OpenWarnings() const { return openWarnings_; }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value) { exclusive_ = value; }
  // Shows records flagged as deleted; refills the buffers when changed
  // while open.
  bool ShowDeleted() const { return showDeleted_; }
  void SetShowDeleted(bool value);
  TDbfOpenMode OpenMode() const { return openMode_; }
  void SetOpenMode(TDbfOpenMode value) { openMode_ = value; }
  TDbfStorage Storage() const { return storage_; }
  void SetStorage(TDbfStorage value) { storage_ = value; }
  bool UseFloatFields() const { return useFloatFields_; }
  void SetUseFloatFields(bool value) { useFloatFields_ = value; }
  TDateTimeHandling DateTimeHandling() const { return dateTimeHandling_; }
  void SetDateTimeHandling(TDateTimeHandling value) { dateTimeHandling_ = value; }
  // The index ordering the records: a tag of the production index or an
  // index file name with its extension. While open, a name that matches no
  // open index gives record-number order and reads back empty. Changing it
  // keeps the current record current.
  std::string IndexName() const;
  void SetIndexName(const std::string& value);
  // The key expression of the definition (Indexes) of the active index;
  // setting it chooses the index defined by that expression (none:
  // record-number order).
  std::string IndexFieldNames() const;
  void SetIndexFieldNames(const std::string& value);
  // The index definitions opened with the table; filled in with the tags
  // of the production index when the table opens.
  TDbfIndexDefs& Indexes() { return *indexDefs_; }
  // The master record set and the expression (over the master's fields)
  // whose value limits this set to the records with that key in its active
  // index.
  TDataSource* MasterSource() const { return masterSource_; }
  void SetMasterSource(TDataSource* value);
  const std::string& MasterFields() const { return masterFields_; }
  void SetMasterFields(const std::string& value);
  bool StoreDefs() const { return storeDefs_; }
  void SetStoreDefs(bool value) { storeDefs_ = value; }
  // "6.24".
  std::string Version() const;

  // The code page the next open reads and writes the table's text in,
  // whatever the table or a .cpg file says; 0 (the default) lets the table
  // decide. The file is never changed by it.
  int CodePage() const { return codePage_; }
  void SetCodePage(int value) { codePage_ = value; }
  // The code page the open table's text is read and written in (0 while
  // closed), and where it came from (see TCodePageSource).
  int TableCodePage() const { return tableCodePage_; }
  TCodePageSource CodePageSource() const { return codePageSource_; }

  // ---- Events ----
  void SetBeforeAutoCreate(TBeforeAutoCreateEvent h) { beforeAutoCreate_ = std::move(h); }
  void SetOnLanguageWarning(TLanguageWarningEvent h) { onLanguageWarning_ = std::move(h); }
  void SetOnLocaleError(TDbfLocaleErrorEvent h) { onLocaleError_ = std::move(h); }
  void SetOnIndexMissing(TDbfIndexMissingEvent h) { onIndexMissing_ = std::move(h); }
  void SetOnTranslate(TTranslateEvent h) { onTranslate_ = std::move(h); }
  // Never raised; kept for the component's stored form.
  void SetOnCompareRecord(TDbfNotifyEvent h) { onCompareRecord_ = std::move(h); }
  void SetOnCopyDateTimeAsString(TConvertFieldEvent h) { onCopyDateTimeAsString_ = std::move(h); }

  // ---- Record set operations ----

  // Records in the table, deleted ones included, whatever the filter; -1
  // while closed.
  int RecordCount() override;
  // The current record's number in the cursor's order; -1 while closed.
  int RecordNumber() override;
  // Moves to a record number and refills the buffers.
  void SetRecordNumber(int value) override;
  int CompareMarks(const std::string& mark1, const std::string& mark2) override;
  // False when ReadOnly, in design mode, when the table's code page is not
  // usable, or when a structural ".cdx" index belongs to the table.
  bool IsWritable() override;
  // Says why the table cannot be written: the open fell back to reading, or
  // a structural ".cdx" index belongs to the table, which this engine cannot
  // keep up to date ("the table's .cdx index cannot be kept up to date; open
  // it read-only").
  void CheckWritable() override;
  // Field text between the table's code page and UTF-8, through a
  // converter made when the table opens; OnTranslate replaces it. A
  // character the code page lacks is refused with "'%s' cannot be stored
  // in field '%s': the table's code page %d has no such character".
  void TextFromStorage(std::string_view stored, std::string& text) override;
  void TextToStorage(const TField& field, std::string_view text, std::string& stored,
                     size_t width) override;
  // The field's memo value in the current record, as a stream shared with
  // the set (see TDbfBlobStream).
  std::shared_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override;
  TDataSource* MasterDataSource() const override { return masterSource_; }
  // The file services the table file is opened through (by default the
  // platform's); tests wrap them to count or fail file calls. Not owned.
  void SetEnv(platform::TEnv* env) { env_ = env; }

  // ---- Filtering and locating ----

  // A non-empty text is compiled against the table's fields while a table
  // file exists (the parser's error propagates and leaves Filter and the
  // expression in force as they were); while closed it is compiled at the
  // next open, where a text that does not compile is dropped. When the
  // filter is applied the buffers are refilled around the current record.
  void SetFilter(const std::string& text) override;
  // Refills the buffers while open.
  void SetFiltered(bool value) override;
  void SetOnFilterRecord(TFilterRecordEvent handler) override;
  // Moves to the first visible record whose key fields hold the key values
  // (in the current order); on failure the record current before stays
  // current, centred in the ring. soPartialKey applies to a text field at
  // the end of the list, soCaseInsensitive ignores the case of every
  // letter by the table's rules (Turkish i, İ, ı and I in Turkish tables);
  // other field types compare as variants. Lookup is not provided (the variant false).
  bool LocateRecord(const std::string& keyFields, const TVariant& keyValues,
                    TSearchOptions options) override;
  // Moves to the next (forward) or the previous visible record in the
  // current order, counting from the current record (from the start or the
  // end when there is none), for which condition holds: a logical
  // expression over the table's fields, as a filter is written. One pass
  // with the filter's machinery, reading each record once. False, staying
  // on the current record, when no record holds it. A pending edit is
  // settled first, as leaving the record would.
  bool FindRecord(const std::string& condition, bool forward);
  // Recalls the current record when it is marked deleted (shown with
  // ShowDeleted): its mark goes, through the record lock and the write of
  // an edit, as a delete sets it. Nothing for a record not deleted; a
  // pending edit is settled first.
  void Undelete();
  // Whether the current record is marked deleted.
  bool CurrentDeleted();
  // The records of the table marked deleted, whatever the filter (one pass
  // over the table).
  int32_t DeletedRecordCount();
  // Removes the records marked deleted, for good (dbf_recall.cpp): the
  // live records and their memo values are written into new files beside
  // the table's, which then take their place; every open index is
  // regenerated and the set shows the first record. Needs exclusive use: a
  // shared table is switched to it for the time of the work, and refused
  // (EDbfError) while another program has it open. Refused where the table
  // cannot be edited. When the pack fails the table, memo and index files
  // are as they were. Gives the number of records removed. progress (may
  // be empty) hears of the records copied and then of each index rebuilt.
  int32_t PackTable(const std::function<void(int32_t done, int32_t total)>& progress = {});
  // Rebuilds every open index (the production index's tags and the index
  // files of Indexes) from the records of the table, keeping the current
  // record (dbf_indexes.cpp). Exclusive use as for PackTable; EDbfError
  // when the table has no open index.
  void RegenerateIndexes(const std::function<void(int32_t done, int32_t total)>& progress = {});

  // ---- Order in memory ----

  // Orders the records by the value of one field, without an index: one
  // pass over the table reads every key and the sorted record numbers are
  // held in memory. Text sorts as the expression language compares it
  // (letter case ignored by the table's rules), numbers by value, dates
  // by day, logical values false before true; blank values come first
  // (last when descending) and equal values stay in record-number order.
  // RecordNumber is then the place in this order. Records appended later
  // follow at the end, and an edited record keeps its place until the
  // order is made again. The current record stays current. EDbfError for
  // a field that cannot be sorted (memo, binary large values); false when
  // progress gave up, leaving the order as it was. Choosing an index
  // (SetIndexName) ends the order.
  bool SortByField(const std::string& fieldName, bool descending,
                   const TSortProgressEvent& progress = {});
  // Whether SortByField can order by the field.
  bool CanSortByField(const std::string& fieldName);
  // The field of the order in memory (empty when none) and its direction.
  const std::string& SortField() const { return sortField_; }
  bool SortDescending() const { return sortDescending_; }

  // ---- Indexes ----

  // The index file of the active index (nullptr in record-number order).
  TIndexFile* ActiveIndexFile() const;
  // Moves to the first record whose key in the active index equals (mode
  // 0), is at least (1) or follows (2) the value; false, without moving,
  // when there is none, no index is active or the value is null.
  bool SearchKey(const TVariant& value, int mode);
  // The same with a key in index form (text is padded to the key length).
  bool SearchKeyBuffer(const std::string& key, int mode);
  // Limits the records to the keys from lowKey to highKey (index form;
  // both included) and moves to the first. Nothing without an active index.
  void SetKeyRange(const std::string& lowKey, const std::string& highKey);
  void CancelRange();
  // The master link tells of a new master record, or that it closed.
  void MasterChanged();
  void MasterDisabled();

  // ---- The engine behind the set ----

  // FilePathFull() + TableName().
  std::string FullTableName() const { return filePathFull_ + tableName_; }
  // The table file and the cursor while open (nullptr otherwise).
  TDbfFile* DbfFile() const { return dbfFile_.get(); }
  TVirtualCursor* Cursor() const { return cursor_.get(); }
  TDbfTranslationMode TranslationMode() const { return translationMode_; }
  // The physical number of the record locked for editing, -1 when none.
  int32_t LockedRecNo() const { return lockedRecNo_; }
  // The record image of a record buffer.
  static char* RecordImage(char* buffer) { return buffer + kDbfRecordImageOffset; }

 protected:
  // ---- Storage hooks ----
  std::unique_ptr<char[]> NewRecordBuffer() override;
  void ReadBookmark(const char* buffer, char* dest) override;
  TRecordBufferFlag ReadBufferFlag(const char* buffer) override;
  TFetchResult FetchRecord(char* buffer, TFetchMode mode, bool check) override;
  uint16_t RecordImageSize() override;
  void StoreNewRecord(char* buffer, bool append) override;
  void CloseStorage() override;
  void RefreshStorage() override;
  void BeginFetchRun(int records) override;
  void EndFetchRun() noexcept override;
  int FetchReadyForward(int first, int count) override;
  void DeleteCurrent() override;
  void CursorToStart() override;
  void CursorToBookmark(const char* bookmark) override;
  void ReportException(const Exception& error) override;
  void BuildFieldDefs() override;
  void InitRecordBuffer(char* buffer) override;
  void CursorToEnd() override;
  void OpenStorage() override;
  void StoreRecord() override;
  void CursorToBuffer(const char* buffer) override;
  bool StorageOpen() override { return cursor_ != nullptr; }
  void WriteBufferFlag(char* buffer, TRecordBufferFlag flag) override;
  void WriteBookmark(char* buffer, const char* bookmark) override;
  void WriteFieldData(TField* field, const void* source) override;
  bool ReadFieldData(TField* field, void* dest) override;
  void ClearCalcArea(char* buffer) override;
  void BeginEditRecord() override;
  void CancelRecord() override;

 private:
  TFileAccessMode AccessMode() const;
  // Makes a table file object for the table with the set's settings.
  std::unique_ptr<TDbfFile> NewDbfFile(TFileAccessMode mode) const;
  // Creates the missing table from FieldDefs (or the persistent fields).
  void CreateTable();
  // Chooses the translation mode and makes the text converter.
  void ChooseTranslationMode();
  // An expression's text (UTF-8) in the table's code page, for the parser;
  // EDbfError when a character has no form there.
  std::string ExpressionText(const std::string& text);
  // Places a new physical cursor on physical record recNo.
  void UsePhysicalCursor(int32_t recNo);
  // Opens the indexes of Indexes and lists the production index's tags
  // there (dbf_indexes.cpp).
  void OpenIndexes();
  // Makes the cursor of IndexName (or a physical one) and keeps the record
  // recNo current.
  void ApplyIndexName(int32_t recNo);
  // Limits the active index to the master's key.
  void ApplyMasterRange();
  // The search of LocateRecord through the active index, when its key is
  // exactly the located field; false in found when none. Gives whether
  // the index could be used.
  bool LocateByIndex(const std::string& keyFields, const TVariant& keyValues,
                     TSearchOptions options, bool& found);
  // Whether the filter accepts the record image being fetched: the
  // filter expression first, then the OnFilterRecord handler, both in the
  // rsFilter state.
  bool FilterAccepts(char* image);
  // Compiles Filter on opening; a text that does not compile is dropped.
  void CompileFilterAtOpen();
  // Shows the filter's new effect: the current record when it passes, else
  // the next visible one, else the previous one.
  void RefillForFilter();
  // Adds a record that fetching found not to be shown to the run of such
  // records, or starts a new run with it.
  void NoteRejected(int32_t recNo);
  void ForgetRejected() {
    rejectedFirst_ = 1;
    rejectedLast_ = 0;
  }
  // The search of LocateRecord through First and Next.
  bool LocateByScan(const std::string& keyFields, const TVariant& keyValues,
                    TSearchOptions options);
  // The record image fields are read from in the current state, or none.
  char* CurrentImage() const;
  // The calculated-field area of the buffer holding image.
  char* CalcArea(char* image) const;
  // Switches a shared table to exclusive use for an operation (what, for
  // the message); EDbfError when another program has it open. Gives
  // whether it switched: the caller then leaves exclusive use again.
  bool EnterExclusiveFor(const char* what);
  // EDbfError when the production index could not be opened with the table.
  void CheckIndexesOpened() const;
  // The memo file, for committing a changed memo (EDbfError when missing).
  TMemoFile& MemoFile() const;
  // Reads physical record recNo into image, from the records read ahead
  // for the fetch run when it is among them; forward asks for a run of the
  // records after it to be read with it. Gives the bytes read.
  int32_t ReadRecordImage(int32_t recNo, char* image, bool forward);
  // The cursor when it walks in record order, else nullptr.
  TDbfCursor* PhysicalCursor() const {
    return cursor_ && cursor_->InRecordOrder() ? static_cast<TDbfCursor*>(cursor_.get()) : nullptr;
  }
  // Copies physical record recNo into image when it is among the records
  // read ahead; false when it is not.
  bool CopyReadAhead(int32_t recNo, char* image) const {
    if (recNo < readAheadFirst_ || recNo - readAheadFirst_ >= readAheadCount_) return false;
    const auto size = static_cast<size_t>(readAheadRecordSize_);
    std::memcpy(image, readAhead_.data() + static_cast<size_t>(recNo - readAheadFirst_) * size,
                size);
    return true;
  }

  std::string tableName_;
  std::string filePath_;
  std::string filePathFull_;
  int tableLevel_ = 4;
  bool readOnly_ = false;
  bool readOnlyFallback_ = true;
  std::vector<std::string> openWarnings_;
  bool exclusive_ = false;
  bool showDeleted_ = false;
  TDbfOpenMode openMode_ = omNormal;
  TDbfStorage storage_ = stoFile;
  bool useFloatFields_ = true;
  TDateTimeHandling dateTimeHandling_ = dtBDETimeStamp;
  std::string indexName_;
  std::string sortField_;
  bool sortDescending_ = false;
  std::unique_ptr<TDbfIndexDefs> indexDefs_;
  std::unique_ptr<TDbfMasterLink> masterLink_;
  bool destroying_ = false;
  TDataSource* masterSource_ = nullptr;
  std::string masterFields_;
  bool storeDefs_ = false;

  TBeforeAutoCreateEvent beforeAutoCreate_;
  TLanguageWarningEvent onLanguageWarning_;
  TDbfLocaleErrorEvent onLocaleError_;
  TDbfIndexMissingEvent onIndexMissing_;
  TTranslateEvent onTranslate_;
  TDbfNotifyEvent onCompareRecord_;
  TConvertFieldEvent onCopyDateTimeAsString_;

  std::unique_ptr<TDbfFile> dbfFile_;
  std::unique_ptr<TVirtualCursor> cursor_;
  // The index held for each fetch run under way (null: none).
  std::vector<TIndexFile*> heldIndexes_;
  // Records read ahead in one read for the fetch run under way, when it
  // walks forward in record-number order: readAheadCount_ records from
  // record readAheadFirst_, of readAheadRecordSize_ bytes each.
  // readAheadWanted_ is how many more the run may fill. Dropped when the
  // outermost run ends, so that no fetch outside a run sees bytes read
  // before it.
  std::vector<char> readAhead_;
  int32_t readAheadFirst_ = 0;
  int32_t readAheadCount_ = 0;
  int32_t readAheadRecordSize_ = 0;
  int readAheadWanted_ = 0;
  // One slot per table field; a stream is made at the first request.
  std::vector<std::shared_ptr<TDbfBlobStream>> blobStreams_;
  int32_t lockedRecNo_ = -1;
  // The record image the filter is testing (rsFilter).
  char* filterRecord_ = nullptr;
  // The compiled Filter while a table file is open and Filter is not
  // empty; none otherwise, so an empty parser is never evaluated.
  std::unique_ptr<TDbfParser> filterParser_;
  // A run of physical record numbers, rejectedFirst_ to rejectedLast_
  // (empty when the last is below the first), that fetches of the filtered
  // set found not to be shown. Fetches in record-number order step over it,
  // so that turning on a filter that matches nothing reads each record once
  // although the refill walks forward, then back, and First walks again.
  // Forgotten when the filter, the handler, ShowDeleted, the order or any
  // record written through this set changes, and on Refresh.
  int32_t rejectedFirst_ = 1;
  int32_t rejectedLast_ = 0;
  platform::TEnv* env_ = nullptr;
  TDbfTranslationMode translationMode_ = tmReadOnly;
  int codePage_ = 0;
  int tableCodePage_ = 0;
  TCodePageSource codePageSource_ = cpsSystemDefault;
  // Converts the open table's text; made at open, none while closed.
  std::unique_ptr<platform::TTextCodec> codec_;
  // OpenStorage ran to its end: closing writes the header.
  bool storageComplete_ = false;
};

// The folder relative FilePath values are resolved against: by default the
// folder of the program's executable file. A provider giving an empty
// folder makes them resolve against the current directory.
using TBaseFolderProvider = std::function<std::string()>;
void SetBaseFolderProvider(TBaseFolderProvider provider);

// Shows an exception that a record set reports (ReportException); the
// program installs its message display. Without one the message goes to
// standard error.
using TExceptionReporter = std::function<void(const Exception& error)>;
void SetExceptionReporter(TExceptionReporter reporter);
