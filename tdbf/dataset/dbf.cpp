#include "tdbf/dataset/dbf.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/codepage.h"
#include "platform/env.h"
#include "recordset/fields.h"
#include "runtime/classes.h"
#include "runtime/exceptions.h"
#include "tdbf/dataset/dbf_cursor.h"
#include "tdbf/dbf_str.h"
#include "tdbf/expr/dbf_parser.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/file/dbf_memo.h"
#include "tdbf/index/dbf_idxdef.h"

namespace {

using platform::kPathDelimiter;
// The code page of text whose own code page cannot be converted.
constexpr uint32_t kLatin1CodePage = 28591;
constexpr int32_t kMemoBlockSizeForNewTables = 512;
// Visual FoxPro's own choice for its memo files.
constexpr int32_t kVfpMemoBlockSize = 64;
// The spare bytes behind the calculated-field area of a record buffer.
constexpr int kSpareBytes = 3;

TBaseFolderProvider& BaseFolderProvider() {
  static TBaseFolderProvider provider = [] {
    return platform::TEnv::Default()->ExecutableFolder();
  };
  return provider;
}

TExceptionReporter& ExceptionReporter() {
  static TExceptionReporter reporter;
  return reporter;
}

std::string WithDelimiter(std::string path) {
  if (path.empty() || path.back() != kPathDelimiter) path += kPathDelimiter;
  return path;
}

// The path made absolute against the current directory, "." and ".."
// resolved by name.
std::string ExpandPath(const std::string& path) {
  const std::string current = platform::TEnv::Default()->CurrentFolder();
  return platform::ExpandPath(path, current.empty() ? std::string(1, kPathDelimiter) : current);
}

// FilePathFull for a FilePath value.
std::string ResolveFolder(const std::string& value) {
  if (platform::IsAbsolutePath(value)) return WithDelimiter(value);
  const std::string base = BaseFolderProvider() ? BaseFolderProvider()() : std::string();
  if (base.empty()) return WithDelimiter(ExpandPath(value));
  if (value.empty()) return WithDelimiter(base);
  return WithDelimiter(ExpandPath(platform::JoinPath(base, value)));
}

int LevelOfFormat(TTableFormat format) {
  switch (format) {
    case tfDBase3:
      return 3;
    case tfFoxPro:
      return 25;
    case tfDBase7:
      return 7;
    case tfVisualFoxPro:
      return 30;
    default:
      return 4;
  }
}

TTableFormat FormatOfLevel(int level) {
  switch (level) {
    case 3:
      return tfDBase3;
    case 7:
      return tfDBase7;
    case 25:
      return tfFoxPro;
    case 30:
      return tfVisualFoxPro;
    default:
      return tfDBase4;
  }
}

int32_t GetBookmark(const char* buffer) {
  int32_t value;
  std::memcpy(&value, buffer, sizeof value);
  return value;
}

void PutBookmark(char* buffer, int32_t value) { std::memcpy(buffer, &value, sizeof value); }

}  // namespace

void SetBaseFolderProvider(TBaseFolderProvider provider) {
  BaseFolderProvider() = std::move(provider);
}

void SetExceptionReporter(TExceptionReporter reporter) {
  ExceptionReporter() = std::move(reporter);
}

// ---- Construction and properties ---------------------------------------------

TDbf::TDbf()
    : indexDefs_(std::make_unique<TDbfIndexDefs>()),
      masterLink_(std::make_unique<TDbfMasterLink>(this)) {
  InstallMemoFiles();
  DbfGlobals();
  SetBookmarkSize(kDbfBookmarkSize);
  filePathFull_ = ResolveFolder(std::string());
}

TDbf::~TDbf() {
  destroying_ = true;
  masterLink_.reset();
  Destroying();
}

void TDbf::SetFilePath(const std::string& value) {
  CheckInactive();
  filePath_ = value.empty() ? value : WithDelimiter(value);
  filePathFull_ = ResolveFolder(value);
}

void TDbf::SetTableName(const std::string& value) {
  const size_t slash = value.rfind(kPathDelimiter);
  if (slash != std::string::npos) SetFilePath(value.substr(0, slash + 1));
  tableName_ = slash == std::string::npos ? value : value.substr(slash + 1);
  FieldDefs().SetUpdated(false);
}

void TDbf::SetTableLevel(int value) {
  CheckInactive();
  if (value == 3 || value == 4 || value == 7 || value == 30) tableLevel_ = value;
}

void TDbf::SetShowDeleted(bool value) {
  if (value == showDeleted_) return;
  if (cursor_ && Active()) SettlePendingEdit();
  showDeleted_ = value;
  ForgetRejected();
  if (cursor_ && Active()) {
    CursorToActive();
    RefillBuffers(0);
  }
}

std::string TDbf::Version() const { return Format("%d.%02d", 6, 24); }

// ---- Opening and closing ----------------------------------------------------------

TFileAccessMode TDbf::AccessMode() const {
  if (readOnly_) return amReadOnly;
  return exclusive_ ? amExclusiveOpen : amSharedOpen;
}

std::unique_ptr<TDbfFile> TDbf::NewDbfFile(TFileAccessMode mode) const {
  auto file = std::make_unique<TDbfFile>(FullTableName());
  if (env_ != nullptr) file->SetEnv(env_);
  file->SetMode(mode);
  file->SetAutoCreate(false);
  file->SetReadOnlyFallback(readOnlyFallback_);
  file->SetUseFloatFields(useFloatFields_);
  file->SetDateTimeHandling(dateTimeHandling_);
  file->SetOnLocaleError(onLocaleError_);
  file->SetOnIndexMissing(onIndexMissing_);
  return file;
}

namespace {

// The largest number of the given count of decimal digits (99 for 2),
// saturating at the largest int64_t.
int64_t AllNines(int digits) {
  int64_t value = 0;
  for (int i = 0; i < digits; ++i) {
    if (value > (INT64_MAX - 9) / 10) return INT64_MAX;
    value = value * 10 + 9;
  }
  return value;
}

// Gives the field object of a numeric text field (N, F) the range of values
// its width and decimals hold. The table file fills a field that cannot
// hold a value with "*" (integers keep their last digits), so without the
// range a too-wide value typed by the user would be lost without a word.
// A negative value spends one character on its sign; with decimals one
// more goes to the point, and the whole part keeps at least one digit.
// Its display width is what its values need, and a number with decimals is
// shown with all of them.
constexpr int kBinaryNumberWidth = 22;

void LimitToFieldWidth(TField& field, const TDbfFieldDef& def) {
  const char letter = def.NativeFieldType();
  if (letter == 'Y') {
    // A 64-bit count of ten-thousandths, kept to what a double holds to the
    // last decimal.
    if (auto* number = dynamic_cast<TFloatField*>(&field)) {
      number->SetMaxValue(900000000000000.0);
      number->SetMinValue(-900000000000000.0);
      number->SetDisplayWidth(kBinaryNumberWidth);
    }
    return;
  }
  // A binary double shows up to 15 digits with its sign, point and exponent.
  if (def.FieldType() == ftFloat && letter != 'N' && letter != 'F')
    field.SetDisplayWidth(kBinaryNumberWidth);
  if (letter != 'N' && letter != 'F') return;
  const int width = def.Size();
  if (width <= 0) return;
  if (auto* integer = dynamic_cast<TIntegerField*>(&field)) {
    const int64_t negative = AllNines(width - 1);
    integer->SetMinValue(negative == INT64_MAX ? INT64_MIN : -negative);
    integer->SetMaxValue(AllNines(width));
    return;
  }
  auto* number = dynamic_cast<TFloatField*>(&field);
  if (number == nullptr) return;
  // Every value the field holds fits in its width, and is shown in no more.
  number->SetDisplayWidth(width);
  const int decimals = def.Precision() > 0 && width >= 3 ? std::min(def.Precision(), width - 2) : 0;
  const int wholeDigits = decimals > 0 ? width - decimals - 1 : width;
  // Whole numbers divided by a power of ten give the doubles nearest the
  // decimal bounds, the same a typed "99999.99" reads as.
  const double scale = std::pow(10.0, decimals);
  number->SetMaxValue((std::pow(10.0, wholeDigits + decimals) - 1) / scale);
  number->SetMinValue(wholeDigits > 1 ? -(std::pow(10.0, wholeDigits - 1 + decimals) - 1) / scale
                                      : 0.0);
  // A number with decimals is shown with as many as the field stores
  // (672298 in an N(12,2) field as 672298.00), in the user's format.
  if (decimals > 0 && number->DisplayFormat().empty())
    number->SetDisplayFormat("0." + std::string(static_cast<size_t>(decimals), '0'));
}

}  // namespace

void TDbf::OpenStorage() {
  dbfFile_.reset();
  storageComplete_ = false;
  const std::string fileName = FullTableName();
  if ((openMode_ == omAutoCreate || openMode_ == omTemporary) &&
      !platform::TEnv::Default()->FileExists(fileName)) {
    bool doCreate = true;
    if (beforeAutoCreate_) beforeAutoCreate_(*this, doCreate);
    // Declined: the open goes on and fails on the missing file.
    if (doCreate) CreateTable();
  }

  openWarnings_.clear();
  dbfFile_ = NewDbfFile(AccessMode());
  dbfFile_->Open();
  if (dbfFile_->ForceClose()) throw EAbort();
  openWarnings_ = dbfFile_->OpenWarnings();
  tableLevel_ = LevelOfFormat(dbfFile_->TableFormat());

  tableCodePage_ = TableCodePageFor(*dbfFile_, codePage_, codePageSource_);
  dbfFile_->SetUseCodePage(tableCodePage_);
  ChooseTranslationMode();
  FieldDefs().SetUpdated(false);
  UpdateFieldDefs();
  if (DefaultFields()) CreateFields();
  BindFields(true);
  if (DefaultFields()) {
    for (int i = 0; i < FieldCount(); ++i) {
      TField* field = Fields(i);
      const int index = field->FieldNo() - 1;
      if (field->FieldKind() != fkData || index < 0 || index >= dbfFile_->FieldDefs().Count())
        continue;
      const TDbfFieldDef& def = dbfFile_->FieldDefs()[index];
      LimitToFieldWidth(*field, def);
      // Binary text (Visual FoxPro's binary flag, varbinary and blobs)
      // keeps its bytes.
      if (def.NoTranslation()) {
        if (auto* text = dynamic_cast<TStringField*>(field)) text->SetTransliterate(false);
        if (auto* blob = dynamic_cast<TBlobField*>(field)) blob->SetTransliterate(false);
      }
    }
  }

  blobStreams_.assign(static_cast<size_t>(dbfFile_->FieldDefs().Count()), nullptr);
  CompileFilterAtOpen();
  OpenIndexes();
  // The cursor starts before the first record: placing it on record 1
  // first would read that record and take its key for nothing.
  ApplyIndexName(0);
  cursor_->First();
  lockedRecNo_ = -1;
  storageComplete_ = true;
}

void TDbf::ChooseTranslationMode() {
  const int codePage = dbfFile_->UseCodePage();
  if (codePage == static_cast<int>(platform::GetACP())) {
    translationMode_ = tmAnsi;
  } else if (codePage == static_cast<int>(platform::GetOEMCP())) {
    translationMode_ = tmOem;
  } else if (DbfGlobals().IsCodePageInstalled(codePage)) {
    translationMode_ = tmOther;
  } else if (onLanguageWarning_) {
    int action = laReadOnly;
    onLanguageWarning_(*this, action);
    switch (action) {
      case laReadOnly:
        translationMode_ = tmReadOnly;
        break;
      case laForceOEM:
        translationMode_ = tmOem;
        break;
      case laForceANSI:
        translationMode_ = tmAnsi;
        break;
      default:
        break;
    }
  } else {
    translationMode_ = tmReadOnly;
  }
  int textCodePage = codePage;
  if (translationMode_ == tmAnsi) textCodePage = static_cast<int>(platform::GetACP());
  if (translationMode_ == tmOem) textCodePage = static_cast<int>(platform::GetOEMCP());
  codec_ = platform::TTextCodec::Make(static_cast<uint32_t>(textCodePage));
  // Text in a code page the system lacks still shows, byte for character.
  if (!codec_) codec_ = platform::TTextCodec::Make(kLatin1CodePage);
  if (codec_) codec_->SetTurkicCase(TurkicCaseFor(*dbfFile_));
}

void TDbf::UsePhysicalCursor(int32_t recNo) {
  cursor_ = std::make_unique<TDbfCursor>(dbfFile_.get());
  cursor_->SetPhysicalPosition(recNo);
}

void TDbf::CreateTable() {
  const TTableFormat format = FormatOfLevel(tableLevel_);
  TDbfFieldDefs defs;
  defs.SetTableFormat(format);
  defs.SetUseFloatFields(useFloatFields_);
  auto addField = [&defs, format](const std::string& name, TFieldType type, int size, int precision,
                                  bool required) {
    TDbfFieldDef& def = defs.Add();
    def.SetFieldName(name);
    def.SetFieldType(type);
    if (size <= 0) {
      def.SetDefaultSize();
    } else {
      def.SetSize(size);
      def.SetPrecision(precision);
    }
    // Visual FoxPro tables hold nulls: a field that need not have a value
    // may have none, as in the record set.
    if (format == tfVisualFoxPro && !required && !def.IsAutoInc())
      def.SetFieldFlags(def.FieldFlags() | TDbfFieldDef::kFieldNullable);
  };
  if (FieldDefs().Count() > 0) {
    for (int i = 0; i < FieldDefs().Count(); ++i) {
      const TFieldDef& source = FieldDefs()[i];
      addField(source.Name(), source.DataType(), source.Size(), source.Precision(),
               source.Required());
    }
  } else {
    for (int i = 0; i < FieldCount(); ++i) {
      const TField* field = Fields(i);
      if (field->FieldKind() == fkData)
        addField(field->FieldName(), field->DataType(), field->Size(), 0, field->Required());
    }
  }

  std::unique_ptr<TDbfFile> file = NewDbfFile(amExclusiveCreate);
  file->SetAutoCreate(true);
  file->SetTableFormat(format);
  try {
    file->Open();
    file->CreateStructure(
        defs, format == tfVisualFoxPro ? kVfpMemoBlockSize : kMemoBlockSizeForNewTables);
  } catch (...) {
    file.reset();
    platform::TEnv::Default()->DeleteFile(FullTableName());
    throw;
  }
}

void TDbf::BuildFieldDefs() {
  std::unique_ptr<TDbfFile> temporary;
  TDbfFile* file = dbfFile_.get();
  if (file == nullptr) {
    temporary = NewDbfFile(amReadOnly);
    temporary->Open();
    file = temporary.get();
  }
  // Field names are stored in the table's code page; the program's are
  // UTF-8, converted here once per open.
  std::unique_ptr<platform::TTextCodec> ownCodec;
  platform::TTextCodec* codec = file == dbfFile_.get() ? codec_.get() : nullptr;
  if (codec == nullptr) {
    TCodePageSource source;
    file->SetUseCodePage(TableCodePageFor(*file, codePage_, source));
    ownCodec = platform::TTextCodec::Make(static_cast<uint32_t>(file->UseCodePage()));
    codec = ownCodec.get();
  }
  FieldDefs().Clear();
  TDbfFieldDefs& tableDefs = file->FieldDefs();
  std::string original;
  for (int i = 0; i < tableDefs.Count(); ++i) {
    TDbfFieldDef& tableDef = tableDefs[i];
    if (codec != nullptr)
      codec->ToUtf8(tableDef.FieldName(), original);
    else
      original = tableDef.FieldName();
    std::string name = original;
    int n = 2;
    for (; FieldDefs().Find(name) != nullptr; ++n) name = original + std::to_string(n);
    if (name != original) tableDef.SetFieldName(tableDef.FieldName() + std::to_string(n - 1));
    const TFieldType type = tableDef.FieldType();
    const int size =
        (type == ftString || type == ftBCD || type == ftVarBytes) ? tableDef.Size() : 0;
    TFieldDef& def = FieldDefs().Add(name, type, size, false);
    if (type == ftAutoInc) def.SetAttributes(FieldAttr(faReadonly));
    if (tableDef.IsLockField() || tableDef.IsSystemField())
      def.SetAttributes(FieldAttr(faHiddenCol));
  }
  FieldDefs().SetUpdated(true);
}

void TDbf::CloseStorage() {
  ForgetRejected();
  blobStreams_.clear();
  BindFields(false);
  if (DefaultFields()) DestroyFields();
  cursor_.reset();
  lockedRecNo_ = -1;
  filterRecord_ = nullptr;
  filterParser_.reset();
  codec_.reset();
  tableCodePage_ = 0;
  // Only a table this set wrote to gets its header written: looking at a
  // table leaves its bytes and its time stamp as they were.
  if (dbfFile_ && storageComplete_ && !readOnly_ && dbfFile_->Changed() &&
      !dbfFile_->HasStructuralCdx()) {
    try {
      dbfFile_->WriteHeader();
    } catch (...) {
      storageComplete_ = false;
      dbfFile_.reset();
      throw;
    }
  }
  storageComplete_ = false;
  dbfFile_.reset();
}

// ---- Record buffers -----------------------------------------------------------------

std::unique_ptr<char[]> TDbf::NewRecordBuffer() {
  const int size = kDbfRecordImageOffset + RecordImageSize() + CalcFieldsSize() + kSpareBytes;
  return std::make_unique<char[]>(static_cast<size_t>(size));
}

void TDbf::ReadBookmark(const char* buffer, char* dest) {
  std::memcpy(dest, buffer, kDbfBookmarkSize);
}

void TDbf::WriteBookmark(char* buffer, const char* bookmark) {
  std::memcpy(buffer, bookmark, kDbfBookmarkSize);
}

TRecordBufferFlag TDbf::ReadBufferFlag(const char* buffer) {
  return static_cast<TRecordBufferFlag>(buffer[kDbfBufferFlagOffset]);
}

void TDbf::WriteBufferFlag(char* buffer, TRecordBufferFlag flag) {
  buffer[kDbfBufferFlagOffset] = static_cast<char>(flag);
}

uint16_t TDbf::RecordImageSize() {
  return dbfFile_ ? static_cast<uint16_t>(dbfFile_->RecordSize()) : 0;
}

void TDbf::InitRecordBuffer(char* buffer) {
  PutBookmark(buffer, 0);
  WriteBufferFlag(buffer, rbCurrent);
  dbfFile_->BlankRecord(RecordImage(buffer));
}

void TDbf::ClearCalcArea(char* buffer) {
  if (CalcFieldsSize() > 0) std::memset(CalcArea(RecordImage(buffer)), 0, CalcFieldsSize());
}

char* TDbf::CalcArea(char* image) const { return image + dbfFile_->RecordSize(); }

// ---- Cursor -----------------------------------------------------------------------

void TDbf::CursorToStart() { cursor_->First(); }

void TDbf::CursorToEnd() { cursor_->Last(); }

void TDbf::CursorToBookmark(const char* bookmark) { cursor_->SeekBookmark(GetBookmark(bookmark)); }

void TDbf::CursorToBuffer(const char* buffer) {
  if (ReadBufferFlag(buffer) != rbInserted) cursor_->SeekBookmark(GetBookmark(buffer));
}

TFetchResult TDbf::FetchRecord(char* buffer, TFetchMode mode, bool) {
  if (!cursor_ || !dbfFile_) return frEOF;
  // The file size is asked for only when the pages already counted do not
  // answer: a walk through the table costs no system call per record and
  // still sees what other processes appended.
  TDbfFile& file = *dbfFile_;
  if (file.KnownPageCount() == 0 && file.PageCount() == 0) {
    PutBookmark(buffer, -1);
    return frEOF;
  }
  char* image = RecordImage(buffer);
  const int32_t recordSize = file.RecordSize();
  const bool filtered = Filtered();
  TFetchResult result;
  bool acceptable = false;
  do {
    // The physical cursor is stepped without a virtual call: a walk in
    // record order makes one step per record. Asked again for every record,
    // as a filter's handler may have changed the order.
    TDbfCursor* const physical = PhysicalCursor();
    // Runs of records known not to be shown are stepped over in
    // record-number order only.
    const bool skipRejected = filtered && physical != nullptr;
    result = frOK;
    if (mode == fcNext) {
      if (skipRejected && physical->PhysicalPosition() + 1 == rejectedFirst_)
        physical->SetPhysicalPosition(rejectedLast_);
      if (!(physical != nullptr ? physical->Next() : cursor_->Next())) result = frEOF;
    } else if (mode == fcPrior) {
      if (skipRejected && physical->PhysicalPosition() - 1 == rejectedLast_ &&
          rejectedLast_ >= rejectedFirst_)
        physical->SetPhysicalPosition(rejectedFirst_);
      if (!cursor_->Prev()) result = frBOF;
    }
    if (result == frOK) {
      const int32_t recNo =
          physical != nullptr ? physical->PhysicalPosition() : cursor_->PhysicalPosition();
      // A record read ahead for this run was in the file when it was read.
      if (!CopyReadAhead(recNo, image) &&
          (recNo < 1 || (recNo > file.KnownPageCount() && recNo > file.PageCount()) ||
           ReadRecordImage(recNo, image, mode == fcNext) < recordSize)) {
        result = frError;
      } else {
        // A slot whose flag is neither blank nor the deleted mark holds no
        // record (a hole another program left): no walk shows it.
        const auto flag = static_cast<uint8_t>(image[0]);
        file.NoteSlotFlag(recNo, flag);
        acceptable = flag == kLiveFlag || (flag == kDeletedFlag && showDeleted_);
        if (acceptable && filtered) acceptable = FilterAccepts(image);
        if (skipRejected) {
          if (!acceptable) {
            NoteRejected(recNo);
          } else if (recNo >= rejectedFirst_ && recNo <= rejectedLast_) {
            ForgetRejected();
          }
        }
      }
    }
    if (mode == fcCurrent && result == frOK && !acceptable) result = frError;
  } while (result == frOK && !acceptable);

  if (result != frOK) {
    PutBookmark(buffer, -1);
    return result;
  }
  auto settle = [this, buffer] {
    const TDbfCursor* physical = PhysicalCursor();
    PutBookmark(buffer, physical != nullptr ? physical->Position() : cursor_->CurrentBookmark());
    WriteBufferFlag(buffer, rbCurrent);
  };
  if (CalcFieldsSize() > 0) {
    try {
      ComputeCalcFields(buffer);
    } catch (...) {
      settle();
      throw;
    }
  }
  settle();
  if (readAheadWanted_ > 0) --readAheadWanted_;
  return frOK;
}

// The records after the cursor that were read ahead for the run, copied
// without a fetch each: what FetchRecord does for them, less what a plain
// walk in record order does not need (a filter, calculated fields).
int TDbf::FetchReadyForward(int first, int count) {
  TDbfCursor* const physical = PhysicalCursor();
  if (physical == nullptr || !dbfFile_ || Filtered() || CalcFieldsSize() > 0) return 0;
  TDbfFile& file = *dbfFile_;
  // The records read ahead were in the file when read, and within the
  // pages counted; the cursor's steps stay within both.
  const int32_t end = std::min(readAheadFirst_ + readAheadCount_, file.KnownPageCount() + 1);
  const int32_t from = physical->Position();
  if (from + 1 < readAheadFirst_ || from + 1 >= end) return 0;
  const auto size = static_cast<size_t>(readAheadRecordSize_);
  const char* source = readAhead_.data() + static_cast<size_t>(from + 1 - readAheadFirst_) * size;
  int filled = 0;
  int32_t lastFilled = from;
  for (int32_t recNo = from + 1; filled < count && recNo < end; ++recNo, source += size) {
    // A slot that holds no record, and a deleted record while those are
    // hidden, are stepped over as FetchRecord steps over them.
    const auto flag = static_cast<uint8_t>(source[0]);
    file.NoteSlotFlag(recNo, flag);
    if (flag != kLiveFlag && (flag != kDeletedFlag || !showDeleted_)) continue;
    char* buffer = Buffers(first + filled);
    std::memcpy(RecordImage(buffer), source, size);
    PutBookmark(buffer, recNo);
    buffer[kDbfBufferFlagOffset] = static_cast<char>(rbCurrent);
    lastFilled = recNo;
    ++filled;
  }
  physical->SetPhysicalPosition(lastFilled);
  readAheadWanted_ = std::max(readAheadWanted_ - filled, 0);
  return filled;
}

// The records ahead are read with the one wanted up to what the run still
// fills, at most kReadAheadBytes, so that a run that shows a handful of
// rows reads no more than those.
int32_t TDbf::ReadRecordImage(int32_t recNo, char* image, bool forward) {
  constexpr int32_t kReadAheadBytes = 64 * 1024;
  TDbfFile& file = *dbfFile_;
  const int32_t recordSize = file.RecordSize();
  if (CopyReadAhead(recNo, image)) return recordSize;
  // Fetches outside a run, and steps of one record at a time (a filter's
  // walk of a grid of one row), read just the record.
  if (!forward || readAheadWanted_ < 2) return file.ReadPage(recNo, image);
  readAheadCount_ = 0;
  const int32_t records = std::min({readAheadWanted_, kReadAheadBytes / std::max(recordSize, 1),
                                    file.KnownPageCount() - recNo + 1});
  if (records < 2) return file.ReadPage(recNo, image);
  readAhead_.resize(static_cast<size_t>(records) * recordSize);
  const int32_t got = file.ReadAt(readAhead_.data(), records * recordSize, file.PageOffset(recNo));
  readAheadFirst_ = recNo;
  readAheadCount_ = got / recordSize;
  readAheadRecordSize_ = recordSize;
  return CopyReadAhead(recNo, image) ? recordSize : file.ReadPage(recNo, image);
}

int TDbf::RecordCount() {
  if (!cursor_) return -1;
  // The physical cursor counts slots; the holes among them are no records.
  if (cursor_->InRecordOrder() && DbfFile() != nullptr) return DbfFile()->RecordCount();
  return cursor_->LogicalCount();
}

int TDbf::RecordNumber() {
  if (!cursor_) return -1;
  CursorToActive();
  return cursor_->LogicalPosition();
}

void TDbf::SetRecordNumber(int value) {
  SettlePendingEdit();
  cursor_->SetLogicalPosition(value);
  CursorMoved();
  RefillBuffers(0);
}

int TDbf::CompareMarks(const std::string& mark1, const std::string& mark2) {
  const bool none1 = mark1.size() < kDbfBookmarkSize;
  const bool none2 = mark2.size() < kDbfBookmarkSize;
  if (none1 || none2) return none1 ? (none2 ? 0 : -1) : 1;
  const int32_t value1 = GetBookmark(mark1.data());
  const int32_t value2 = GetBookmark(mark2.data());
  return value1 < value2 ? -1 : (value1 > value2 ? 1 : 0);
}

bool TDbf::IsWritable() {
  return !readOnly_ && !IsDesigning() && translationMode_ != tmReadOnly &&
         ReadOnlyReason().empty() && !(dbfFile_ && dbfFile_->HasStructuralCdx());
}

std::string TDbf::ReadOnlyReason() const {
  if (!dbfFile_ || readOnly_) return std::string();
  if (dbfFile_->HasStructuralCdx()) return kDbfCdxReadOnly;
  return dbfFile_->ReadOnlyReason();
}

void TDbf::CheckWritable() {
  if (!readOnly_ && dbfFile_ && dbfFile_->HasStructuralCdx()) throw EDbfError(kDbfCdxReadOnly);
  const std::string reason = ReadOnlyReason();
  if (!reason.empty() && !readOnly_ && !IsDesigning())
    throw EDbfError(Format(kDbfTableReadOnly, reason.c_str()));
  TDataSet::CheckWritable();
}

// ---- Field data -------------------------------------------------------------------

char* TDbf::CurrentImage() const {
  switch (State()) {
    case rsCalcFields:
      return CalcBuffer() ? RecordImage(CalcBuffer()) : nullptr;
    case rsFilter:
      return filterRecord_;
    default:
      if (RingRecordCount() == 0 || ActiveBuffer() == nullptr) return nullptr;
      return RecordImage(ActiveBuffer());
  }
}

bool TDbf::ReadFieldData(TField* field, void* dest) {
  char* image = dbfFile_ ? CurrentImage() : nullptr;
  if (image == nullptr) return false;
  const int fieldNo = field->FieldNo();
  if (fieldNo > 0) {
    if (fieldNo > dbfFile_->FieldDefs().Count()) return false;
    return dbfFile_->ReadFieldValue(fieldNo - 1, field->DataType(), dest, image);
  }
  if (fieldNo < 0) {
    if (dest != nullptr)
      std::memcpy(dest, CalcArea(image) + field->Offset(), static_cast<size_t>(field->DataSize()));
    return true;
  }
  return false;
}

void TDbf::WriteFieldData(TField* field, const void* source) {
  if (!dbfFile_) return;
  const int fieldNo = field->FieldNo();
  if (fieldNo < 0) {
    char* buffer = CalcBuffer() ? CalcBuffer() : ActiveBuffer();
    if (buffer == nullptr) return;
    char* at = CalcArea(RecordImage(buffer)) + field->Offset();
    const size_t size = static_cast<size_t>(field->DataSize());
    if (source != nullptr)
      std::memcpy(at, source, size);
    else
      std::memset(at, 0, size);
  } else if (fieldNo > 0 && fieldNo <= dbfFile_->FieldDefs().Count()) {
    char* buffer = ActiveBuffer();
    if (buffer == nullptr) return;
    dbfFile_->WriteFieldValue(fieldNo - 1, field->DataType(), RecordImage(buffer), source);
  }
  FieldDataChanged(field);
}

void TDbf::TextFromStorage(std::string_view stored, std::string& text) {
  if (onTranslate_) {
    onTranslate_(*this, stored, text, false);
  } else if (codec_) {
    codec_->ToUtf8(stored, text);
  } else {
    TDataSet::TextFromStorage(stored, text);
  }
}

void TDbf::TextToStorage(const TField& field, std::string_view text, std::string& stored,
                         size_t width) {
  if (onTranslate_) {
    onTranslate_(*this, text, stored, true);
  } else if (codec_) {
    std::string bad;
    if (!codec_->FromUtf8(text, stored, bad))
      DatabaseError(Format(kDbfCharNotStorable, bad.c_str(), field.FieldName().c_str(),
                           static_cast<int>(codec_->CodePage())),
                    this);
  } else {
    stored.assign(text);
  }
  if (stored.size() > width) stored.resize(codec_ ? codec_->CharBoundary(stored, width) : width);
}

std::string TDbf::ExpressionText(const std::string& text) {
  if (!codec_) return text;
  std::string stored;
  std::string bad;
  if (!codec_->FromUtf8(text, stored, bad))
    throw EDbfError(
        Format(kDbfExprCharNotStorable, bad.c_str(), static_cast<int>(codec_->CodePage())));
  return stored;
}

// ---- Blob streams -----------------------------------------------------------------

std::shared_ptr<TStream> TDbf::CreateBlobStream(TField* field, TBlobStreamMode mode) {
  const int index = field != nullptr ? field->FieldNo() - 1 : -1;
  if (!dbfFile_ || index < 0 || index >= static_cast<int>(blobStreams_.size()) ||
      !dbfFile_->FieldDefs()[index].IsBlob())
    return nullptr;
  const char* image = CurrentImage();
  int32_t blockNo = 0;
  const bool hasValue = image != nullptr &&
                        dbfFile_->ReadFieldValue(index, ftInteger, &blockNo, image) && blockNo > 0;
  auto* memo = dynamic_cast<TMemoFile*>(dbfFile_->MemoFile());

  std::shared_ptr<TDbfBlobStream>& slot = blobStreams_[static_cast<size_t>(index)];
  if (slot && slot->Dirty() && slot->Record() != image) {
    // The slot holds unposted changes of another record: this record's
    // value is read apart, leaving them alone.
    auto stream = std::make_shared<TDbfBlobStream>(field);
    stream->SetMode(bmRead);
    if (hasValue && memo != nullptr) stream->Load(*memo, blockNo);
    return stream;
  }
  if (slot && slot->Dirty() && slot->Record() == image && mode != bmWrite) {
    // This record's unposted value: it is read as it stands, and the read
    // leaves the position where the writer left it, since the post keeps
    // the value up to that position.
    slot->AddReference();
    slot->SetMode(mode);
    const int64_t writtenEnd = slot->Position();
    slot->SetPosition(0);
    std::shared_ptr<TDbfBlobStream> keep = slot;
    return std::shared_ptr<TStream>(keep.get(), [keep, writtenEnd](TStream*) {
      keep->SetPosition(writtenEnd);
      keep->Release();
    });
  }
  if (!slot) slot = std::make_shared<TDbfBlobStream>(field);
  slot->AddReference();
  slot->SetMode(mode);
  if (!hasValue || memo == nullptr) {
    slot->Reset(0, 0);
  } else if (mode == bmWrite) {
    // The new value may go over the old one's chain: its length decides.
    int32_t oldSize = slot->ReadSize();
    if (blockNo != slot->BlockNo()) {
      TMemoryStream old;
      memo->ReadMemo(blockNo, old);
      oldSize = static_cast<int32_t>(std::min<int64_t>(old.Size(), INT32_MAX));
    }
    slot->Reset(blockNo, oldSize);
  } else if (blockNo != slot->BlockNo()) {
    slot->Load(*memo, blockNo);
  }
  slot->SetRecord(image);
  slot->SetPosition(0);
  std::shared_ptr<TDbfBlobStream> keep = slot;
  return std::shared_ptr<TStream>(keep.get(), [keep](TStream*) { keep->Release(); });
}

TMemoFile& TDbf::MemoFile() const {
  auto* memo = dbfFile_ ? dynamic_cast<TMemoFile*>(dbfFile_->MemoFile()) : nullptr;
  if (memo == nullptr) throw EDbfError(Format(kDbfNoMemoFile, FullTableName().c_str()));
  return *memo;
}

// ---- Editing ------------------------------------------------------------------------

void TDbf::BeginEditRecord() {
  lockedRecNo_ = cursor_->PhysicalPosition();
  for (auto& stream : blobStreams_)
    if (stream && !stream->Dirty()) stream->Cancel();
  try {
    dbfFile_->LockRecordForEdit(lockedRecNo_, RecordImage(ActiveBuffer()));
  } catch (...) {
    lockedRecNo_ = -1;
    throw;
  }
}

void TDbf::StoreRecord() {
  ForgetRejected();
  char* image = RecordImage(ActiveBuffer());
  for (auto& stream : blobStreams_)
    if (stream && stream->Dirty()) stream->CommitChanges(MemoFile(), *dbfFile_, image);
  if (State() == rsEdit) {
    dbfFile_->PostRecord(lockedRecNo_, image);
    // In index order the record may have moved.
    if (ActiveIndexFile() != nullptr)
      cursor_->RecordUpdated(lockedRecNo_, dbfFile_->PrevBuffer(), image);
    lockedRecNo_ = -1;
  } else if (State() == rsInsert) {
    const int32_t recNo = dbfFile_->AppendRecord(image);
    // An index or an order in memory places the new record.
    if (ActiveIndexFile() != nullptr || !sortField_.empty()) cursor_->RecordInserted(recNo, image);
  }
}

void TDbf::CancelRecord() {
  for (auto& stream : blobStreams_)
    if (stream) stream->Cancel();
  if (lockedRecNo_ != -1) {
    dbfFile_->UnlockPage(lockedRecNo_);
    lockedRecNo_ = -1;
  }
}

void TDbf::DeleteCurrent() {
  Edit();
  char* image = RecordImage(ActiveBuffer());
  image[0] = static_cast<char>(kDeletedFlag);
  dbfFile_->NotifyRecordDeleted(lockedRecNo_, image);
  Post();
}

void TDbf::StoreNewRecord(char* buffer, bool) {
  ForgetRejected();
  dbfFile_->AppendRecord(RecordImage(buffer));
}

void TDbf::ReportException(const Exception& error) {
  if (ExceptionReporter()) {
    ExceptionReporter()(error);
  } else {
    std::fprintf(stderr, "%s\n", error.Message().c_str());
  }
}
