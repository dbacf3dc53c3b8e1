#pragma once
// The words of the expression engine: everything a compiled expression can
// name (operators, functions, brackets, the argument separator, constants
// written in the text, variables bound to storage that lives elsewhere),
// the result types and signature letters, the evaluation node every word
// is run on, the handle on a growable result buffer, and the sorted list
// of known words. Words are owned by the list they are registered in.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tdbf/expr/dbf_prssupp.h"

// The type of one value. 6 to 8 only mark bracket and separator tokens.
enum TExprResultType : uint8_t {
  rtBoolean = 0,   // "B": 1 byte, 0 false, 1 true
  rtInteger = 1,   // "I": signed 32-bit
  rtLargeInt = 2,  // "L": signed 64-bit
  rtFloat = 3,     // "F": IEEE double
  rtDateTime = 4,  // "D": double, days since 1899-12-30
  rtString = 5,    // "S": characters followed by a NUL byte
  rtLeftBracket = 6,
  rtRightBracket = 7,
  rtComma = 8,
  rtUnknown = 9,  // any other letter; matches no argument
};

// Most arguments a word takes; no signature is longer.
constexpr int kArgLimit = 6;

// Signature letter to type: B I L F D S, anything else rtUnknown.
TExprResultType TypeFromLetter(char letter);

struct TExprNode;
class TExprWord;

// Runs one node: reads the arguments and writes the node's result at the
// node's destination position.
using TExprProc = void (*)(TExprNode* node);

// A handle on a result buffer that belongs to someone else (the parser's
// result buffer or one argument slot of a node). It reaches the buffer,
// its write position and its capacity through their addresses, so that
// growing the buffer is seen by every node writing into it.
class TDynamicType {
 public:
  TDynamicType() = default;
  TDynamicType(std::unique_ptr<char[]>* memory, char** position, int32_t* size)
      : memoryRef_(memory), positionRef_(position), sizeRef_(size) {}

  std::unique_ptr<char[]>* MemoryRef() const { return memoryRef_; }
  char** PositionRef() const { return positionRef_; }
  int32_t* SizeRef() const { return sizeRef_; }
  char* Memory() const { return memoryRef_->get(); }
  char* Position() const { return *positionRef_; }

  // Grows the buffer when n more bytes do not fit after the position.
  void EnsureRoom(int64_t n) {
    int64_t needed = (*positionRef_ - memoryRef_->get()) + n;
    if (needed > *sizeRef_) Resize(needed, false);
  }
  // Reallocates the buffer: exactly newSize bytes, or (not exact) newSize
  // rounded up to the next multiple of 32 strictly above it. Content and
  // position offset are kept.
  void Resize(int64_t newSize, bool exact);
  // Appends length bytes at the position, moves the position past them and
  // stores a NUL after them (not counted).
  void AddText(const char* chars, int64_t length);
  // Moves the position back to the buffer start.
  void Rewind() const { *positionRef_ = memoryRef_->get(); }

 private:
  std::unique_ptr<char[]>* memoryRef_ = nullptr;
  char** positionRef_ = nullptr;
  int32_t* sizeRef_ = nullptr;
};

// Capacity of a new result or argument buffer, in bytes.
constexpr int32_t kExprBufferSize = 32;

// One node of the evaluation chain (and, before linking, of the tree).
// A function or operator node reads argument i from ArgBuf[i], a buffer of
// its own that the argument's node writes into; a constant or variable node
// reads the word's value at Value (and a fixed text length at ValueLength).
// Arguments are present from slot 0 up to the first empty slot.
struct TExprNode {
  TExprNode();
  ~TExprNode();  // releases the rest of the chain without recursion
  TExprNode(const TExprNode&) = delete;
  TExprNode& operator=(const TExprNode&) = delete;

  const char* Arg(int i) const { return ArgBuf[i].get(); }

  TExprProc Proc = nullptr;
  std::unique_ptr<TExprNode> Next;  // the chain owns its nodes
  TDynamicType Dest;
  TExprWord* Word = nullptr;
  bool RestartDest = false;
  const void* Value = nullptr;
  const int32_t* ValueLength = nullptr;
  std::unique_ptr<char[]> ArgBuf[kArgLimit];
  char* ArgPos[kArgLimit] = {};
  int32_t ArgCap[kArgLimit] = {};
  TExprResultType ArgType[kArgLimit];
  std::unique_ptr<TExprNode> ArgNode[kArgLimit];  // the tree before linking
  int Height = 1;                                 // of the tree below
  // Where the node's part of the expression and its own word stand in the
  // text (0-based byte offsets, end exclusive), for messages.
  int TextStart = 0;
  int TextEnd = 0;
  int WordStart = 0;
  int WordEnd = 0;
};

// The value-copy procedures of constants and variables.
void CopyBoolean(TExprNode* node);
void CopyInteger(TExprNode* node);
void CopyFloat(TExprNode* node);
void CopyDateTime(TExprNode* node);
void CopyLargeInt(TExprNode* node);
void CopyStringConstant(TExprNode* node);
void CopyStringVariable(TExprNode* node);
void CopyStringFixed(TExprNode* node);

// Base of all words. Name is lower-cased (A-Z only) at creation.
class TExprWord {
 public:
  TExprWord(std::string_view name, TExprProc proc);
  virtual ~TExprWord() = default;
  TExprWord(const TExprWord&) = delete;
  TExprWord& operator=(const TExprWord&) = delete;

  const std::string& Name() const { return name_; }
  TExprProc Proc() const { return proc_; }

  virtual bool IsOperator() const { return false; }
  // The value as text (text constants and text variables).
  virtual std::string TextValue() const { return {}; }
  // A fixed text length, or -1 when the value ends at its NUL.
  virtual int32_t FixedLength() const { return -1; }
  // True when the value may differ between two evaluations.
  virtual bool IsVarying() const { return false; }
  virtual TExprResultType ResultType() const { return rtUnknown; }
  virtual int MinFunctionArg() const { return 0; }
  virtual int MaxFunctionArg() const { return 0; }
  virtual std::string_view Description() const { return {}; }
  virtual std::string_view Signature() const { return {}; }
  virtual const int32_t* LenPointer() const { return nullptr; }
  virtual const void* ValuePointer() const { return nullptr; }
  virtual bool IsFunction() const { return false; }
  // True for a text variable that holds a logical field's stored byte: it
  // takes part as text, and as a logical value where one is expected.
  virtual bool IsLogicalText() const { return false; }

  // True for constants and variables (the procedure copies a value).
  bool IsValueWord() const;

 private:
  std::string name_;
  TExprProc proc_;
};

class TConstant : public TExprWord {
 public:
  TConstant(std::string_view name, TExprResultType type, TExprProc proc)
      : TExprWord(name, proc), type_(type) {}
  TExprResultType ResultType() const override { return type_; }

 private:
  TExprResultType type_;
};

class TFloatConstant : public TConstant {
 public:
  // The text converted with the locale's decimal separator; empty is 0.
  // EConvertError "'%s' is not a valid floating point value".
  TFloatConstant(std::string_view name, const std::string& valueText);
  TFloatConstant(std::string_view name, double value);
  const void* ValuePointer() const override { return &value_; }
  double Value() const { return value_; }

 private:
  double value_;
};

class TStringConstant : public TConstant {
 public:
  // From a literal as written: the value drops the enclosing quotes when
  // the first and last character are the same apostrophe or double quote.
  explicit TStringConstant(std::string_view literal);
  // A computed text (constant folding): the value as given.
  TStringConstant(std::string_view name, std::string_view value);
  std::string TextValue() const override { return value_; }
  const void* ValuePointer() const override { return value_.c_str(); }

 private:
  std::string value_;
};

// A date-time computed once while compiling (constant folding, DATE()).
class TDateTimeConstant : public TConstant {
 public:
  TDateTimeConstant(std::string_view name, double value)
      : TConstant(name, rtDateTime, CopyDateTime), value_(value) {}
  const void* ValuePointer() const override { return &value_; }
  double Value() const { return value_; }

 private:
  double value_;
};

class TIntegerConstant : public TConstant {
 public:
  // Named by the value's decimal text.
  explicit TIntegerConstant(int32_t value);
  const void* ValuePointer() const override { return &value_; }
  int32_t Value() const { return value_; }

 private:
  int32_t value_;
};

class TBooleanConstant : public TConstant {
 public:
  TBooleanConstant(std::string_view name, bool value);
  const void* ValuePointer() const override { return &value_; }
  bool Value() const { return value_ != 0; }

 private:
  uint8_t value_;
};

// A word bound to storage owned elsewhere; the owner keeps the storage
// alive while the variable is registered.
class TVariable : public TExprWord {
 public:
  TVariable(std::string_view name, TExprResultType type, TExprProc proc)
      : TExprWord(name, proc), type_(type) {}
  TExprResultType ResultType() const override { return type_; }
  bool IsVarying() const override { return true; }

 private:
  TExprResultType type_;
};

// A variable over fixed-size storage of type T, copied by Copy.
template <class T, TExprResultType Type, TExprProc Copy>
class TFixedVariable : public TVariable {
 public:
  TFixedVariable(std::string_view name, T* value) : TVariable(name, Type, Copy), value_(value) {}
  const void* ValuePointer() const override { return value_; }

 private:
  T* value_;
};

class TFloatVariable : public TFixedVariable<double, rtFloat, CopyFloat> {
 public:
  using TFixedVariable::TFixedVariable;
};
class TDateTimeVariable : public TFixedVariable<double, rtDateTime, CopyDateTime> {
 public:
  using TFixedVariable::TFixedVariable;
};
class TIntegerVariable : public TFixedVariable<int32_t, rtInteger, CopyInteger> {
 public:
  using TFixedVariable::TFixedVariable;
};
class TLargeIntVariable : public TFixedVariable<int64_t, rtLargeInt, CopyLargeInt> {
 public:
  using TFixedVariable::TFixedVariable;
};

// value points at the storage of a text pointer (its owner moves the text
// pointer); with a fixed length of 0 or more exactly that many bytes are
// the value, else the text up to its NUL.
class TStringVariable : public TVariable {
 public:
  TStringVariable(std::string_view name, const char* const* value, int32_t fixedLength,
                  bool logical = false)
      : TVariable(name, rtString, fixedLength < 0 ? CopyStringVariable : CopyStringFixed),
        value_(value),
        fixedLength_(fixedLength),
        logical_(logical) {}
  std::string TextValue() const override;
  bool IsLogicalText() const override { return logical_; }
  int32_t FixedLength() const override { return fixedLength_; }
  const int32_t* LenPointer() const override { return &fixedLength_; }
  const void* ValuePointer() const override { return value_; }

 private:
  const char* const* value_;
  int32_t fixedLength_;
  bool logical_;
};

class TLeftBracket : public TExprWord {
 public:
  explicit TLeftBracket(std::string_view name) : TExprWord(name, nullptr) {}
  TExprResultType ResultType() const override { return rtLeftBracket; }
};

class TRightBracket : public TExprWord {
 public:
  explicit TRightBracket(std::string_view name) : TExprWord(name, nullptr) {}
  TExprResultType ResultType() const override { return rtRightBracket; }
};

class TComma : public TExprWord {
 public:
  explicit TComma(std::string_view name) : TExprWord(name, nullptr) {}
  TExprResultType ResultType() const override { return rtComma; }
};

// A function or operator. A larger Precedence binds looser; plain
// functions have 0. The signature's length is the maximum argument count.
class TFunction : public TExprWord {
 public:
  // A plain function. EParserException "Too many arguments" for a
  // signature longer than kArgLimit.
  static std::unique_ptr<TFunction> CreateFunction(std::string_view name,
                                                   std::string_view description,
                                                   std::string_view signature, int minArgs,
                                                   TExprResultType resultType, TExprProc proc);
  // An operator; it takes exactly as many arguments as its signature has.
  static std::unique_ptr<TFunction> CreateOperator(std::string_view name,
                                                   std::string_view signature,
                                                   TExprResultType resultType, TExprProc proc,
                                                   int32_t precedence);

  TFunction(std::string_view name, std::string_view description, std::string_view signature,
            int minArgs, TExprResultType resultType, TExprProc proc, bool isOperator,
            int32_t precedence);

  bool IsFunction() const override { return true; }
  bool IsOperator() const override { return isOperator_; }
  int32_t Precedence() const { return precedence_; }
  int MinFunctionArg() const override { return minArgs_; }
  int MaxFunctionArg() const override { return maxArgs_; }
  std::string_view Description() const override { return description_; }
  std::string_view Signature() const override { return signature_; }
  TExprResultType ResultType() const override { return resultType_; }

 private:
  bool isOperator_;
  int32_t precedence_;
  int minArgs_;
  int maxArgs_;
  std::string description_;
  std::string signature_;
  TExprResultType resultType_;
};

// The token list of one compilation: words it never frees, each with the
// place it was read from in the text (0-based byte offsets, end exclusive).
class TExprCollection {
 public:
  explicit TExprCollection(int capacity = 0) { tokens_.reserve(static_cast<size_t>(capacity)); }

  int Count() const { return static_cast<int>(tokens_.size()); }
  TExprWord* operator[](int index) const { return Token(index).word; }
  int Start(int index) const { return Token(index).start; }
  int End(int index) const { return Token(index).end; }
  void Add(TExprWord* word, int start = 0, int end = 0) { tokens_.push_back({word, start, end}); }
  // Puts word in place of token index; the place in the text stays.
  void SetAt(int index, TExprWord* word) { tokens_.at(CheckedIndex(index)).word = word; }
  // Removes the tokens first .. last - 1.
  void FreeRange(int first, int last) {
    if (first < 0 || first > last || last > Count()) ListIndexError(first);
    tokens_.erase(tokens_.begin() + first, tokens_.begin() + last);
  }

 private:
  struct TToken {
    TExprWord* word;
    int start;
    int end;
  };
  size_t CheckedIndex(int index) const {
    if (index < 0 || index >= Count()) ListIndexError(index);
    return static_cast<size_t>(index);
  }
  const TToken& Token(int index) const { return tokens_[CheckedIndex(index)]; }

  std::vector<TToken> tokens_;
};

// Byte order of two NUL-terminated names with a-z folded to A-Z (unsigned
// bytes otherwise).
int CompareWordNames(const char* a, const char* b);

// The known words, sorted by name without regard to ASCII case. Owns its
// words. With Duplicates on, overloads of one name sit side by side, the
// most recently inserted first.
class TExpressList : public TSortedCollection<TExprWord, const char*> {
 public:
  TExpressList() : TSortedCollection(30) {}
  int Compare(const char* key1, const char* key2) const override {
    return CompareWordNames(key1, key2);
  }
  const char* KeyOf(const TExprWord* item) const override { return item->Name().c_str(); }
};
