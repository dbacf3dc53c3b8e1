#include "tests/support/memory_record_set.h"

#include <cstring>

#include "recordset/fields.h"
#include "runtime/classes.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"

namespace {

constexpr int kHeader = 5;  // bookmark + flag

}  // namespace

// A write stream whose content becomes the field's pending value when the
// last reference goes.
class TMemoryRecordSet::TBlobWriter : public TMemoryStream {
 public:
  TBlobWriter(TMemoryRecordSet* owner, int column) : owner_(owner), column_(column) {}
  ~TBlobWriter() override {
    owner_->pendingBlobs_[column_] = AsString();
    if (char* buffer = owner_->ActiveBuffer())
      buffer[kHeader + owner_->offsets_[static_cast<size_t>(column_)]] = Size() > 0 ? 1 : 0;
  }

 private:
  TMemoryRecordSet* owner_;
  int column_;
};

TMemoryRecordSet::TMemoryRecordSet() = default;

TMemoryRecordSet::~TMemoryRecordSet() { Destroying(); }

int TMemoryRecordSet::NativeSize(const TColumn& column) {
  switch (column.type) {
    case ftString:
    case ftFixedChar:
      return column.size + 1;
    case ftSmallint:
    case ftWord:
    case ftBoolean:
      return 2;
    case ftInteger:
    case ftAutoInc:
    case ftDate:
    case ftTime:
      return 4;
    case ftFloat:
    case ftCurrency:
    case ftDateTime:
    case ftLargeint:
      return 8;
    default:
      return 0;
  }
}

void TMemoryRecordSet::AddColumn(const std::string& name, TFieldType type, int size,
                                 bool required) {
  columns_.push_back({name, type, size, required});
  Layout();
  for (TRecord& record : records_) record.image.resize(static_cast<size_t>(imageSize_), '\0');
}

void TMemoryRecordSet::Layout() {
  offsets_.clear();
  imageSize_ = 0;
  for (const TColumn& column : columns_) {
    offsets_.push_back(imageSize_);
    imageSize_ += 1 + NativeSize(column);
  }
}

int32_t TMemoryRecordSet::AddRecord(const std::vector<std::string>& texts) {
  TRecord record{nextId_++, false, std::string(static_cast<size_t>(imageSize_), '\0'), {}};
  for (size_t i = 0; i < columns_.size() && i < texts.size(); ++i) {
    const std::string& text = texts[i];
    if (text.empty()) continue;
    char* slot = record.image.data() + offsets_[i];
    char* data = slot + 1;
    slot[0] = 1;
    switch (columns_[i].type) {
      case ftString:
      case ftFixedChar:
        std::memcpy(data, text.data(), std::min<size_t>(text.size(), columns_[i].size));
        break;
      case ftSmallint:
      case ftWord:
      case ftBoolean: {
        int16_t v = columns_[i].type == ftBoolean ? (text == "T" ? 1 : 0)
                                                  : static_cast<int16_t>(StrToInt(text));
        std::memcpy(data, &v, sizeof v);
        break;
      }
      case ftInteger:
      case ftAutoInc: {
        int32_t v = StrToInt(text);
        std::memcpy(data, &v, sizeof v);
        break;
      }
      case ftLargeint: {
        int64_t v = StrToInt64(text);
        std::memcpy(data, &v, sizeof v);
        break;
      }
      case ftFloat:
      case ftCurrency: {
        double v = std::stod(text);
        std::memcpy(data, &v, sizeof v);
        break;
      }
      case ftDate: {
        int32_t day = 0;
        TryEncodeDayNumber(std::stoi(text.substr(0, 4)), std::stoi(text.substr(5, 2)),
                           std::stoi(text.substr(8, 2)), day);
        std::memcpy(data, &day, sizeof day);
        break;
      }
      case ftTime: {
        int32_t v = StrToInt(text);
        std::memcpy(data, &v, sizeof v);
        break;
      }
      case ftDateTime: {
        double v = std::stod(text);
        std::memcpy(data, &v, sizeof v);
        break;
      }
      default:
        slot[0] = 0;
        record.blobs[static_cast<int>(i)] = text;
    }
  }
  records_.push_back(std::move(record));
  return records_.back().id;
}

void TMemoryRecordSet::DeleteStored(int32_t id) {
  int index = IndexOfId(id);
  if (index >= 0) records_[static_cast<size_t>(index)].deleted = true;
}

std::string TMemoryRecordSet::StoredText(int32_t id, int column) const {
  int index = IndexOfId(id);
  if (index < 0) return "<gone>";
  const std::string& image = records_[static_cast<size_t>(index)].image;
  const char* slot = image.data() + offsets_[static_cast<size_t>(column)];
  if (slot[0] == 0) return {};
  const char* data = slot + 1;
  switch (columns_[static_cast<size_t>(column)].type) {
    case ftString:
    case ftFixedChar:
      return std::string(data);
    case ftSmallint:
    case ftWord:
    case ftBoolean: {
      int16_t v;
      std::memcpy(&v, data, sizeof v);
      return IntToStr(v);
    }
    case ftInteger:
    case ftAutoInc:
    case ftDate:
    case ftTime: {
      int32_t v;
      std::memcpy(&v, data, sizeof v);
      return IntToStr(v);
    }
    case ftLargeint: {
      int64_t v;
      std::memcpy(&v, data, sizeof v);
      return IntToStr(v);
    }
    case ftFloat:
    case ftCurrency:
    case ftDateTime: {
      double v;
      std::memcpy(&v, data, sizeof v);
      return FloatToStr(v);
    }
    default:
      return StoredBlob(id, column);
  }
}

std::string TMemoryRecordSet::StoredBlob(int32_t id, int column) const {
  int index = IndexOfId(id);
  if (index < 0) return "<gone>";
  const auto& blobs = records_[static_cast<size_t>(index)].blobs;
  auto it = blobs.find(column);
  return it == blobs.end() ? std::string() : it->second;
}

void TMemoryRecordSet::FailEdits(int n, std::string message) {
  failEdits_ = n;
  failEditMessage_ = std::move(message);
}

void TMemoryRecordSet::FailPosts(int n, std::string message) {
  failPosts_ = n;
  failPostMessage_ = std::move(message);
}

void TMemoryRecordSet::FailDeletes(int n, std::string message) {
  failDeletes_ = n;
  failDeleteMessage_ = std::move(message);
}

int TMemoryRecordSet::IndexOfId(int32_t id) const {
  for (size_t i = 0; i < records_.size(); ++i)
    if (records_[i].id == id) return static_cast<int>(i);
  return -1;
}

int32_t TMemoryRecordSet::BookmarkOf(const char* buffer) const {
  int32_t id;
  std::memcpy(&id, buffer, sizeof id);
  return id;
}

// ---- Hooks ---------------------------------------------------------------------

std::unique_ptr<char[]> TMemoryRecordSet::NewRecordBuffer() {
  return std::make_unique<char[]>(static_cast<size_t>(kHeader + imageSize_ + CalcFieldsSize()));
}

void TMemoryRecordSet::ReadBookmark(const char* buffer, char* dest) {
  std::memcpy(dest, buffer, 4);
}

void TMemoryRecordSet::WriteBookmark(char* buffer, const char* bookmark) {
  std::memcpy(buffer, bookmark, 4);
}

TRecordBufferFlag TMemoryRecordSet::ReadBufferFlag(const char* buffer) {
  return static_cast<TRecordBufferFlag>(buffer[4]);
}

void TMemoryRecordSet::WriteBufferFlag(char* buffer, TRecordBufferFlag flag) {
  buffer[4] = static_cast<char>(flag);
}

bool TMemoryRecordSet::Accept(const TRecord& record) {
  if (record.deleted && !showDeleted_) return false;
  if (!Filtered() || !OnFilterRecord()) return true;
  TTempState saved = EnterTempState(rsFilter);
  filterImage_ = record.image.data();
  bool accept = true;
  try {
    OnFilterRecord()(*this, accept);
  } catch (...) {
    filterImage_ = nullptr;
    LeaveTempState(saved);
    throw;
  }
  filterImage_ = nullptr;
  LeaveTempState(saved);
  return accept;
}

TFetchResult TMemoryRecordSet::FetchRecord(char* buffer, TFetchMode mode, bool) {
  ++fetchCalls_;
  const int count = static_cast<int>(records_.size());
  if (!open_) return frEOF;
  for (;;) {
    if (mode == fcNext) {
      position_ = std::min(position_ + 1, count);
      if (position_ >= count) return frEOF;
    } else if (mode == fcPrior) {
      position_ = std::max(position_ - 1, -1);
      if (position_ < 0) return frBOF;
    } else if (position_ < 0 || position_ >= count) {
      return frError;
    }
    if (Accept(records_[static_cast<size_t>(position_)])) break;
    if (mode == fcCurrent) return frError;
  }
  const TRecord& record = records_[static_cast<size_t>(position_)];
  std::memcpy(buffer, &record.id, 4);
  buffer[4] = rbCurrent;
  std::memcpy(buffer + kHeader, record.image.data(), static_cast<size_t>(imageSize_));
  ComputeCalcFields(buffer);
  return frOK;
}

void TMemoryRecordSet::StoreNewRecord(char* buffer, bool) {
  records_.push_back({nextId_++, false, InsertImage(buffer), {}});
}

std::string TMemoryRecordSet::InsertImage(const char* buffer) const {
  return std::string(buffer + kHeader, static_cast<size_t>(imageSize_));
}

void TMemoryRecordSet::CloseStorage() {
  ++closeStorageCalls_;
  open_ = false;
  pendingBlobs_.clear();
  BindFields(false);
  if (DefaultFields()) DestroyFields();
}

void TMemoryRecordSet::DeleteCurrent() {
  if (failDeletes_ > 0) {
    --failDeletes_;
    throw EDatabaseError(failDeleteMessage_);
  }
  int index = IndexOfId(BookmarkOf(ActiveBuffer()));
  if (index < 0) throw EDatabaseError("Record not found");
  records_[static_cast<size_t>(index)].deleted = true;
  position_ = index;
}

void TMemoryRecordSet::CursorToBookmark(const char* bookmark) {
  int index = IndexOfId(BookmarkOf(bookmark));
  position_ = index >= 0 ? index : static_cast<int>(records_.size());
}

void TMemoryRecordSet::CursorToBuffer(const char* buffer) { CursorToBookmark(buffer); }

void TMemoryRecordSet::ReportException(const Exception& error) {
  reported_.push_back(error.Message());
}

void TMemoryRecordSet::BuildFieldDefs() {
  FieldDefs().Clear();
  for (const TColumn& column : columns_) {
    bool sized = column.type == ftString || column.type == ftFixedChar;
    FieldDefs().Add(column.name, column.type, sized ? column.size : 0, column.required);
  }
}

void TMemoryRecordSet::InitRecordBuffer(char* buffer) {
  std::memset(buffer, 0, static_cast<size_t>(kHeader + imageSize_));
  buffer[4] = rbCurrent;
}

void TMemoryRecordSet::ClearCalcArea(char* buffer) {
  std::memset(buffer + kHeader + imageSize_, 0, static_cast<size_t>(CalcFieldsSize()));
}

void TMemoryRecordSet::OpenStorage() {
  if (!failOpen_.empty()) {
    std::string message = std::move(failOpen_);
    failOpen_.clear();
    throw EDatabaseError(message);
  }
  UpdateFieldDefs();
  if (DefaultFields()) CreateFields();
  BindFields(true);
  SetBookmarkSize(4);
  open_ = true;
  position_ = -1;
}

void TMemoryRecordSet::StoreRecord() {
  ++storeRecordCalls_;
  if (failPosts_ > 0) {
    --failPosts_;
    throw EDatabaseError(failPostMessage_);
  }
  const char* buffer = ActiveBuffer();
  if (State() == rsEdit) {
    int index = IndexOfId(BookmarkOf(buffer));
    if (index < 0) throw EDatabaseError("Record not found");
    TRecord& record = records_[static_cast<size_t>(index)];
    record.image = InsertImage(buffer);
    for (auto& [column, value] : pendingBlobs_) record.blobs[column] = value;
    position_ = index;
  } else {
    TRecord record{nextId_++, false, InsertImage(buffer), pendingBlobs_};
    int index = static_cast<int>(records_.size());
    if (ReadBufferFlag(buffer) == rbBOF) {
      index = 0;
    } else if (ReadBufferFlag(buffer) == rbInserted) {
      int before = IndexOfId(BookmarkOf(buffer));
      if (before >= 0) index = before;
    }
    records_.insert(records_.begin() + index, std::move(record));
    position_ = index;
  }
  pendingBlobs_.clear();
}

void TMemoryRecordSet::BeginEditRecord() {
  if (failEdits_ > 0) {
    --failEdits_;
    throw EDatabaseError(failEditMessage_);
  }
  // Start from the stored data, as a table re-reads a record it locks.
  char* buffer = ActiveBuffer();
  int index = IndexOfId(BookmarkOf(buffer));
  if (index < 0) throw EDatabaseError("Record not found");
  std::memcpy(buffer + kHeader, records_[static_cast<size_t>(index)].image.data(),
              static_cast<size_t>(imageSize_));
}

void TMemoryRecordSet::CancelRecord() { pendingBlobs_.clear(); }

const char* TMemoryRecordSet::RecordBuffer() const {
  if (State() == rsCalcFields) return CalcBuffer();
  if (RingRecordCount() == 0) return nullptr;
  return ActiveBuffer();
}

bool TMemoryRecordSet::ReadFieldData(TField* field, void* dest) {
  if (field->FieldNo() > 0) {
    const char* image = State() == rsFilter ? filterImage_ : nullptr;
    if (image == nullptr && State() != rsFilter) {
      const char* buffer = RecordBuffer();
      if (buffer != nullptr) image = buffer + kHeader;
    }
    if (image == nullptr) return false;
    size_t column = static_cast<size_t>(field->FieldNo() - 1);
    const char* slot = image + offsets_[column];
    if (slot[0] == 0) return false;
    if (dest != nullptr)
      std::memcpy(dest, slot + 1, static_cast<size_t>(NativeSize(columns_[column])));
    return true;
  }
  if (field->FieldNo() < 0) {
    const char* buffer = RecordBuffer();
    if (buffer == nullptr) return false;
    if (dest != nullptr)
      std::memcpy(dest, buffer + kHeader + imageSize_ + field->Offset(),
                  static_cast<size_t>(field->DataSize()));
    return true;
  }
  return false;
}

void TMemoryRecordSet::WriteFieldData(TField* field, const void* source) {
  if (field->FieldNo() < 0) {
    char* buffer = State() == rsCalcFields ? CalcBuffer() : ActiveBuffer();
    char* area = buffer + kHeader + imageSize_ + field->Offset();
    size_t size = static_cast<size_t>(field->DataSize());
    if (source != nullptr)
      std::memcpy(area, source, size);
    else
      std::memset(area, 0, size);
  } else {
    size_t column = static_cast<size_t>(field->FieldNo() - 1);
    char* slot = ActiveBuffer() + kHeader + offsets_[column];
    size_t size = static_cast<size_t>(NativeSize(columns_[column]));
    slot[0] = source != nullptr ? 1 : 0;
    if (source != nullptr)
      std::memcpy(slot + 1, source, size);
    else
      std::memset(slot + 1, 0, size);
    if (columns_[column].type == ftString || columns_[column].type == ftFixedChar) slot[size] = 0;
  }
  FieldDataChanged(field);
}

std::shared_ptr<TStream> TMemoryRecordSet::CreateBlobStream(TField* field, TBlobStreamMode mode) {
  int column = field->FieldNo() - 1;
  if (column < 0 || !open_) return nullptr;
  std::string value;
  auto pending = pendingBlobs_.find(column);
  if (pending != pendingBlobs_.end() && (State() == rsEdit || State() == rsInsert)) {
    value = pending->second;
  } else if (State() == rsFilter) {
    for (const TRecord& record : records_)
      if (record.image.data() == filterImage_) value = StoredBlob(record.id, column);
  } else if (const char* buffer = RecordBuffer()) {
    if (ReadBufferFlag(buffer) == rbCurrent) value = StoredBlob(BookmarkOf(buffer), column);
  }
  std::shared_ptr<TMemoryStream> stream;
  if (mode == bmRead)
    stream = std::make_shared<TMemoryStream>();
  else
    stream = std::make_shared<TBlobWriter>(this, column);
  if (mode != bmWrite) stream->WriteBuffer(value.data(), static_cast<int64_t>(value.size()));
  stream->SetPosition(0);
  return stream;
}

void TMemoryRecordSet::SetFiltered(bool value) {
  TDataSet::SetFiltered(value);
  if (!Active()) return;
  CursorToActive();
  RefillBuffers(0);
}

int TMemoryRecordSet::RecordNumber() {
  if (RingRecordCount() == 0) return -1;
  CursorToActive();
  return position_ >= 0 && position_ < static_cast<int>(records_.size()) ? position_ + 1 : -1;
}

bool TMemoryRecordSet::LocateRecord(const std::string& keyFields, const TVariant& keyValues,
                                    TSearchOptions options) {
  DoBeforeScroll();
  SuspendNotifications();
  bool found = false;
  try {
    std::string old = Bookmark();
    SettlePendingEdit();
    std::vector<TField*> fields = FieldList(keyFields);
    bool isArray = keyValues.IsArray();
    if (isArray ? keyValues.ArrayCount() == static_cast<int>(fields.size()) : fields.size() == 1) {
      First();
      while (!AtEnd() && !found) {
        found = true;
        for (size_t i = 0; i < fields.size() && found; ++i) {
          const TVariant& key = isArray ? keyValues.ArrayItem(static_cast<int>(i)) : keyValues;
          if (fields[i]->DataType() == ftString) {
            std::string text = fields[i]->ValueAsString(), wanted = key.AsString();
            if (options & SearchOpt(soPartialKey)) text = text.substr(0, wanted.size());
            found =
                (options & SearchOpt(soCaseInsensitive)) ? SameText(text, wanted) : text == wanted;
          } else {
            found = fields[i]->ValueAsVariant().Equals(key);
          }
        }
        if (!found) Next();
      }
      if (!found && !old.empty()) MoveToBookmark(old);
    }
  } catch (...) {
    ResumeNotifications();
    throw;
  }
  ResumeNotifications();
  if (found) DoAfterScroll();
  return found;
}
