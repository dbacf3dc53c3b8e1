#include "recordset/dataset.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "recordset/datasource.h"
#include "recordset/db_consts.h"
#include "recordset/fields.h"
#include "runtime/classes.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"

namespace {

// Runs its action when the scope ends, however it ends.
struct TAtExit {
  std::function<void()> action;
  ~TAtExit() { action(); }
};

bool IsActiveState(TRecordSetState state) { return state != rsInactive && state != rsOpening; }

bool IsEditState(TRecordSetState state) { return state == rsEdit || state == rsInsert; }

}  // namespace

TDataSet::TDataSet() = default;

TDataSet::~TDataSet() {
  // A concrete set has closed itself through Destroying(); what is left
  // here must not reach the hooks, whose overrides are gone. Nothing may
  // leave a destructor, so a source's listener that raises is ignored.
  MarkDestroying();
  state_ = rsInactive;
  openComplete_ = false;
  while (!dataSources_.empty()) {
    try {
      dataSources_.back()->SetDataSet(nullptr);
    } catch (...) {
      // The source is off the list before its listeners hear of it.
    }
  }
  buffers_.clear();
  fields_.clear();
  aggregateFields_.clear();
}

void TDataSet::Destroying() noexcept {
  MarkDestroying();
  // Runs in a destructor, where an exception would end the program: a
  // failure is reported and the teardown goes on.
  auto reportFailure = [this](const std::function<void()>& step) {
    try {
      step();
    } catch (const Exception& e) {
      try {
        ReportException(e);
      } catch (...) {
        // A reporter that fails itself has nobody left to tell.
      }
    } catch (...) {
      // Not one of ours: nothing to show, but still no escape.
    }
  };
  reportFailure([this] { SetActive(false); });
  // A listener that raised on the state change stopped the close before
  // the storage was closed: close it now.
  if (openComplete_) reportFailure([this] { CloseCursor(); });
  while (!dataSources_.empty()) reportFailure([this] { dataSources_.back()->SetDataSet(nullptr); });
}

void TDataSet::Run(const TDataSetNotifyEvent& event) {
  if (event) event(*this);
}

// ---- Opening and closing ---------------------------------------------------------

void TDataSet::SetActive(bool value) {
  if (IsLoading()) {
    streamedActive_ = value;
    return;
  }
  if (value == Active()) return;
  if (value) {
    Run(beforeOpen_);
    OpenCursor();
    SetState(rsBrowse);
    Run(afterOpen_);
  } else {
    if (!IsDestroying()) Run(beforeClose_);
    SetState(rsInactive);
    CloseCursor();
    if (!IsDestroying()) Run(afterClose_);
  }
}

void TDataSet::Loaded() {
  if (!streamedActive_) return;
  try {
    SetActive(true);
  } catch (const Exception& e) {
    if (!IsDesigning()) throw;
    ReportException(e);
  }
}

void TDataSet::OpenCursor() {
  defaultFields_ = fields_.empty();
  try {
    OpenStorage();
    openComplete_ = true;
    UpdateBufferCount();
    atStart_ = true;
  } catch (...) {
    try {
      CloseCursor();
    } catch (...) {
      // The failure to open is the one to report.
    }
    throw;
  }
}

void TDataSet::CloseCursor() {
  openComplete_ = false;
  blockReadSize_ = 0;
  FreeFieldBuffers();
  ClearBuffers();
  for (auto& buffer : buffers_) DisposeRecordBuffer(buffer);
  buffers_.clear();
  bufferCount_ = 0;
  calcBuffer_ = nullptr;
  try {
    CloseStorage();
  } catch (...) {
    defaultFields_ = false;
    throw;
  }
  defaultFields_ = false;
}

void TDataSet::CheckActive() const {
  if (!Active()) DatabaseError(dbmsg::kDataSetClosed, this);
}

void TDataSet::CheckInactive() {
  if (!Active()) return;
  if (IsDesigning() || IsUpdating())
    Close();
  else
    DatabaseError(dbmsg::kDataSetOpen, this);
}

void TDataSet::SetFilter(const std::string& text) { filter_ = text; }

void TDataSet::SetFiltered(bool value) { filtered_ = value; }

// ---- State and notifications -----------------------------------------------------

void TDataSet::SetState(TRecordSetState state) {
  if (state_ == state) return;
  state_ = state;
  modified_ = false;
  Notify(reStateChanged);
}

TDataSet::TTempState TDataSet::EnterTempState(TRecordSetState state) {
  TTempState saved{state_, modified_};
  state_ = state;
  ++suspendCount_;
  modified_ = false;
  return saved;
}

void TDataSet::LeaveTempState(const TTempState& saved) {
  state_ = saved.state;
  --suspendCount_;
  modified_ = saved.modified;
}

void TDataSet::SuspendNotifications() {
  if (suspendCount_ == 0) {
    suspendState_ = state_;
    heldLayout_ = false;
  }
  ++suspendCount_;
}

void TDataSet::ResumeNotifications() {
  if (suspendCount_ <= 0) return;
  if (--suspendCount_ > 0) return;
  bool layout = heldLayout_;
  heldLayout_ = false;
  if (state_ != suspendState_) SendToSources(reStateChanged, nullptr, 0);
  if (IsActiveState(suspendState_) && IsActiveState(state_))
    SendToSources(layout ? reLayoutChanged : reSetChanged, nullptr, 0);
}

void TDataSet::Notify(TRecordSetEvent event, TField* field, int distance) {
  if (event == reFieldChanged && field != nullptr) {
    if (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc) modified_ = true;
    if (state_ != rsSetKey && calcFieldsSize_ > 0 && ActiveBuffer() != nullptr)
      ComputeCalcFields(ActiveBuffer());
    if (field->onChange_) field->onChange_(*field);
  }
  if (suspendCount_ > 0 || state_ == rsBlockRead) {
    if (event == reLayoutChanged || (event == reStateChanged && state_ == rsInactive))
      heldLayout_ = true;
    return;
  }
  SendToSources(event, field, distance);
}

void TDataSet::SendToSources(TRecordSetEvent event, TField* field, int distance) {
  for (size_t i = 0; i < dataSources_.size(); ++i) dataSources_[i]->Notify(event, field, distance);
}

void TDataSet::FieldDataChanged(TField* field) {
  if (state_ != rsCalcFields && state_ != rsFilter && state_ != rsNewValue)
    Notify(reFieldChanged, field);
}

// ---- Fields ----------------------------------------------------------------------

TField* TDataSet::Fields(int index) const {
  if (index < 0 || index >= FieldCount()) ListIndexError(index);
  return fields_[static_cast<size_t>(index)].get();
}

TField* TDataSet::FindFieldNamed(const std::string& name) const {
  for (const auto& field : fields_)
    if (SameText(field->FieldName(), name)) return field.get();
  for (const auto& field : aggregateFields_)
    if (SameText(field->FieldName(), name)) return field.get();
  return nullptr;
}

TField* TDataSet::FieldNamed(const std::string& name) const {
  TField* field = FindFieldNamed(name);
  if (field == nullptr) DatabaseError(Format(dbmsg::kFieldNotFound, name.c_str()), this);
  return field;
}

std::vector<TField*> TDataSet::FieldList(const std::string& fieldNames) const {
  std::vector<TField*> list;
  size_t start = 0;
  while (start <= fieldNames.size()) {
    size_t end = fieldNames.find(';', start);
    if (end == std::string::npos) end = fieldNames.size();
    std::string name = Trim(fieldNames.substr(start, end - start));
    if (!name.empty()) list.push_back(FieldNamed(name));
    start = end + 1;
  }
  return list;
}

void TDataSet::ListFieldNames(TStringList& list) {
  list.Clear();
  if (!fields_.empty()) {
    for (const auto& field : fields_) list.Add(field->FieldName());
    return;
  }
  UpdateFieldDefs();
  for (int i = 0; i < fieldDefs_.Count(); ++i) list.Add(fieldDefs_[i].Name());
}

TField* TDataSet::AddField(std::unique_ptr<TField> field) {
  field->dataSet_ = this;
  TField* result = field.get();
  if (field->FieldKind() == fkAggregate)
    aggregateFields_.push_back(std::move(field));
  else
    fields_.push_back(std::move(field));
  Notify(reFieldListChanged);
  return result;
}

void TDataSet::RemoveField(TField* field) {
  for (auto* list : {&fields_, &aggregateFields_}) {
    for (auto it = list->begin(); it != list->end(); ++it) {
      if (it->get() == field) {
        list->erase(it);
        Notify(reFieldListChanged);
        return;
      }
    }
  }
}

void TDataSet::UpdateFieldDefs() {
  if (fieldDefs_.Updated()) return;
  BuildFieldDefs();
  fieldDefs_.SetUpdated(true);
}

void TDataSet::CreateFields() {
  for (int i = 0; i < fieldDefs_.Count(); ++i) {
    const TFieldDef& def = fieldDefs_[i];
    if (def.DataType() == ftUnknown || def.HasAttribute(faHiddenCol)) continue;
    std::unique_ptr<TField> field = def.CreateField();
    if (field) AddField(std::move(field));
  }
}

void TDataSet::DestroyFields() {
  fields_.clear();
  aggregateFields_.clear();
  Notify(reFieldListChanged);
}

void TDataSet::BindFields(bool binding) {
  calcFieldsSize_ = 0;
  for (const auto& field : fields_) {
    if (!binding) {
      field->fieldNo_ = 0;
      field->offset_ = 0;
      continue;
    }
    if (field->Calculated()) {
      field->fieldNo_ = -1;
      field->offset_ = calcFieldsSize_;
      calcFieldsSize_ += field->DataSize();
    } else if (field->FieldKind() == fkData) {
      int index = fieldDefs_.IndexOf(field->FieldName());
      if (index < 0) DatabaseError(Format(dbmsg::kFieldNotFound, field->FieldName().c_str()), this);
      field->fieldNo_ = index + 1;
    }
  }
}

void TDataSet::FreeFieldBuffers() {
  for (const auto& field : fields_) field->FreeBuffers();
}

bool TDataSet::ReadFieldData(TField*, void*) { return false; }

void TDataSet::ClearCalcArea(char*) {}

void TDataSet::ComputeCalcFields(char* buffer) {
  if (calcFieldsSize_ <= 0 || buffer == nullptr) return;
  TTempState saved = EnterTempState(rsCalcFields);
  char* savedBuffer = calcBuffer_;
  calcBuffer_ = buffer;
  try {
    ClearCalcArea(buffer);
    Run(onCalcFields_);
  } catch (...) {
    calcBuffer_ = savedBuffer;
    LeaveTempState(saved);
    throw;
  }
  calcBuffer_ = savedBuffer;
  LeaveTempState(saved);
}

// ---- The ring --------------------------------------------------------------------

void TDataSet::SetActiveRecord(int index) {
  if (index < 0 || index >= std::max(recordCount_, 1)) ListIndexError(index);
  activeRecord_ = index;
}

void TDataSet::ClearBuffers() {
  recordCount_ = 0;
  activeRecord_ = 0;
  currentRecord_ = -1;
  atStart_ = true;
  atEnd_ = true;
}

void TDataSet::ActivateBuffers() {
  recordCount_ = 1;
  activeRecord_ = 0;
  currentRecord_ = 0;
  atStart_ = false;
  atEnd_ = false;
}

void TDataSet::CursorToRing(int index) {
  if (currentRecord_ == index) return;
  const char* buffer = Buffers(index);
  switch (ReadBufferFlag(buffer)) {
    case rbBOF:
      CursorToStart();
      break;
    case rbEOF:
      CursorToEnd();
      break;
    default:
      CursorToBuffer(buffer);
  }
  currentRecord_ = index;
}

void TDataSet::CursorToActive() {
  if (recordCount_ > 0) CursorToRing(activeRecord_);
}

bool TDataSet::FetchForward() {
  TFetchMode mode = fcNext;
  if (recordCount_ > 0) {
    CursorToRing(recordCount_ - 1);
    if (state_ == rsInsert && currentRecord_ == activeRecord_ &&
        ReadBufferFlag(ActiveBuffer()) == rbCurrent)
      mode = fcCurrent;
  }
  TFetchResult result = FetchRecord(Buffers(recordCount_), mode, true);
  if (result != frOK) {
    currentRecord_ = -1;
    return false;
  }
  if (recordCount_ == 0) {
    ActivateBuffers();
  } else if (recordCount_ < bufferCount_) {
    ++recordCount_;
  } else {
    std::rotate(buffers_.begin(), buffers_.begin() + 1, buffers_.end());
  }
  currentRecord_ = recordCount_ - 1;
  return true;
}

bool TDataSet::FetchBackward() {
  if (recordCount_ > 0) CursorToRing(0);
  TFetchResult result = FetchRecord(Buffers(recordCount_), fcPrior, true);
  if (result != frOK) {
    currentRecord_ = -1;
    return false;
  }
  if (recordCount_ == 0) {
    ActivateBuffers();
  } else {
    std::rotate(buffers_.begin(), buffers_.begin() + recordCount_,
                buffers_.begin() + recordCount_ + 1);
    if (recordCount_ < bufferCount_) {
      ++recordCount_;
      ++activeRecord_;
    }
  }
  currentRecord_ = 0;
  return true;
}

int TDataSet::FillForward() {
  if (recordCount_ >= bufferCount_) return 0;
  BeginFetchRun(bufferCount_ - recordCount_);
  TAtExit end{[this] { EndFetchRun(); }};
  int count = 0;
  while (recordCount_ < bufferCount_ && FetchForward()) {
    ++count;
    // The cursor is on the last ring record: the records after it that the
    // storage has at hand come in one call. (An insert's first fetch is of
    // the current record, not the next.)
    if (state_ == rsInsert) continue;
    const int ready = FetchReadyForward(recordCount_, bufferCount_ - recordCount_);
    recordCount_ += ready;
    currentRecord_ = recordCount_ - 1;
    count += ready;
  }
  return count;
}

int TDataSet::FillBackward() {
  if (recordCount_ >= bufferCount_) return 0;
  BeginFetchRun(bufferCount_ - recordCount_);
  TAtExit end{[this] { EndFetchRun(); }};
  int count = 0;
  while (recordCount_ < bufferCount_ && FetchBackward()) ++count;
  return count;
}

void TDataSet::UpdateBufferCount() {
  if (!openComplete_) return;
  int count = 1;
  for (TDataSource* source : dataSources_)
    for (int i = 0; i < source->DataLinkCount(); ++i)
      count = std::max(count, source->DataLinks(i)->BufferCount());
  if (blockReadSize_ > 0) count = std::max(count, blockReadSize_);
  SetBufferCount(count);
}

void TDataSet::SetBufferCount(int count) {
  if (count == bufferCount_ && static_cast<int>(buffers_.size()) == count + 1) return;
  auto forEachActiveLink = [this](const std::function<void(TDataLink*)>& action) {
    for (TDataSource* source : dataSources_)
      for (int i = 0; i < source->DataLinkCount(); ++i) {
        TDataLink* link = source->DataLinks(i);
        if (link->Active()) action(link);
      }
  };
  if (count < bufferCount_ && recordCount_ > 0) {
    // Keep the records from the lowest of the active record and the
    // links' first records on, as many as fit, the active one included.
    int lowest = activeRecord_;
    forEachActiveLink(
        [&lowest](TDataLink* link) { lowest = std::min(lowest, std::max(link->firstRecord_, 0)); });
    int drop = std::max(lowest, activeRecord_ - count + 1);
    if (drop > 0) {
      std::rotate(buffers_.begin(), buffers_.begin() + drop, buffers_.begin() + recordCount_ + 1);
      recordCount_ -= drop;
      activeRecord_ -= drop;
      currentRecord_ = currentRecord_ >= drop ? currentRecord_ - drop : -1;
      forEachActiveLink(
          [drop](TDataLink* link) { link->firstRecord_ = std::max(link->firstRecord_ - drop, 0); });
    }
    if (recordCount_ > count) {
      recordCount_ = count;
      if (currentRecord_ >= count) currentRecord_ = -1;
    }
  }
  while (static_cast<int>(buffers_.size()) > count + 1) {
    DisposeRecordBuffer(buffers_.back());
    buffers_.pop_back();
  }
  while (static_cast<int>(buffers_.size()) < count + 1) buffers_.push_back(NewRecordBuffer());
  bufferCount_ = count;
  FillForward();
  int added = FillBackward();
  if (added > 0) forEachActiveLink([added](TDataLink* link) { link->firstRecord_ += added; });
}

void TDataSet::RefillBuffers(TRefillMode mode) {
  if (buffers_.empty()) return;
  try {
    char* spare = Buffers(recordCount_);
    if (mode & rmExact) {
      currentRecord_ = -1;
      if (FetchRecord(spare, fcCurrent, false) != frOK) DatabaseError(dbmsg::kRecordNotFound, this);
    } else if (FetchRecord(spare, fcCurrent, false) != frOK &&
               FetchRecord(spare, fcNext, false) != frOK &&
               FetchRecord(spare, fcPrior, false) != frOK) {
      ClearBuffers();
      Notify(reSetChanged);
      return;
    }
    int count = (mode & rmCenter) ? (bufferCount_ - 1) / 2 : activeRecord_;
    std::rotate(buffers_.begin(), buffers_.begin() + recordCount_,
                buffers_.begin() + recordCount_ + 1);
    ActivateBuffers();
    while (count > 0 && FetchBackward()) --count;
    FillForward();
    FillBackward();
  } catch (...) {
    Notify(reSetChanged);
    throw;
  }
  Notify(reSetChanged);
}

// ---- Navigation ----------------------------------------------------------------

void TDataSet::First() {
  SettlePendingEdit();
  Run(beforeScroll_);
  ClearBuffers();
  try {
    CursorToStart();
    if (FetchForward()) FillForward();
  } catch (...) {
    atStart_ = true;
    Notify(reSetChanged);
    throw;
  }
  atStart_ = true;
  Notify(reSetChanged);
  Run(afterScroll_);
}

void TDataSet::Last() {
  SettlePendingEdit();
  Run(beforeScroll_);
  ClearBuffers();
  try {
    CursorToEnd();
    if (FetchBackward()) FillBackward();
  } catch (...) {
    atEnd_ = true;
    Notify(reSetChanged);
    throw;
  }
  atEnd_ = true;
  Notify(reSetChanged);
  Run(afterScroll_);
}

int TDataSet::MoveRecords(int distance) {
  SettlePendingEdit();
  Run(beforeScroll_);
  if (distance == 0 || (distance > 0 && atEnd_) || (distance < 0 && atStart_)) return 0;
  atStart_ = false;
  atEnd_ = false;
  const int oldCount = recordCount_;
  int moved = 0;
  int slid = 0;
  auto announce = [&] {
    if (recordCount_ == oldCount)
      Notify(reScrolled, nullptr, distance > 0 ? -slid : slid);
    else
      Notify(reSetChanged);
  };
  try {
    if (distance > 0) {
      while (moved < distance) {
        if (activeRecord_ < recordCount_ - 1) {
          ++activeRecord_;
        } else {
          int before = recordCount_;
          if (!FetchForward()) {
            atEnd_ = true;
            break;
          }
          if (before == recordCount_)
            ++slid;
          else if (before > 0)
            ++activeRecord_;
        }
        ++moved;
      }
    } else {
      // Counted as a positive number: -distance overflows for the lowest int.
      while (-moved > distance) {
        if (activeRecord_ > 0) {
          --activeRecord_;
        } else {
          int before = recordCount_;
          if (!FetchBackward()) {
            atStart_ = true;
            break;
          }
          if (before == recordCount_)
            ++slid;
          else if (before > 0)
            --activeRecord_;
        }
        ++moved;
      }
    }
  } catch (...) {
    announce();
    throw;
  }
  announce();
  Run(afterScroll_);
  return distance > 0 ? moved : -moved;
}

void TDataSet::MoveNext() {
  if (state_ == rsBlockRead)
    NextBlock();
  else
    MoveRecords(1);
}

void TDataSet::Prior() { MoveRecords(-1); }

void TDataSet::SetBlockReadSize(int size) {
  size = std::max(size, 0);
  if (size == blockReadSize_) return;
  if (size > 0) {
    if (blockReadSize_ == 0) {
      SettlePendingEdit();
      blockReadSize_ = size;
      SetState(rsBlockRead);
    } else {
      blockReadSize_ = size;
    }
    UpdateBufferCount();
    return;
  }
  blockReadSize_ = 0;
  if (state_ != rsBlockRead) return;
  SetState(rsBrowse);
  UpdateBufferCount();
  // The walk moved the ring under the links without telling them: each
  // sees it again from its start.
  for (TDataSource* source : dataSources_)
    for (int i = 0; i < source->DataLinkCount(); ++i) source->DataLinks(i)->firstRecord_ = 0;
  Notify(reSetChanged);
}

void TDataSet::NextBlock() {
  Run(beforeScroll_);
  if (activeRecord_ < recordCount_ - 1) {
    ++activeRecord_;
  } else if (!atEnd_ && recordCount_ > 0) {
    // The next block follows the last record: the cursor goes to it, its
    // buffer to the spare place past the ring (which no fetch fills), and
    // the ring fills anew in one run. Should nothing follow, the last
    // record comes back as the ring's only one.
    CursorToRing(recordCount_ - 1);
    auto& spare = buffers_[static_cast<size_t>(bufferCount_)];
    std::swap(buffers_[static_cast<size_t>(recordCount_ - 1)], spare);
    recordCount_ = 0;
    activeRecord_ = 0;
    currentRecord_ = -1;
    auto keepLast = [this, &spare] {
      if (recordCount_ > 0) return;
      std::swap(buffers_[0], spare);
      recordCount_ = 1;
      currentRecord_ = -1;
    };
    try {
      if (FillForward() == 0) atEnd_ = true;
    } catch (...) {
      keepLast();
      throw;
    }
    keepLast();
  }
  Run(afterScroll_);
}

// ---- Editing -------------------------------------------------------------------

void TDataSet::CheckWritable() {
  if (!IsWritable()) DatabaseError(dbmsg::kDataSetReadOnly, this);
}

void TDataSet::RunWithErrorEvent(const std::function<void()>& operation,
                                 const TDataSetErrorEvent& event) {
  for (;;) {
    CursorToActive();
    try {
      operation();
      return;
    } catch (EDatabaseError& error) {
      TDataAction action = daFail;
      if (event) event(*this, error, action);
      if (action == daFail) throw;
      if (action == daAbort) throw EAbort();
      // The failed attempt may have moved the storage cursor.
      currentRecord_ = -1;
    }
  }
}

void TDataSet::UpdateRecord() {
  if (state_ != rsEdit && state_ != rsInsert && state_ != rsSetKey)
    DatabaseError(dbmsg::kNotEditing, this);
  Notify(reUpdateRecord);
}

void TDataSet::SettlePendingEdit() {
  CheckActive();
  Notify(reSettleEdits);
  switch (state_) {
    case rsEdit:
    case rsInsert:
      UpdateRecord();
      if (modified_)
        Post();
      else
        Cancel();
      break;
    case rsSetKey:
      Post();
      break;
    default:
      break;
  }
}

void TDataSet::Edit() {
  if (IsEditState(state_)) return;
  if (recordCount_ == 0) {
    Insert();
    return;
  }
  SettlePendingEdit();
  CheckWritable();
  Run(beforeEdit_);
  RunWithErrorEvent([this] { BeginEditRecord(); }, onEditError_);
  ComputeCalcFields(ActiveBuffer());
  SetState(rsEdit);
  Notify(reRecordChanged);
  Run(afterEdit_);
}

void TDataSet::BeginInsertOrAppend() {
  SettlePendingEdit();
  CheckWritable();
  Run(beforeInsert_);
  Run(beforeScroll_);
}

void TDataSet::FinishInsertOrAppend() {
  BeginInsertRecord();
  SetState(rsInsert);
  try {
    Run(onNewRecord_);
  } catch (...) {
    CursorToActive();
    CancelRecord();
    SetState(rsBrowse);
    RefillBuffers(0);
    throw;
  }
  modified_ = false;
  Notify(reSetChanged);
  Run(afterInsert_);
  Run(afterScroll_);
}

void TDataSet::Insert() {
  BeginInsertOrAppend();
  const bool hadRecords = recordCount_ > 0;
  std::string mark(static_cast<size_t>(bookmarkSize_), '\0');
  if (hadRecords && bookmarkSize_ > 0) ReadBookmark(ActiveBuffer(), mark.data());
  std::rotate(buffers_.begin() + activeRecord_, buffers_.begin() + recordCount_,
              buffers_.begin() + recordCount_ + 1);
  char* buffer = ActiveBuffer();
  InitRecordBuffer(buffer);
  ClearCalcArea(buffer);
  WriteBufferFlag(buffer, rbInserted);
  if (hadRecords)
    WriteBookmark(buffer, mark.data());
  else
    WriteBufferFlag(buffer, rbBOF);
  if (recordCount_ < bufferCount_) ++recordCount_;
  currentRecord_ = -1;
  FinishInsertOrAppend();
}

void TDataSet::AppendNew() {
  BeginInsertOrAppend();
  ClearBuffers();
  char* buffer = Buffers(0);
  InitRecordBuffer(buffer);
  ClearCalcArea(buffer);
  WriteBufferFlag(buffer, rbEOF);
  recordCount_ = 1;
  activeRecord_ = 0;
  currentRecord_ = -1;
  atStart_ = false;
  try {
    FillBackward();
  } catch (...) {
    // The blank record must not stay in the ring of a browsing set.
    ClearBuffers();
    Notify(reSetChanged);
    throw;
  }
  FinishInsertOrAppend();
}

void TDataSet::CheckRequiredFields() {
  for (const auto& field : fields_) {
    if (field->Required() && !field->ReadOnly() && field->FieldKind() == fkData &&
        field->ValueIsNull()) {
      field->FocusControl();
      DatabaseError(Format(dbmsg::kFieldRequired, field->DisplayName().c_str()), this);
    }
  }
}

void TDataSet::Post() {
  UpdateRecord();
  if (state_ == rsSetKey) {
    SetState(rsBrowse);
    return;
  }
  Notify(reSettleEdits);
  CheckRequiredFields();
  Run(beforePost_);
  RunWithErrorEvent([this] { StoreRecord(); }, onPostError_);
  FreeFieldBuffers();
  SetState(rsBrowse);
  RefillBuffers(0);
  Run(afterPost_);
}

void TDataSet::Cancel() {
  if (state_ == rsSetKey) {
    SetState(rsBrowse);
    return;
  }
  if (!IsEditState(state_)) return;
  Notify(reSettleEdits);
  Run(beforeCancel_);
  const bool inserting = state_ == rsInsert;
  if (inserting) Run(beforeScroll_);
  CursorToActive();
  CancelRecord();
  FreeFieldBuffers();
  SetState(rsBrowse);
  RefillBuffers(0);
  Run(afterCancel_);
  if (inserting) Run(afterScroll_);
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == rsInsert || state_ == rsSetKey) {
    Cancel();
    return;
  }
  if (recordCount_ == 0) DatabaseError(dbmsg::kDataSetEmpty, this);
  Notify(reSettleEdits);
  Run(beforeDelete_);
  Run(beforeScroll_);
  RunWithErrorEvent([this] { DeleteCurrent(); }, onDeleteError_);
  FreeFieldBuffers();
  SetState(rsBrowse);
  RefillBuffers(0);
  Run(afterDelete_);
  Run(afterScroll_);
}

void TDataSet::Refresh() {
  Run(beforeRefresh_);
  SettlePendingEdit();
  CursorToActive();
  try {
    RefreshStorage();
  } catch (...) {
    RefillBuffers(0);
    throw;
  }
  RefillBuffers(0);
  Run(afterRefresh_);
}

// ---- Bookmarks, positions, searching --------------------------------------------

std::string TDataSet::Bookmark() {
  if ((state_ == rsBrowse || IsEditState(state_)) && recordCount_ > 0 && bookmarkSize_ > 0 &&
      ReadBufferFlag(ActiveBuffer()) == rbCurrent) {
    std::string mark(static_cast<size_t>(bookmarkSize_), '\0');
    ReadBookmark(ActiveBuffer(), mark.data());
    return mark;
  }
  return {};
}

void TDataSet::MoveToBookmark(const std::string& bookmark) {
  if (bookmark.empty()) return;
  SettlePendingEdit();
  if (static_cast<int>(bookmark.size()) != bookmarkSize_)
    DatabaseError(dbmsg::kRecordNotFound, this);
  Run(beforeScroll_);
  CursorToBookmark(bookmark.data());
  RefillBuffers(rmExact | rmCenter);
  Run(afterScroll_);
}

int TDataSet::CompareMarks(const std::string& mark1, const std::string& mark2) {
  if (mark1.empty() || mark2.empty()) return mark1.empty() ? (mark2.empty() ? 0 : -1) : 1;
  int c = mark1.compare(mark2);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int TDataSet::RecordCount() { return -1; }

int TDataSet::RecordNumber() { return -1; }

void TDataSet::SetRecordNumber(int) {}

bool TDataSet::IsWritable() { return true; }

bool TDataSet::LocateRecord(const std::string&, const TVariant&, TSearchOptions) {
  CheckActive();
  return false;
}

TVariant TDataSet::Lookup(const std::string&, const TVariant&, const std::string&) {
  return TVariant(false);
}

void TDataSet::TextFromStorage(std::string_view stored, std::string& text) { text.assign(stored); }

void TDataSet::TextToStorage(const TField&, std::string_view text, std::string& stored,
                             size_t width) {
  stored.assign(text.substr(0, width));
}

std::shared_ptr<TStream> TDataSet::CreateBlobStream(TField*, TBlobStreamMode) { return nullptr; }

// ---- Data sources ----------------------------------------------------------------

void TDataSet::AddDataSource(TDataSource* source) {
  dataSources_.push_back(source);
  UpdateBufferCount();
  source->TakeState();
}

void TDataSet::RemoveDataSource(TDataSource* source) {
  auto it = std::find(dataSources_.begin(), dataSources_.end(), source);
  if (it == dataSources_.end()) return;
  dataSources_.erase(it);
  UpdateBufferCount();
  source->TakeState();
}

TDataSource* TDataSet::DataSources(int index) const {
  if (index < 0 || index >= DataSourceCount()) ListIndexError(index);
  return dataSources_[static_cast<size_t>(index)];
}

bool TDataSet::IsLinkedTo(const TDataSource* source) const {
  const TDataSet* dataSet = this;
  // The bound stops a chain of masters that loops without reaching source.
  for (int step = 0; dataSet != nullptr && step < 1000; ++step) {
    const TDataSource* master = dataSet->MasterDataSource();
    if (master == nullptr) return false;
    if (master == source) return true;
    dataSet = master->DataSet();
  }
  return false;
}
