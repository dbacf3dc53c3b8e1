#pragma once
// The table engine's expression parser: the built-in word set (text
// concatenation, addition, comparisons, NOT/AND/OR, STR, DTOS, SUBSTR and
// the case functions) and TDbfParser, which binds the field names of one
// table file to variables read from a record buffer. Filters and index
// keys compile and evaluate through it.

#include "tdbf/dbf_prscore.h"

// Registers the built-in words, in the order that decides which overload
// is tried first (the last registered). Turns Duplicates on.
void AddBuiltInWords(TExpressList& words, char listSeparator);
