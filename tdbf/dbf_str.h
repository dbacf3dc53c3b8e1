#pragma once
// The engine's message texts, in one place. Each is a printf-style format
// filled with Format(); tests compare whole texts. Every unit keeps its
// texts in its own section below.

// ---- Paged files and locking ------------------------------------------------

constexpr const char* kFileNotFound = "Open: file not found: \"%s\".";
constexpr const char* kExclusiveAccessRequired = "Exclusive access is required for this operation.";
// A file the platform refused to open: the file name, then the cause.
constexpr const char* kCannotOpenFile = "Cannot open file \"%s\". %s";

// ---- Table files and field definitions -------------------------------------

constexpr const char* kInvalidDbfFile = "Invalid DBF file.";
// The same, naming the file and what is wrong with it.
constexpr const char* kInvalidDbfFileBecause = "Invalid DBF file: %s: %s";
constexpr const char* kInvalidFieldCount = "Invalid field count: %d (must be between 1 and 4095).";
constexpr const char* kRecordLocked = "Record locked.";
constexpr const char* kCannotCreateField =
    "Cannot create field \"%s\", field type %x not supported by DBF.";
// Damaged headers; each names the file.
// Why a table opened in a writing mode cannot be written.
constexpr const char* kDbfMemoFileMissing = "memo file not found: \"%s\"";
constexpr const char* kDbfNoWritePermission = "no permission to write \"%s\" (%s)";
// An edit of such a table.
constexpr const char* kDbfTableReadOnly = "The table cannot be edited: %s.";
// Tables that open with what they hold, and a notice.
constexpr const char* kDbfEndsInsideRecord =
    "%s: the file ends inside record %d; the %d whole records before it are shown.";
constexpr const char* kDbfCountBeyondFile =
    "%s: its header counts %u records, but the file holds only %d; those are shown.";
constexpr const char* kDbfCdxReadOnly =
    "the table's .cdx index cannot be kept up to date; open it read-only";
constexpr const char* kDbfNoFreeSlot =
    "Cannot append to \"%s\": no free record slot could be locked.";
// Structures a table file cannot hold.
constexpr const char* kDbfFieldTooWide =
    "Cannot create field \"%s\": width %d and decimals %d do not fit a table field.";
constexpr const char* kDbfRecordTooLarge =
    "Cannot create table \"%s\": a record of %d bytes is larger than 65535.";
constexpr const char* kDbfHeaderTooLarge =
    "Cannot create table \"%s\": %d fields do not fit in a table header.";

// ---- Language drivers and code pages --------------------------------------

constexpr const char* kDbfCharNotStorable =
    "'%s' cannot be stored in field '%s': the table's code page %d has no such character";
constexpr const char* kDbfExprCharNotStorable =
    "'%s' cannot be used in an expression on this table: the table's code page %d has no such "
    "character";

// ---- Memo files and blob streams -------------------------------------------

constexpr const char* kMemoBadBlockSize =
    "Damaged memo file \"%s\": its block size %d cannot hold a value.";
constexpr const char* kMemoTooLong = "Memo file \"%s\" cannot hold a value of this length.";
// The memo file's name without its folder, the next free block from its
// header and the block at which the file ends.
constexpr const char* kMemoNextFreeBeyondEnd =
    "memo file %s is damaged: next free block %u lies beyond its end (block %lld)";

// ---- Index files ---------------------------------------------------------------

constexpr const char* kKeyViolation =
    "Key violation. (Key already present in file).\r\nIndex: %s\r\nRecord=%d Key='%s'.";
constexpr const char* kInvalidIndexType = "Invalid index type: can only be string or float.";
constexpr const char* kTooManyIndexes = "Can not create index: too many indexes in file.";
constexpr const char* kIndexNotFound = "Index \"%s\" does not exist.";
// A damaged index file: the file name, then what is wrong with it.
constexpr const char* kIndexDamaged = "Damaged index \"%s\": %s.";
// Editing a table whose production index could not be opened.
constexpr const char* kIndexClosedNoEdit =
    "Table \"%s\" cannot be changed: its index \"%s\" could not be opened (%s).";

// ---- Packing and regenerating -------------------------------------------------

// The table's name, then the cause.
constexpr const char* kDbfPackFailed = "Cannot pack \"%s\": %s. The table is unchanged.";
constexpr const char* kDbfPackCannotWrite = "cannot write \"%s\" (%s)";
constexpr const char* kDbfPackCannotRename = "cannot rename \"%s\" to \"%s\" (%s)";
// The table, the cause, the old memo file's name now and why it could not
// be named back.
constexpr const char* kDbfPackMemoNotRestored =
    "Cannot pack \"%s\": %s; the old memo file could not be put back and is kept as \"%s\" "
    "(%s)";
// What was asked ("pack", "regenerate the indexes of") and the table.
constexpr const char* kDbfOtherUserHasTable =
    "Cannot %s \"%s\": another program has the table open. Exclusive access is required for "
    "this operation.";
constexpr const char* kDbfNoIndexToRegenerate = "The table \"%s\" has no open index.";
// The table, then why its indexes could not be regenerated.
constexpr const char* kDbfPackedIndexesStale =
    "The table \"%s\" was packed, but its indexes could not be regenerated: %s Regenerate them "
    "before the table is changed.";

// ---- Table dataset ----------------------------------------------------------

constexpr const char* kDbfNoMemoFile = "Table \"%s\" has memo fields but no memo file is open.";

// ---- Expressions ---------------------------------------------------------------
constexpr const char* kExprTooManyArguments = "Too many arguments";
constexpr const char* kExprUnequalBrackets = "Unequal brackets";
constexpr const char* kExprMissingOperator = "Missing operator between '%s' and '%s'";
constexpr const char* kExprEmptyBrackets = "Empty brackets ()";
constexpr const char* kExprMissingOperatorBrackets = "Missing operator between )(";
constexpr const char* kExprMissingOperatorAfterBracket =
    "Missing operator between ) and constant/variable";
constexpr const char* kExprMissingOperatorBeforeBracket =
    "Missing operator between constant/variable and (";
constexpr const char* kExprOperandMissing = "Operand/function missing";
constexpr const char* kExprTooFewArgs = "Function or operand has too few arguments";
constexpr const char* kExprTypeMismatch = "Argument type mismatch";
constexpr const char* kExprTooManyArgs = "Function or operand has too many arguments";
constexpr const char* kExprUnknownVariable = "Unknown variable '%s' found.";
constexpr const char* kExprCannotReplace =
    "Cannot replace variable/function MaxFunctionArg doesn't match";
constexpr const char* kExprCannotUndefine =
    "Cannot undefine function/variable while expression present";
constexpr const char* kExprNestedTooDeeply = "Expression nested too deeply";
constexpr const char* kExprResultTooLarge = "Expression result too large (%lld bytes)";
constexpr const char* kExprUnknownFunction = "Unknown function '%s'";
constexpr const char* kExprUnknownField = "Unknown field '%s'";
constexpr const char* kExprUnknownOperator = "Unknown operator '%s'";
constexpr const char* kExprUnterminatedText = "Unterminated text starting at position %d";
constexpr const char* kExprCannotCompare = "Cannot compare %s with %s in %s";
constexpr const char* kExprCannotApplyUnary = "Cannot apply %s to %s in %s";
constexpr const char* kExprCannotApplyBinary = "Cannot apply %s to %s and %s in %s";
constexpr const char* kExprWrongArgumentTypes = "Wrong argument types for %s: %s in %s";
constexpr const char* kExprFilterNotLogical = "Filter must be a logical expression: %s is %s";

// ---- Table expression binding -----------------------------------------------
constexpr const char* kIndexUnknownField = "Index based on unknown field \"%s\".";
constexpr const char* kIndexInvalidFieldType =
    "Field \"%s\" is an invalid field type to base index on.";
constexpr const char* kIndexResultTooLong =
    "Index result for \"%s\" too long, >100 characters (%d).";
