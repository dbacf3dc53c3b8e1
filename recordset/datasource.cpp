#include "recordset/datasource.h"

#include <algorithm>

#include "recordset/dataset.h"
#include "recordset/db_consts.h"
#include "runtime/exceptions.h"

namespace {

bool IsActiveState(TRecordSetState state) { return state != rsInactive && state != rsOpening; }

}  // namespace

// ---- TDataSource -------------------------------------------------------------

TDataSource::~TDataSource() {
  MarkDestroying();
  onStateChange_ = nullptr;
  SetDataSet(nullptr);
  while (!links_.empty()) RemoveDataLink(links_.back());
}

bool TDataSource::IsLinkedTo(const TDataSet* dataSet) const {
  const TDataSource* source = this;
  // The bound stops a chain of masters that loops without reaching dataSet.
  for (int step = 0; source != nullptr && step < 1000; ++step) {
    const TDataSet* own = source->DataSet();
    if (own == nullptr) return false;
    if (own == dataSet) return true;
    source = own->MasterDataSource();
  }
  return false;
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
  if (dataSet == dataSet_) return;
  if (dataSet != nullptr && dataSet->IsLinkedTo(this))
    DatabaseError(dbmsg::kCircularDataLink, this);
  TDataSet* old = dataSet_;
  dataSet_ = nullptr;
  if (old != nullptr) old->RemoveDataSource(this);
  dataSet_ = dataSet;
  if (dataSet != nullptr)
    dataSet->AddDataSource(this);
  else if (old == nullptr)
    TakeState();
}

void TDataSource::SetEnabled(bool value) {
  if (enabled_ == value) return;
  enabled_ = value;
  TakeState();
}

void TDataSource::Edit() {
  if (autoEdit_ && dataSet_ != nullptr && state_ == rsBrowse) dataSet_->Edit();
}

TDataLink* TDataSource::DataLinks(int index) const {
  if (index < 0 || index >= DataLinkCount()) ListIndexError(index);
  return links_[static_cast<size_t>(index)];
}

void TDataSource::TakeState() {
  TRecordSetState state = (dataSet_ != nullptr && enabled_)
                              ? dataSet_->State()
                              : static_cast<TRecordSetState>(rsInactive);
  if (state == state_) return;
  TRecordSetState old = state_;
  state_ = state;
  NotifyLinks(reStateChanged, nullptr, 0);
  if (IsDestroying()) return;
  if (onStateChange_) onStateChange_(*this);
  if (old == rsInactive && onDataChange_) onDataChange_(*this, nullptr);
}

void TDataSource::Notify(TRecordSetEvent event, TField* field, int distance) {
  if (event == reStateChanged) {
    TakeState();
    return;
  }
  if (!IsActiveState(state_)) return;
  NotifyLinks(event, field, distance);
  switch (event) {
    case reFieldChanged:
      if (onDataChange_) onDataChange_(*this, field);
      break;
    case reRecordChanged:
    case reSetChanged:
    case reScrolled:
    case reLayoutChanged:
      if (onDataChange_) onDataChange_(*this, nullptr);
      break;
    case reUpdateRecord:
      if (onUpdateData_) onUpdateData_(*this);
      break;
    default:
      break;
  }
}

void TDataSource::NotifyLinks(TRecordSetEvent event, TField* field, int distance) {
  // Plain links first, then those of visible controls; each pass from the
  // last-added link to the first. A link may detach itself meanwhile.
  TField* focus = field;
  for (bool visual : {false, true}) {
    for (int i = DataLinkCount() - 1; i >= 0; --i) {
      if (i >= DataLinkCount()) continue;
      TDataLink* link = links_[static_cast<size_t>(i)];
      if (link->VisualControl() != visual) continue;
      if (event == reFocusControl) {
        if (focus == nullptr) return;
        if (link->Active()) link->FocusControl(focus);
      } else {
        link->Notify(event, field, distance);
      }
    }
  }
}

void TDataSource::AddDataLink(TDataLink* link) {
  links_.push_back(link);
  link->dataSource_ = this;
  if (dataSet_ != nullptr) dataSet_->UpdateBufferCount();
  link->UpdateState();
}

void TDataSource::RemoveDataLink(TDataLink* link) {
  auto it = std::find(links_.begin(), links_.end(), link);
  if (it == links_.end()) return;
  link->dataSource_ = nullptr;
  links_.erase(it);
  link->UpdateState();
  if (dataSet_ != nullptr) dataSet_->UpdateBufferCount();
}

// ---- TDataLink ---------------------------------------------------------------

TDataLink::~TDataLink() {
  active_ = false;
  editing_ = false;
  dataSourceFixed_ = false;
  if (dataSource_ != nullptr) dataSource_->RemoveDataLink(this);
}

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == dataSource_) return;
  if (dataSourceFixed_) DatabaseError(dbmsg::kDataSourceFixed, source);
  if (dataSource_ != nullptr) dataSource_->RemoveDataLink(this);
  if (source != nullptr) source->AddDataLink(this);
}

TDataSet* TDataLink::DataSet() const {
  return dataSource_ != nullptr ? dataSource_->DataSet() : nullptr;
}

void TDataLink::SetReadOnly(bool value) {
  if (readOnly_ == value) return;
  readOnly_ = value;
  UpdateState();
}

void TDataLink::UpdateState() {
  TRecordSetState state = dataSource_ != nullptr ? dataSource_->State() : rsInactive;
  SetActive(IsActiveState(state));
  SetEditing((state == rsEdit || state == rsInsert || state == rsSetKey) && !readOnly_);
}

void TDataLink::SetActive(bool value) {
  if (active_ == value) return;
  active_ = value;
  if (value)
    FitFirstRecord();
  else
    firstRecord_ = 0;
  ActiveChanged();
}

void TDataLink::SetEditing(bool value) {
  if (editing_ == value) return;
  editing_ = value;
  EditingChanged();
}

void TDataLink::FitFirstRecord() {
  TDataSet* dataSet = DataSet();
  if (dataSet == nullptr) return;
  int active = dataSet->ActiveRecord();
  int low = std::max(active - bufferCount_ + 1, 0);
  int high = std::max(std::min(active, dataSet->BufferCount() - bufferCount_), 0);
  if (firstRecord_ < low) firstRecord_ = low;
  if (firstRecord_ > high) firstRecord_ = high;
  if (firstRecord_ > 0 && active - firstRecord_ < bufferCount_ - 1) --firstRecord_;
}

void TDataLink::SetBufferCount(int count) {
  count = std::max(count, 1);
  if (count == bufferCount_) return;
  bufferCount_ = count;
  if (!active_) {
    // Counted at once, so the ring is large enough when the link activates.
    if (DataSet() != nullptr) DataSet()->UpdateBufferCount();
    return;
  }
  FitFirstRecord();
  DataSet()->UpdateBufferCount();
  FitFirstRecord();
}

int TDataLink::ActiveRecord() const {
  TDataSet* dataSet = DataSet();
  if (dataSet == nullptr || dataSet->State() == rsSetKey) return 0;
  return dataSet->ActiveRecord() - firstRecord_;
}

void TDataLink::SetActiveRecord(int index) {
  TDataSet* dataSet = DataSet();
  if (dataSet == nullptr || dataSet->State() == rsSetKey) return;
  dataSet->SetActiveRecord(index + firstRecord_);
}

int TDataLink::RecordCount() const {
  TDataSet* dataSet = DataSet();
  if (dataSet == nullptr) return 0;
  if (dataSet->State() == rsSetKey) return 1;
  return std::min(bufferCount_, dataSet->RingRecordCount());
}

bool TDataLink::AtStart() const { return DataSet() != nullptr && DataSet()->AtStart(); }

bool TDataLink::AtEnd() const { return DataSet() != nullptr && DataSet()->AtEnd(); }

int TDataLink::MoveBy(int distance) {
  return DataSet() != nullptr ? DataSet()->MoveRecords(distance) : 0;
}

bool TDataLink::Edit() {
  if (!readOnly_ && dataSource_ != nullptr) dataSource_->Edit();
  return editing_;
}

void TDataLink::UpdateRecord() {
  updating_ = true;
  try {
    UpdateData();
  } catch (...) {
    updating_ = false;
    throw;
  }
  updating_ = false;
}

void TDataLink::DataSetScrolled(int) { DataSetChanged(); }

void TDataLink::FocusControl(TField*&) {}

void TDataLink::RecordChanged(TField*) {}

void TDataLink::Notify(TRecordSetEvent event, TField* field, int distance) {
  if (event == reStateChanged) {
    UpdateState();
    return;
  }
  if (!active_) return;
  switch (event) {
    case reFieldChanged:
    case reRecordChanged:
      if (!updating_) RecordChanged(event == reFieldChanged ? field : nullptr);
      break;
    case reSetChanged:
    case reScrolled:
    case reLayoutChanged: {
      TDataSet* dataSet = DataSet();
      int shift = 0;
      if (dataSet != nullptr) {
        firstRecord_ += event == reScrolled ? distance : 0;
        int active = dataSet->ActiveRecord();
        int last = firstRecord_ + bufferCount_ - 1;
        if (active > last)
          shift = active - last;
        else if (active < firstRecord_)
          shift = active - firstRecord_;
        firstRecord_ += shift;
      }
      if (event == reSetChanged)
        DataSetChanged();
      else if (event == reScrolled)
        DataSetScrolled(shift);
      else
        LayoutChanged();
      break;
    }
    case reUpdateRecord:
      UpdateRecord();
      break;
    case reSettleEdits:
      CheckBrowseMode();
      break;
    case reFocusControl:
      FocusControl(field);
      break;
    default:
      break;
  }
}
