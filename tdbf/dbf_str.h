#pragma once
// The engine's message texts, in one place. Each is a printf-style format
// filled with Format(); tests compare whole texts. Every unit keeps its
// texts in its own section below.

// ---- Paged files and locking ------------------------------------------------

// ---- Table files and field definitions -------------------------------------

// ---- Language drivers and code pages --------------------------------------

// ---- Memo files and blob streams -------------------------------------------

// ---- Index files ---------------------------------------------------------------

// ---- Table dataset ----------------------------------------------------------

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

// ---- Table expression binding -----------------------------------------------
constexpr const char* kIndexUnknownField = "Index based on unknown field \"%s\".";
constexpr const char* kIndexInvalidFieldType =
    "Field \"%s\" is an invalid field type to base index on.";
constexpr const char* kIndexResultTooLong =
    "Index result for \"%s\" too long, >100 characters (%d).";
