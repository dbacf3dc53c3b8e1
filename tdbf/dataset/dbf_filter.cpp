// Filtering and locating of TDbf: the filter text compiled by a table
// expression parser and tested, with the OnFilterRecord handler, on every
// record a fetch looks at; and the search for the first record that holds
// given key values.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codepage.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "runtime/variant.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/dataset/dbf_cursor.h"
#include "tdbf/expr/dbf_parser.h"
#include "tdbf/file/dbf_dbffile.h"

namespace {

// Records a locate's walk reads at a time.
constexpr int kLocateBlock = 256;

// One key field of a locate with the value it must hold. Text compares by
// character; with a case converter, in the upper case of its rules.
class TKeyPart {
 public:
  TKeyPart(TField* field, const TVariant& value, bool partial, platform::TTextCodec* folder)
      : field_(field), value_(value), partial_(partial), folder_(folder) {
    // A text field compares as text: the value is turned into text once.
    if (field->DataType() == ftString) {
      stringField_ = dynamic_cast<TStringField*>(field);
      text_ = value.AsString();
      if (folder_ != nullptr) {
        folder_->ChangeCase(text_, true, folded_);
        text_.swap(folded_);
      }
    }
  }

  bool Matches() {
    if (field_->DataType() != ftString) return field_->ValueAsVariant().Equals(value_);
    std::string_view current = CurrentText();
    if (folder_ != nullptr) {
      folder_->ChangeCase(current, true, folded_);
      current = folded_;
    }
    if (current == text_) return true;
    return partial_ && current.size() > text_.size() && current.substr(0, text_.size()) == text_;
  }

 private:
  // The field's text in the current record, in a string that serves the
  // whole search.
  std::string_view CurrentText() {
    if (stringField_ == nullptr) {
      current_ = field_->ValueAsString();
    } else {
      stringField_->ReadText(current_);
    }
    return current_;
  }

  TField* field_;
  const TVariant& value_;
  bool partial_;
  platform::TTextCodec* folder_;
  std::string text_;
  TStringField* stringField_ = nullptr;
  std::string current_;
  std::string folded_;
};

}  // namespace

// ---- Filter ---------------------------------------------------------------------------

void TDbf::SetFilter(const std::string& text) {
  // The text compiles into a parser of its own that replaces the one in
  // force only once it compiled, so Filter and the expression applied
  // always agree.
  std::unique_ptr<TDbfParser> parser;
  if (!text.empty() && dbfFile_) {
    parser = std::make_unique<TDbfParser>(dbfFile_.get());
    parser->ParseFilter(ExpressionText(text));
  }
  const bool refill = cursor_ && Active() && Filtered();
  if (refill) SettlePendingEdit();
  filterParser_ = std::move(parser);
  ForgetRejected();
  TDataSet::SetFilter(text);
  if (refill) RefillForFilter();
}

void TDbf::SetFiltered(bool value) {
  const bool refill = cursor_ && Active();
  if (refill) SettlePendingEdit();
  ForgetRejected();
  TDataSet::SetFiltered(value);
  if (refill) RefillForFilter();
}

void TDbf::SetOnFilterRecord(TFilterRecordEvent handler) {
  ForgetRejected();
  TDataSet::SetOnFilterRecord(std::move(handler));
}

void TDbf::RefreshStorage() { ForgetRejected(); }

void TDbf::NoteRejected(int32_t recNo) {
  if (rejectedLast_ < rejectedFirst_ || recNo < rejectedFirst_ - 1 || recNo > rejectedLast_ + 1) {
    rejectedFirst_ = recNo;
    rejectedLast_ = recNo;
  } else if (recNo == rejectedFirst_ - 1) {
    rejectedFirst_ = recNo;
  } else if (recNo == rejectedLast_ + 1) {
    rejectedLast_ = recNo;
  }
}

void TDbf::RefillForFilter() {
  CursorToActive();
  RefillBuffers(0);
}

void TDbf::CompileFilterAtOpen() {
  filterParser_.reset();
  if (Filter().empty()) return;
  auto parser = std::make_unique<TDbfParser>(dbfFile_.get());
  try {
    parser->ParseFilter(ExpressionText(Filter()));
  } catch (const Exception&) {
    // A text written for another table: the set opens unfiltered by it.
    TDataSet::SetFilter(std::string());
    return;
  }
  filterParser_ = std::move(parser);
}

bool TDbf::FilterAccepts(char* image) {
  const TFilterRecordEvent& handler = OnFilterRecord();
  if (!filterParser_ && !handler) return true;
  char* const saved = filterRecord_;
  filterRecord_ = image;
  const TTempState state = EnterTempState(rsFilter);
  auto restore = [this, &state, saved] {
    LeaveTempState(state);
    filterRecord_ = saved;
  };
  bool accept = true;
  try {
    // The filter's result is logical: one byte, non-zero accepts.
    if (filterParser_)
      accept =
          filterParser_->EvaluateRecord(image, cursor_ ? cursor_->PhysicalPosition() : 0)[0] != 0;
    if (accept && handler) handler(*this, accept);
  } catch (...) {
    restore();
    throw;
  }
  restore();
  return accept;
}

// ---- Locate ----------------------------------------------------------------------------

bool TDbf::LocateRecord(const std::string& keyFields, const TVariant& keyValues,
                        TSearchOptions options) {
  DoBeforeScroll();
  SuspendNotifications();
  bool found = false;
  try {
    const std::string bookmark = Bookmark();
    SettlePendingEdit();
    // An active index whose key is the located field seeks; otherwise the
    // search walks the records.
    if (!LocateByIndex(keyFields, keyValues, options, found))
      found = LocateByScan(keyFields, keyValues, options);
    if (found) {
      DoAfterScroll();
    } else if (!bookmark.empty()) {
      CursorToBookmark(bookmark.data());
      RefillBuffers(rmExact | rmCenter);
    }
  } catch (...) {
    ResumeNotifications();
    throw;
  }
  ResumeNotifications();
  return found;
}

bool TDbf::LocateByScan(const std::string& keyFields, const TVariant& keyValues,
                        TSearchOptions options) {
  CursorMoved();
  const std::vector<TField*> fields = FieldList(keyFields);
  const size_t valueCount = keyValues.IsArray() ? static_cast<size_t>(keyValues.ArrayCount()) : 1;
  if (valueCount != fields.size()) return false;

  // Letter case is folded by character in UTF-8, by the table's rules.
  std::unique_ptr<platform::TTextCodec> folder;
  if ((options & SearchOpt(soCaseInsensitive)) != 0) {
    folder = platform::TTextCodec::Make(platform::kCodePageUtf8);
    folder->SetTurkicCase(codec_ != nullptr && codec_->TurkicCase());
  }
  std::vector<TKeyPart> parts;
  parts.reserve(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    const TVariant& value =
        keyValues.IsArray() ? keyValues.ArrayItem(static_cast<int>(i)) : keyValues;
    const bool partial = (options & SearchOpt(soPartialKey)) != 0 && i + 1 == fields.size();
    parts.emplace_back(fields[i], value, partial, folder.get());
  }

  auto recordMatches = [&parts] {
    for (TKeyPart& part : parts)
      if (!part.Matches()) return false;
    return true;
  };
  // The walk reads the records in blocks, as a dump does (unless the
  // caller walks in blocks already); the record found is then shown again
  // with the ring refilled around it.
  First();
  const bool inBlocks = BlockReadSize() == 0;
  if (inBlocks) SetBlockReadSize(kLocateBlock);
  bool matched = false;
  std::string found(static_cast<size_t>(BookmarkSize()), '\0');
  try {
    for (; !AtEnd(); Next())
      if (recordMatches()) {
        ReadBookmark(ActiveBuffer(), found.data());
        matched = true;
        break;
      }
  } catch (...) {
    if (inBlocks) SetBlockReadSize(0);
    throw;
  }
  if (inBlocks) SetBlockReadSize(0);
  if (!matched) return false;
  CursorToBookmark(found.data());
  RefillBuffers(rmExact | rmCenter);
  return true;
}
