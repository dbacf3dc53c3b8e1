// The index file itself: opening and closing, the file header, the tag
// table and each tag's header, creating and deleting tags, and the page
// cache with page allocation and slot layout.
#include "tdbf/index/dbf_idxfile.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"
#include "platform/collator.h"
#include "platform/env.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf_str.h"
#include "tdbf/expr/dbf_parser.h"
#include "tdbf/file/dbf_lang.h"
#include "tdbf/index/dbf_idxinternal.h"

namespace {

std::string UpperAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

bool SameName(const std::string& a, const std::string& b) { return UpperAscii(a) == UpperAscii(b); }

}  // namespace

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
  ClearPages();
  lockDepth_ = 0;
  layout_ = UpperAscii(ExtractFileExt(FileName())) == ".MDX" ? 3 : 2;
  const bool existed = Env()->FileExists(FileName());
  SetPageOffsetByHeader(false);
  SetHeaderSize(0);
  SetPageSize(kBlock);
  OpenFile();
  ReadPagesScattered();
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
    updateMode_ = IsMultiIndex() && tags_.size() >= 2 ? umAll : umCurrent;
    if (!IsMultiIndex() && !tags_.empty()) {
      SelectTag(0);
    }
  } catch (...) {
    tags_.clear();
    ClearPages();
    selected_ = -1;
    CloseFile();
    throw;
  }
  opened_ = true;
}

void TIndexFile::ReadPagesScattered() {
  if (File() != nullptr) File()->SetScatteredReads();
}

void TIndexFile::EnterExclusive() {
  TPagedFile::EnterExclusive();
  ReadPagesScattered();
}

void TIndexFile::LeaveExclusive() {
  TPagedFile::LeaveExclusive();
  ReadPagesScattered();
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
  fileHeaderStale_ = false;
}

void TIndexFile::FreshFileHeader() {
  if (fileHeaderStale_ && lockDepth_ > 0) ReadFileHeader();
}

void TIndexFile::FreshHeaders() {
  FreshFileHeader();
  if (lockDepth_ == 0) return;
  for (auto& tag : tags_)
    if (tag->headerStale) ReadTagHeader(*tag);
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
  tag.headerStale = false;
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
  ClearPages();
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
  if (tag.headerStale && lockDepth_ > 0) ReadTagHeader(tag);
}

void TIndexFile::CompileExpression(TTag& tag) {
  auto parser = std::make_unique<TDbfParser>(dbfFile_);
  parser->ParseText(tag.expression);
  tag.parser = std::move(parser);
}

const platform::TCollator* TIndexFile::Collator(const TTag& tag) const {
  if (!tag.collatorOpened) {
    tag.collatorOpened = true;
    if (locale_ != 0 && tag.keyType == 'C') {
      tag.collator = std::make_unique<platform::TCollator>();
      // A locale ICU cannot collate leaves the keys in byte order.
      if (!tag.collator->Open(locale_, static_cast<uint32_t>(tableCodePage_))) tag.collator.reset();
    }
  }
  return tag.collator.get();
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
  FreshHeaders();
  selected_ = -1;
  if (IsMultiIndex()) {
    // The tag header takes two blocks, as a page does.
    int32_t block = 0;
    NewPage(block);
    ForgetPage(block);
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
  FreshHeaders();
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
  ClearPages();
  for (auto& tag : tags_) ++tag->treeVersion;
}

// Every search passes the inner pages, which are few and carry the sort
// keys made for them, so they stay; of the leaves, those used since the
// last trim stay while they fill no more than half the bound. The pages
// that stay are as the file holds them, so walks need not find their
// place again.
void TIndexFile::TrimCache() {
  Flush();
  size_t leaves = 0;
  for (auto it = pages_.begin(); it != pages_.end();) {
    TPage& page = it->second;
    const bool keep = page.inner || (page.used && leaves++ < kMaxCachedPages / 2);
    page.used = false;
    if (keep) {
      ++it;
    } else {
      IndexPage(it->first, nullptr);
      it = pages_.erase(it);
    }
  }
  if (pages_.size() > kMaxCachedPages * 3 / 4) DropCache();
}

char* TIndexFile::Page(int32_t pageNo) { return CachedPage(pageNo).bytes.data(); }

void TIndexFile::ClearPages() {
  for (const auto& entry : pages_) IndexPage(entry.first, nullptr);
  pages_.clear();
}

void TIndexFile::ForgetPage(int32_t pageNo) {
  IndexPage(pageNo, nullptr);
  pages_.erase(pageNo);
}

// Page numbers come from the file, checked to lie within it, or from the
// counter of pages handed out; a damaged counter must not make the table
// of page numbers huge.
void TIndexFile::IndexPage(int32_t pageNo, TPage* page) {
  constexpr size_t kIndexedPages = size_t{1} << 22;
  const auto at = static_cast<size_t>(pageNo);
  const size_t chunk = at / kPageChunk;
  if (at >= kIndexedPages) return;
  if (chunk >= pageAt_.size() || !pageAt_[chunk]) {
    if (page == nullptr) return;
    if (chunk >= pageAt_.size()) pageAt_.resize(chunk + 1);
    pageAt_[chunk] = std::make_unique<TPage*[]>(kPageChunk);
  }
  pageAt_[chunk][at % kPageChunk] = page;
}

TIndexFile::TPage& TIndexFile::CachedPage(int32_t pageNo) {
  const auto at = static_cast<size_t>(pageNo);
  if (at / kPageChunk < pageAt_.size() && pageAt_[at / kPageChunk]) {
    TPage* indexed = pageAt_[at / kPageChunk][at % kPageChunk];
    if (indexed != nullptr) {
      indexed->used = true;
      return *indexed;
    }
  }
  auto found = pages_.find(pageNo);
  if (found != pages_.end()) {
    found->second.used = true;
    return found->second;
  }
  const int64_t offset = int64_t{pageNo} * kBlock;
  const int32_t first = IsMultiIndex() ? kMdxHeaderBytes / kBlock : 1;
  if (pageNo < first) RaiseDamaged(Format("page %d lies outside the file", pageNo));
  TPage page;
  page.bytes.assign(static_cast<size_t>(pageBytes_), 0);
  page.used = true;
  // The file's size is asked only when the read falls short, to say why.
  if (ReadAt(page.bytes.data(), pageBytes_, offset) < pageBytes_) {
    PageCount();
    if (offset + pageBytes_ > int64_t{CachedSize()})
      RaiseDamaged(Format("page %d lies outside the file", pageNo));
    RaiseDamaged(Format("page %d cannot be read whole", pageNo));
  }
  TPage& cached = pages_.emplace(pageNo, std::move(page)).first->second;
  IndexPage(pageNo, &cached);
  return cached;
}

char* TIndexFile::NewPage(int32_t& pageNo) {
  if (IsMultiIndex()) {
    FreshFileHeader();
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
  IndexPage(pageNo, &slot);
  return slot.bytes.data();
}

void TIndexFile::MarkDirty(int32_t pageNo) {
  TPage& page = pages_[pageNo];
  page.dirty = true;
  page.sortBytes.clear();
  page.sortAt.clear();
}

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
