#include "tdbf/file/dbf_dbffile.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"
#include "platform/env.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf_str.h"
#include "tdbf/file/dbf_header.h"
#include "tdbf/file/dbf_lang.h"

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
// Visual FoxPro descriptors add these.
constexpr int kFieldOffsetAt = 12, kFieldFlagsAt = 18, kNextAutoIncAtVfp = 19, kAutoIncStepAt = 23;
// Offsets inside the main header.
constexpr int kRecordCountAt = 4, kHeaderSizeAt = 8, kRecordSizeAt = 10;
constexpr int kProductionIndexAt = 28, kLanguageIdAt = 29, kDriverNameAt = 32;
constexpr int kDriverNameWidth = 31;
// The version byte of a table with dBase IV memos.
constexpr uint8_t kDbase4MemoVersion = 0x8B;
// Visual FoxPro: header byte 28 holds table flags, and the database
// container's name follows the descriptors' terminator.
constexpr uint8_t kVfpHasCdx = 0x01, kVfpHasMemo = 0x02;
constexpr int32_t kVfpBacklinkSize = 263;
constexpr const char* kNullFlagsName = "_NullFlags";
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

void TDbfFile::Open() {
  if (opened_) return;
  forceClose_ = false;
  indexLinkDropped_ = false;
  changed_ = false;
  headerRepaired_ = false;
  countSlots_ = false;
  countedRecords_ = 0;
  openWarnings_.clear();
  readOnlyReason_.clear();
  OpenFile();
  if (!ReadOnlyFallbackReason().empty())
    NoteReadOnly(
        Format(kDbfNoWritePermission, FileName().c_str(), ReadOnlyFallbackReason().c_str()));
  if (!IsCreateMode()) {
    try {
      OpenExisting();
    } catch (...) {
      countSlots_ = false;
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
  const TDbfHeaderInfo info = ReadCheckedHeader();
  SetTableFormat(info.format);
  if (info.empty) {
    SetRecordSize(0);
    SetHeaderSize(0);
    forceClose_ = true;
    return;
  }
  SetRecordSize(info.recordSize);
  SetHeaderSize(info.headerSize);
  DetermineCodePage();
  ApplyFieldDefs(info);
  // From here on the record count follows the slots the file holds (see
  // CountPages). Nothing is written: a stale or damaged count is set right
  // when the table is next written (AdjustHeader).
  countSlots_ = true;
  Recount();
  NoteDamagedEnd(info.storedRecordCount);
  if (HasMemoFields()) OpenMemoFile(false, 0);
  CheckProductionIndex();
  if (!forceClose_) OpenProductionIndex();
}

int32_t TDbfFile::CountPages(int32_t wholePages) {
  if (!countSlots_ || !Header() || HeaderSize() < kRecordCountAt + 4) return wholePages;
  // The slots the header counts are records as far as the file holds them
  // whole. A slot past the count is a record only while its deletion flag
  // is a blank or the deleted mark: programs leave the end-of-file byte and
  // old bytes after the last record, but an appender that stopped before
  // its header write leaves a real record there.
  const uint32_t stored = GetLE32(Header() + kRecordCountAt);
  if (static_cast<uint32_t>(wholePages) <= stored) return countedRecords_ = wholePages;
  int32_t n = std::max(static_cast<int32_t>(stored), std::min(countedRecords_, wholePages));
  char flag = 0;
  while (n < wholePages && ReadAt(&flag, 1, PageOffset(n + 1)) == 1 &&
         IsRecordFlag(static_cast<uint8_t>(flag)))
    ++n;
  return countedRecords_ = n;
}

int32_t TDbfFile::RecordCount() {
  const int32_t slots = PageCount();
  if (slots < holesScannedTo_) {
    // Fewer slots than before (the table was emptied): forget those gone.
    holes_.erase(std::upper_bound(holes_.begin(), holes_.end(), slots), holes_.end());
    holesScannedTo_ = slots;
  } else if (slots > holesScannedTo_) {
    // The table grew: the holes known may have been filled meanwhile.
    std::vector<int32_t> known;
    known.swap(holes_);
    char flag = 0;
    for (const int32_t recNo : known)
      if (ReadAt(&flag, 1, PageOffset(recNo)) != 1 || !IsRecordFlag(static_cast<uint8_t>(flag)))
        holes_.push_back(recNo);
    ScanForHoles(holesScannedTo_ + 1, slots);
    holesScannedTo_ = slots;
  }
  return slots - static_cast<int32_t>(holes_.size());
}

void TDbfFile::ScanForHoles(int32_t first, int32_t last) {
  // Only the flags are read, in runs of 64K slots.
  constexpr int32_t kPerRun = 1 << 16;
  std::vector<uint8_t> flags(static_cast<size_t>(std::min(kPerRun, std::max(last - first + 1, 0))));
  for (int32_t recNo = first; recNo <= last; recNo += kPerRun) {
    const int32_t n = std::min(kPerRun, last - recNo + 1);
    const int32_t got = ReadPageFirstBytes(recNo, n, flags.data());
    for (int32_t i = 0; i < got; ++i)
      if (!IsRecordFlag(flags[static_cast<size_t>(i)])) holes_.push_back(recNo + i);
  }
}

void TDbfFile::NoteHole(int32_t recNo, bool hole) {
  const auto at = std::lower_bound(holes_.begin(), holes_.end(), recNo);
  const bool known = at != holes_.end() && *at == recNo;
  if (hole && !known) holes_.insert(at, recNo);
  if (!hole && known) holes_.erase(at);
}

void TDbfFile::NoteDamagedEnd(uint32_t storedCount) {
  const int32_t records = PageCount();
  const std::string name = ExtractFileName(FileName());
  const int64_t end = PageOffset(records + 1);
  const int64_t tail = int64_t{CachedSize()} - end;
  char first = 0;
  const bool partial = tail > 0 && tail < RecordSize() && ReadAt(&first, 1, end) == 1 &&
                       static_cast<uint8_t>(first) != kDbfEndOfFile;
  if (partial)
    openWarnings_.push_back(Format(kDbfEndsInsideRecord, name.c_str(), records + 1, records));
  else if (storedCount > static_cast<uint32_t>(records))
    openWarnings_.push_back(Format(kDbfCountBeyondFile, name.c_str(), storedCount, records));
}

TDbfHeaderInfo TDbfFile::ReadCheckedHeader() {
  int64_t size = 0;
  if (File()) File()->Size(size);
  std::vector<uint8_t> bytes(static_cast<size_t>(std::clamp<int64_t>(size, 0, kDbfMaxHeaderBytes)));
  const int32_t got =
      bytes.empty() ? 0 : ReadAt(bytes.data(), static_cast<int32_t>(bytes.size()), 0);
  TDbfHeaderCheck check = ParseDbfHeader(bytes.data(), static_cast<size_t>(std::max(got, 0)), size);
  if (!check.valid)
    throw EDbfError(
        Format(kInvalidDbfFileBecause, ExtractFileName(FileName()).c_str(), check.reason.c_str()));
  return std::move(check.header);
}

void TDbfFile::DetermineCodePage() {
  if (tableFormat_ == tfDBase7)
    fileCodePage_ = CodePageFromDriverName(LanguageDriverName());
  else
    fileCodePage_ = CodePageOfLanguageId(LanguageId());
  useCodePage_ = fileCodePage_ != 0 ? fileCodePage_ : DbfGlobals().OpenCodePage();
}

void TDbfFile::LoadFieldDefs() {
  if (!IsOpen()) return;
  ApplyFieldDefs(ReadCheckedHeader());
}

void TDbfFile::ApplyFieldDefs(const TDbfHeaderInfo& info) {
  fieldDefs_->Clear();
  lockField_ = TLockFieldInfo();
  hasAutoInc_ = false;
  for (const TDbfFieldDescriptor& f : info.fields) {
    TDbfFieldDef& def = fieldDefs_->Add();
    def.SetFieldName(f.name);
    def.SetOffset(f.offset);
    def.SetSize(f.width);
    def.SetPrecision(f.decimals);
    def.SetNextAutoInc(f.nextAutoInc);
    def.SetFieldFlags(f.flags);
    def.SetAutoIncStep(f.autoIncStep);
    def.SetNativeFieldType(f.letter);
    const char stored = def.NativeFieldType();
    if (stored == 'C' || stored == 'N' || stored == 'F') def.SetStoredSize(f.width);
    NoteSpecialField(def);
  }
  fieldDefs_->AssignNullFlags();
  backlinkAt_ = info.backlinkAt;
  for (const TDbfFieldProperty& p : info.properties) {
    TDbfFieldDef& def = fieldDefs_->Items(p.field - 1);
    if (p.kind == 1) {
      def.SetRequired(true);
      continue;
    }
    def.PrepareValueBufs();
    char* buf = p.kind == 2 ? def.MinBuf() : p.kind == 3 ? def.MaxBuf() : def.DefaultBuf();
    if (!buf) continue;
    std::memset(buf, def.IsBinary() ? 0 : ' ', def.ValueBufSize());
    std::memcpy(buf, p.data.data(), std::min<size_t>(p.data.size(), def.ValueBufSize()));
    if (p.kind == 2)
      def.SetHasMin(true);
    else if (p.kind == 3)
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
  // Only level 7 and Visual FoxPro keep next values in their descriptors.
  if (def.NativeFieldType() == '+' && tableFormat_ == tfDBase7) {
    hasAutoInc_ = true;
    def.SetAutoIncOffset(kMainHeaderSize7 + kDescriptorSize7 * def.Index() + kNextAutoIncAt7);
  }
  if (tableFormat_ == tfVisualFoxPro && def.IsAutoInc()) {
    hasAutoInc_ = true;
    def.SetAutoIncOffset(kMainHeaderSize + kDescriptorSize * def.Index() + kNextAutoIncAtVfp);
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
  // dBase IV wrote its tables with version 0x8B and often language byte 0,
  // which makes them level 3; their memo files are dBase IV's all the same
  // (values with a length head, the file's own block size).
  const bool dBase4Memos = tableFormat_ == tfDBase3 && Header() &&
                           static_cast<uint8_t>(Header()[0]) == kDbase4MemoVersion;
  TMemoFileRequest request{CompanionFileName(MemoExtension()),
                           dBase4Memos ? tfDBase4 : tableFormat_,
                           Mode(),
                           create && AutoCreate(),
                           create ? blockSize : 0,
                           ReadOnlyFallback()};
  // Tables are often copied without their memo files: such a table opens,
  // its memo fields without values, and cannot be written.
  if (!create && ReadOnlyFallback() && !Env()->FileExists(request.fileName)) {
    NoteReadOnly(Format(kDbfMemoFileMissing, request.fileName.c_str()));
    return;
  }
  memoFile_ = MemoOpener()(request);
  if (!memoFile_->ReadOnlyFallbackReason().empty())
    NoteReadOnly(Format(kDbfNoWritePermission, request.fileName.c_str(),
                        memoFile_->ReadOnlyFallbackReason().c_str()));
}

void TDbfFile::NoteReadOnly(const std::string& reason) {
  if (readOnlyReason_.empty()) readOnlyReason_ = reason;
  openWarnings_.push_back(ExtractFileName(FileName()) + ": " + reason +
                          "; the table is open read-only.");
}

void TDbfFile::CheckProductionIndex() {
  // Visual FoxPro's byte 28 holds table flags; its structural index is a
  // ".cdx", which this engine does not keep (HasStructuralCdx).
  if (tableFormat_ == tfVisualFoxPro) return;
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
  if (tableFormat_ == tfVisualFoxPro) {
    h[kProductionIndexAt] = HasMemoFields() ? (h[kProductionIndexAt] | kVfpHasMemo)
                                            : (h[kProductionIndexAt] & ~kVfpHasMemo);
    return;
  }
  h[0] = HasMemoFields() ? (h[0] | 0x80) : (h[0] & 0x7F);
  if (indexLinkDropped_) h[kProductionIndexAt] = 0;
  // A count beyond the records the file holds (a copy cut short) comes
  // down to them.
  Recount();
  const auto records = static_cast<uint32_t>(PageCount());
  if (GetLE32(h + kRecordCountAt) > records) PutLE32(h + kRecordCountAt, records);
  headerRepaired_ = true;
}

void TDbfFile::RepairHeaderOnce() {
  if (headerRepaired_ || !Header() || HeaderSize() < kRecordCountAt + 4) return;
  AdjustHeader();
  // Records an appender that stopped before its header write left behind
  // are counted.
  const auto records = static_cast<uint32_t>(PageCount());
  if (GetLE32(Header() + kRecordCountAt) < records) PutLE32(Header() + kRecordCountAt, records);
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
  countSlots_ = false;
  holes_.clear();
  holesScannedTo_ = 0;
  countedRecords_ = 0;
}

void TDbfFile::WritePage(int32_t page, const void* buffer) {
  changed_ = true;
  TPagedFile::WritePage(page, buffer);
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
    const bool foxPro = tableFormat_ == tfFoxPro || tableFormat_ == tfVisualFoxPro;
    h[0] = tableFormat_ == tfVisualFoxPro ? 0x30 : tableFormat_ == tfFoxPro ? 0x05 : 0x03;
    h[kLanguageIdAt] = tableFormat_ == tfDBase3 ? 0
                                                : LanguageIdFor(globals.CreateCodePage(),
                                                                globals.CreateLocale(), foxPro);
  }
  const bool vfp = tableFormat_ == tfVisualFoxPro;

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
  const int given = fieldDefs.Count();
  // Visual FoxPro keeps the null bits and the lengths of varying fields in
  // a hidden last field.
  const int nullBits = vfp ? TDbfFieldDefs::NullFlagBitsNeeded(fieldDefs) : 0;
  const int count = given + (nullBits > 0 ? 1 : 0);
  const int32_t backlinkSize = vfp ? kVfpBacklinkSize : 0;
  if (given < 1 || count > kDbfMaxFields) throw EDbfError(Format(kInvalidFieldCount, count));
  if (mainSize + count * descSize + 1 + backlinkSize > 0xFFFF)
    throw EDbfError(Format(kDbfHeaderTooLarge, FileName().c_str(), count));

  // All definitions are taken and checked before the first byte is written.
  int32_t offset = 1;
  bool hasMemo = false;
  for (int i = 0; i < given; ++i) {
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
    if (vfp && def.IsAutoInc()) {
      // Visual FoxPro numbers new tables from 1.
      def.SetNextAutoInc(1);
      if (def.AutoIncStep() == 0) def.SetAutoIncStep(1);
    }
    NoteSpecialField(def);
    offset += def.Size();
  }
  if (nullBits > 0) {
    TDbfFieldDef& flags = fieldDefs_->Add();
    flags.SetFieldName(kNullFlagsName);
    flags.SetNativeFieldType('0');
    flags.SetSize((nullBits + 7) / 8);
    flags.SetFieldFlags(TDbfFieldDef::kFieldSystem | TDbfFieldDef::kFieldBinary);
    flags.SetOffset(offset);
    offset += flags.Size();
    if (offset > 0xFFFF) throw EDbfError(Format(kDbfRecordTooLarge, FileName().c_str(), offset));
  }
  fieldDefs_->AssignNullFlags();
  uint8_t version = h[0];
  for (int i = 0; vfp && i < count; ++i) {
    const TDbfFieldDef& def = fieldDefs_->Items(i);
    if (def.IsVarying() || def.NativeFieldType() == 'W')
      version = 0x32;
    else if (def.IsAutoInc() && version == 0x30)
      version = 0x31;
  }
  h[0] = version;

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
    if (vfp) {
      PutLE32(desc.data() + kFieldOffsetAt, static_cast<uint32_t>(def.Offset()));
      desc[kFieldFlagsAt] = static_cast<char>(def.FieldFlags());
      if (def.IsAutoInc()) {
        PutLE32(desc.data() + kNextAutoIncAtVfp, def.NextAutoInc());
        desc[kAutoIncStepAt] = static_cast<char>(def.AutoIncStep());
      }
    }
    // Descriptor i + 1 is page i + 1; written by offset so that the file's
    // size is followed exactly when descriptors and pages differ in size.
    WriteAt(desc.data(), descSize, PageOffset(i + 1));
  }
  WriteChar(kDbfHeaderTerminator);
  backlinkAt_ = mainSize + count * descSize + 1;
  if (vfp) {
    // No database container: the back-link stays zero.
    const std::vector<char> backlink(kVfpBacklinkSize, 0);
    WriteAt(backlink.data(), kVfpBacklinkSize, backlinkAt_);
  }

  if (hasMemo) {
    if (tableFormat_ == tfDBase3)
      h[0] |= 0x80;
    else if (tableFormat_ == tfFoxPro)
      h[0] |= 0xF0;
    else if (vfp)
      h[kProductionIndexAt] |= kVfpHasMemo;
    else
      h[0] |= 0x88;
  }
  const int32_t headerSize = descSize * count + mainSize + 1 + backlinkSize;
  PutLE16(h + kRecordSizeAt, static_cast<uint16_t>(offset));
  PutLE16(h + kHeaderSizeAt, static_cast<uint16_t>(headerSize));
  TPagedFile::WriteHeader();
  finish.Dismiss();
  SetRecordSize(offset);
  SetHeaderSize(headerSize);
  WriteHeader();
  DetermineCodePage();
  if (hasMemo) OpenMemoFile(true, memoBlockSize);
}

void TDbfFile::WriteHeader() {
  if (HeaderSize() == 0 || !Header()) return;
  changed_ = true;
  if (!IsSharedAccess()) {
    RepairHeaderOnce();
    StampAndWriteHeader();
    return;
  }
  // This handle's copy of the header may be older than the file's: other
  // processes raise the record count and the autoincrement values under the
  // header lock. Writing it back must not take those back.
  LockHeader();
  TScopeExit unlock([this] { UnlockHeader(); });
  RepairHeaderOnce();
  KeepStoredCounters();
  StampAndWriteHeader();
}

void TDbfFile::KeepStoredCounters() {
  char stored[4];
  if (HeaderSize() >= kRecordCountAt + 4) {
    // Under the header lock every other appender's record is written, so
    // a stored count beyond the records the file holds is damage, not a
    // record on its way.
    uint32_t count = GetLE32(Header() + kRecordCountAt);
    Recount();
    const auto records = static_cast<uint32_t>(PageCount());
    if (ReadAt(stored, 4, HeaderOffset() + kRecordCountAt) == 4)
      count = std::max(count, std::min(GetLE32(stored), records));
    count = std::max(count, records);
    PutLE32(Header() + kRecordCountAt, count);
  }
  for (int i = 0; hasAutoInc_ && i < fieldDefs_->Count(); ++i) {
    TDbfFieldDef& def = fieldDefs_->Items(i);
    if (!def.IsAutoInc() || def.AutoIncOffset() <= 0 || def.AutoIncOffset() + 4 > HeaderSize())
      continue;
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
    if (!def.IsAutoInc() || def.AutoIncOffset() <= 0) continue;
    uint32_t next = def.NextAutoInc();
    char stored[4];
    if (shared && ReadAt(stored, 4, def.AutoIncOffset()) == 4) next = GetLE32(stored);
    const int32_t value = static_cast<int32_t>(next);
    EncodeFieldValue(def, ftInteger, record, &value);
    const uint32_t following = next + def.AutoIncStep();
    def.SetNextAutoInc(following);
    PutLE32(stored, following);
    WriteAt(stored, 4, def.AutoIncOffset());
    if (Header() && def.AutoIncOffset() + 4 <= HeaderSize())
      std::memcpy(Header() + def.AutoIncOffset(), stored, 4);
  }
}

// ---- Records ------------------------------------------------------------------

// The append protocol. In shared modes the whole append happens inside one
// hold of the header lock, so appends of all processes are serial:
//   1. take the header lock (waiting);
//   2. read the header and the file size again;
//   3. choose the slot after the last record the file holds;
//   4. lock that slot (other programs probe slot locks to find free slots);
//   5. assign autoincrement values and add the index keys (a key violation
//      takes the keys back and ends the append with nothing written);
//   6. write the record and the end-of-file byte after it in one write;
//   7. set the header's record count to the new record's number;
//   8. release the slot and the header lock.
// A process killed at any step leaves either nothing (before 6) or a whole
// record with a count at most one behind it (between 6 and 7), which the
// next append, and every reader through the file size, takes in. No slot is
// ever taken and left unwritten, so the file has no holes.
int32_t TDbfFile::AppendRecord(char* record) {
  LockHeader();
  TScopeExit unlockHeader([this] { UnlockHeader(); });
  ReadHeader();
  AdjustHeader();
  // The records the file holds end at the first slot past the header's
  // count that holds no record (see CountPages): the new record goes there.
  int32_t recNo = PageCount() + 1;
  // A program that appends the older way holds its slot before it waits for
  // the header lock; that slot is left to it.
  for (int32_t probes = 0; !LockPage(recNo, false); ++probes, ++recNo)
    if (probes > kMaxSlotProbes) throw EDbfError(Format(kDbfNoFreeSlot, FileName().c_str()));
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

  if (lockField_.present) StampLockField(record);
  // Record and end-of-file byte in one write: a reader or a later appender
  // sees the slot either empty or whole.
  std::vector<char> image(static_cast<size_t>(RecordSize()) + 1);
  std::memcpy(image.data(), record, static_cast<size_t>(RecordSize()));
  image.back() = static_cast<char>(kDbfEndOfFile);
  changed_ = true;
  WriteAt(image.data(), static_cast<int32_t>(image.size()), PageOffset(recNo));
  PutLE32(Header() + kRecordCountAt, static_cast<uint32_t>(recNo));
  StampAndWriteHeader();
  return recNo;
}

void TDbfFile::WriteEndOfFileAfter(int32_t recNo) {
  // REQUIRES: the header lock in shared modes. Appenders write their records
  // only while holding it, so no record is being written beyond the end now;
  // a record that already stands after recNo must not lose its first byte.
  // Nor does a partial record or an end-of-file byte already there get
  // one: only a file that ends with the record gets the byte.
  const int64_t endOffset = PageOffset(recNo + 1);
  int64_t size = 0;
  if (!File() || !File()->Size(size).IsOk()) return;
  if (size != endOffset) return;
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

std::string TDbfFile::MemoExtension() const {
  return tableFormat_ == tfFoxPro || tableFormat_ == tfVisualFoxPro ? ".fpt" : ".dbt";
}

bool TDbfFile::HasStructuralCdx() const {
  return tableFormat_ == tfVisualFoxPro && Header() && HeaderSize() > kProductionIndexAt &&
         (Header()[kProductionIndexAt] & kVfpHasCdx) != 0;
}

std::string TDbfFile::Backlink() const {
  if (tableFormat_ != tfVisualFoxPro || !Header() || backlinkAt_ <= 0 ||
      backlinkAt_ >= HeaderSize())
    return std::string();
  const char* link = Header() + backlinkAt_;
  const size_t room = static_cast<size_t>(std::min(HeaderSize() - backlinkAt_, kVfpBacklinkSize));
  return std::string(link, strnlen(link, room));
}

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
