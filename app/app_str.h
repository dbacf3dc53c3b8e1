#pragma once
// The message texts and captions of the window and its data controls.

namespace appmsg {

constexpr const char* kDeleteRecordQuestion = "Delete record?";
constexpr const char* kConfirmCaption = "Confirm";

// Filter values that could not be put into a filter text as they are.
constexpr const char* kFilterValueBothQuotes =
    "The value %s contains both ' and \" and cannot be used in a filter";
constexpr const char* kFilterValueNotANumber = "'%s' is not a valid floating point value";

}  // namespace appmsg
