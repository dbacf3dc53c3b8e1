#include "tdbf/dbf_idxfile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "platform/codepage.h"
#include "platform/collator.h"
#include "platform/env.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf_lang.h"
#include "tdbf/dbf_parser.h"
#include "tdbf/dbf_str.h"

namespace {

constexpr int32_t kBlock = 512;
constexpr int32_t kMdxHeaderBytes = 2048;
constexpr int32_t kNdxHeaderBytes = 512;
constexpr int32_t kTagHeaderBytes = 1024;
// A deeper tree cannot hold 2^31 records even with 3 keys a page.
constexpr int kMaxDepth = 24;
// Pages kept in memory between operations of an exclusive handle.
constexpr size_t kMaxCachedPages = 16384;
constexpr int32_t kJulianDayOf18991230 = 2415019;

// Index header offsets.
constexpr int kRootAt = 0, kPageCountAt = 4, kFlagsAt = 8, kKeyTypeAt = 9, kMarkerAt = 10;
constexpr int kKeyLengthAt = 12, kMaxKeysAt = 14, kKeyNumericAt = 16, kEntrySizeAt = 18;
constexpr int kVersionWordAt = 20, kUniqueByteAt = 23, kExpressionAt = 24, kKeyPresentAt = 246;
constexpr int kExpressionWidth = 220;
constexpr uint8_t kFlagDescending = 0x08, kFlagCharacter = 0x10, kFlagDistinct = 0x20,
                  kFlagUnique = 0x40;
// Multi-index file header offsets.
constexpr int kTagEntrySizeAt = 26, kTagCountAt = 28, kLanguageIdAt = 31, kBlockCountAt = 32;

std::string UpperAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

bool SameName(const std::string& a, const std::string& b) { return UpperAscii(a) == UpperAscii(b); }

std::string BaseNameOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

// The 12-byte decimal key of a multi-index file: byte 0 = 0x34 + the
// number of digits before the point, byte 1 = 0x80 for a negative value,
// bytes 2..11 = up to 20 digits, two a byte, most significant first.
void EncodeDecimalKey(double value, char* out) {
  std::memset(out, 0, 12);
  auto* b = reinterpret_cast<uint8_t*>(out);
  if (value == 0 || !std::isfinite(value)) {
    b[0] = 0x34;
    return;
  }
  char text[40];
  std::snprintf(text, sizeof text, "%.14e", std::fabs(value));
  std::string digits;
  digits += text[0];
  digits.append(text + 2, 14);
  int exponent = std::atoi(std::strchr(text, 'e') + 1) + 1;
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  if (exponent < 0) {
    // Shifted right with leading zeros; digits beyond the twentieth are cut.
    digits.insert(0, static_cast<size_t>(std::min(-exponent, 20)), '0');
    exponent = 0;
  }
  if (digits.size() > 20) digits.resize(20);
  b[0] = static_cast<uint8_t>(0x34 + std::min(exponent, 0xFF - 0x34));
  b[1] = value < 0 ? 0x80 : 0;
  for (size_t i = 0; i < digits.size(); ++i) {
    const auto digit = static_cast<uint8_t>(digits[i] - '0');
    b[2 + i / 2] |= static_cast<uint8_t>(i % 2 == 0 ? digit << 4 : digit);
  }
}

int CompareDecimalKeys(const char* a, const char* b) {
  const auto* x = reinterpret_cast<const uint8_t*>(a);
  const auto* y = reinterpret_cast<const uint8_t*>(b);
  // Values below one in magnitude (and zero) compare without their sign.
  const bool negX = x[0] != 0x34 && (x[1] & 0x80) != 0;
  const bool negY = y[0] != 0x34 && (y[1] & 0x80) != 0;
  if (negX != negY) return negX ? -1 : 1;
  int result = 0;
  if (x[0] != y[0]) {
    result = x[0] < y[0] ? -1 : 1;
  } else {
    for (int i = 2; i < 10 && result == 0; ++i)
      if (x[i] != y[i]) result = x[i] < y[i] ? -1 : 1;
  }
  return negX ? -result : result;
}

double GetDouble(const char* p) {
  double value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

}  // namespace

// ---- State ----------------------------------------------------------------------

struct TIndexFile::TTag {
  std::string name;
  int32_t headerBlock = 0;  // multi-index: block of the tag header
  std::vector<char> header;
  bool headerDirty = false;
  int32_t root = 0;
  uint8_t flags = 0;
  char keyType = 'C';
  int32_t keyLength = 0;
  int32_t maxKeys = 0;
  int32_t entrySize = 0;
  std::string expression;
  std::unique_ptr<TDbfParser> parser;
  // The walk: the path from the root, what it stands on, and the entry
  // (key and record) to find it again after the tree changed.
  std::vector<TLevel> path;
  TWalkState state = wsBefore;
  std::string currentKey;
  int32_t currentRecNo = 0;
  uint64_t pathVersion = 0;
  uint64_t treeVersion = 1;
  std::string rangeLow;
  std::string rangeHigh;
  std::unique_ptr<platform::TCollator> collator;

  TIndexUniqueMode Unique() const {
    if (flags & kFlagDistinct) return iuDistinct;
    if (flags & kFlagUnique) return iuUnique;
    return iuNormal;
  }
};

// One operation on the file. In a shared mode it holds the lock on page 0
// (a read lock for a read-only handle), starts from the headers and pages
// as other processes left them, and writes what it changed before letting
// go. Operations nest; the outermost one does the work.
class TIndexFile::TOperation {
 public:
  explicit TOperation(TIndexFile& file) : file_(file) {
    if (file_.lockDepth_++ > 0) return;
    if (!file_.NeedLocks()) {
      // An exclusive handle keeps pages between operations, up to a bound.
      if (file_.pages_.size() > kMaxCachedPages) {
        file_.Flush();
        file_.DropCache();
      }
      return;
    }
    file_.LockPage(0, true);
    locked_ = true;
    try {
      file_.DropCache();
      // Every tag: an operation may select others, and another process
      // may have grown any tree a level.
      if (file_.IsMultiIndex()) file_.ReadFileHeader();
      for (auto& tag : file_.tags_) file_.ReadTagHeader(*tag);
    } catch (...) {
      Release();
      throw;
    }
  }
  ~TOperation() { Release(); }
  // Ends a changing operation: the changes go to the file while the lock
  // is held.
  void Commit() {
    if (locked_ && file_.lockDepth_ == 1) file_.Flush();
  }

 private:
  void Release() {
    if (released_) return;
    released_ = true;
    --file_.lockDepth_;
    if (!locked_) return;
    // Pages of a failed change must not outlive the lock.
    file_.DropCache();
    file_.UnlockPage(0);
  }

  TIndexFile& file_;
  bool locked_ = false;
  bool released_ = false;
};

// ---- Opening and closing --------------------------------------------------------

TIndexFile::TIndexFile(std::string fileName, TDbfFile* dbfFile)
    : TPagedFile(std::move(fileName)), dbfFile_(dbfFile) {
  keyBuffer_.assign(kMaxIndexKeyLength + 1, 0);
}

TIndexFile::~TIndexFile() {
  try {
    Close();
  } catch (...) {
    // A destructor reports nothing; Close is where failures are seen.
  }
}

TIndexFile::TTag& TIndexFile::Tag() { return *tags_[static_cast<size_t>(selected_)]; }
const TIndexFile::TTag& TIndexFile::Tag() const { return *tags_[static_cast<size_t>(selected_)]; }

void TIndexFile::RaiseDamaged(const std::string& what) const {
  throw EDbfError(Format(kIndexDamaged, FileName().c_str(), what.c_str()));
}

void TIndexFile::Open() {
  if (opened_) return;
  forceClose_ = false;
  noEdit_ = false;
  created_ = false;
  tags_.clear();
  selected_ = -1;
  pages_.clear();
  lockDepth_ = 0;
  layout_ = UpperAscii(ExtractFileExt(FileName())) == ".MDX" ? 3 : 2;
  const bool existed = Env()->FileExists(FileName());
  SetPageOffsetByHeader(false);
  SetHeaderSize(0);
  SetPageSize(kBlock);
  OpenFile();
  SetPageSize(kBlock);
  try {
    pageBytes_ = IsMultiIndex() ? kTagHeaderBytes : kNdxHeaderBytes;
    pageHeader_ = IsMultiIndex() ? 8 : 4;
    prefix_ = IsMultiIndex() ? 4 : 8;
    recordBuffer_.assign(static_cast<size_t>(std::max(dbfFile_->RecordSize(), 1)), 0);
    if (!existed || (PageCount() == 0 && IsCreateMode())) {
      created_ = true;
      InitNewFile();
    } else {
      ChooseCollation();
      if (forceClose_) {
        CloseFile();
        return;
      }
      TOperation op(*this);
      if (IsMultiIndex()) {
        ReadFileHeader();
        const auto* h = reinterpret_cast<const uint8_t*>(fileHeader_.data());
        layout_ = h[0] == 3 ? 6 : 3;
        tagEntrySize_ = h[kTagEntrySizeAt];
        const int count = GetLE16(h + kTagCountAt);
        if (count > kMaxIndexTags) RaiseDamaged(Format("%d tags in use", count));
        if (count > 0 && (tagEntrySize_ < (layout_ == 6 ? 43 : 21) ||
                          kBlock + tagEntrySize_ * (count + 1) > kMdxHeaderBytes))
          RaiseDamaged(Format("its tag table (%d entries of %d bytes) does not fit its header",
                              count, tagEntrySize_));
        for (int i = 0; i < count; ++i) {
          auto tag = std::make_unique<TTag>();
          const char* entry = fileHeader_.data() + kBlock + tagEntrySize_ * (i + 1);
          const int nameWidth = layout_ == 6 ? 33 : 11;
          tag->headerBlock = static_cast<int32_t>(GetLE32(entry));
          tag->name = std::string(entry + 4, strnlen(entry + 4, nameWidth - 1));
          tags_.push_back(std::move(tag));
          ReadTagHeader(*tags_.back());
        }
      } else {
        auto tag = std::make_unique<TTag>();
        tag->name = FileName();
        tags_.push_back(std::move(tag));
        ReadTagHeader(*tags_.back());
      }
    }
    for (auto& tag : tags_) {
      if (locale_ != 0 && tag->keyType == 'C') {
        tag->collator = std::make_unique<platform::TCollator>();
        if (!tag->collator->Open(locale_, static_cast<uint32_t>(tableCodePage_)))
          tag->collator.reset();
      }
    }
    updateMode_ = IsMultiIndex() && tags_.size() >= 2 ? umAll : umCurrent;
    if (!IsMultiIndex() && !tags_.empty()) {
      SelectTag(0);
    }
  } catch (...) {
    tags_.clear();
    pages_.clear();
    selected_ = -1;
    CloseFile();
    throw;
  }
  opened_ = true;
}

void TIndexFile::ChooseCollation() {
  locale_ = 0;
  tableCodePage_ = dbfFile_->UseCodePage();
  if (!IsMultiIndex()) return;
  char h[kLanguageIdAt + 1];
  if (ReadAt(h, sizeof h, 0) != static_cast<int32_t>(sizeof h)) return;
  const auto fileId = static_cast<uint8_t>(h[kLanguageIdAt]);
  uint8_t tableId = dbfFile_->LanguageId();
  if (dbfFile_->TableFormat() == tfDBase7)
    tableId = LanguageIdFromName(dbfFile_->LanguageDriverName());
  int error = 0;
  uint32_t locale = 0;
  if (tableId != 0) {
    if (fileId != 0 && fileId != tableId)
      error = 2;
    else
      locale = LocaleOfLanguageId(tableId);
  } else if (fileId != 0) {
    locale = LocaleOfLanguageId(fileId);
  }
  if (error == 0 && (tableId | fileId) != 0 && (locale == 0 || locale == 0x10000)) error = 1;
  if (error == 0 && locale != 0 && !DbfLocales().Contains(locale)) error = 3;
  if (error == 0) {
    locale_ = locale;
    return;
  }
  TLocaleSolution solution = 0;
  TLocaleError code = error;
  if (onLocaleError_) onLocaleError_(code, solution);
  if (solution == 0) {
    forceClose_ = true;
  } else if (solution == 1) {
    noEdit_ = true;
  } else {
    locale_ = static_cast<uint32_t>(solution);
  }
}

void TIndexFile::InitNewFile() {
  locale_ = 0;
  tableCodePage_ = dbfFile_->UseCodePage();
  if (IsMultiIndex()) {
    layout_ = dbfFile_->TableFormat() == tfDBase7 ? 6 : 3;
    fileHeader_.assign(kMdxHeaderBytes, 0);
    auto* h = reinterpret_cast<uint8_t*>(fileHeader_.data());
    const platform::TSystemTime now = Env()->LocalTime();
    h[0] = layout_ == 6 ? 3 : 2;
    h[1] = h[44] = static_cast<uint8_t>(now.year - 1900);
    h[2] = h[45] = static_cast<uint8_t>(now.month);
    h[3] = h[46] = static_cast<uint8_t>(now.day);
    const std::string base = BaseNameOf(FileName()).substr(0, 15);
    std::memcpy(h + 4, base.data(), base.size());
    PutLE16(h + 20, 2);
    PutLE16(h + 22, kTagHeaderBytes);
    h[24] = 1;
    h[25] = 48;
    tagEntrySize_ = layout_ == 6 ? 48 : 32;
    h[kTagEntrySizeAt] = static_cast<uint8_t>(tagEntrySize_);
    uint8_t languageId = dbfFile_->LanguageId();
    if (dbfFile_->TableFormat() == tfDBase7)
      languageId = LanguageIdFromName(dbfFile_->LanguageDriverName());
    h[kLanguageIdAt] = languageId;
    if (languageId != 0) {
      const uint32_t locale = LocaleOfLanguageId(languageId);
      if (locale != 0x10000 && DbfLocales().Contains(locale)) locale_ = locale;
    }
    PutLE32(h + kBlockCountAt, kMdxHeaderBytes / kBlock);
    h[529] = 1;
    fileHeaderDirty_ = true;
    WriteFileHeader();
    SetPageCount(kMdxHeaderBytes / kBlock);
  } else {
    SetPageCount(0);
  }
}

void TIndexFile::ReadFileHeader() {
  fileHeader_.assign(kMdxHeaderBytes, 0);
  if (ReadAt(fileHeader_.data(), kMdxHeaderBytes, 0) < kMdxHeaderBytes)
    RaiseDamaged("its header is shorter than 2048 bytes");
  fileHeaderDirty_ = false;
}

void TIndexFile::WriteFileHeader() {
  if (!IsMultiIndex()) return;
  auto* h = reinterpret_cast<uint8_t*>(fileHeader_.data());
  const platform::TSystemTime now = Env()->LocalTime();
  h[44] = static_cast<uint8_t>(now.year - 1900);
  h[45] = static_cast<uint8_t>(now.month);
  h[46] = static_cast<uint8_t>(now.day);
  WriteAt(fileHeader_.data(), kMdxHeaderBytes, 0);
  fileHeaderDirty_ = false;
}

void TIndexFile::ReadTagHeader(TTag& tag) {
  const int32_t size = IsMultiIndex() ? kTagHeaderBytes : kNdxHeaderBytes;
  const int64_t offset = IsMultiIndex() ? int64_t{tag.headerBlock} * kBlock : 0;
  if (IsMultiIndex() && (tag.headerBlock < kMdxHeaderBytes / kBlock))
    RaiseDamaged(Format("the header of tag %s lies at block %d, inside the file header",
                        tag.name.c_str(), tag.headerBlock));
  tag.header.assign(static_cast<size_t>(size), 0);
  // Other programs may end the file inside a tag header's unused half.
  const int32_t need = IsMultiIndex() ? kBlock : kNdxHeaderBytes;
  if (ReadAt(tag.header.data(), size, offset) < need)
    RaiseDamaged(IsMultiIndex() ? Format("the header of tag %s lies beyond the end of the file",
                                         tag.name.c_str())
                                : std::string("its header is shorter than 512 bytes"));
  tag.headerDirty = false;
  ParseTagHeader(tag);
}

void TIndexFile::ParseTagHeader(TTag& tag) {
  const char* h = tag.header.data();
  tag.root = static_cast<int32_t>(GetLE32(h + kRootAt));
  tag.flags = static_cast<uint8_t>(h[kFlagsAt]);
  char type = h[kKeyTypeAt];
  if (type == 'F') type = 'N';
  // Single-index files of other programs give the key type at 16 only.
  if (type != 'C' && type != 'N' && type != 'D') type = GetLE16(h + kKeyNumericAt) != 0 ? 'N' : 'C';
  tag.keyType = type;
  tag.keyLength = GetLE16(h + kKeyLengthAt);
  tag.entrySize = GetLE16(h + kEntrySizeAt);
  tag.maxKeys = GetLE16(h + kMaxKeysAt);
  tag.expression = std::string(h + kExpressionAt, strnlen(h + kExpressionAt, kExpressionWidth - 1));
  while (!tag.expression.empty() && tag.expression.back() == ' ') tag.expression.pop_back();
  const std::string who = IsMultiIndex() ? "tag " + tag.name : std::string("the index");
  if (tag.keyLength < 1 || tag.keyLength > kMaxIndexKeyLength)
    RaiseDamaged(Format("%s has a key length of %d (1 to 100 fit)", who.c_str(), tag.keyLength));
  if ((tag.keyType == 'N' || tag.keyType == 'D') && tag.keyLength != (IsMultiIndex() ? 12 : 8))
    RaiseDamaged(Format("%s has numeric keys of %d bytes", who.c_str(), tag.keyLength));
  if (tag.entrySize < prefix_ + tag.keyLength || tag.entrySize > pageBytes_ - pageHeader_)
    RaiseDamaged(Format("%s has entries of %d bytes for keys of %d", who.c_str(), tag.entrySize,
                        tag.keyLength));
  // Slot counts that overrun the page are taken from the sizes instead.
  const int32_t fit = (pageBytes_ - pageHeader_) / tag.entrySize;
  if (tag.maxKeys < 1 || tag.maxKeys > fit) tag.maxKeys = fit;
  if (tag.maxKeys < 3)
    RaiseDamaged(Format("%s has room for only %d keys a page", who.c_str(), tag.maxKeys));
  if (tag.root <= 0) RaiseDamaged(Format("%s has no root page", who.c_str()));
}

void TIndexFile::WriteTagHeader(TTag& tag) {
  PutLE32(tag.header.data() + kRootAt, static_cast<uint32_t>(tag.root));
  tag.headerDirty = true;
}

void TIndexFile::Close() {
  if (!IsOpen()) {
    opened_ = false;
    return;
  }
  std::exception_ptr failure;
  try {
    if (opened_ && !forceClose_ && Mode() != amReadOnly) Flush();
  } catch (...) {
    failure = std::current_exception();
  }
  tags_.clear();
  pages_.clear();
  selected_ = -1;
  opened_ = false;
  CloseFile();
  if (failure) std::rethrow_exception(failure);
}

void TIndexFile::Flush() {
  if (!IsOpen() || Mode() == amReadOnly) return;
  std::vector<int32_t> dirty;
  for (auto& [pageNo, page] : pages_)
    if (page.dirty) dirty.push_back(pageNo);
  std::sort(dirty.begin(), dirty.end());
  for (int32_t pageNo : dirty) {
    TPage& page = pages_[pageNo];
    WriteAt(page.bytes.data(), pageBytes_, int64_t{pageNo} * kBlock);
    page.dirty = false;
  }
  for (auto& tag : tags_) {
    if (!tag->headerDirty) continue;
    const int64_t offset = IsMultiIndex() ? int64_t{tag->headerBlock} * kBlock : 0;
    WriteAt(tag->header.data(), static_cast<int32_t>(tag->header.size()), offset);
    tag->headerDirty = false;
  }
  if (fileHeaderDirty_) WriteFileHeader();
}

// ---- Tags -------------------------------------------------------------------------

std::vector<std::string> TIndexFile::IndexNames() const {
  std::vector<std::string> names;
  for (const auto& tag : tags_) names.push_back(tag->name);
  return names;
}

int TIndexFile::PositionOf(const std::string& name) const {
  if (!IsMultiIndex()) return tags_.empty() ? -1 : 0;
  for (size_t i = 0; i < tags_.size(); ++i)
    if (SameName(tags_[i]->name, name)) return static_cast<int>(i);
  return -1;
}

void TIndexFile::SelectIndex(const std::string& name) {
  const int slot = PositionOf(name);
  if (slot >= 0) SelectTag(slot);
}

void TIndexFile::SelectTag(int slot) {
  if (slot < 0 || slot >= TagCount()) return;
  selected_ = slot;
  TTag& tag = Tag();
  if (!tag.parser) CompileExpression(tag);
}

void TIndexFile::CompileExpression(TTag& tag) {
  auto parser = std::make_unique<TDbfParser>(dbfFile_);
  parser->ParseText(tag.expression);
  tag.parser = std::move(parser);
}

std::string TIndexFile::IndexName() const { return selected_ < 0 ? std::string() : Tag().name; }
std::string TIndexFile::Expression() const {
  return selected_ < 0 ? std::string() : Tag().expression;
}
char TIndexFile::KeyType() const { return selected_ < 0 ? 0 : Tag().keyType; }
int TIndexFile::KeyLength() const { return selected_ < 0 ? 0 : Tag().keyLength; }
bool TIndexFile::Descending() const {
  return selected_ >= 0 && (Tag().flags & kFlagDescending) != 0;
}
TIndexUniqueMode TIndexFile::UniqueMode() const {
  return selected_ < 0 ? iuNormal : Tag().Unique();
}

void TIndexFile::CreateIndex(const std::string& expression, const std::string& name,
                             TIndexOptions options) {
  dbfFile_->CheckExclusiveAccess();
  CheckExclusiveAccess();
  auto parser = std::make_unique<TDbfParser>(dbfFile_);
  parser->ParseText(expression);
  char keyType;
  int32_t keyLength;
  switch (parser->ResultType()) {
    case rtString:
      keyType = 'C';
      keyLength = parser->ResultLength();
      break;
    case rtInteger:
    case rtLargeInt:
    case rtFloat:
    case rtDateTime:
      keyType = 'N';
      keyLength = IsMultiIndex() ? 12 : 8;
      break;
    default:
      throw EDbfError(kInvalidIndexType);
  }
  if (keyLength < 1 || keyLength > kMaxIndexKeyLength)
    throw EDbfError(Format(kIndexResultTooLong, expression.c_str(), keyLength));
  if (IsMultiIndex() && TagCount() >= kMaxIndexTags) throw EDbfError(kTooManyIndexes);

  auto tag = std::make_unique<TTag>();
  const int32_t headerBytes = IsMultiIndex() ? kTagHeaderBytes : kNdxHeaderBytes;
  tag->header.assign(static_cast<size_t>(headerBytes), 0);
  char* h = tag->header.data();
  uint8_t flags = (options & IndexOpt(ixDescending)) ? kFlagDescending : 0;
  if (keyType == 'C') flags |= kFlagCharacter;
  if (options & IndexOpt(ixPrimary)) {
    flags |= kFlagDistinct | kFlagUnique;
    h[kUniqueByteAt] = 0x21;
  } else if (options & IndexOpt(ixUnique)) {
    flags |= kFlagUnique;
    h[kUniqueByteAt] = 1;
  }
  h[kFlagsAt] = static_cast<char>(flags);
  h[kKeyTypeAt] = keyType;
  const int32_t entrySize = (prefix_ + keyLength + 3) / 4 * 4;
  PutLE16(h + kKeyLengthAt, static_cast<uint16_t>(keyLength));
  PutLE16(h + kEntrySizeAt, static_cast<uint16_t>(entrySize));
  PutLE16(h + kMaxKeysAt, static_cast<uint16_t>((pageBytes_ - pageHeader_) / entrySize));
  const std::string text = expression.substr(0, kExpressionWidth - 1);
  std::memcpy(h + kExpressionAt, text.data(), text.size());
  if (!IsMultiIndex()) PutLE16(h + kMarkerAt, 0x5800);
  PutLE16(h + kKeyNumericAt, keyType == 'N' && !IsMultiIndex() ? 1 : 0);
  PutLE16(h + kVersionWordAt, 2);
  h[kKeyPresentAt] = 1;
  tag->name = IsMultiIndex() ? UpperAscii(name).substr(0, layout_ == 6 ? 32 : 10) : FileName();

  TOperation op(*this);
  selected_ = -1;
  if (IsMultiIndex()) {
    // The tag header takes two blocks, as a page does.
    int32_t block = 0;
    NewPage(block);
    pages_.erase(block);
    tag->headerBlock = block;
    const int count = TagCount();
    char* entry = fileHeader_.data() + kBlock + tagEntrySize_ * (count + 1);
    std::memset(entry, 0, static_cast<size_t>(tagEntrySize_));
    PutLE32(entry, static_cast<uint32_t>(block));
    std::memcpy(entry + 4, tag->name.data(), tag->name.size());
    const int off = layout_ == 6 ? 37 : 15;
    entry[off] = (options & IndexOpt(ixExpression)) ? 0 : 0x10;
    entry[off + 4] = 2;
    entry[off + 5] = keyType;
    PutLE16(fileHeader_.data() + kTagCountAt, static_cast<uint16_t>(count + 1));
    fileHeaderDirty_ = true;
  }
  tag->keyType = keyType;
  tag->keyLength = keyLength;
  tag->entrySize = entrySize;
  tag->maxKeys = (pageBytes_ - pageHeader_) / entrySize;
  tag->flags = flags;
  tag->expression = text;
  tag->parser = std::move(parser);
  if (locale_ != 0 && keyType == 'C') {
    tag->collator = std::make_unique<platform::TCollator>();
    if (!tag->collator->Open(locale_, static_cast<uint32_t>(tableCodePage_))) tag->collator.reset();
  }
  if (!IsMultiIndex()) {
    tags_.clear();
    PutLE32(tag->header.data() + kPageCountAt, 1);
  }
  tags_.push_back(std::move(tag));
  selected_ = TagCount() - 1;
  ResetTree(Tag());
  if (IsMultiIndex() && TagCount() >= 2) updateMode_ = umAll;
  noEdit_ = false;
  op.Commit();
}

void TIndexFile::DeleteIndex(const std::string& name) {
  dbfFile_->CheckExclusiveAccess();
  CheckExclusiveAccess();
  const int slot = PositionOf(name);
  if (slot < 0) return;
  if (!IsMultiIndex()) {
    Close();
    DeleteFile();
    return;
  }
  TOperation op(*this);
  const int count = TagCount();
  char* table = fileHeader_.data() + kBlock;
  std::memmove(table + tagEntrySize_ * (slot + 1), table + tagEntrySize_ * (slot + 2),
               static_cast<size_t>(tagEntrySize_ * (count - slot - 1)));
  std::memset(table + tagEntrySize_ * count, 0, static_cast<size_t>(tagEntrySize_));
  PutLE16(fileHeader_.data() + kTagCountAt, static_cast<uint16_t>(count - 1));
  fileHeaderDirty_ = true;
  const std::string selectedName = IndexName();
  tags_.erase(tags_.begin() + slot);
  selected_ = -1;
  if (!SameName(selectedName, name)) SelectIndex(selectedName);
  if (TagCount() < 2) updateMode_ = umCurrent;
  op.Commit();
}

// ---- Pages ------------------------------------------------------------------------

void TIndexFile::DropCache() {
  pages_.clear();
  for (auto& tag : tags_) ++tag->treeVersion;
}

char* TIndexFile::Page(int32_t pageNo) {
  auto found = pages_.find(pageNo);
  if (found != pages_.end()) return found->second.bytes.data();
  const int64_t offset = int64_t{pageNo} * kBlock;
  const int32_t first = IsMultiIndex() ? kMdxHeaderBytes / kBlock : 1;
  PageCount();
  if (pageNo < first || offset + pageBytes_ > int64_t{CachedSize()})
    RaiseDamaged(Format("page %d lies outside the file", pageNo));
  TPage page;
  page.bytes.assign(static_cast<size_t>(pageBytes_), 0);
  if (ReadAt(page.bytes.data(), pageBytes_, offset) < pageBytes_)
    RaiseDamaged(Format("page %d cannot be read whole", pageNo));
  return pages_.emplace(pageNo, std::move(page)).first->second.bytes.data();
}

char* TIndexFile::NewPage(int32_t& pageNo) {
  if (IsMultiIndex()) {
    char* h = fileHeader_.data();
    pageNo = static_cast<int32_t>(GetLE32(h + kBlockCountAt));
    PutLE32(h + kBlockCountAt, static_cast<uint32_t>(pageNo + pageBytes_ / kBlock));
    fileHeaderDirty_ = true;
    if (selected_ >= 0) {
      char* t = Tag().header.data();
      PutLE32(t + kPageCountAt, GetLE32(t + kPageCountAt) + pageBytes_ / kBlock);
      Tag().headerDirty = true;
    }
  } else {
    char* t = Tag().header.data();
    pageNo = static_cast<int32_t>(GetLE32(t + kPageCountAt));
    PutLE32(t + kPageCountAt, static_cast<uint32_t>(pageNo + 1));
    Tag().headerDirty = true;
  }
  if (pageNo <= 0 || pageNo > INT32_MAX / kBlock - 4) RaiseDamaged("its page counter overflows");
  TPage page;
  page.bytes.assign(static_cast<size_t>(pageBytes_), 0);
  page.dirty = true;
  auto& slot = pages_[pageNo];
  slot = std::move(page);
  return slot.bytes.data();
}

void TIndexFile::MarkDirty(int32_t pageNo) { pages_[pageNo].dirty = true; }

int32_t TIndexFile::Count(const char* page, int32_t pageNo) const {
  const auto count = static_cast<int32_t>(GetLE32(page));
  const int32_t slots = Tag().maxKeys;
  const bool inner = IsInner(page);
  if (count < 0 || count > slots || (inner && count + 1 > slots))
    RaiseDamaged(
        Format("page %d counts %d entries, more than its %d slots hold", pageNo, count, slots));
  return count;
}

bool TIndexFile::IsInner(const char* page) const {
  if (!IsMultiIndex()) return GetLE32(page + pageHeader_) != 0;
  const auto count = static_cast<int32_t>(GetLE32(page));
  if (count < 0 || count >= Tag().maxKeys) return false;
  return GetLE32(page + pageHeader_ + count * Tag().entrySize) != 0;
}

char* TIndexFile::Slot(char* page, int32_t i) const {
  return page + pageHeader_ + i * Tag().entrySize;
}
const char* TIndexFile::Slot(const char* page, int32_t i) const {
  return page + pageHeader_ + i * Tag().entrySize;
}
const char* TIndexFile::KeyAt(const char* page, int32_t i) const { return Slot(page, i) + prefix_; }
int32_t TIndexFile::ChildAt(const char* page, int32_t i) const {
  return static_cast<int32_t>(GetLE32(Slot(page, i)));
}
int32_t TIndexFile::RecordAt(const char* page, int32_t i) const {
  return static_cast<int32_t>(GetLE32(Slot(page, i) + (IsMultiIndex() ? 0 : 4)));
}

void TIndexFile::FillSlot(char* slot, const char* key, int32_t recNo, int32_t child,
                          bool inner) const {
  std::memset(slot, 0, static_cast<size_t>(Tag().entrySize));
  if (IsMultiIndex()) {
    PutLE32(slot, static_cast<uint32_t>(inner ? child : recNo));
  } else {
    PutLE32(slot, static_cast<uint32_t>(inner ? child : 0));
    PutLE32(slot + 4, static_cast<uint32_t>(inner ? 0 : recNo));
  }
  std::memcpy(slot + prefix_, key, static_cast<size_t>(Tag().keyLength));
}

// The child of slot i, checked against the path so that a damaged file
// with a cycle of pages ends in an error instead of a loop.
int32_t TIndexFile::ChildOf(const char* page, int32_t i, const std::vector<TLevel>& path) {
  const int32_t child = ChildAt(page, i);
  if (path.size() >= static_cast<size_t>(kMaxDepth))
    RaiseDamaged(Format("its tree is deeper than %d levels", kMaxDepth));
  for (const TLevel& level : path)
    if (level.page == child) RaiseDamaged(Format("page %d refers back to itself", child));
  return child;
}

// ---- Keys -------------------------------------------------------------------------

int TIndexFile::CompareRaw(const char* a, const char* b) const {
  const TTag& tag = Tag();
  if (tag.keyType != 'C') {
    if (IsMultiIndex()) return CompareDecimalKeys(a, b);
    const double x = GetDouble(a);
    const double y = GetDouble(b);
    return x > y ? 1 : (x < y ? -1 : 0);
  }
  if (tag.collator) {
    return tag.collator->Compare(std::string_view(a, static_cast<size_t>(tag.keyLength)),
                                 std::string_view(b, static_cast<size_t>(tag.keyLength)));
  }
  for (int32_t i = 0; i < tag.keyLength; ++i) {
    const auto x = static_cast<uint8_t>(a[i]);
    const auto y = static_cast<uint8_t>(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
  return 0;
}

int TIndexFile::CompareKeys(const char* a, const char* b) const {
  const int result = CompareRaw(a, b);
  return (Tag().flags & kFlagDescending) ? -result : result;
}

const char* TIndexFile::ExtractKey(const char* record) {
  TTag& tag = Tag();
  if (!tag.parser) CompileExpression(tag);
  const char* value = tag.parser->EvaluateRecord(record);
  char* key = keyBuffer_.data();
  switch (tag.parser->ResultType()) {
    case rtString: {
      const int32_t length = tag.parser->IsComputed()
                                 ? static_cast<int32_t>(strnlen(value, tag.parser->ResultLength()))
                                 : tag.parser->ResultLength();
      const int32_t copied = std::min(length, tag.keyLength);
      std::memcpy(key, value, static_cast<size_t>(copied));
      std::memset(key + copied, ' ', static_cast<size_t>(tag.keyLength - copied));
      break;
    }
    default: {
      double number = 0;
      switch (tag.parser->ResultType()) {
        case rtInteger: {
          int32_t v;
          std::memcpy(&v, value, sizeof v);
          number = v;
          break;
        }
        case rtLargeInt: {
          int64_t v;
          std::memcpy(&v, value, sizeof v);
          number = static_cast<double>(v);
          break;
        }
        case rtDateTime: {
          // Dates are keyed by their Julian day number, as dBase does.
          std::memcpy(&number, value, sizeof number);
          if (number != 0) number = std::floor(number) + kJulianDayOf18991230;
          break;
        }
        default:
          std::memcpy(&number, value, sizeof number);
      }
      if (IsMultiIndex()) {
        EncodeDecimalKey(number, key);
      } else {
        std::memcpy(key, &number, sizeof number);
      }
    }
  }
  key[tag.keyLength] = 0;
  return key;
}

std::string TIndexFile::KeyFromText(const std::string& text) const {
  if (selected_ < 0) return text;
  if (Tag().keyType != 'C') {
    double value = 0;
    ParseDecimalFloat(text.data(), static_cast<int>(text.size()), value);
    return KeyFromNumber(value);
  }
  std::string key = text.substr(0, static_cast<size_t>(Tag().keyLength));
  key.resize(static_cast<size_t>(Tag().keyLength), ' ');
  return key;
}

std::string TIndexFile::KeyFromNumber(double value) const {
  std::string key(IsMultiIndex() ? 12 : 8, '\0');
  if (IsMultiIndex())
    EncodeDecimalKey(value, key.data());
  else
    std::memcpy(key.data(), &value, sizeof value);
  return key;
}

// ---- Searching and walking --------------------------------------------------------

// From the root to the leaf: in every page the first slot whose key is
// greater or equal (afterEqual: greater) than key; in an inner page the
// last-child slot when there is none. The leaf slot may be one past the
// last entry.
void TIndexFile::Descend(const char* key, bool afterEqual, std::vector<TLevel>& path) {
  path.clear();
  int32_t pageNo = Tag().root;
  for (;;) {
    const char* page = Page(pageNo);
    const int32_t count = Count(page, pageNo);
    int32_t lo = 0;
    int32_t hi = count;
    while (lo < hi) {
      const int32_t mid = (lo + hi) / 2;
      const int c = CompareKeys(key, KeyAt(page, mid));
      if (c < 0 || (c == 0 && !afterEqual))
        hi = mid;
      else
        lo = mid + 1;
    }
    path.push_back({pageNo, lo});
    if (!IsInner(page)) return;
    pageNo = ChildOf(page, lo, path);
  }
}

// Moves the levels below the last one in path to their first (last) slot.
void TIndexFile::DescendEdge(std::vector<TLevel>& path, bool last) {
  for (;;) {
    TLevel& level = path.back();
    const char* page = Page(level.page);
    const int32_t count = Count(page, level.page);
    if (!IsInner(page)) {
      if (last) level.entry = count - 1;
      return;
    }
    const int32_t child = ChildOf(page, level.entry, path);
    const char* childPage = Page(child);
    const int32_t childCount = Count(childPage, child);
    path.push_back({child, last ? (IsInner(childPage) ? childCount : childCount - 1) : 0});
  }
}

// One entry on in key order; false at the end (the path is then left on
// the last leaf, one past its last entry).
bool TIndexFile::StepNext(std::vector<TLevel>& path) {
  if (path.empty()) return false;
  {
    TLevel& leaf = path.back();
    const int32_t count = Count(Page(leaf.page), leaf.page);
    if (leaf.entry + 1 < count) {
      ++leaf.entry;
      return true;
    }
  }
  // Climb to the first level with a later child, then down to its first
  // entry; empty leaves are passed over.
  std::vector<TLevel> trial = path;
  for (;;) {
    int level = static_cast<int>(trial.size()) - 2;
    for (; level >= 0; --level) {
      const char* page = Page(trial[level].page);
      if (trial[level].entry < Count(page, trial[level].page)) break;
    }
    if (level < 0) {
      path.back().entry = Count(Page(path.back().page), path.back().page);
      return false;
    }
    trial.resize(static_cast<size_t>(level) + 1);
    ++trial.back().entry;
    DescendEdge(trial, false);
    if (Count(Page(trial.back().page), trial.back().page) > 0) {
      path = trial;
      return true;
    }
  }
}

bool TIndexFile::StepPrev(std::vector<TLevel>& path) {
  if (path.empty()) return false;
  if (path.back().entry > 0) {
    --path.back().entry;
    return true;
  }
  std::vector<TLevel> trial = path;
  for (;;) {
    int level = static_cast<int>(trial.size()) - 2;
    for (; level >= 0 && trial[level].entry == 0; --level) {
    }
    if (level < 0) {
      path.back().entry = -1;
      return false;
    }
    trial.resize(static_cast<size_t>(level) + 1);
    --trial.back().entry;
    DescendEdge(trial, true);
    if (trial.back().entry >= 0) {
      path = trial;
      return true;
    }
  }
}

// Whether the path's leaf slot holds an entry.
bool TIndexFile::OnEntry(const std::vector<TLevel>& path) {
  if (path.empty()) return false;
  const TLevel& leaf = path.back();
  return leaf.entry >= 0 && leaf.entry < Count(Page(leaf.page), leaf.page);
}

// Places path on the entry of key and recNo; false when there is none.
bool TIndexFile::FindEntry(const char* key, int32_t recNo, std::vector<TLevel>& path) {
  Descend(key, false, path);
  if (!OnEntry(path) && !StepNext(path)) return false;
  for (;;) {
    const char* page = Page(path.back().page);
    const int32_t entry = path.back().entry;
    if (CompareKeys(key, KeyAt(page, entry)) != 0) return false;
    if (RecordAt(page, entry) == recNo) return true;
    if (!StepNext(path)) return false;
  }
}

bool TIndexFile::InRange(const char* key) const {
  const TTag& tag = Tag();
  if (!tag.rangeLow.empty() && CompareKeys(key, tag.rangeLow.data()) < 0) return false;
  if (!tag.rangeHigh.empty() && CompareKeys(key, tag.rangeHigh.data()) > 0) return false;
  return true;
}

void TIndexFile::RememberPosition() {
  TTag& tag = Tag();
  tag.pathVersion = tag.treeVersion;
  if (tag.state != wsOn) return;
  const char* page = Page(tag.path.back().page);
  tag.currentKey.assign(KeyAt(page, tag.path.back().entry), static_cast<size_t>(tag.keyLength));
  tag.currentRecNo = RecordAt(page, tag.path.back().entry);
}

// Finds the current entry again after the tree may have changed.
void TIndexFile::Resync() {
  TTag& tag = Tag();
  if (tag.state != wsOn || (tag.pathVersion == tag.treeVersion && !NeedLocks())) return;
  if (!FindEntry(tag.currentKey.data(), tag.currentRecNo, tag.path)) {
    // The entry is gone: the walk stands on the next one in order.
    Descend(tag.currentKey.data(), true, tag.path);
    if (!OnEntry(tag.path) && !StepNext(tag.path)) {
      tag.state = wsAfter;
      return;
    }
  }
  RememberPosition();
}

void TIndexFile::GotoFirst() {
  Tag().state = wsBefore;
  Tag().path.clear();
}

void TIndexFile::GotoLast() {
  Tag().state = wsAfter;
  Tag().path.clear();
}

bool TIndexFile::GotoNext() {
  TOperation op(*this);
  TTag& tag = Tag();
  if (tag.state == wsAfter) return false;
  bool found;
  if (tag.state == wsBefore) {
    if (tag.rangeLow.empty()) {
      tag.path.assign(1, TLevel{tag.root, 0});
      DescendEdge(tag.path, false);
    } else {
      Descend(tag.rangeLow.data(), false, tag.path);
    }
    found = OnEntry(tag.path) || StepNext(tag.path);
  } else {
    Resync();
    if (tag.state != wsOn) return false;
    found = StepNext(tag.path);
  }
  if (found) found = InRange(KeyAt(Page(tag.path.back().page), tag.path.back().entry));
  tag.state = found ? wsOn : wsAfter;
  RememberPosition();
  return found;
}

bool TIndexFile::GotoPrev() {
  TOperation op(*this);
  TTag& tag = Tag();
  if (tag.state == wsBefore) return false;
  bool found;
  if (tag.state == wsAfter) {
    if (tag.rangeHigh.empty()) {
      tag.path.assign(1, TLevel{tag.root, 0});
      const char* root = Page(tag.root);
      tag.path[0].entry = IsInner(root) ? Count(root, tag.root) : Count(root, tag.root) - 1;
      DescendEdge(tag.path, true);
      found = OnEntry(tag.path) || StepPrev(tag.path);
    } else {
      Descend(tag.rangeHigh.data(), true, tag.path);
      found = StepPrev(tag.path);
    }
  } else {
    Resync();
    if (tag.state == wsAfter) return GotoPrev();
    found = StepPrev(tag.path);
  }
  if (found) found = InRange(KeyAt(Page(tag.path.back().page), tag.path.back().entry));
  tag.state = found ? wsOn : wsBefore;
  RememberPosition();
  return found;
}

int32_t TIndexFile::CurrentRecordNo() {
  if (selected_ < 0 || Tag().state != wsOn) return -1;
  return Tag().currentRecNo;
}

bool TIndexFile::GotoRecord(int32_t recNo) {
  if (recNo < 1 || recNo > dbfFile_->PageCount()) return false;
  if (dbfFile_->ReadPage(recNo, recordBuffer_.data()) < dbfFile_->RecordSize()) return false;
  TOperation op(*this);
  TTag& tag = Tag();
  const std::string key(ExtractKey(recordBuffer_.data()), static_cast<size_t>(tag.keyLength));
  std::vector<TLevel> path;
  if (!FindEntry(key.data(), recNo, path) || !InRange(key.data())) return false;
  tag.path = std::move(path);
  tag.state = wsOn;
  RememberPosition();
  return true;
}

bool TIndexFile::SearchKey(const char* key, int mode) {
  if (mode < 0 || mode > 2 || selected_ < 0) return false;
  TOperation op(*this);
  TTag& tag = Tag();
  std::vector<TLevel> path;
  Descend(key, mode == 2, path);
  if (!OnEntry(path) && !StepNext(path)) return false;
  const char* found = KeyAt(Page(path.back().page), path.back().entry);
  if (mode == 0 && CompareKeys(key, found) != 0) return false;
  if (!InRange(found)) return false;
  tag.path = std::move(path);
  tag.state = wsOn;
  RememberPosition();
  return true;
}

void TIndexFile::SetRange(const std::string& lowKey, const std::string& highKey) {
  TTag& tag = Tag();
  tag.rangeLow = lowKey;
  tag.rangeHigh = highKey;
  for (std::string* end : {&tag.rangeLow, &tag.rangeHigh})
    if (!end->empty())
      end->resize(static_cast<size_t>(tag.keyLength), tag.keyType == 'C' ? ' ' : 0);
}

void TIndexFile::CancelRange() {
  if (selected_ < 0) return;
  Tag().rangeLow.clear();
  Tag().rangeHigh.clear();
}

bool TIndexFile::HasRange() const {
  return selected_ >= 0 && (!Tag().rangeLow.empty() || !Tag().rangeHigh.empty());
}

double TIndexFile::PositionFraction() {
  TTag& tag = Tag();
  if (tag.state == wsBefore) return 0;
  if (tag.state == wsAfter) return 1;
  TOperation op(*this);
  Resync();
  if (tag.state != wsOn) return 1;
  double fraction = 0;
  double scale = 1;
  for (const TLevel& level : tag.path) {
    const char* page = Page(level.page);
    const int32_t slots = Count(page, level.page) + (IsInner(page) ? 1 : 0);
    if (slots <= 0) break;
    scale /= slots;
    fraction += scale * level.entry;
  }
  return std::clamp(fraction, 0.0, 1.0);
}

void TIndexFile::GotoFraction(double fraction) {
  TOperation op(*this);
  TTag& tag = Tag();
  fraction = std::clamp(fraction, 0.0, 1.0);
  tag.path.clear();
  int32_t pageNo = tag.root;
  for (;;) {
    const char* page = Page(pageNo);
    const bool inner = IsInner(page);
    const int32_t slots = Count(page, pageNo) + (inner ? 1 : 0);
    const int32_t entry =
        std::clamp(static_cast<int32_t>(fraction * slots), 0, std::max(slots - 1, 0));
    fraction = fraction * slots - entry;
    tag.path.push_back({pageNo, entry});
    if (!inner) break;
    pageNo = ChildOf(page, entry, tag.path);
  }
  bool found = OnEntry(tag.path) || StepNext(tag.path) || StepPrev(tag.path);
  if (found && !InRange(KeyAt(Page(tag.path.back().page), tag.path.back().entry))) {
    tag.state = wsBefore;
    GotoNext();
    return;
  }
  tag.state = found ? wsOn : wsAfter;
  RememberPosition();
}

// ---- Changing the tree ------------------------------------------------------------

void TIndexFile::ResetTree(TTag& tag) {
  if (!IsMultiIndex())
    PutLE32(tag.header.data() + kPageCountAt, 1);
  else
    PutLE32(tag.header.data() + kPageCountAt, 4);
  int32_t root = 0;
  NewPage(root);
  tag.root = root;
  WriteTagHeader(tag);
  tag.state = wsBefore;
  tag.path.clear();
  ++tag.treeVersion;
}

// Writes slot into the page of path[level] at its entry. A full page is
// split in two; the upper level then gets a slot for the left half and its
// slot for this page points at the right half. A split root grows the tree
// by a level.
void TIndexFile::InsertSlot(std::vector<TLevel>& path, int level, const std::vector<char>& slot) {
  TTag& tag = Tag();
  const int32_t entrySize = tag.entrySize;
  const int32_t pageNo = path[static_cast<size_t>(level)].page;
  const int32_t at = path[static_cast<size_t>(level)].entry;
  char* page = Page(pageNo);
  const bool inner = IsInner(page);
  const int32_t count = Count(page, pageNo);
  const int32_t used = count + (inner ? 1 : 0);
  const int32_t room = inner ? tag.maxKeys - 1 : tag.maxKeys;
  if (count < room) {
    std::memmove(Slot(page, at + 1), Slot(page, at), static_cast<size_t>((used - at) * entrySize));
    std::memcpy(Slot(page, at), slot.data(), static_cast<size_t>(entrySize));
    PutLE32(page, static_cast<uint32_t>(count + 1));
    MarkDirty(pageNo);
    return;
  }
  // All used slots plus the new one, then shared out.
  std::vector<char> all(static_cast<size_t>((used + 1) * entrySize));
  std::memcpy(all.data(), Slot(page, 0), static_cast<size_t>(at * entrySize));
  std::memcpy(all.data() + at * entrySize, slot.data(), static_cast<size_t>(entrySize));
  std::memcpy(all.data() + (at + 1) * entrySize, Slot(page, at),
              static_cast<size_t>((used - at) * entrySize));
  const int32_t total = used + 1;
  const int32_t left = (total + 1) / 2;
  const int32_t right = total - left;
  int32_t newPageNo = 0;
  char* newPage = NewPage(newPageNo);
  page = Page(pageNo);
  std::memset(page + pageHeader_, 0, static_cast<size_t>(pageBytes_ - pageHeader_));
  std::memcpy(Slot(page, 0), all.data(), static_cast<size_t>(left * entrySize));
  std::memcpy(Slot(newPage, 0), all.data() + left * entrySize,
              static_cast<size_t>(right * entrySize));
  PutLE32(page, static_cast<uint32_t>(inner ? left - 1 : left));
  PutLE32(newPage, static_cast<uint32_t>(inner ? right - 1 : right));
  MarkDirty(pageNo);
  // The greatest key of each half: its last slot's key.
  const std::string leftMax(all.data() + (left - 1) * entrySize + prefix_,
                            static_cast<size_t>(tag.keyLength));
  const std::string rightMax(all.data() + (total - 1) * entrySize + prefix_,
                             static_cast<size_t>(tag.keyLength));
  std::vector<char> upperSlot(static_cast<size_t>(entrySize));
  if (level == 0) {
    int32_t rootNo = 0;
    char* root = NewPage(rootNo);
    FillSlot(Slot(root, 0), leftMax.data(), 0, pageNo, true);
    FillSlot(Slot(root, 1), rightMax.data(), 0, newPageNo, true);
    PutLE32(root, 1);
    tag.root = rootNo;
    WriteTagHeader(tag);
    path.insert(path.begin(), TLevel{rootNo, 0});
  } else {
    TLevel& upper = path[static_cast<size_t>(level - 1)];
    char* upperPage = Page(upper.page);
    FillSlot(Slot(upperPage, upper.entry), rightMax.data(), 0, newPageNo, true);
    MarkDirty(upper.page);
    FillSlot(upperSlot.data(), leftMax.data(), 0, pageNo, true);
    InsertSlot(path, level - 1, upperSlot);
  }
  ++tag.treeVersion;
}

// After the last slot of the page at path[level] changed, the slots above
// that name this page as their child take its key, up the levels for as
// long as the page is the last child of its parent.
void TIndexFile::PropagateMax(std::vector<TLevel>& path, int level) {
  for (; level > 0; --level) {
    const TLevel& here = path[static_cast<size_t>(level)];
    const char* page = Page(here.page);
    const int32_t count = Count(page, here.page);
    const int32_t last = IsInner(page) ? count : count - 1;
    if (last < 0) return;
    const TLevel& upper = path[static_cast<size_t>(level - 1)];
    char* upperPage = Page(upper.page);
    std::memcpy(Slot(upperPage, upper.entry) + prefix_, KeyAt(page, last),
                static_cast<size_t>(Tag().keyLength));
    MarkDirty(upper.page);
    if (upper.entry != Count(upperPage, upper.page)) return;
  }
}

void TIndexFile::InsertEntry(std::vector<TLevel>& path, const char* key, int32_t recNo) {
  std::vector<char> slot(static_cast<size_t>(Tag().entrySize));
  FillSlot(slot.data(), key, recNo, 0, false);
  // A new greatest key of the leaf becomes the key of the slots above that
  // lead to it, before any split copies them.
  const TLevel& leaf = path.back();
  if (leaf.entry == Count(Page(leaf.page), leaf.page)) {
    for (int level = static_cast<int>(path.size()) - 2; level >= 0; --level) {
      const TLevel& here = path[static_cast<size_t>(level)];
      char* page = Page(here.page);
      std::memcpy(Slot(page, here.entry) + prefix_, key, static_cast<size_t>(Tag().keyLength));
      MarkDirty(here.page);
      if (here.entry != Count(page, here.page)) break;
    }
  }
  InsertSlot(path, static_cast<int>(path.size()) - 1, slot);
  ++Tag().treeVersion;
}

void TIndexFile::DeleteEntry(std::vector<TLevel>& path) {
  TTag& tag = Tag();
  const int level = static_cast<int>(path.size()) - 1;
  const TLevel leaf = path.back();
  char* page = Page(leaf.page);
  const int32_t count = Count(page, leaf.page);
  std::memmove(Slot(page, leaf.entry), Slot(page, leaf.entry + 1),
               static_cast<size_t>((count - leaf.entry - 1) * tag.entrySize));
  std::memset(Slot(page, count - 1), 0, static_cast<size_t>(tag.entrySize));
  PutLE32(page, static_cast<uint32_t>(count - 1));
  MarkDirty(leaf.page);
  ++tag.treeVersion;
  if (count - 1 == 0 && level > 0) {
    // An emptied leaf leaves its parent when the parent keeps two children
    // or more; otherwise it stays linked, empty, so that no inner page is
    // left with a single child, which some readers cannot follow.
    const TLevel& upper = path[static_cast<size_t>(level - 1)];
    char* upperPage = Page(upper.page);
    const int32_t upperCount = Count(upperPage, upper.page);
    if (upperCount < 2) return;
    const bool wasLast = upper.entry == upperCount;
    std::memmove(Slot(upperPage, upper.entry), Slot(upperPage, upper.entry + 1),
                 static_cast<size_t>((upperCount - upper.entry) * tag.entrySize));
    std::memset(Slot(upperPage, upperCount), 0, static_cast<size_t>(tag.entrySize));
    PutLE32(upperPage, static_cast<uint32_t>(upperCount - 1));
    MarkDirty(upper.page);
    if (wasLast) {
      path.pop_back();
      path.back().entry = upperCount - 1;
      PropagateMax(path, level - 1);
    }
    return;
  }
  if (leaf.entry == count - 1 && count - 1 > 0) PropagateMax(path, level);
}

void TIndexFile::RaiseKeyViolation(const char* key, int32_t holder) {
  std::string text(key, static_cast<size_t>(Tag().keyLength));
  if (Tag().keyType != 'C') text = "?";
  while (!text.empty() && text.back() == ' ') text.pop_back();
  throw EDbfError(Format(kKeyViolation, BaseNameOf(Tag().name).c_str(), holder, text.c_str()));
}

void TIndexFile::InsertRecord(int32_t recNo, const char* record) {
  if (noEdit_ || selected_ < 0) return;
  TTag& tag = Tag();
  if (distinctOnly_ && tag.Unique() != iuDistinct) return;
  TOperation op(*this);
  const std::string key(ExtractKey(record), static_cast<size_t>(tag.keyLength));
  std::vector<TLevel> path;
  if (tag.Unique() != iuNormal) {
    Descend(key.data(), false, path);
    std::vector<TLevel> probe = path;
    if (OnEntry(probe) || StepNext(probe)) {
      const char* page = Page(probe.back().page);
      if (CompareKeys(key.data(), KeyAt(page, probe.back().entry)) == 0) {
        if (tag.Unique() == iuUnique) return;
        RaiseKeyViolation(key.data(), RecordAt(page, probe.back().entry));
      }
    }
  } else {
    Descend(key.data(), true, path);
  }
  InsertEntry(path, key.data(), recNo);
  op.Commit();
}

void TIndexFile::DeleteRecord(int32_t recNo, const char* record) {
  if (noEdit_ || selected_ < 0) return;
  TTag& tag = Tag();
  if (distinctOnly_ && tag.Unique() != iuDistinct) return;
  TOperation op(*this);
  const std::string key(ExtractKey(record), static_cast<size_t>(tag.keyLength));
  std::vector<TLevel> path;
  if (!FindEntry(key.data(), recNo, path)) return;
  DeleteEntry(path);
  op.Commit();
}

void TIndexFile::UpdateRecordKeys(int32_t recNo, const char* oldRecord, const char* newRecord) {
  if (noEdit_ || selected_ < 0) return;
  const std::string newKey(ExtractKey(newRecord), static_cast<size_t>(Tag().keyLength));
  const std::string oldKey(ExtractKey(oldRecord), static_cast<size_t>(Tag().keyLength));
  // A record marked deleted has no key in a distinct index.
  const bool distinct = Tag().Unique() == iuDistinct;
  const bool oldIn = !(distinct && oldRecord[0] == '*');
  const bool newIn = !(distinct && newRecord[0] == '*');
  if (oldIn == newIn && CompareKeys(newKey.data(), oldKey.data()) == 0) return;
  TOperation op(*this);
  if (oldIn) DeleteRecord(recNo, oldRecord);
  try {
    if (newIn) InsertRecord(recNo, newRecord);
  } catch (...) {
    // The old key goes back: the index stays as it was.
    if (oldIn) InsertRecord(recNo, oldRecord);
    op.Commit();
    throw;
  }
  op.Commit();
}

// ---- Upkeep of every tag ----------------------------------------------------------

namespace {

// Runs action on each tag the update mode covers and selects the tag that
// was selected before, also when the action fails.
template <typename Action>
void ForEachTag(TIndexFile& file, Action action) {
  const int selected = file.SelectedTag();
  const bool all = file.UpdateMode() == umAll || selected < 0;
  try {
    if (all) {
      for (int i = 0; i < file.TagCount(); ++i) {
        file.SelectTag(i);
        action(i);
      }
    } else {
      action(selected);
    }
  } catch (...) {
    if (selected >= 0) file.SelectTag(selected);
    throw;
  }
  if (selected >= 0) file.SelectTag(selected);
}

}  // namespace

void TIndexFile::ApplyToTags(const std::function<void()>& action,
                             const std::function<void()>& undo) {
  TOperation op(*this);
  std::vector<int> done;
  try {
    ForEachTag(*this, [&](int slot) {
      action();
      done.push_back(slot);
    });
  } catch (...) {
    // What the tags already took is taken back before the failure goes on.
    const int selected = selected_;
    for (int slot : done) {
      SelectTag(slot);
      try {
        undo();
      } catch (...) {
        // The key violation is what the caller must see.
      }
    }
    SelectTag(selected);
    op.Commit();
    throw;
  }
  op.Commit();
}

void TIndexFile::InsertRecordAll(int32_t recNo, const char* record) {
  if (noEdit_) return;
  // A record appended already marked deleted stays out of distinct
  // indexes, as a record marked deleted later leaves them.
  ApplyToTags(
      [&] {
        if (!(record[0] == '*' && UniqueMode() == iuDistinct)) InsertRecord(recNo, record);
      },
      [&] { DeleteRecord(recNo, record); });
}

void TIndexFile::DeleteRecordAll(int32_t recNo, const char* record) {
  if (noEdit_) return;
  TOperation op(*this);
  ForEachTag(*this, [&](int) { DeleteRecord(recNo, record); });
  op.Commit();
}

void TIndexFile::UpdateRecordAll(int32_t recNo, const char* prevRecord, const char* record) {
  if (noEdit_) return;
  ApplyToTags([&] { UpdateRecordKeys(recNo, prevRecord, record); },
              [&] { UpdateRecordKeys(recNo, record, prevRecord); });
}

void TIndexFile::DropDistinctKeysAll(int32_t recNo, const char* record) {
  if (noEdit_) return;
  TOperation op(*this);
  distinctOnly_ = true;
  try {
    ForEachTag(*this, [&](int) { DeleteRecord(recNo, record); });
  } catch (...) {
    distinctOnly_ = false;
    throw;
  }
  distinctOnly_ = false;
  op.Commit();
}

// ---- Building from the table ------------------------------------------------------

void TIndexFile::Rebuild(int slot, const TIndexProgress& progress) {
  const int selected = selected_;
  const int first = slot < 0 ? 0 : slot;
  const int last = slot < 0 ? TagCount() - 1 : slot;
  TOperation op(*this);
  const int32_t total = dbfFile_->PageCount();
  if (slot < 0 && IsMultiIndex()) {
    // The whole file is laid out anew: tag headers first, then the trees.
    pages_.clear();
    selected_ = -1;
    PutLE32(fileHeader_.data() + kBlockCountAt, kMdxHeaderBytes / kBlock);
    for (int t = 0; t < TagCount(); ++t) {
      int32_t block = 0;
      NewPage(block);
      pages_.erase(block);
      TTag& tag = *tags_[static_cast<size_t>(t)];
      tag.headerBlock = block;
      PutLE32(fileHeader_.data() + kBlock + tagEntrySize_ * (t + 1), static_cast<uint32_t>(block));
      tag.headerDirty = true;
    }
  }
  for (int t = first; t <= last; ++t) {
    SelectTag(t);
    TTag& tag = Tag();
    const bool distinct = tag.Unique() == iuDistinct;
    const int32_t keyLength = tag.keyLength;
    // Entries as sort key + key + record number, sorted by sort key and
    // then record number: equal keys keep the order of the records.
    const bool collated = tag.keyType == 'C' && tag.collator != nullptr;
    // The first bytes of each key's sort key in a locale collation: most
    // comparisons end within them; equal prefixes compare the keys whole.
    constexpr size_t kPrefix = 24;
    std::vector<char> sortBytes;
    std::vector<char> keys;
    std::vector<int32_t> recNos;
    keys.reserve(static_cast<size_t>(total) * static_cast<size_t>(keyLength));
    if (collated) sortBytes.reserve(static_cast<size_t>(total) * kPrefix);
    recNos.reserve(static_cast<size_t>(total));
    std::vector<char> record(static_cast<size_t>(dbfFile_->RecordSize()));
    std::string sortKey;
    for (int32_t recNo = 1; recNo <= total; ++recNo) {
      if (dbfFile_->ReadPage(recNo, record.data()) < dbfFile_->RecordSize()) break;
      if (progress && (recNo % 65536 == 0 || recNo == total)) progress(recNo, total);
      if (distinct && record[0] == '*') continue;
      const char* key = ExtractKey(record.data());
      keys.insert(keys.end(), key, key + keyLength);
      recNos.push_back(recNo);
      if (collated) {
        tag.collator->SortKey(std::string_view(key, static_cast<size_t>(keyLength)), sortKey);
        sortKey.resize(kPrefix, '\0');
        sortBytes.insert(sortBytes.end(), sortKey.begin(), sortKey.end());
      }
    }
    const size_t n = recNos.size();
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    const bool descending = (tag.flags & kFlagDescending) != 0;
    auto less = [&](uint32_t a, uint32_t b) {
      const char* keyA = keys.data() + size_t{a} * keyLength;
      const char* keyB = keys.data() + size_t{b} * keyLength;
      int c = 0;
      if (collated)
        c = std::memcmp(sortBytes.data() + a * kPrefix, sortBytes.data() + b * kPrefix, kPrefix);
      if (c == 0) c = CompareRaw(keyA, keyB);
      if (descending) c = -c;
      return c != 0 ? c < 0 : a < b;
    };
    std::sort(order.begin(), order.end(), less);
    sortBytes = std::vector<char>();
    // The order without the unwanted equal keys of unique and distinct
    // indexes, kept in place.
    size_t count = 0;
    const char* previous = nullptr;
    for (uint32_t i : order) {
      const char* key = keys.data() + size_t{i} * keyLength;
      if (previous != nullptr && tag.Unique() != iuNormal && CompareKeys(previous, key) == 0) {
        if (distinct) {
          ResetTree(tag);
          RaiseKeyViolation(key, recNos[i]);
        }
        continue;
      }
      previous = key;
      order[count++] = i;
    }
    BuildFromSorted(tag, static_cast<int32_t>(count), [&](int32_t entry, int32_t& recNo) {
      const uint32_t i = order[static_cast<size_t>(entry)];
      recNo = recNos[i];
      return keys.data() + size_t{i} * keyLength;
    });
  }
  op.Commit();
  Flush();
  // What lies past the new trees of a rebuilt file is no longer referenced.
  if (slot < 0 && IsMultiIndex())
    SetPageCount(static_cast<int32_t>(GetLE32(fileHeader_.data() + kBlockCountAt)));
  else if (!IsMultiIndex() && !tags_.empty())
    SetPageCount(static_cast<int32_t>(GetLE32(tags_[0]->header.data() + kPageCountAt)));
  if (selected >= 0) SelectTag(selected);
}

// Writes a tree holding count sorted entries (entryAt gives the key and
// record number of each): leaves filled to one slot short of full, so that the next insert
// does not split at once, then each level of inner pages above, until one
// page holds the rest. Pages go straight to the file.
void TIndexFile::BuildFromSorted(TTag& tag, int32_t count, const TEntrySource& entryAt) {
  ResetTree(tag);
  Flush();
  pages_.clear();
  if (count == 0) return;
  const int32_t keyLength = tag.keyLength;
  struct TChild {
    int32_t page;
    std::string maxKey;
  };
  std::vector<TChild> level;
  std::vector<char> buffer(static_cast<size_t>(pageBytes_));
  auto pagesFor = [](int32_t items, int32_t perPage) { return (items + perPage - 1) / perPage; };
  // The root page made by ResetTree takes the first leaf.
  const int32_t leafRoom = std::max(tag.maxKeys - 1, 2);
  const int32_t leaves = pagesFor(count, leafRoom);
  int32_t done = 0;
  for (int32_t p = 0; p < leaves; ++p) {
    const int32_t take = (count - done) / (leaves - p);
    std::fill(buffer.begin(), buffer.end(), 0);
    const char* key = nullptr;
    for (int32_t i = 0; i < take; ++i) {
      int32_t recNo = 0;
      key = entryAt(done + i, recNo);
      FillSlot(Slot(buffer.data(), i), key, recNo, 0, false);
    }
    PutLE32(buffer.data(), static_cast<uint32_t>(take));
    int32_t pageNo = tag.root;
    if (p > 0) {
      NewPage(pageNo);
      pages_.erase(pageNo);
    }
    WriteAt(buffer.data(), pageBytes_, int64_t{pageNo} * kBlock);
    level.push_back({pageNo, std::string(key, static_cast<size_t>(keyLength))});
    done += take;
  }
  const int32_t innerRoom = tag.maxKeys;  // children: keys + the last child
  while (level.size() > 1) {
    std::vector<TChild> upper;
    const auto children = static_cast<int32_t>(level.size());
    const int32_t pages = pagesFor(children, innerRoom);
    int32_t used = 0;
    for (int32_t p = 0; p < pages; ++p) {
      const int32_t take = (children - used) / (pages - p);
      std::fill(buffer.begin(), buffer.end(), 0);
      for (int32_t i = 0; i < take; ++i) {
        const TChild& child = level[static_cast<size_t>(used + i)];
        FillSlot(Slot(buffer.data(), i), child.maxKey.data(), 0, child.page, true);
      }
      PutLE32(buffer.data(), static_cast<uint32_t>(take - 1));
      int32_t pageNo = 0;
      NewPage(pageNo);
      pages_.erase(pageNo);
      WriteAt(buffer.data(), pageBytes_, int64_t{pageNo} * kBlock);
      upper.push_back({pageNo, level[static_cast<size_t>(used + take - 1)].maxKey});
      used += take;
    }
    level = std::move(upper);
  }
  tag.root = level.front().page;
  WriteTagHeader(tag);
  tag.state = wsBefore;
  tag.path.clear();
  ++tag.treeVersion;
}

int TIndexFile::TreeDepth() {
  TOperation op(*this);
  std::vector<TLevel> path(1, TLevel{Tag().root, 0});
  DescendEdge(path, false);
  return static_cast<int>(path.size());
}

// ---- Checking ---------------------------------------------------------------------

std::vector<std::string> TIndexFile::Check(const TIndexProgress& progress) {
  std::vector<std::string> faults;
  TOperation op(*this);
  TTag& tag = Tag();
  const int32_t tableRecords = dbfFile_->PageCount();
  PageCount();
  std::vector<bool> seen(static_cast<size_t>(CachedSize() / kBlock + 1), false);
  std::vector<char> lastKey;
  bool haveLast = false;
  int leafDepth = -1;
  std::vector<std::pair<std::string, int32_t>> entries;
  try {
    CheckPage(tag, tag.root, 0, leafDepth, lastKey, haveLast, seen, faults, entries, tableRecords);
  } catch (const EDbfError& e) {
    faults.push_back(e.Message());
  }
  // Every record that belongs in the index has its key there, once.
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });
  std::vector<char> record(static_cast<size_t>(dbfFile_->RecordSize()));
  size_t next = 0;
  const bool distinct = tag.Unique() == iuDistinct;
  const bool unique = tag.Unique() == iuUnique;
  std::vector<std::string> present;
  for (int32_t recNo = 1; recNo <= tableRecords; ++recNo) {
    if (progress && (recNo % 65536 == 0 || recNo == tableRecords)) progress(recNo, tableRecords);
    if (dbfFile_->ReadPage(recNo, record.data()) < dbfFile_->RecordSize()) break;
    const std::string key(ExtractKey(record.data()), static_cast<size_t>(tag.keyLength));
    int found = 0;
    bool keyRight = true;
    while (next < entries.size() && entries[next].second < recNo) ++next;
    for (; next < entries.size() && entries[next].second == recNo; ++next) {
      ++found;
      if (CompareKeys(entries[next].first.data(), key.data()) != 0) keyRight = false;
    }
    if (found > 1) faults.push_back(Format("record %d has %d entries in the index", recNo, found));
    if (found >= 1 && !keyRight)
      faults.push_back(Format("record %d has a wrong key in the index", recNo));
    if (found == 0 && !(distinct && record[0] == '*') && !unique)
      faults.push_back(Format("record %d has no key in the index", recNo));
  }
  return faults;
}

void TIndexFile::CheckPage(TTag& tag, int32_t pageNo, int depth, int& leafDepth,
                           std::vector<char>& lastKey, bool& haveLast, std::vector<bool>& seen,
                           std::vector<std::string>& faults,
                           std::vector<std::pair<std::string, int32_t>>& entries,
                           int32_t tableRecords) {
  const int32_t first = IsMultiIndex() ? kMdxHeaderBytes / kBlock : 1;
  if (pageNo < first || static_cast<size_t>(pageNo) >= seen.size() ||
      int64_t{pageNo} * kBlock + pageBytes_ > int64_t{CachedSize()}) {
    faults.push_back(Format("page %d lies outside the file", pageNo));
    return;
  }
  if (seen[static_cast<size_t>(pageNo)]) {
    faults.push_back(Format("page %d is reached twice (a cycle or a shared page)", pageNo));
    return;
  }
  seen[static_cast<size_t>(pageNo)] = true;
  if (depth > kMaxDepth) {
    faults.push_back(Format("the tree is deeper than %d levels", kMaxDepth));
    return;
  }
  // A copy: checking children loads other pages.
  const std::vector<char> page(Page(pageNo), Page(pageNo) + pageBytes_);
  const auto rawCount = static_cast<int32_t>(GetLE32(page.data()));
  const bool inner = IsInner(page.data());
  if (rawCount < 0 || rawCount > tag.maxKeys || (inner && rawCount + 1 > tag.maxKeys)) {
    faults.push_back(Format("page %d counts %d entries, more than its %d slots hold", pageNo,
                            rawCount, tag.maxKeys));
    return;
  }
  if (!inner) {
    if (leafDepth < 0) leafDepth = depth;
    if (leafDepth != depth)
      faults.push_back(
          Format("leaf page %d lies at depth %d, others at %d", pageNo, depth, leafDepth));
    for (int32_t i = 0; i < rawCount; ++i) {
      const char* key = KeyAt(page.data(), i);
      const int32_t recNo = RecordAt(page.data(), i);
      if (haveLast && CompareKeys(lastKey.data(), key) > 0)
        faults.push_back(
            Format("page %d entry %d (record %d) is out of key order", pageNo, i, recNo));
      lastKey.assign(key, key + tag.keyLength);
      haveLast = true;
      if (recNo < 1 || recNo > tableRecords)
        faults.push_back(Format("page %d entry %d points at record %d, past the table's %d", pageNo,
                                i, recNo, tableRecords));
      else
        entries.emplace_back(std::string(key, static_cast<size_t>(tag.keyLength)), recNo);
    }
    return;
  }
  for (int32_t i = 0; i <= rawCount; ++i) {
    CheckPage(tag, ChildAt(page.data(), i), depth + 1, leafDepth, lastKey, haveLast, seen, faults,
              entries, tableRecords);
    if (i < rawCount && haveLast && CompareKeys(lastKey.data(), KeyAt(page.data(), i)) > 0)
      faults.push_back(Format("page %d key %d is below the keys of its child", pageNo, i));
  }
}
