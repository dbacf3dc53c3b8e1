#pragma once
// The built-in words of dBase expressions beyond concatenation, addition,
// comparison and the key functions: arithmetic, signs, date arithmetic,
// "$", the dotted logical words and literals, the conversions the
// signature check inserts, and the common dBase function set (TRIM, LEFT,
// CTOD, IIF, EMPTY, ...). Also the helpers every built-in procedure uses
// to read its arguments and store its result.

#include <cstdint>
#include <cstring>
#include <memory>

#include "tdbf/expr/dbf_prsdef.h"

// Binding levels: a larger number binds looser.
constexpr int32_t kSignPrecedence = 10;
constexpr int32_t kPowerPrecedence = 20;
constexpr int32_t kMultiplyPrecedence = 30;
constexpr int32_t kAddPrecedence = 40;
constexpr int32_t kComparePrecedence = 80;
constexpr int32_t kNotPrecedence = 85;
constexpr int32_t kAndPrecedence = 90;
constexpr int32_t kOrPrecedence = 100;

// Longest text a function that makes text from a count (SPACE, REPLICATE,
// PADL, PADR) produces, so that a mistyped count cannot ask for gigabytes.
constexpr int32_t kMaxMadeText = 65535;

// ---- Argument access -------------------------------------------------------------

template <class T>
T ArgValue(const TExprNode* node, int i) {
  T value;
  std::memcpy(&value, node->Arg(i), sizeof value);
  return value;
}

inline bool HasArg(const TExprNode* node, int i) { return node->Arg(i) != nullptr; }

template <class T>
void StoreResult(TExprNode* node, T value) {
  std::memcpy(node->Dest.Position(), &value, sizeof value);
}

inline void StoreBoolean(TExprNode* node, bool value) { *node->Dest.Position() = value ? 1 : 0; }

// The empty text: a NUL at the position, which stays where it is.
inline void StoreEmptyText(TExprNode* node) { node->Dest.AddText("", 0); }

// A function whose value comes from storage its owner fills before each
// evaluation (the record's deletion flag, its record number): it is
// varying, and its node reads the storage at Value.
class TRecordFunction : public TFunction {
 public:
  TRecordFunction(std::string_view name, TExprResultType resultType, TExprProc proc,
                  const void* value)
      : TFunction(name, "", "", 0, resultType, proc, false, 0), value_(value) {}
  bool IsVarying() const override { return true; }
  const void* ValuePointer() const override { return value_; }

 private:
  const void* value_;
};

// DELETED(): the 1-byte flag at Value. RECNO(): the 32-bit number at Value.
void RecordDeleted(TExprNode* node);
void RecordNumber(TExprNode* node);
// left $ right: the left text occurs in the right one (never the empty
// text). AT(needle, haystack): the 1-based place of needle's first
// occurrence, 0 for none and for the empty needle. Both work on the bytes
// up to each text's NUL.
void Contains(TExprNode* node);
void TextPosition(TExprNode* node);

// Registration in a word list with Duplicates on (overloads of one name
// side by side, the last registered tried first).
void RegisterWord(TExpressList& words, std::unique_ptr<TExprWord> word);
void RegisterOperator(TExpressList& words, const char* name, const char* signature,
                      TExprResultType type, TExprProc proc, int32_t precedence);
void RegisterFunction(TExpressList& words, const char* name, const char* signature, int minArgs,
                      TExprResultType type, TExprProc proc);

// Registers the words described above, after the ones AddBuiltInWords
// registers first (so that their overloads are tried first).
void AddDbaseWords(TExpressList& words);
