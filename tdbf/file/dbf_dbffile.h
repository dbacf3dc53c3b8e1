#pragma once
// TDbfFile is one table (".dbf") file: the header region with its field
// descriptors, followed by fixed-size records, which are the pages of the
// underlying TPagedFile. It owns the table's field definitions, its memo
// file and its open index files, reads and writes field values in record
// images and appends, locks and posts records. Also here: the process-wide
// settings of the engine (TDbfGlobals) and the list of supported locales
// (TLCIDList).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "recordset/db_types.h"
#include "tdbf/dbf_common.h"
#include "tdbf/file/dbf_fields.h"
#include "tdbf/file/dbf_header.h"
#include "tdbf/file/dbf_pgfile.h"

// Progress of long index work: records done out of the total.
using TIndexProgress = std::function<void(int32_t done, int32_t total)>;

// Main header (levels 3, 4, 25: 32 bytes; level 7: 68 bytes), little-endian:
//   offset size  meaning
//    0      1    version: low 3 bits give the format (2, 5 FoxPro; 3 dBase
//                III, or IV when the language byte is set; 4 dBase VII);
//                bit 7 set when the table has memo fields
//    1      3    date of the last header write: year - 1900, month, day
//    4      4    record count
//    8      2    header size: main header + descriptors + terminator (and at
//                level 7 the field-properties block)
//   10      2    record size, deletion flag included
//   12     16    reserved, zero
//   28      1    nonzero: a production index (table name + ".mdx") belongs
//                to the table
//   29      1    language driver id (levels 3, 4, 25)
//   30      2    reserved, zero
//   32     32    level 7: language driver name, NUL-padded, at most 31 chars
//   64      4    level 7: reserved, zero
//
// Field descriptor, levels 3, 4, 25 (32 bytes, the first at 32):
//    0     11    name, NUL-padded, at most 10 characters
//   11      1    type letter
//   12      4    zero (field offsets follow from the widths)
//   16      1    width
//   17      1    decimals
//   18     14    zero
// Visual FoxPro (version 0x30, 0x31 with autoincrement fields, 0x32 with
// varchar or varbinary fields) keeps the 32-byte header and descriptors,
// with these differences:
//   header 28  1  table flags: 0x01 structural ".cdx", 0x02 memo file,
//                 0x04 part of a database container
//   descriptor 12  4  offset of the field in the record
//              18  1  field flags (TDbfFieldDef::FieldFlags)
//              19  4  autoincrement: next value, little-endian
//              23  1  autoincrement: step
//   after the terminator 263 bytes: the database container's file name,
//   NUL-padded (inside the header size)
// Field descriptor, level 7 (48 bytes, the first at 68):
//    0     32    name, NUL-padded, at most 31 characters
//   32      1    type letter
//   33      1    width
//   34      1    decimals
//   35      7    zero
//   42      4    "+" fields: next autoincrement value, little-endian
//                (where dBase 7 itself keeps it); zero otherwise
//   46      2    zero
// The descriptors end with the byte 0x0D. At level 7 a field-properties
// block may follow inside the header size:
//   head   0  2  number of standard property entries
//          2  2  offset of the first entry, from the start of the block
//   entry  (15 bytes) 2 2 field number (1-based); 4 1 kind (1 required,
//          2 minimum, 3 maximum, 4 default); 11 2 offset of the value from
//          the start of the block; 13 2 size of the value
// Record n (1-based) starts at header size + (n - 1) * record size: the
// deletion flag ("*" deleted, " " live), then the fields in descriptor
// order. The byte 0x1A follows the last record.

constexpr uint8_t kDbfHeaderTerminator = 0x0D;
constexpr uint8_t kDbfEndOfFile = 0x1A;
constexpr int kDbfMaxFields = 4095;
constexpr const char* kDbfLockFieldName = "_DBASELOCK";

// What the memo unit needs to make and open a table's memo file.
struct TMemoFileRequest {
  std::string fileName;
  TTableFormat format;
  TFileAccessMode mode;
  bool autoCreate;
  int32_t blockSize;              // requested for a new file; 0 when opening
  bool readOnlyFallback = false;  // as TPagedFile::SetReadOnlyFallback
};

// Makes, sets up and opens the memo file of the request (TDbaseMemoFile or
// TFoxProMemoFile by format); raises when it cannot be opened. The memo unit
// installs it with SetMemoFileOpener; without one, tables open without
// their memo files.
using TMemoFileOpener = std::function<std::unique_ptr<TPagedFile>(const TMemoFileRequest&)>;
void SetMemoFileOpener(TMemoFileOpener opener);

// The part of an open index file that the table file's record operations
// call; the index unit's TIndexFile implements it. Each operation covers the
// file's tags as its update mode says, and raises on a key violation after
// taking back what it changed itself.
class TIndexFileUpkeep {
 public:
  virtual ~TIndexFileUpkeep() = default;
  virtual void InsertRecordAll(int32_t recNo, const char* record) = 0;
  virtual void DeleteRecordAll(int32_t recNo, const char* record) = 0;
  virtual void UpdateRecordAll(int32_t recNo, const char* prevRecord, const char* record) = 0;
  // Only distinct indexes drop the key of a record marked deleted.
  virtual void DropDistinctKeysAll(int32_t recNo, const char* record) = 0;
  virtual void Close() = 0;
  virtual void EnterExclusive() = 0;
  virtual void LeaveExclusive() = 0;
};

class TIndexFile;

// States: closed -> (Open, or Open in a create mode + CreateStructure) open
// -> (Close) closed; the object can be opened again. ForceClose set by Open
// means the open is to be abandoned: the caller closes.
class TDbfFile : public TPagedFile {
 public:
  explicit TDbfFile(std::string fileName);
  ~TDbfFile() override;

  // Opens the file and, unless the mode creates it, reads and checks the
  // header and descriptors, repairs a stale record count, finds the code
  // page and opens the memo file. Nothing when already open. Raises
  // EDbfError "Invalid DBF file: <file>: <reason>" for bytes that are no
  // table this engine reads (ParseDbfHeader says why); the file is then
  // closed again and left unchanged.
  void Open();
  // Closes the index files, the memo file and the file (a modified header
  // is written). Nothing when closed.
  void Close();
  bool Opened() const { return opened_; }
  // Whether this handle has written to the table since it was opened:
  // only then does closing write the header.
  bool Changed() const { return changed_; }
  // Notices for the user from the last Open (a table cut short, a count
  // beyond the file, ...); empty when there is nothing to say.
  const std::vector<std::string>& OpenWarnings() const { return openWarnings_; }
  // Why the open table cannot be written although a writing mode was asked
  // for (ReadOnlyFallback: no permission to write the table or its memo
  // file, or the memo file is missing); empty when it can.
  const std::string& ReadOnlyReason() const { return readOnlyReason_; }

  // Writes the header and descriptors of a new, empty table from fieldDefs
  // (names upper-cased and cut to the level's width, offsets assigned) and,
  // with memo fields, creates the memo file with memoBlockSize-byte blocks.
  // REQUIRES: opened in a create mode with SetTableFormat done.
  void CreateStructure(TDbfFieldDefs& fieldDefs, int32_t memoBlockSize);
  // Stamps today's date, writes the header (at once in shared modes) and
  // puts the end-of-file byte after the last record. In shared modes this
  // happens under the header lock, and a record count or autoincrement value
  // the file holds is never written back lower: other processes may have
  // raised them since this handle read the header.
  void WriteHeader() override;
  // Reads the descriptors into FieldDefs().
  void LoadFieldDefs();
  void SetRecordSize(int32_t value) override;
  void WritePage(int32_t page, const void* buffer) override;
  // Also on the index files and the memo file (entering only when the table
  // did become exclusive).
  void EnterExclusive() override;
  void LeaveExclusive() override;

  // ---- Field values (record images are RecordSize() bytes) ----

  bool ReadFieldValue(int fieldIndex, TFieldType type, void* dst, const char* record) const;
  bool ReadFieldValue(const TDbfFieldDef& def, TFieldType type, void* dst,
                      const char* record) const;
  void WriteFieldValue(int fieldIndex, TFieldType type, char* record, const void* src);
  void WriteFieldValue(const TDbfFieldDef& def, TFieldType type, char* record, const void* src);
  void BlankRecord(char* record);
  // Gives every "+" field of a level-7 table the next value and stores the
  // following one in the header (under the header lock in shared modes).
  void AssignAutoIncValues(char* record);

  // ---- Records ----

  // Appends the record after the last one the file holds: under the header
  // lock it assigns autoincrement values, adds the keys to the index files,
  // stamps the lock field, writes the record followed by the end-of-file
  // byte and sets the header's count to the new record's number (the steps
  // and what a crash leaves are described at the definition). Gives the new
  // record number. A key violation is passed on with nothing written.
  int32_t AppendRecord(char* record);
  // Whether a slot with this deletion flag holds a record: a blank (live) or
  // "*" (deleted). Any other byte marks a hole, a slot another program took
  // and never wrote (or spoiled), which no walk shows and no count counts.
  static bool IsRecordFlag(uint8_t flag) { return flag == ' ' || flag == '*'; }
  // The records of the table: PageCount() less the holes among its slots.
  // The first call reads the deletion flag of every slot once; later calls
  // read only the slots counted since and, when there are any, look again at
  // the holes known (a slow appender of another program may fill its slot).
  int32_t RecordCount();
  // A walk tells the file the flag it read in slot recNo, so that the holes
  // known follow one that was filled or a record that was spoiled since.
  void NoteSlotFlag(int32_t recNo, uint8_t flag) {
    if (recNo <= holesScannedTo_ && (!IsRecordFlag(flag) || !holes_.empty()))
      NoteHole(recNo, !IsRecordFlag(flag));
  }
  // Locks the record without waiting (EDbfError "Record locked." when
  // another handle holds it), reads it into record and PrevBuffer() and
  // stamps and writes back the lock field.
  void LockRecordForEdit(int32_t recNo, char* record);
  // Updates the index keys from PrevBuffer() to record, writes and unlocks.
  void PostRecord(int32_t recNo, const char* record);
  // Tells the index files that the record's deletion flag changed; the
  // caller writes the record.
  void NotifyRecordDeleted(int32_t recNo, const char* record);
  // Puts change counter, time, date and user name into the "_DBASELOCK"
  // field of record; nothing when the table has none.
  void StampLockField(char* record);
  // The record as read by LockRecordForEdit (RecordSize() bytes).
  char* PrevBuffer() { return prevBuffer_.empty() ? nullptr : prevBuffer_.data(); }

  // ---- Structure ----

  TDbfFieldDefs& FieldDefs() { return *fieldDefs_; }
  const TDbfFieldDefs& FieldDefs() const { return *fieldDefs_; }
  // The definition named name (compared upper-cased), or nullptr.
  TDbfFieldDef* FindFieldDef(const std::string& name);
  bool HasMemoFields() const;
  // ".fpt" for FoxPro tables, ".dbt" otherwise.
  std::string MemoExtension() const;
  // Header byte 29.
  uint8_t LanguageId() const;
  // Level 7: the driver name at header offset 32; empty otherwise.
  std::string LanguageDriverName() const;
  bool HasLockField() const { return lockField_.present; }
  // Visual FoxPro: header byte 28 says a structural ".cdx" index belongs to
  // the table. This engine does not keep such indexes up to date, so the
  // dataset refuses to change the table.
  bool HasStructuralCdx() const;
  // Visual FoxPro: the name of the database container the table belongs
  // to (the 263 bytes after the descriptors' terminator, up to the first
  // NUL); empty when none.
  std::string Backlink() const;
  bool HasAutoIncFields() const { return hasAutoInc_; }

  // The format found by Open, or to be used by CreateStructure.
  TTableFormat TableFormat() const { return tableFormat_; }
  void SetTableFormat(TTableFormat format);
  // The code page the header names (0: none) and the one in use (the
  // process-wide open code page when the header names none).
  int FileCodePage() const { return fileCodePage_; }
  int UseCodePage() const { return useCodePage_; }
  // Puts another code page in use (a .cpg file's or the user's choice)
  // until the header is read again.
  void SetUseCodePage(int codePage) { useCodePage_ = codePage; }

  // ---- Companion files ----

  // The memo file (nullptr when the table has no memo fields or no memo
  // opener is installed). The memo unit's own class; owned here.
  TPagedFile* MemoFile() const { return memoFile_.get(); }
  // Open index files, in the order they were opened (production index
  // first); owned here.
  int IndexFileCount() const { return static_cast<int>(indexFiles_.size()); }
  // Raises EListError for an index outside [0, IndexFileCount()).
  TIndexFileUpkeep* IndexFiles(int index) const;
  void AddIndexFile(std::unique_ptr<TIndexFileUpkeep> indexFile);
  // Name of the production index file (table name + ".mdx", in the letter
  // case found on disk).
  std::string ProductionIndexName();

  // ---- Index management (dbf_dbffile_idx.cpp) ----

  // The open production index, or nullptr.
  TIndexFile* ProductionIndex() const { return productionIndex_; }
  // The index file open under name (a tag of the production index or the
  // name a separate file was opened by; letter case ignored), or nullptr.
  TIndexFile* IndexFileOf(const std::string& name) const;
  // Every name of the index-name list, in order.
  std::vector<std::string> IndexNameList() const;
  // Opens (and with create or a missing tag, creates and fills) the index
  // called name: a name with an extension is a separate index file, one
  // without a tag of the production index, which is made when missing.
  // Creating needs exclusive access: a shared table tries to get it for
  // the time of the work. A failure is passed on after the partly made
  // index is removed again. Gives the index file, or nullptr when it must
  // not be opened (its collation cannot be had).
  TIndexFile* OpenIndex(const std::string& name, const std::string& expression, bool create,
                        uint8_t options, const TIndexProgress& progress = {});
  // Rebuilds a tag (or, with an empty name, every tag) of indexFile from
  // every record of the table.
  void RegenerateIndex(TIndexFile* indexFile, const std::string& name,
                       const TIndexProgress& progress = {});
  // Removes a tag of the production index, or closes and deletes a
  // separate index file. REQUIRES: exclusive access.
  void DeleteIndex(const std::string& name);
  // Why the production index was left closed when the table opened (its
  // message); empty when it opened or there is none. While it is closed the
  // table refuses changes, so the index cannot go stale.
  const std::string& IndexOpenError() const { return indexOpenError_; }

  // ---- Settings ----

  bool ForceClose() const { return forceClose_; }
  bool CopyDateTimeAsString() const { return copyDateTimeAsString_; }
  void SetCopyDateTimeAsString(bool value) { copyDateTimeAsString_ = value; }
  bool UseFloatFields() const { return fieldDefs_->UseFloatFields(); }
  void SetUseFloatFields(bool value) { fieldDefs_->SetUseFloatFields(value); }
  TDateTimeHandling DateTimeHandling() const { return dateTimeHandling_; }
  void SetDateTimeHandling(TDateTimeHandling value) { dateTimeHandling_ = value; }
  const TDbfIndexMissingEvent& OnIndexMissing() const { return onIndexMissing_; }
  void SetOnIndexMissing(TDbfIndexMissingEvent handler) { onIndexMissing_ = std::move(handler); }
  const TDbfLocaleErrorEvent& OnLocaleError() const { return onLocaleError_; }
  void SetOnLocaleError(TDbfLocaleErrorEvent handler) { onLocaleError_ = std::move(handler); }

 protected:
  // The records of the table: the whole slots the header counts, then
  // those slots past the count whose deletion flag is a blank or "*".
  int32_t CountPages(int32_t wholePages) override;

 private:
  struct TLockFieldInfo {
    bool present = false;
    int32_t offset = 0;
    int32_t size = 0;
    int32_t userNameLength = 0;
  };

  void OpenExisting();
  void NoteHole(int32_t recNo, bool hole);
  // Adds the holes among slots [first, last] to holes_.
  void ScanForHoles(int32_t first, int32_t last);
  // Reads the file's header bytes and checks them; raises EDbfError
  // "Invalid DBF file: <file>: <reason>" when they are no table header.
  TDbfHeaderInfo ReadCheckedHeader();
  // Makes FieldDefs() from the checked descriptors and field properties.
  void ApplyFieldDefs(const TDbfHeaderInfo& info);
  void NoteSpecialField(TDbfFieldDef& def);
  void DetermineCodePage();
  void OpenMemoFile(bool create, int32_t blockSize);
  void CheckProductionIndex();
  void OpenProductionIndex();
  // EDbfError when a closed production index makes changes unsafe.
  void CheckIndexesUsable();
  std::unique_ptr<TIndexFile> NewIndexFile(const std::string& path, bool create, bool autoCreate);
  // Notes a table cut short inside a record, or counting more records than
  // the file holds, in OpenWarnings().
  void NoteDamagedEnd(uint32_t storedCount);
  // Records why the table cannot be written (the first reason stands) and
  // tells the user in OpenWarnings().
  void NoteReadOnly(const std::string& reason);
  // Brings the header held in memory in line with the table before it is
  // written: the memo bit, a dropped index link and the record count. Open
  // leaves the header as the file has it, so looking writes nothing.
  void AdjustHeader();
  // AdjustHeader before the first header write of this handle, counting
  // also the records past the stored count.
  void RepairHeaderOnce();
  // Writes the end-of-file byte after record recNo unless a record (of
  // another appender) already follows it.
  void WriteEndOfFileAfter(int32_t recNo);
  // The header lock (page 0, waited for); the holder may take it again, as
  // WriteHeader does inside an append.
  void LockHeader();
  void UnlockHeader();
  // Raises the record count held in memory to the file's (stored or
  // physical) and each autoincrement value to the stored one.
  // REQUIRES: the header lock.
  void KeepStoredCounters();
  // WriteHeader without looking at the file's header.
  void StampAndWriteHeader();
  std::string CompanionFileName(const std::string& extension);

  std::unique_ptr<TDbfFieldDefs> fieldDefs_;
  std::unique_ptr<TPagedFile> memoFile_;
  std::vector<std::unique_ptr<TIndexFileUpkeep>> indexFiles_;
  TIndexFile* productionIndex_ = nullptr;
  std::vector<std::pair<std::string, TIndexFile*>> indexNames_;
  std::string indexOpenError_;
  // The record whose lock a post failing on a key violation let go of; the
  // next post of it locks it again.
  int32_t releasedByFailedPost_ = -1;
  std::vector<char> prevBuffer_;
  TTableFormat tableFormat_ = tfDBase4;
  int fileCodePage_ = 0;
  int useCodePage_ = 0;
  TLockFieldInfo lockField_;
  bool hasAutoInc_ = false;
  // How often the header lock is held (LockHeader).
  int headerLocks_ = 0;
  bool opened_ = false;
  bool forceClose_ = false;
  bool copyDateTimeAsString_ = false;
  bool indexLinkDropped_ = false;
  // Set once Open has checked the header: from then on CountPages looks at
  // slot flags.
  bool countSlots_ = false;
  // The records counted last (CountPages resumes its scan there).
  int32_t countedRecords_ = 0;
  // The holes among slots 1 .. holesScannedTo_, in slot order (RecordCount).
  std::vector<int32_t> holes_;
  int32_t holesScannedTo_ = 0;
  bool changed_ = false;
  bool headerRepaired_ = false;
  std::vector<std::string> openWarnings_;
  std::string readOnlyReason_;
  // Header offset of the byte after the descriptors' terminator.
  int32_t backlinkAt_ = 0;
  TDateTimeHandling dateTimeHandling_ = dtBDETimeStamp;
  TDbfIndexMissingEvent onIndexMissing_;
  TDbfLocaleErrorEvent onLocaleError_;
};

// ---- Process-wide settings ---------------------------------------------------

// The code pages and locale used for opening and creating tables, the user
// name written into "_DBASELOCK" fields and the installed code pages. One
// object for the process, made from the platform's values at first use.
class TDbfGlobals {
 public:
  TDbfGlobals();

  // Code page of tables whose header names none (the system's ANSI one).
  int OpenCodePage() const { return openCodePage_; }
  void SetOpenCodePage(int value) { openCodePage_ = value; }
  // Code page and locale named in new tables.
  int CreateCodePage() const { return createCodePage_; }
  void SetCreateCodePage(int value) { createCodePage_ = value; }
  uint32_t CreateLocale() const { return createLocale_; }
  void SetCreateLocale(uint32_t value) { createLocale_ = value; }
  // The computer name, at most 260 characters.
  const std::string& UserName() const { return userName_; }
  int UserNameLength() const { return static_cast<int>(userName_.size()); }
  void SetUserName(const std::string& value) { userName_ = value.substr(0, 260); }
  bool IsCodePageInstalled(int codePage) const;
  const std::vector<int>& InstalledCodePages() const { return installedCodePages_; }

 private:
  std::vector<int> installedCodePages_;
  int openCodePage_;
  int createCodePage_;
  uint32_t createLocale_;
  std::string userName_;
};

TDbfGlobals& DbfGlobals();
// Makes the settings anew from the platform (test fixtures reset with it).
void ResetDbfGlobals();

// A list of locale identifiers; Enumerate fills it with every locale the
// system supports.
class TLCIDList {
 public:
  void Enumerate();
  int Count() const { return static_cast<int>(items_.size()); }
  // Raises EListError for an index outside [0, Count()).
  uint32_t Items(int index) const;
  bool Contains(uint32_t lcid) const;

 private:
  std::vector<uint32_t> items_;
};

// The supported locales, enumerated once for the process.
const TLCIDList& DbfLocales();
