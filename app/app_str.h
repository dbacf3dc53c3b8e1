#pragma once
// The message texts and captions of the window and its data controls.

namespace appmsg {

constexpr const char* kDeleteRecordQuestion = "Delete record?";
constexpr const char* kConfirmCaption = "Confirm";
constexpr const char* kSaveChangesQuestion = "Save changes to the current record?";

// The file-name box's hint while it is empty.
constexpr const char* kFileNameHint = "Dbf Dosya";
// The status bar when the search text matches no record.
constexpr const char* kSearchNotFound = "not found";
// The Find dialog and the status bar when no further record holds the
// text.
constexpr const char* kFindNotFound = "Not found";
// Filtering on a field whose values cannot be compared with a typed value.
constexpr const char* kFieldCannotBeFiltered =
    "Field '%s' holds memo or binary data and cannot be filtered";
// A typed value for a logical field that is none of the accepted words.
constexpr const char* kNotALogicalValue =
    "'%s' is not a logical value (T, F, Y, N, true, false, yes or no)";

// Filter values that could not be put into a filter text as they are.
constexpr const char* kFilterValueBothQuotes =
    "The value %s contains both ' and \" and cannot be used in a filter";
constexpr const char* kFilterValueNotANumber = "'%s' is not a valid floating point value";

// Table > Pack and Table > Regenerate indexes; %1 is a record count.
constexpr const char* kPackQuestion =
    "Remove %1 deleted records permanently? This cannot be undone.";
constexpr const char* kPackNothingDeleted = "The table has no deleted records.";
constexpr const char* kPackProgress = "Packing the table...";
constexpr const char* kPackDone = "%1 deleted records removed";
constexpr const char* kNoIndexToRegenerate = "The table has no open index.";
constexpr const char* kRegenerateProgress = "Regenerating the indexes...";
constexpr const char* kRegenerateDone = "Indexes regenerated";
// A table open read-only; %1 says what cannot be done.
constexpr const char* kTableOpenReadOnly = "The table is open read-only, so %1.";

}  // namespace appmsg
