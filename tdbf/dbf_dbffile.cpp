#include "tdbf/dbf_dbffile.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"
#include "platform/env.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf_lang.h"
#include "tdbf/dbf_str.h"

namespace {

// Runs an action when the scope ends, also by an exception.
template <typename F>
class TScopeExit {
 public:
  explicit TScopeExit(F action) : action_(std::move(action)) {}
  ~TScopeExit() {
    if (armed_) action_();
  }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;
  void Dismiss() { armed_ = false; }

 private:
  F action_;
  bool armed_ = true;
};

TMemoFileOpener& MemoOpener() {
  static TMemoFileOpener opener;
  return opener;
}

constexpr int32_t kMainHeaderSize = 32;
constexpr int32_t kMainHeaderSize7 = 68;
constexpr int32_t kDescriptorSize = 32;
constexpr int32_t kDescriptorSize7 = 48;
// Offsets inside a descriptor.
constexpr int kNameWidth = 11;  // 10 characters and a NUL
constexpr int kNameWidth7 = 32;
constexpr int kTypeAt = 11, kWidthAt = 16, kDecimalsAt = 17;
constexpr int kTypeAt7 = 32, kWidthAt7 = 33, kDecimalsAt7 = 34, kNextAutoIncAt7 = 42;
// Offsets inside the main header.
constexpr int kRecordCountAt = 4, kHeaderSizeAt = 8, kRecordSizeAt = 10;
constexpr int kProductionIndexAt = 28, kLanguageIdAt = 29, kDriverNameAt = 32;
constexpr int kDriverNameWidth = 31;
// Appending gives up after probing this many locked slots.
constexpr int32_t kMaxSlotProbes = 100000;

}  // namespace

void SetMemoFileOpener(TMemoFileOpener opener) { MemoOpener() = std::move(opener); }

// ---- TDbfFile -----------------------------------------------------------------

TDbfFile::TDbfFile(std::string fileName)
    : TPagedFile(std::move(fileName)), fieldDefs_(std::make_unique<TDbfFieldDefs>()) {}

TDbfFile::~TDbfFile() { Close(); }

void TDbfFile::SetTableFormat(TTableFormat format) {
  tableFormat_ = format;
  fieldDefs_->SetTableFormat(format);
}

void TDbfFile::SetRecordSize(int32_t value) {
  TPagedFile::SetRecordSize(value);
  const size_t wanted = value > 0 ? static_cast<size_t>(value) : 0;
  if (prevBuffer_.size() != wanted) prevBuffer_.assign(wanted, 0);
}

void TDbfFile::RaiseDamaged(const char* format, int a, int b) {
  throw EDbfError(Format(format, FileName().c_str(), a, b));
}

void TDbfFile::Open() {
  if (opened_) return;
  forceClose_ = false;
  indexLinkDropped_ = false;
  OpenFile();
  if (!IsCreateMode()) {
    try {
      OpenExisting();
    } catch (...) {
      fieldDefs_->Clear();
      memoFile_.reset();
      CloseFile();
      throw;
    }
    // An empty header: the caller abandons the open.
    if (forceClose_ && HeaderSize() == 0) return;
  }
  opened_ = true;
}

void TDbfFile::OpenExisting() {
  SetHeaderSize(kMainHeaderSize);
  const auto* h = reinterpret_cast<const uint8_t*>(Header());
  switch (h[0] & 7) {
    case 2:
    case 5:
      SetTableFormat(tfFoxPro);
      break;
    case 3:
      SetTableFormat(h[kLanguageIdAt] != 0 ? tfDBase4 : tfDBase3);
      break;
    case 4:
      SetTableFormat(tfDBase7);
      break;
    default:
      throw EDbfError(kInvalidDbfFile);
  }
  const int32_t recordSize = GetLE16(h + kRecordSizeAt);
  const int32_t headerSize = GetLE16(h + kHeaderSizeAt);
  SetRecordSize(recordSize);
  SetHeaderSize(headerSize);
  if (recordSize == 0 || headerSize == 0) {
    SetRecordSize(0);
    SetHeaderSize(0);
    forceClose_ = true;
    return;
  }
  CheckHeaderGeometry();
  DetermineCodePage();
  LoadFieldDefs();

  // The count every reader uses is the physical one; bring the header's into
  // line (a read-only handle cannot). Done once the header is known to be
  // sound, so that a damaged file is never written to.
  if (Mode() != amReadOnly &&
      GetLE32(Header() + kRecordCountAt) != static_cast<uint32_t>(PageCount())) {
    LockHeader();
    TScopeExit unlockHeader([this] { UnlockHeader(); });
    ReadHeader();
    const int32_t physical = PageCount();
    if (GetLE32(Header() + kRecordCountAt) != static_cast<uint32_t>(physical)) {
      PutLE32(Header() + kRecordCountAt, static_cast<uint32_t>(physical));
      // The repair sets the count the file holds, also when that is lower.
      StampAndWriteHeader();
    }
  }
  if (HasMemoFields()) OpenMemoFile(false, 0);
  CheckProductionIndex();
  AdjustHeader();
  if (!forceClose_) OpenProductionIndex();
}

void TDbfFile::CheckHeaderGeometry() {
  const int32_t mainSize = tableFormat_ == tfDBase7 ? kMainHeaderSize7 : kMainHeaderSize;
  if (HeaderSize() < mainSize) RaiseDamaged(kDbfHeaderTooSmall, HeaderSize(), 0);
  if (CachedSize() < HeaderSize()) RaiseDamaged(kDbfHeaderTruncated, HeaderSize(), CachedSize());
  // Records promised but not even one fits: the record size is wrong, and
  // bringing the count into line would throw the count away.
  const uint32_t count = GetLE32(Header() + kRecordCountAt);
  if (count > 0 && CachedSize() - HeaderSize() < RecordSize())
    RaiseDamaged(kDbfRecordsBeyondFile, static_cast<int>(std::min<uint32_t>(count, INT32_MAX)),
                 RecordSize());
}

void TDbfFile::DetermineCodePage() {
  if (tableFormat_ == tfDBase7)
    fileCodePage_ = CodePageFromDriverName(LanguageDriverName());
  else
    fileCodePage_ = CodePageOfLanguageId(LanguageId());
  useCodePage_ = fileCodePage_ != 0 ? fileCodePage_ : DbfGlobals().OpenCodePage();
}

void TDbfFile::LoadFieldDefs() {
  fieldDefs_->Clear();
  lockField_ = TLockFieldInfo();
  hasAutoInc_ = false;
  if (!Header() || HeaderSize() < kRecordSizeAt + 2) return;
  const bool level7 = tableFormat_ == tfDBase7;
  const int32_t mainSize = level7 ? kMainHeaderSize7 : kMainHeaderSize;
  const int32_t descSize = level7 ? kDescriptorSize7 : kDescriptorSize;
  const int32_t headerSize = GetLE16(Header() + kHeaderSizeAt);
  const int32_t recordSize = GetLE16(Header() + kRecordSizeAt);
  TScopeExit restore([this, headerSize, recordSize] {
    SetRecordSize(recordSize);
    SetHeaderSize(headerSize);
  });
  // Descriptor n is now page n.
  SetHeaderSize(mainSize);
  SetRecordSize(descSize);

  const int32_t count = (headerSize - mainSize) / descSize;
  std::vector<char> desc(descSize);
  int32_t offset = 1;
  // The end of the furthest field: letters of a fixed width (I, L, M ...)
  // are read at that width even where a damaged descriptor stores less.
  int32_t needed = 1;
  int32_t n = 0;
  for (; n < count; ++n) {
    if (ReadPage(n + 1, desc.data()) < descSize)
      RaiseDamaged(kDbfHeaderTruncated, headerSize, CachedSize());
    if (static_cast<uint8_t>(desc[0]) == kDbfHeaderTerminator) break;
    const char* d = desc.data();
    const int nameWidth = level7 ? kNameWidth7 : kNameWidth;
    const std::string name = UpperCase(std::string(d, strnlen(d, nameWidth)));
    const char letter = d[level7 ? kTypeAt7 : kTypeAt];
    const int32_t width = static_cast<uint8_t>(d[level7 ? kWidthAt7 : kWidthAt]);
    const int32_t decimals = static_cast<uint8_t>(d[level7 ? kDecimalsAt7 : kDecimalsAt]);

    TDbfFieldDef& def = fieldDefs_->Add();
    def.SetFieldName(name);
    def.SetOffset(offset);
    def.SetSize(width);
    def.SetPrecision(decimals);
    def.SetNextAutoInc(level7 ? GetLE32(d + kNextAutoIncAt7) : 0);
    def.SetNativeFieldType(letter);
    if (name.empty() || def.NativeFieldType() == 0) throw EDbfError(kInvalidDbfFile);
    const char stored = def.NativeFieldType();
    if (stored == 'C' || stored == 'N' || stored == 'F') def.SetStoredSize(width);
    NoteSpecialField(def);
    // Offsets follow the stored widths, so that every later field is read
    // where the file has it.
    offset += width;
    needed = std::max({needed, offset, def.Offset() + def.Size()});
  }
  const int fieldCount = fieldDefs_->Count();
  if (fieldCount < 1 || fieldCount > kDbfMaxFields)
    throw EDbfError(Format(kInvalidFieldCount, fieldCount));
  if (needed > recordSize) RaiseDamaged(kDbfFieldsExceedRecord, needed, recordSize);
  if (level7) {
    const int32_t blockStart = mainSize + n * descSize + 1;
    if (blockStart + 16 < headerSize) ReadFieldProperties(blockStart, headerSize);
  }
}

void TDbfFile::ReadFieldProperties(int32_t blockStart, int32_t headerSize) {
  const int32_t blockSize = headerSize - blockStart;
  std::vector<char> block(blockSize);
  if (ReadAt(block.data(), blockSize, blockStart) < blockSize)
    RaiseDamaged(kDbfHeaderTruncated, headerSize, CachedSize());
  const int32_t entries = GetLE16(block.data());
  const int32_t first = GetLE16(block.data() + 2);
  constexpr int32_t kEntrySize = 15;
  if (first + entries * kEntrySize > blockSize) RaiseDamaged(kDbfPropertiesPastHeader, entries, 0);
  for (int32_t i = 0; i < entries; ++i) {
    const char* e = block.data() + first + i * kEntrySize;
    const int32_t fieldNo = GetLE16(e + 2);
    const uint8_t kind = static_cast<uint8_t>(e[4]);
    const int32_t dataOffset = GetLE16(e + 11);
    const int32_t dataSize = GetLE16(e + 13);
    if (fieldNo == 0 || fieldNo > fieldDefs_->Count()) continue;
    TDbfFieldDef& def = fieldDefs_->Items(fieldNo - 1);
    if (kind == 1) {
      def.SetRequired(true);
      continue;
    }
    if (kind < 2 || kind > 4) continue;
    if (dataOffset + dataSize > blockSize || dataSize > def.Size())
      RaiseDamaged(kDbfBadFieldProperty, fieldNo, 0);
    def.PrepareValueBufs();
    char* buf = kind == 2 ? def.MinBuf() : kind == 3 ? def.MaxBuf() : def.DefaultBuf();
    if (!buf) continue;
    std::memset(buf, def.IsBinary() ? 0 : ' ', def.ValueBufSize());
    std::memcpy(buf, block.data() + dataOffset, dataSize);
    if (kind == 2)
      def.SetHasMin(true);
    else if (kind == 3)
      def.SetHasMax(true);
    else
      def.SetHasDefault(true);
  }
}

void TDbfFile::NoteSpecialField(TDbfFieldDef& def) {
  if (def.FieldName() == kDbfLockFieldName) {
    def.SetIsLockField(true);
    lockField_.present = true;
    lockField_.offset = def.Offset();
    lockField_.size = def.Size();
    lockField_.userNameLength =
        std::max(0, std::min(def.Size() - 8, DbfGlobals().UserNameLength()));
  }
  // Only level 7 keeps next values in its descriptors.
  if (def.NativeFieldType() == '+' && tableFormat_ == tfDBase7) {
    hasAutoInc_ = true;
    def.SetAutoIncOffset(kMainHeaderSize7 + kDescriptorSize7 * def.Index() + kNextAutoIncAt7);
  }
}

std::string TDbfFile::CompanionFileName(const std::string& extension) {
  const std::string lower = ChangeFileExt(FileName(), LowerCase(extension));
  if (Env()->FileExists(lower)) return lower;
  const std::string upper = ChangeFileExt(FileName(), UpperCase(extension));
  if (Env()->FileExists(upper)) return upper;
  // Tables copied from a case-insensitive file system often differ in case
  // from their companions ("agencias.dbf" with "AGENCIAS.DBT").
  const std::string found = Env()->FindFileIgnoringCase(lower);
  if (!found.empty()) return found;
  // None exists: follow the letter case of the table's own extension.
  const std::string tableExt = ExtractFileExt(FileName());
  const bool upperCaseTable = tableExt != LowerCase(tableExt) && tableExt == UpperCase(tableExt);
  return upperCaseTable ? upper : lower;
}

std::string TDbfFile::ProductionIndexName() { return CompanionFileName(".mdx"); }

void TDbfFile::OpenMemoFile(bool create, int32_t blockSize) {
  if (memoFile_ || !MemoOpener()) return;
  TMemoFileRequest request{CompanionFileName(MemoExtension()), tableFormat_, Mode(),
                           create && AutoCreate(), create ? blockSize : 0};
  memoFile_ = MemoOpener()(request);
}

void TDbfFile::CheckProductionIndex() {
  if (Header()[kProductionIndexAt] == 0) return;
  // An existing production index is opened by the index code, which lists
  // it with the other index files.
  if (Env()->FileExists(ProductionIndexName())) return;
  bool deleteLink = true;
  if (onIndexMissing_) onIndexMissing_(deleteLink);
  if (deleteLink)
    indexLinkDropped_ = true;
  else
    forceClose_ = true;
}

void TDbfFile::AdjustHeader() {
  if (!Header() || HeaderSize() <= kProductionIndexAt) return;
  auto* h = reinterpret_cast<uint8_t*>(Header());
  h[0] = HasMemoFields() ? (h[0] | 0x80) : (h[0] & 0x7F);
  if (indexLinkDropped_) h[kProductionIndexAt] = 0;
}

void TDbfFile::Close() {
  if (!opened_ && !IsOpen()) return;
  productionIndex_ = nullptr;
  indexNames_.clear();
  indexOpenError_.clear();
  for (auto& indexFile : indexFiles_) indexFile->Close();
  indexFiles_.clear();
  memoFile_.reset();
  CloseFile();
  prevBuffer_.clear();
  opened_ = false;
}

void TDbfFile::CreateStructure(TDbfFieldDefs& fieldDefs, int32_t memoBlockSize) {
  const bool level7 = tableFormat_ == tfDBase7;
  const int32_t mainSize = level7 ? kMainHeaderSize7 : kMainHeaderSize;
  const int32_t descSize = level7 ? kDescriptorSize7 : kDescriptorSize;
  SetPageCount(0);
  SetHeaderSize(mainSize);
  SetRecordSize(descSize);
  auto* h = reinterpret_cast<uint8_t*>(Header());
  std::memset(h, 0, mainSize);
  TDbfGlobals& globals = DbfGlobals();
  if (level7) {
    h[0] = 0x04;
    std::string name =
        LanguageDriverNameFor(globals.CreateCodePage(), globals.CreateLocale(), false);
    std::memcpy(h + kDriverNameAt, name.data(), std::min<size_t>(name.size(), kDriverNameWidth));
  } else {
    h[0] = tableFormat_ == tfFoxPro ? 0x05 : 0x03;
    h[kLanguageIdAt] = tableFormat_ == tfDBase3
                           ? 0
                           : LanguageIdFor(globals.CreateCodePage(), globals.CreateLocale(),
                                           tableFormat_ == tfFoxPro);
  }

  // Whatever happens below, the header that stands is written back.
  TScopeExit finish([this] {
    SetRecordSize(GetLE16(Header() + kRecordSizeAt));
    SetHeaderSize(GetLE16(Header() + kHeaderSizeAt));
    WriteHeader();
  });
  fieldDefs_->Clear();
  fieldDefs_->SetTableFormat(tableFormat_);
  lockField_ = TLockFieldInfo();
  hasAutoInc_ = false;
  const int count = fieldDefs.Count();
  if (count < 1 || count > kDbfMaxFields) throw EDbfError(Format(kInvalidFieldCount, count));
  if (mainSize + count * descSize + 1 > 0xFFFF)
    throw EDbfError(Format(kDbfHeaderTooLarge, FileName().c_str(), count));

  // All definitions are taken and checked before the first byte is written.
  int32_t offset = 1;
  bool hasMemo = false;
  for (int i = 0; i < count; ++i) {
    TDbfFieldDef& src = fieldDefs[i];
    if (copyDateTimeAsString_ && src.FieldType() == ftDateTime) {
      src.SetFieldType(ftString);
      src.SetSize(22);
    }
    src.SetFieldName(UpperCase(src.FieldName()));
    src.SetOffset(offset);
    TDbfFieldDef& def = fieldDefs_->Add();
    def.CopyDefinition(src);
    def.SetNextAutoInc(0);
    // A width the size rules allow for the letter; what still does not fit
    // the one-byte descriptor entries is refused.
    def.SetSize(def.Size());
    if (def.NativeFieldType() == 0)
      throw EDbfError(Format(kCannotCreateField, def.FieldName().c_str(),
                             static_cast<unsigned>(def.FieldType())));
    if (def.Size() < 0 || def.Size() > 255 || def.Precision() < 0 || def.Precision() > 255)
      throw EDbfError(
          Format(kDbfFieldTooWide, def.FieldName().c_str(), def.Size(), def.Precision()));
    if (offset + def.Size() > 0xFFFF)
      throw EDbfError(Format(kDbfRecordTooLarge, FileName().c_str(), offset + def.Size()));
    src.SetSize(def.Size());
    src.SetPrecision(def.Precision());
    hasMemo = hasMemo || def.IsBlob();
    NoteSpecialField(def);
    offset += def.Size();
  }

  std::vector<char> desc(descSize);
  for (int i = 0; i < count; ++i) {
    const TDbfFieldDef& def = fieldDefs_->Items(i);
    std::fill(desc.begin(), desc.end(), 0);
    const std::string& name = def.FieldName();
    std::memcpy(desc.data(), name.data(),
                std::min<size_t>(name.size(), level7 ? kNameWidth7 - 1 : kNameWidth - 1));
    desc[level7 ? kTypeAt7 : kTypeAt] = def.NativeFieldType();
    desc[level7 ? kWidthAt7 : kWidthAt] = static_cast<char>(def.Size());
    desc[level7 ? kDecimalsAt7 : kDecimalsAt] = static_cast<char>(def.Precision());
    // Descriptor i + 1 is page i + 1; written by offset so that the file's
    // size is followed exactly when descriptors and pages differ in size.
    WriteAt(desc.data(), descSize, PageOffset(i + 1));
  }
  WriteChar(kDbfHeaderTerminator);

  if (hasMemo) {
    if (tableFormat_ == tfDBase3)
      h[0] |= 0x80;
    else if (tableFormat_ == tfFoxPro)
      h[0] |= 0xF0;
    else
      h[0] |= 0x88;
  }
  PutLE16(h + kRecordSizeAt, static_cast<uint16_t>(offset));
  PutLE16(h + kHeaderSizeAt, static_cast<uint16_t>(descSize * count + mainSize + 1));
  TPagedFile::WriteHeader();
  finish.Dismiss();
  SetRecordSize(offset);
  SetHeaderSize(descSize * count + mainSize + 1);
  WriteHeader();
  DetermineCodePage();
  if (hasMemo) OpenMemoFile(true, memoBlockSize);
}

void TDbfFile::WriteHeader() {
  if (HeaderSize() == 0 || !Header()) return;
  if (!IsSharedAccess()) {
    StampAndWriteHeader();
    return;
  }
  // This handle's copy of the header may be older than the file's: other
  // processes raise the record count and the autoincrement values under the
  // header lock. Writing it back must not take those back.
  LockHeader();
  TScopeExit unlock([this] { UnlockHeader(); });
  KeepStoredCounters();
  StampAndWriteHeader();
}

void TDbfFile::KeepStoredCounters() {
  char stored[4];
  if (HeaderSize() >= kRecordCountAt + 4) {
    uint32_t count = GetLE32(Header() + kRecordCountAt);
    if (ReadAt(stored, 4, HeaderOffset() + kRecordCountAt) == 4)
      count = std::max(count, GetLE32(stored));
    count = std::max(count, static_cast<uint32_t>(PageCount()));
    PutLE32(Header() + kRecordCountAt, count);
  }
  for (int i = 0; hasAutoInc_ && i < fieldDefs_->Count(); ++i) {
    TDbfFieldDef& def = fieldDefs_->Items(i);
    if (def.NativeFieldType() != '+' || def.AutoIncOffset() + 4 > HeaderSize()) continue;
    if (ReadAt(stored, 4, HeaderOffset() + def.AutoIncOffset()) != 4) continue;
    const uint32_t next = GetLE32(stored);
    if (next <= GetLE32(Header() + def.AutoIncOffset())) continue;
    std::memcpy(Header() + def.AutoIncOffset(), stored, 4);
    def.SetNextAutoInc(std::max(def.NextAutoInc(), next));
  }
}

void TDbfFile::LockHeader() {
  if (headerLocks_ == 0) LockPage(0, true);
  ++headerLocks_;
}

void TDbfFile::UnlockHeader() {
  if (headerLocks_ > 0 && --headerLocks_ == 0) UnlockPage(0);
}

void TDbfFile::StampAndWriteHeader() {
  auto* h = reinterpret_cast<uint8_t*>(Header());
  const platform::TSystemTime now = Env()->LocalTime();
  h[1] = static_cast<uint8_t>(now.year - 1900);
  h[2] = static_cast<uint8_t>(now.month);
  h[3] = static_cast<uint8_t>(now.day);
  TPagedFile::WriteHeader();
  // Another process may be appending the next record right now (it holds
  // that slot's lock); its end byte follows its record.
  WriteEndOfFileAfter(PageCount());
}

// ---- Field values -------------------------------------------------------------

bool TDbfFile::ReadFieldValue(int fieldIndex, TFieldType type, void* dst,
                              const char* record) const {
  return DecodeFieldValue(fieldDefs_->Items(fieldIndex), type, dst, record);
}

bool TDbfFile::ReadFieldValue(const TDbfFieldDef& def, TFieldType type, void* dst,
                              const char* record) const {
  return DecodeFieldValue(def, type, dst, record);
}

void TDbfFile::WriteFieldValue(int fieldIndex, TFieldType type, char* record, const void* src) {
  EncodeFieldValue(fieldDefs_->Items(fieldIndex), type, record, src);
}

void TDbfFile::WriteFieldValue(const TDbfFieldDef& def, TFieldType type, char* record,
                               const void* src) {
  EncodeFieldValue(def, type, record, src);
}

void TDbfFile::BlankRecord(char* record) { BlankRecordImage(*fieldDefs_, record, RecordSize()); }

void TDbfFile::AssignAutoIncValues(char* record) {
  if (!hasAutoInc_) return;
  const bool shared = IsSharedAccess();
  if (shared) LockHeader();
  TScopeExit unlock([this, shared] {
    if (shared) UnlockHeader();
  });
  for (int i = 0; i < fieldDefs_->Count(); ++i) {
    TDbfFieldDef& def = fieldDefs_->Items(i);
    if (def.NativeFieldType() != '+') continue;
    uint32_t next = def.NextAutoInc();
    char stored[4];
    if (shared && ReadAt(stored, 4, def.AutoIncOffset()) == 4) next = GetLE32(stored);
    PutBE32(record + def.Offset(), next ^ 0x80000000u);
    def.SetNextAutoInc(next + 1);
    PutLE32(stored, next + 1);
    WriteAt(stored, 4, def.AutoIncOffset());
    if (Header() && def.AutoIncOffset() + 4 <= HeaderSize())
      std::memcpy(Header() + def.AutoIncOffset(), stored, 4);
  }
}

// ---- Records ------------------------------------------------------------------

int32_t TDbfFile::AppendRecord(char* record) {
  // A slot is free when no other handle holds it and no record stands in it
  // yet: another appender may have written it and let it go between our
  // count and our lock. A slot below the end of the file need not hold a
  // record: an appender that took the slot after it may have written first,
  // leaving this one a hole (zeros, or the end-of-file byte) to fill.
  int32_t recNo = PageCount() + 1;
  for (int32_t probes = 0;; ++probes) {
    if (probes > kMaxSlotProbes) throw EDbfError(Format(kDbfNoFreeSlot, FileName().c_str()));
    if (!LockPage(recNo, false)) {
      ++recNo;
      continue;
    }
    if (!SlotHoldsRecord(recNo)) break;
    UnlockPage(recNo);
    ++recNo;
  }
  TScopeExit unlockRecord([this, recNo] { UnlockPage(recNo); });

  CheckIndexesUsable();
  AssignAutoIncValues(record);
  size_t inserted = 0;
  try {
    for (; inserted < indexFiles_.size(); ++inserted)
      indexFiles_[inserted]->InsertRecordAll(recNo, record);
  } catch (...) {
    while (inserted-- > 0) {
      try {
        indexFiles_[inserted]->DeleteRecordAll(recNo, record);
      } catch (...) {
        // The key violation is what the caller must see.
      }
    }
    throw;
  }

  // The record is written under the header lock too: every write beyond the
  // end of the file then happens under that lock, so the end-of-file byte
  // below can be placed without overwriting another appender's record.
  LockHeader();
  TScopeExit unlockHeader([this] { UnlockHeader(); });
  ReadHeader();
  AdjustHeader();
  PutLE32(Header() + kRecordCountAt, GetLE32(Header() + kRecordCountAt) + 1);
  WriteHeader();
  if (lockField_.present) StampLockField(record);
  WritePage(recNo, record);
  WriteEndOfFileAfter(recNo);
  return recNo;
}

bool TDbfFile::SlotHoldsRecord(int32_t recNo) {
  if (PageCount() < recNo) return false;
  char flag = 0;
  if (ReadAt(&flag, 1, PageOffset(recNo)) != 1) return false;
  return flag == ' ' || flag == '*';
}

void TDbfFile::WriteEndOfFileAfter(int32_t recNo) {
  // REQUIRES: the header lock in shared modes. Appenders write their records
  // only while holding it, so no record is being written beyond the end now;
  // a record that already stands after recNo must not lose its first byte.
  // No slot lock is taken here: a locked slot tells appenders that another
  // appender owns it, and they would skip it and leave a hole.
  const int64_t endOffset = PageOffset(recNo + 1);
  int64_t size = 0;
  if (!File() || !File()->Size(size).IsOk()) return;
  if (size >= endOffset + RecordSize()) return;
  const char eof = static_cast<char>(kDbfEndOfFile);
  WriteAt(&eof, 1, endOffset);
}

void TDbfFile::LockRecordForEdit(int32_t recNo, char* record) {
  CheckIndexesUsable();
  if (!LockPage(recNo, false)) throw EDbfError(kRecordLocked);
  TScopeExit unlock([this, recNo] { UnlockPage(recNo); });
  ReadPage(recNo, record);
  if (!prevBuffer_.empty()) std::memcpy(prevBuffer_.data(), record, prevBuffer_.size());
  if (lockField_.present) {
    StampLockField(record);
    WritePage(recNo, record);
  }
  unlock.Dismiss();
}

void TDbfFile::PostRecord(int32_t recNo, const char* record) {
  // The lock a failed post let go of is taken again.
  if (releasedByFailedPost_ == recNo) {
    if (!LockPage(recNo, false)) throw EDbfError(kRecordLocked);
    releasedByFailedPost_ = -1;
  }
  // A key violation takes back the keys already changed, in every file,
  // and lets the record go with its old data on disk.
  size_t updated = 0;
  try {
    for (; updated < indexFiles_.size(); ++updated)
      indexFiles_[updated]->UpdateRecordAll(recNo, PrevBuffer(), record);
  } catch (...) {
    while (updated-- > 0) {
      try {
        indexFiles_[updated]->UpdateRecordAll(recNo, record, PrevBuffer());
      } catch (...) {
        // The key violation is what the caller must see.
      }
    }
    UnlockPage(recNo);
    releasedByFailedPost_ = recNo;
    throw;
  }
  WritePage(recNo, record);
  UnlockPage(recNo);
}

void TDbfFile::NotifyRecordDeleted(int32_t recNo, const char* record) {
  for (auto& indexFile : indexFiles_) indexFile->DropDistinctKeysAll(recNo, record);
}

void TDbfFile::StampLockField(char* record) {
  if (!lockField_.present) return;
  char* f = record + lockField_.offset;
  const platform::TSystemTime now = Env()->LocalTime();
  uint8_t stamp[8];
  PutLE16(stamp, static_cast<uint16_t>((lockField_.size >= 2 ? GetLE16(f) : 0) + 1));
  stamp[2] = static_cast<uint8_t>(now.hour);
  stamp[3] = static_cast<uint8_t>(now.minute);
  stamp[4] = static_cast<uint8_t>(now.second);
  stamp[5] = static_cast<uint8_t>(now.year - 1900);
  stamp[6] = static_cast<uint8_t>(now.month);
  stamp[7] = static_cast<uint8_t>(now.day);
  // A damaged lock field narrower than the stamp gets what fits.
  std::memcpy(f, stamp, std::min(lockField_.size, 8));
  if (lockField_.size > 8) {
    std::memset(f + 8, ' ', lockField_.size - 8);
    const std::string& user = DbfGlobals().UserName();
    std::memcpy(f + 8, user.data(), std::min<size_t>(lockField_.userNameLength, user.size()));
  }
}

// ---- Structure ----------------------------------------------------------------

TDbfFieldDef* TDbfFile::FindFieldDef(const std::string& name) {
  const std::string upper = UpperCase(name);
  for (int i = 0; i < fieldDefs_->Count(); ++i)
    if (fieldDefs_->Items(i).FieldName() == upper) return &fieldDefs_->Items(i);
  return nullptr;
}

bool TDbfFile::HasMemoFields() const {
  for (int i = 0; i < fieldDefs_->Count(); ++i)
    if (fieldDefs_->Items(i).IsBlob()) return true;
  return false;
}

std::string TDbfFile::MemoExtension() const { return tableFormat_ == tfFoxPro ? ".fpt" : ".dbt"; }

uint8_t TDbfFile::LanguageId() const {
  if (!Header() || HeaderSize() <= kLanguageIdAt) return 0;
  return static_cast<uint8_t>(Header()[kLanguageIdAt]);
}

std::string TDbfFile::LanguageDriverName() const {
  if (tableFormat_ != tfDBase7 || !Header() || HeaderSize() < kDriverNameAt + 32)
    return std::string();
  const char* name = Header() + kDriverNameAt;
  return std::string(name, strnlen(name, 32));
}

TIndexFileUpkeep* TDbfFile::IndexFiles(int index) const {
  if (index < 0 || index >= IndexFileCount()) ListIndexError(index);
  return indexFiles_[index].get();
}

void TDbfFile::AddIndexFile(std::unique_ptr<TIndexFileUpkeep> indexFile) {
  indexFiles_.push_back(std::move(indexFile));
}

void TDbfFile::EnterExclusive() {
  TPagedFile::EnterExclusive();
  if (IsSharedAccess()) return;
  for (auto& indexFile : indexFiles_) indexFile->EnterExclusive();
  if (memoFile_) memoFile_->EnterExclusive();
}

void TDbfFile::LeaveExclusive() {
  TPagedFile::LeaveExclusive();
  for (auto& indexFile : indexFiles_) indexFile->LeaveExclusive();
  if (memoFile_) memoFile_->LeaveExclusive();
}

// ---- Process-wide settings ----------------------------------------------------

TDbfGlobals::TDbfGlobals()
    : openCodePage_(static_cast<int>(platform::GetACP())),
      createCodePage_(static_cast<int>(platform::GetACP())),
      createLocale_(platform::GetUserDefaultLCID()) {
  for (uint32_t codePage : platform::InstalledCodePages())
    installedCodePages_.push_back(static_cast<int>(codePage));
  // IsCodePageInstalled searches by halves.
  std::sort(installedCodePages_.begin(), installedCodePages_.end());
  SetUserName(platform::TEnv::Default()->ComputerName());
}

bool TDbfGlobals::IsCodePageInstalled(int codePage) const {
  return std::binary_search(installedCodePages_.begin(), installedCodePages_.end(), codePage);
}

namespace {
std::unique_ptr<TDbfGlobals>& GlobalsInstance() {
  static std::unique_ptr<TDbfGlobals> instance;
  return instance;
}
}  // namespace

TDbfGlobals& DbfGlobals() {
  auto& instance = GlobalsInstance();
  if (!instance) instance = std::make_unique<TDbfGlobals>();
  return *instance;
}

void ResetDbfGlobals() { GlobalsInstance() = std::make_unique<TDbfGlobals>(); }

void TLCIDList::Enumerate() { items_ = platform::SupportedLocales(); }

uint32_t TLCIDList::Items(int index) const {
  if (index < 0 || index >= Count()) ListIndexError(index);
  return items_[index];
}

bool TLCIDList::Contains(uint32_t lcid) const {
  return std::find(items_.begin(), items_.end(), lcid) != items_.end();
}

const TLCIDList& DbfLocales() {
  static const TLCIDList list = [] {
    TLCIDList l;
    l.Enumerate();
    return l;
  }();
  return list;
}
