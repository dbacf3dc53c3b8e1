#pragma once
// The message texts of the record-set framework. Record-set messages are
// raised through DatabaseError, which puts the record set's name in front
// ("tbMain: ...") when it has one.

namespace dbmsg {

constexpr const char* kDataSetOpen = "Cannot perform this operation on an open dataset";
constexpr const char* kDataSetClosed = "Cannot perform this operation on a closed dataset";
constexpr const char* kDataSetEmpty = "Cannot perform this operation on an empty dataset";
constexpr const char* kNotEditing = "Dataset not in edit or insert mode";
constexpr const char* kDataSetReadOnly = "Cannot modify a read-only dataset";
constexpr const char* kFieldRequired = "Field '%s' must have a value";
constexpr const char* kFieldNotFound = "Field '%s' not found";
constexpr const char* kRecordNotFound = "Record not found";
constexpr const char* kCircularDataLink = "Circular datalinks are not allowed";
constexpr const char* kDataSourceFixed = "DataSource cannot be changed";
constexpr const char* kFieldAccessError = "Cannot access field '%s' as type %s";
constexpr const char* kFieldValueError = "Invalid value for field '%s'";
constexpr const char* kFieldRangeError =
    "%g is not a valid value for field '%s'. The allowed range is %g to %g";
// The same range message for integer fields, whose limits read badly in %g.
constexpr const char* kFieldIntRangeError =
    "%lld is not a valid value for field '%s'. The allowed range is %lld to %lld";
constexpr const char* kInvalidIntegerValue = "'%s' is not a valid integer value for field '%s'";
constexpr const char* kInvalidBoolValue = "'%s' is not a valid boolean value for field '%s'";
// Binary values are typed as hexadecimal.
constexpr const char* kInvalidBytesValue =
    "'%s' cannot be stored in field '%s': binary values are typed as pairs of hexadecimal "
    "digits (such as 0A FF 3C)";
constexpr const char* kInvalidFloatValue =
    "'%s' is not a valid floating point value for field '%s'";

}  // namespace dbmsg
