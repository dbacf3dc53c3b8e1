// The index side of TDbf: the index definitions, opening the indexes with
// the table, the active index and its cursor, key searches and ranges, the
// master link and the index path of LocateRecord.

#include <algorithm>
#include <cstring>

#include "platform/env.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "runtime/variant.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/dataset/dbf_cursor.h"
#include "tdbf/dbf_str.h"
#include "tdbf/expr/dbf_parser.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/index/dbf_idxcur.h"
#include "tdbf/index/dbf_idxdef.h"
#include "tdbf/index/dbf_idxfile.h"

// ---- Index definitions ------------------------------------------------------------

void TDbfIndexDef::SetIndexFile(const std::string& value) { indexFile_ = UpperCase(Trim(value)); }
void TDbfIndexDef::SetSortField(const std::string& value) { sortField_ = UpperCase(Trim(value)); }

void TDbfIndexDef::Assign(const TDbfIndexDef& source) {
  indexFile_ = source.indexFile_;
  sortField_ = source.sortField_;
  options_ = source.options_;
}

TDbfIndexDef& TDbfIndexDefs::Add() {
  items_.push_back(std::make_unique<TDbfIndexDef>());
  return *items_.back();
}

TDbfIndexDef& TDbfIndexDefs::Items(int index) {
  if (index < 0 || index >= Count()) ListIndexError(index);
  return *items_[static_cast<size_t>(index)];
}

void TDbfIndexDefs::Delete(int index) {
  if (index < 0 || index >= Count()) ListIndexError(index);
  items_.erase(items_.begin() + index);
}

TDbfIndexDef* TDbfIndexDefs::GetIndexByName(const std::string& name) {
  for (auto& item : items_)
    if (item->IndexFile() == name) return item.get();
  return nullptr;
}

TDbfIndexDef* TDbfIndexDefs::GetIndexByField(const std::string& expression) {
  const std::string wanted = UpperCase(Trim(expression));
  if (wanted.empty()) return nullptr;
  for (auto& item : items_)
    if (UpperCase(Trim(item->SortField())) == wanted) return item.get();
  return nullptr;
}

// ---- Master link ------------------------------------------------------------------

TDbfMasterLink::TDbfMasterLink(TDbf* detail) : detail_(detail) {}

TDbfMasterLink::~TDbfMasterLink() {
  // No news reaches the detail while the link goes.
  detail_ = nullptr;
  SetDataSource(nullptr);
}

void TDbfMasterLink::SetFieldNames(const std::string& value) {
  fieldNames_ = value;
  Compile();
}

void TDbfMasterLink::Compile() {
  parser_.reset();
  TDbf* master = DataSource() != nullptr ? dynamic_cast<TDbf*>(DataSource()->DataSet()) : nullptr;
  if (master == nullptr || !master->Active() || master->DbfFile() == nullptr ||
      Trim(fieldNames_).empty())
    return;
  auto parser = std::make_unique<TDbfParser>(master->DbfFile());
  try {
    parser->ParseText(fieldNames_);
  } catch (const Exception&) {
    return;
  }
  parser_ = std::move(parser);
}

bool TDbfMasterLink::MasterKey(std::string& text, double& number, bool& isText) {
  TDbf* master = DataSource() != nullptr ? dynamic_cast<TDbf*>(DataSource()->DataSet()) : nullptr;
  if (!parser_ || master == nullptr || master->ActiveBuffer() == nullptr || master->IsEmpty())
    return false;
  const char* value = parser_->EvaluateRecord(TDbf::RecordImage(master->ActiveBuffer()));
  isText = parser_->ResultType() == rtString;
  switch (parser_->ResultType()) {
    case rtString:
      text.assign(value, parser_->IsComputed() ? strnlen(value, parser_->ResultLength())
                                               : static_cast<size_t>(parser_->ResultLength()));
      return true;
    case rtInteger: {
      int32_t v;
      std::memcpy(&v, value, sizeof v);
      number = v;
      return true;
    }
    case rtLargeInt: {
      int64_t v;
      std::memcpy(&v, value, sizeof v);
      number = static_cast<double>(v);
      return true;
    }
    case rtFloat:
      std::memcpy(&number, value, sizeof number);
      return true;
    default:
      return false;
  }
}

void TDbfMasterLink::ActiveChanged() {
  if (detail_ == nullptr) return;
  Compile();
  if (Active())
    detail_->MasterChanged();
  else
    detail_->MasterDisabled();
}

void TDbfMasterLink::LayoutChanged() {
  if (detail_ == nullptr) return;
  Compile();
  detail_->MasterChanged();
}

void TDbfMasterLink::RecordChanged(TField*) {
  if (detail_ == nullptr || DataSource() == nullptr || DataSource()->DataSet() == nullptr) return;
  if (DataSource()->DataSet()->State() == rsSetKey) return;
  detail_->MasterChanged();
}

// ---- The dataset ------------------------------------------------------------------

namespace {

// A name with an extension is a file: made absolute against the table's
// folder, in the letter case found on disk.
std::string IndexPathFor(const std::string& name, const std::string& folder) {
  if (ExtractFileExt(name).empty()) return name;
  std::string path = platform::IsAbsolutePath(name) ? name : folder + name;
  if (!platform::TEnv::Default()->FileExists(path)) {
    const std::string found = platform::TEnv::Default()->FindFileIgnoringCase(path);
    if (!found.empty()) path = found;
  }
  return path;
}

}  // namespace

void TDbf::OpenIndexes() {
  TDbfIndexDefs& defs = *indexDefs_;
  for (int i = defs.Count() - 1; i >= 0; --i)
    if (defs.Items(i).FromFile() && ExtractFileExt(defs.Items(i).IndexFile()).empty())
      defs.Delete(i);
  for (int i = 0; i < defs.Count(); ++i) {
    const TDbfIndexDef& def = defs.Items(i);
    dbfFile_->OpenIndex(IndexPathFor(def.IndexFile(), filePathFull_), def.SortField(), false,
                        def.Options());
  }
  TIndexFile* production = dbfFile_->ProductionIndex();
  if (production != nullptr) {
    const int selected = production->SelectedTag();
    for (int slot = 0; slot < production->TagCount(); ++slot) {
      const std::string name = production->IndexNames()[static_cast<size_t>(slot)];
      if (defs.GetIndexByName(name) != nullptr) continue;
      production->SelectTag(slot);
      TDbfIndexDef& def = defs.Add();
      def.SetIndexFile(name);
      def.SetSortField(production->Expression());
      TIndexOptions options = IndexOpt(ixExpression);
      if (production->Descending()) options |= IndexOpt(ixDescending);
      if (production->UniqueMode() == iuUnique) options |= IndexOpt(ixUnique);
      if (production->UniqueMode() == iuDistinct) options |= IndexOpt(ixPrimary);
      def.SetOptions(options);
      def.SetFromFile(true);
    }
    if (selected >= 0) production->SelectTag(selected);
  }
  if (!dbfFile_->IndexOpenError().empty()) {
    ReportException(EDbfError(Format(kIndexClosedNoEdit, FullTableName().c_str(),
                                     dbfFile_->ProductionIndexName().c_str(),
                                     dbfFile_->IndexOpenError().c_str())));
  }
}

void TDbf::CheckIndexesOpened() const {
  if (dbfFile_->IndexOpenError().empty()) return;
  throw EDbfError(Format(kIndexClosedNoEdit, FullTableName().c_str(),
                         dbfFile_->ProductionIndexName().c_str(),
                         dbfFile_->IndexOpenError().c_str()));
}

void TDbf::RegenerateIndexes(const std::function<void(int32_t done, int32_t total)>& progress) {
  CheckActive();
  SettlePendingEdit();
  CheckWritable();
  CheckIndexesOpened();
  if (dbfFile_->IndexFileCount() == 0)
    throw EDbfError(Format(kDbfNoIndexToRegenerate, ExtractFileName(FullTableName()).c_str()));
  const bool entered = EnterExclusiveFor("regenerate the indexes of");
  CursorToActive();
  const int32_t recNo = cursor_->PhysicalPosition();
  try {
    for (int i = 0; i < dbfFile_->IndexFileCount(); ++i)
      dbfFile_->RegenerateIndex(dynamic_cast<TIndexFile*>(dbfFile_->IndexFiles(i)), "", progress);
  } catch (...) {
    if (entered) dbfFile_->LeaveExclusive();
    throw;
  }
  if (entered) dbfFile_->LeaveExclusive();
  // The cursor walks the rebuilt tree from the record it was on.
  ForgetRejected();
  ApplyIndexName(recNo);
  CursorMoved();
  RefillBuffers(0);
}

std::string TDbf::IndexName() const { return indexName_; }

void TDbf::SetIndexName(const std::string& value) {
  indexName_ = value;
  if (!cursor_ || !Active()) return;
  SettlePendingEdit();
  ForgetRejected();
  CursorToActive();
  ApplyIndexName(cursor_->PhysicalPosition());
  CursorMoved();
  if (State() == rsBrowse) RefillBuffers(0);
}

void TDbf::ApplyIndexName(int32_t recNo) {
  sortField_.clear();
  sortDescending_ = false;
  const std::string name = Trim(indexName_);
  const std::string lookup = IndexPathFor(name, filePathFull_);
  TIndexFile* file = name.empty() ? nullptr : dbfFile_->IndexFileOf(lookup);
  if (file != nullptr) {
    file->SelectIndex(lookup);
    cursor_ = std::make_unique<TIndexCursor>(file, file->IndexName());
    ApplyMasterRange();
    if (recNo > 0)
      cursor_->SetPhysicalPosition(recNo);
    else
      cursor_->First();
    return;
  }
  indexName_.clear();
  UsePhysicalCursor(std::max(recNo, 0));
}

std::string TDbf::IndexFieldNames() const {
  if (indexName_.empty()) return std::string();
  TDbfIndexDef* def = indexDefs_->GetIndexByName(UpperCase(Trim(indexName_)));
  return def != nullptr ? def->SortField() : std::string();
}

void TDbf::SetIndexFieldNames(const std::string& value) {
  TDbfIndexDef* def = indexDefs_->GetIndexByField(value);
  SetIndexName(def != nullptr ? def->IndexFile() : std::string());
}

TIndexFile* TDbf::ActiveIndexFile() const {
  auto* cursor = dynamic_cast<TIndexCursor*>(cursor_.get());
  return cursor != nullptr ? cursor->IndexFile() : nullptr;
}

// Filling the rows in index order takes one lock of the index and one
// reading of its pages, not one for every row; in record-number order the
// records the rows want are read ahead together.
void TDbf::BeginFetchRun(int records) {
  if (heldIndexes_.empty()) {
    readAheadCount_ = 0;
    readAheadWanted_ = PhysicalCursor() != nullptr ? records : 0;
  }
  TIndexFile* file = ActiveIndexFile();
  if (file != nullptr) file->BeginHold();
  heldIndexes_.push_back(file);
}

void TDbf::EndFetchRun() noexcept {
  if (heldIndexes_.empty()) return;
  if (heldIndexes_.back() != nullptr) heldIndexes_.back()->EndHold();
  heldIndexes_.pop_back();
  if (heldIndexes_.empty()) {
    readAheadCount_ = 0;
    readAheadWanted_ = 0;
  }
}

bool TDbf::SearchKey(const TVariant& value, int mode) {
  TIndexFile* file = ActiveIndexFile();
  if (file == nullptr || value.IsNull() || value.IsEmpty()) return false;
  if (file->KeyType() != 'C') return SearchKeyBuffer(file->KeyFromNumber(value.AsDouble()), mode);
  return SearchKeyBuffer(value.AsString(), mode);
}

bool TDbf::SearchKeyBuffer(const std::string& key, int mode) {
  auto* cursor = dynamic_cast<TIndexCursor*>(cursor_.get());
  if (cursor == nullptr) return false;
  SettlePendingEdit();
  DoBeforeScroll();
  if (!cursor->SearchKey(key, mode)) {
    CursorToActive();
    return false;
  }
  CursorMoved();
  RefillBuffers(rmExact | rmCenter);
  DoAfterScroll();
  return true;
}

void TDbf::SetKeyRange(const std::string& lowKey, const std::string& highKey) {
  auto* cursor = dynamic_cast<TIndexCursor*>(cursor_.get());
  if (cursor == nullptr) return;
  SettlePendingEdit();
  ForgetRejected();
  cursor->SetRange(lowKey, highKey);
  if (Active()) First();
}

void TDbf::CancelRange() {
  auto* cursor = dynamic_cast<TIndexCursor*>(cursor_.get());
  if (cursor == nullptr) return;
  SettlePendingEdit();
  CursorToActive();
  ForgetRejected();
  cursor->CancelRange();
  if (!Active()) return;
  CursorMoved();
  RefillBuffers(0);
}

void TDbf::SetMasterSource(TDataSource* value) {
  masterSource_ = value;
  masterLink_->SetDataSource(value);
}

void TDbf::SetMasterFields(const std::string& value) {
  masterFields_ = value;
  masterLink_->SetFieldNames(value);
  if (Active() && cursor_) MasterChanged();
}

void TDbf::ApplyMasterRange() {
  auto* cursor = dynamic_cast<TIndexCursor*>(cursor_.get());
  if (cursor == nullptr || !masterLink_->Compiled()) return;
  std::string text;
  double number = 0;
  bool isText = true;
  if (!masterLink_->MasterKey(text, number, isText)) {
    cursor->CancelRange();
    return;
  }
  TIndexFile* file = cursor->IndexFile();
  const std::string key = isText ? file->KeyFromText(text) : file->KeyFromNumber(number);
  cursor->SetRange(key, key);
}

void TDbf::MasterChanged() {
  if (destroying_ || !Active() || !cursor_) return;
  SettlePendingEdit();
  ForgetRejected();
  ApplyMasterRange();
  First();
}

void TDbf::MasterDisabled() {
  if (destroying_ || !Active() || !cursor_) return;
  CancelRange();
}

bool TDbf::LocateByIndex(const std::string& keyFields, const TVariant& keyValues,
                         TSearchOptions options, bool& found) {
  found = false;
  auto* cursor = dynamic_cast<TIndexCursor*>(cursor_.get());
  if (cursor == nullptr || Filtered() || OnFilterRecord() || keyValues.IsArray() ||
      keyValues.IsNull() || (options & SearchOpt(soCaseInsensitive)) != 0)
    return false;
  TIndexFile* file = cursor->IndexFile();
  if (UpperCase(Trim(file->Expression())) != UpperCase(Trim(keyFields))) return false;
  TField* field = FindFieldNamed(Trim(keyFields));
  if (field == nullptr || field->FieldNo() < 1) return false;
  const bool partial = (options & SearchOpt(soPartialKey)) != 0;
  std::string key;
  size_t compared = static_cast<size_t>(file->KeyLength());
  if (file->KeyType() == 'C') {
    if (field->DataType() != ftString) return false;
    // The value in the table's code page, as the key bytes are. A value
    // the code page cannot hold is in no record.
    std::string text;
    try {
      TextToStorage(*field, keyValues.AsString(), text, std::string::npos);
    } catch (const EDatabaseError&) {
      return true;
    }
    if (partial) compared = std::min(compared, text.size());
    key = file->KeyFromText(text);
  } else {
    if (partial || !keyValues.IsNumeric()) return false;
    key = file->KeyFromNumber(keyValues.AsDouble());
  }
  CursorMoved();
  // The first entry with the key (its start, for a partial key) that the
  // set shows: deleted records are passed over unless they are shown.
  if (!cursor->SearchKey(key, partial ? 1 : 0)) return true;
  std::vector<char> record(static_cast<size_t>(dbfFile_->RecordSize()));
  do {
    const int32_t recNo = cursor->PhysicalPosition();
    if (recNo < 1 || dbfFile_->ReadPage(recNo, record.data()) < dbfFile_->RecordSize()) break;
    const char* entryKey = file->ExtractKey(record.data());
    const bool same = file->KeyType() == 'C' ? std::memcmp(entryKey, key.data(), compared) == 0
                                             : file->CompareKeys(entryKey, key.data()) == 0;
    if (!same) break;
    if (showDeleted_ || record[0] != '*') {
      found = true;
      RefillBuffers(rmExact | rmCenter);
      return true;
    }
  } while (cursor->Next());
  return true;
}
