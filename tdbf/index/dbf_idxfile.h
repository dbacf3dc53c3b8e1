#pragma once
// TIndexFile is one B+-tree index file beside a table: a single-index file
// (".ndx", one index) or a multi-index file (".mdx", up to 47 tags). It owns
// its headers, a cache of its pages, one compiled key expression per tag
// and the position of each tag's walk. The table file (not owned) supplies
// records and field definitions. One thread at a time; other processes are
// kept out by the lock on page 0 while an operation runs in a shared mode.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/file/dbf_pgfile.h"

class TDbfParser;
namespace platform {
class TCollator;
}

// Multi-index file header (the first 2048 bytes), little-endian:
//   offset size  meaning
//    0      1    format version: 2 (3 selects the dBase VII tag layout)
//    1      3    created: year - 1900, month, day
//    4     16    base name of the table, NUL-terminated
//   20      2    blocks per page: 2
//   22      2    page bytes: 1024
//   24      1    production flag: 1
//   25      1    tag slots: 48
//   26      1    size of one tag-table entry (32 in new files)
//   28      2    tags in use
//   31      1    language driver id of the table (0: none)
//   32      4    blocks in use (512 bytes each, header included): the next
//                block to allocate
//   44      3    updated: year - 1900, month, day
//  529      1    1
//  512 + s * (i + 1)  tag-table entry i (s = entry size):
//          0  4  block of the tag's header page
//          4     name, NUL-terminated: 11 bytes (dBase IV), 33 (dBase VII)
//       15/37 1  0x10 for a field expression, 0 with ixExpression
//    16..18/38..40  0; 19/41  2; 20/42  key type letter
//
// Index header (the whole 512-byte header of a single-index file; a
// 1024-byte page per tag of a multi-index file):
//    0      4    root page (block) number
//    4      4    pages of this index (single-index: also the next page to
//                hand out)
//    8      1    flags: 0x08 descending, 0x10 character key, 0x20 distinct,
//                0x40 unique
//    9      1    key type "C" or "N" (single-index files of other programs
//                leave it 0 and give the type at 16)
//   10      2    0x5800 in single-index files
//   12      2    key length (1..100)
//   14      2    entry slots per page
//   16      2    1 for numeric keys in a single-index file, 0 otherwise
//   18      2    entry size: prefix + key length, rounded up to 4
//   20      2    2
//   23      1    0x21 distinct, 1 unique, 0 normal
//   24    220    key expression, NUL-terminated (at most 219 characters)
//  246      1    1
//
// Tree page (512 bytes single-index, 1024 multi-index), little-endian:
//    0      4    entry count
//    4/8         first slot; slot i at 4 (8) + i * entry size
//   slot:  single-index  child page (4), record number (4), key
//          multi-index   child block or record number (4), key
// Leaves hold count keys in order with their record numbers. Inner pages
// hold count keys, each the greatest key below its child, plus one more
// slot with the last child. A single-index page is inner when slot 0 has a
// child; a multi-index page when count < slots and slot count points
// somewhere, so a leaf with room keeps the pointer after its last entry 0.
// All leaves lie at the same depth; freed pages are never reused.

// Options of a new index (bit n = option n).
enum TIndexOption : uint8_t {
  ixPrimary,
  ixUnique,
  ixDescending,
  ixCaseInsensitive,
  ixExpression,
  ixNonMaintained
};
using TIndexOptions = uint8_t;
constexpr TIndexOptions IndexOpt(TIndexOption option) {
  return static_cast<TIndexOptions>(1u << option);
}

// normal: every entry kept; unique: only the first entry of a key;
// distinct: a second entry with an equal key is a key violation.
enum TIndexUniqueMode : uint8_t { iuNormal, iuUnique, iuDistinct };

// Which tags the record upkeep covers.
enum TIndexUpdateMode : uint8_t { umAll, umCurrent };

constexpr int kMaxIndexKeyLength = 100;
constexpr int kMaxIndexTags = 47;

class TIndexFile : public TPagedFile, public TIndexFileUpkeep {
 public:
  // dbfFile gives records and fields; not owned, outlives this object.
  TIndexFile(std::string fileName, TDbfFile* dbfFile);
  ~TIndexFile() override;

  // ---- Opening ----

  // Opens in Mode(); a missing file is created (empty) when the mode or
  // AutoCreate allows. Reads and checks every header; a damaged one raises
  // EDbfError naming the file and the file is closed again. ForceClose is
  // set when the collation cannot be had and OnLocaleError says not to
  // open; NoEdit when it says to open without upkeep.
  void Open();
  void Close() override;
  bool Opened() const { return opened_; }
  TDbfFile* DbfFile() const { return dbfFile_; }
  bool ForceClose() const { return forceClose_; }
  bool NoEdit() const { return noEdit_; }
  // Whether the file was created by Open.
  bool Created() const { return created_; }
  bool IsMultiIndex() const { return layout_ >= 3; }
  // 2 single-index, 3 dBase IV tags, 6 dBase VII tags.
  int Layout() const { return layout_; }

  // ---- Tags ----

  int TagCount() const { return static_cast<int>(tags_.size()); }
  std::vector<std::string> IndexNames() const;
  // Slot of the tag named name (letter case ignored); -1 when none. A
  // single-index file answers 0 for any name.
  int PositionOf(const std::string& name) const;
  // Makes the tag current; nothing when no tag has the name.
  void SelectIndex(const std::string& name);
  void SelectTag(int slot);
  int SelectedTag() const { return selected_; }
  // Name of the selected tag (the file name of a single-index file).
  std::string IndexName() const;
  std::string Expression() const;
  char KeyType() const;
  int KeyLength() const;
  bool Descending() const;
  TIndexUniqueMode UniqueMode() const;
  TIndexUpdateMode UpdateMode() const { return updateMode_; }
  void SetUpdateMode(TIndexUpdateMode mode) { updateMode_ = mode; }

  // REQUIRES: table open exclusively ("Exclusive access is required for
  // this operation." otherwise). Adds a tag (or gives a single-index file
  // its index) with an empty tree and selects it; the key expression is
  // compiled against the table first.
  void CreateIndex(const std::string& expression, const std::string& name, TIndexOptions options);
  // REQUIRES: exclusive. Removes the tag from the tag table; its pages
  // stay unreferenced. A name not found changes nothing.
  void DeleteIndex(const std::string& name);
  // Builds the selected tag (slot -1: every tag) anew from every record of
  // the table, bottom-up from the sorted keys. Distinct indexes leave out
  // records marked deleted.
  void Rebuild(int slot, const TIndexProgress& progress = {});

  // ---- Upkeep (the tags the update mode names) ----

  void InsertRecordAll(int32_t recNo, const char* record) override;
  void DeleteRecordAll(int32_t recNo, const char* record) override;
  void UpdateRecordAll(int32_t recNo, const char* prevRecord, const char* record) override;
  void DropDistinctKeysAll(int32_t recNo, const char* record) override;
  void EnterExclusive() override;
  void LeaveExclusive() override;

  // ---- One index: the selected tag ----

  void InsertRecord(int32_t recNo, const char* record);
  // Removes the record's entry (found by key and record number); nothing
  // when it has none.
  void DeleteRecord(int32_t recNo, const char* record);
  void UpdateRecordKeys(int32_t recNo, const char* oldRecord, const char* newRecord);
  // The key of a record image (KeyLength bytes in an internal buffer).
  const char* ExtractKey(const char* record);
  // Three-way comparison in index order (descending indexes reversed).
  int CompareKeys(const char* a, const char* b) const;
  // A value as a key of the selected index: text cut or padded with
  // spaces to KeyLength; for a numeric index the number.
  std::string KeyFromText(const std::string& text) const;
  std::string KeyFromNumber(double value) const;

  // ---- Walking the selected tag ----
  // Positions: before the first entry, on an entry, after the last. A key
  // range (inclusive keys, either may be empty for open) bounds every walk.

  void GotoFirst();
  void GotoLast();
  bool GotoNext();
  bool GotoPrev();
  // Places the walk on the record's entry; false (position unchanged) when
  // the index has none for it.
  bool GotoRecord(int32_t recNo);
  // The record number of the entry the walk is on; -1 before or after.
  int32_t CurrentRecordNo();
  // Modes: 0 the first entry equal to key, 1 the first greater or equal,
  // 2 the first greater. False (position unchanged) when there is none.
  bool SearchKey(const char* key, int mode);
  void SetRange(const std::string& lowKey, const std::string& highKey);
  void CancelRange();
  bool HasRange() const;
  // Where the walk is, as a fraction of the index in [0, 1]; and the
  // inverse, placing the walk on the entry nearest the fraction.
  double PositionFraction();
  void GotoFraction(double fraction);

  // Holds the file steady for a run of walks and searches (filling a
  // grid's rows): in a shared mode one lock and one reading of the pages
  // serve the whole run, which sees the tree as it was when it began.
  // Holds nest; each BeginHold needs its EndHold.
  void BeginHold();
  void EndHold() noexcept;

  // ---- Checking ----

  // Walks every page of the selected tag and reports each fault found, one
  // line each: pages out of the file or visited twice, counts that do not
  // fit a page, keys out of order, entries pointing past the table, and
  // records whose key is missing or wrong. Empty when sound.
  std::vector<std::string> Check(const TIndexProgress& progress = {});

  // Levels of the selected tag's tree (1: the root is a leaf).
  int TreeDepth();

  // Writes modified pages and headers.
  void Flush() override;

  const TDbfLocaleErrorEvent& OnLocaleError() const { return onLocaleError_; }
  void SetOnLocaleError(TDbfLocaleErrorEvent handler) { onLocaleError_ = std::move(handler); }

 private:
  struct TTag;
  struct TLevel {
    int32_t page;
    int32_t entry;
  };
  enum TWalkState : uint8_t { wsBefore, wsOn, wsAfter };
  struct TPage {
    std::vector<char> bytes;
    bool dirty = false;
    // Found to be an inner page by a search; kept when the cache is trimmed.
    bool inner = false;
    // Looked up since the cache was last trimmed.
    bool used = false;
    // Sort keys of the entries of a cached inner page under a locale
    // collation, made as searches compare with them (empty: not yet);
    // dropped when the page changes.
    std::string sortBytes;
    // Per entry: offset in sortBytes << 16 | length; 0 when not made.
    std::vector<uint32_t> sortAt;
  };
  // A key being searched for, made ready once for the comparisons of one
  // descent: under a locale collation decoded, and with pages kept between
  // operations also its sort key.
  struct TProbe {
    const char* key = nullptr;
    // The collation the key was made ready for; null for byte order.
    const platform::TCollator* collator = nullptr;
    std::u16string wide;
    std::string sortKey;
    bool useSortKeys = false;
    // After a descent that stopped on a leaf entry: how the key compared
    // with that entry.
    int atLeaf = 1;
  };
  class TOperation;

  TTag& Tag();
  const TTag& Tag() const;
  void ReadFileHeader();
  // In a shared mode an operation reads only the selected tag's header;
  // these read the file header and the other tags' headers when they are
  // needed.
  void FreshFileHeader();
  void FreshHeaders();
  void ReadTagHeader(TTag& tag);
  void ParseTagHeader(TTag& tag);
  void WriteTagHeader(TTag& tag);
  void WriteFileHeader();
  void InitNewFile();
  void ChooseCollation();
  void CompileExpression(TTag& tag);
  // The tag's collation under the file's locale; null for byte order.
  const platform::TCollator* Collator(const TTag& tag) const;
  [[noreturn]] void RaiseDamaged(const std::string& what) const;
  // Pages are read one by one wherever the tree leads, not in walks.
  void ReadPagesScattered();

  // Page access. Page raises when the number lies outside the file.
  char* Page(int32_t pageNo);
  TPage& CachedPage(int32_t pageNo);
  void ClearPages();
  void ForgetPage(int32_t pageNo);
  // Enters a page of the map in pageAt_, or takes it out (page null).
  void IndexPage(int32_t pageNo, TPage* page);
  char* NewPage(int32_t& pageNo);
  void MarkDirty(int32_t pageNo);
  void DropCache();
  // Brings the pages kept between operations of an exclusive handle back
  // under their bound, flushed first.
  void TrimCache();
  int32_t Count(const char* page, int32_t pageNo) const;
  bool IsInner(const char* page) const;
  char* Slot(char* page, int32_t i) const;
  const char* Slot(const char* page, int32_t i) const;
  const char* KeyAt(const char* page, int32_t i) const;
  int32_t ChildAt(const char* page, int32_t i) const;
  int32_t RecordAt(const char* page, int32_t i) const;
  void FillSlot(char* slot, const char* key, int32_t recNo, int32_t child, bool inner) const;
  int32_t ChildOf(const char* page, int32_t i, const std::vector<TLevel>& path);

  // Tree operations on the selected tag.
  void Descend(const char* key, bool afterEqual, std::vector<TLevel>& path);
  void MakeProbe(const char* key, TProbe& probe) const;
  // Three-way comparison of the probe with entry i of page, in index order.
  int CompareProbe(const TProbe& probe, TPage& page, int32_t i, bool inner) const;
  void DescendEdge(std::vector<TLevel>& path, bool last);
  bool StepNext(std::vector<TLevel>& path);
  bool StepPrev(std::vector<TLevel>& path);
  bool FindEntry(const char* key, int32_t recNo, std::vector<TLevel>& path);
  void InsertEntry(std::vector<TLevel>& path, const char* key, int32_t recNo);
  void InsertSlot(std::vector<TLevel>& path, int level, const std::vector<char>& slot);
  void DeleteEntry(std::vector<TLevel>& path);
  void PropagateMax(std::vector<TLevel>& path, int level);
  void ResetTree(TTag& tag);
  // Runs action on every tag the update mode covers; when one fails, undo
  // runs on those done before and the failure goes on.
  void ApplyToTags(const std::function<void()>& action, const std::function<void()>& undo);
  using TEntrySource = std::function<const char*(int32_t entry, int32_t& recNo)>;
  void BuildFromSorted(TTag& tag, int32_t count, const TEntrySource& entryAt);
  void RaiseKeyViolation(const char* key, int32_t holder);
  bool InRange(const char* key) const;
  bool OnEntry(const std::vector<TLevel>& path);
  void Resync();
  void RememberPosition();
  void CheckPage(TTag& tag, int32_t pageNo, int depth, int& leafDepth, std::vector<char>& lastKey,
                 bool& haveLast, std::vector<bool>& seen, std::vector<std::string>& faults,
                 std::vector<std::pair<std::string, int32_t>>& entries, int32_t tableRecords,
                 int64_t fileEnd);

  int CompareRaw(const char* a, const char* b) const;

  TDbfFile* dbfFile_;
  int layout_ = 2;
  bool opened_ = false;
  bool forceClose_ = false;
  bool noEdit_ = false;
  bool created_ = false;
  int32_t pageBytes_ = 512;
  int32_t pageHeader_ = 4;
  int32_t prefix_ = 8;
  int32_t tagEntrySize_ = 32;
  std::vector<char> fileHeader_;
  bool fileHeaderDirty_ = false;
  bool fileHeaderStale_ = false;
  std::vector<std::unique_ptr<TTag>> tags_;
  int selected_ = -1;
  TIndexUpdateMode updateMode_ = umCurrent;
  uint32_t locale_ = 0;  // 0: binary
  int tableCodePage_ = 0;
  bool distinctOnly_ = false;
  std::unordered_map<int32_t, TPage> pages_;
  // The cached pages by number, ahead of the map: a search finds each page
  // with one look instead of a walk through the map's buckets. Pieces of
  // kPageChunk numbers are made as pages in them are cached, so a file
  // opened to show a few pages makes only a few; null where the page is
  // not cached. Pages numbered past its limit are in the map only.
  static constexpr size_t kPageChunk = 1024;
  std::vector<std::unique_ptr<TPage*[]>> pageAt_;
  int lockDepth_ = 0;
  std::vector<char> keyBuffer_;
  TProbe probe_;
  mutable std::string sortKeyBuffer_;
  std::vector<TLevel> searchPath_;
  std::vector<std::unique_ptr<TOperation>> holds_;  // null: a hold within another
  bool holding_ = false;
  std::vector<char> recordBuffer_;
  TDbfLocaleErrorEvent onLocaleError_;
};
