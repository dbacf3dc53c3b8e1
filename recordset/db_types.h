#pragma once
// The shared enumerations of the record-set framework: field data types,
// field kinds and attributes, record-set states, buffer flags, fetch modes
// and results, search options and notifications. The numeric values are
// fixed: stored layouts and the table engine rely on them.

#include <cstdint>

enum TFieldType : uint8_t {
  ftUnknown = 0,
  ftString = 1,
  ftSmallint = 2,
  ftInteger = 3,
  ftWord = 4,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftBCD = 8,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBytes = 12,
  ftVarBytes = 13,
  ftAutoInc = 14,
  ftBlob = 15,
  ftMemo = 16,
  ftGraphic = 17,
  ftFmtMemo = 18,
  ftParadoxOle = 19,
  ftDBaseOle = 20,
  ftTypedBinary = 21,
  ftCursor = 22,
  ftFixedChar = 23,
  ftWideString = 24,
  ftLargeint = 25,
  ftADT = 26,
  ftArray = 27,
  ftReference = 28,
  ftDataSet = 29,
  ftOraBlob = 30,
  ftOraClob = 31,
  ftVariant = 32,
  ftInterface = 33,
  ftIDispatch = 34,
  ftGuid = 35,
};

enum TFieldKind : uint8_t {
  fkData = 0,
  fkCalculated = 1,
  fkLookup = 2,
  fkInternalCalc = 3,
  fkAggregate = 4,
};

// Bits of a field definition's attribute set.
enum TFieldAttribute : uint8_t {
  faHiddenCol = 0,
  faReadonly = 1,
  faRequired = 2,
  faLink = 3,
  faUnNamed = 4,
  faFixed = 5,
};
using TFieldAttributes = uint8_t;
constexpr TFieldAttributes FieldAttr(TFieldAttribute a) { return static_cast<uint8_t>(1u << a); }

// States of a record set.
//   rsInactive -> (Open) rsBrowse, or stays rsInactive when opening fails
//   rsBrowse -> (Edit) rsEdit -> (Post, Cancel) rsBrowse
//   rsBrowse -> (Insert, AppendNew; Edit on an empty set) rsInsert
//            -> (Post, Cancel, an exception in OnNewRecord) rsBrowse
//   any active state -> (Close) rsInactive
//   rsFilter and rsCalcFields last for one evaluation only.
enum TRecordSetState : uint8_t {
  rsInactive = 0,
  rsBrowse = 1,
  rsEdit = 2,
  rsInsert = 3,
  rsSetKey = 4,
  rsCalcFields = 5,
  rsFilter = 6,
  rsNewValue = 7,
  rsOldValue = 8,
  rsCurValue = 9,
  rsBlockRead = 10,
  rsInternalCalc = 11,
  rsOpening = 12,
};

enum TRecordBufferFlag : uint8_t {
  rbCurrent = 0,   // holds a stored record
  rbBOF = 1,       // a new record placed before all records
  rbEOF = 2,       // a new record placed after all records
  rbInserted = 3,  // a new record inserted before the record of its bookmark
};

enum TFetchMode : uint8_t { fcCurrent = 0, fcNext = 1, fcPrior = 2 };
enum TFetchResult : uint8_t { frOK = 0, frBOF = 1, frEOF = 2, frError = 3 };

// Bits of TSearchOptions.
enum TSearchOption : uint8_t { soCaseInsensitive = 0, soPartialKey = 1 };
using TSearchOptions = uint8_t;
constexpr TSearchOptions SearchOpt(TSearchOption o) { return static_cast<uint8_t>(1u << o); }

// Notifications from a record set to its data sources and links.
enum TRecordSetEvent : uint8_t {
  reFieldChanged = 0,
  reRecordChanged = 1,
  reSetChanged = 2,
  reScrolled = 3,
  reLayoutChanged = 4,
  reUpdateRecord = 5,
  reStateChanged = 6,
  reSettleEdits = 7,
  rePropertyChanged = 8,
  reFieldListChanged = 9,
  reFocusControl = 10,
};

// The var Action of the error events.
enum TDataAction : uint8_t { daFail = 0, daAbort = 1, daRetry = 2 };

// How a blob stream is opened: reading the stored value, writing a new
// value that replaces it, or both.
enum TBlobStreamMode : uint8_t { bmRead = 0, bmWrite = 1, bmReadWrite = 2 };

// Horizontal alignment of a field's text in a control.
enum TAlignment : uint8_t { taLeftJustify = 0, taRightJustify = 1, taCenter = 2 };

// Bits of a RefillBuffers mode: rmExact refetches the current record and
// fails when it is gone; rmCenter puts it in the middle of the ring.
using TRefillMode = uint8_t;
constexpr TRefillMode rmExact = 1;
constexpr TRefillMode rmCenter = 2;
