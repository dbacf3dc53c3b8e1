#include "tdbf/expr/dbf_prsdef.h"

#include <cstring>

#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf_str.h"

namespace {

std::string LowerName(std::string_view name) {
  std::string lower(name);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  return lower;
}

// Fixed-size results are stored at the position without moving it.
template <size_t N>
void CopyFixed(TExprNode* node) {
  std::memcpy(node->Dest.Position(), node->Value, N);
}

}  // namespace

TExprResultType TypeFromLetter(char letter) {
  switch (letter) {
    case 'B':
      return rtBoolean;
    case 'I':
      return rtInteger;
    case 'L':
      return rtLargeInt;
    case 'F':
      return rtFloat;
    case 'D':
      return rtDateTime;
    case 'S':
      return rtString;
    default:
      return rtUnknown;
  }
}

// ---- TDynamicType ------------------------------------------------------------

void TDynamicType::Resize(int64_t newSize, bool exact) {
  if (!exact) newSize = (newSize / kExprBufferSize) * kExprBufferSize + kExprBufferSize;
  if (newSize > INT32_MAX)
    throw EParserException(Format(kExprResultTooLarge, static_cast<long long>(newSize)));
  char* oldMemory = memoryRef_->get();
  int64_t offset = *positionRef_ - oldMemory;
  auto memory = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(newSize));
  int64_t keep = newSize < *sizeRef_ ? newSize : *sizeRef_;
  if (keep > 0) std::memcpy(memory.get(), oldMemory, static_cast<size_t>(keep));
  *memoryRef_ = std::move(memory);
  *sizeRef_ = static_cast<int32_t>(newSize);
  if (offset > newSize) offset = newSize;
  *positionRef_ = memoryRef_->get() + offset;
}

void TDynamicType::AddText(const char* chars, int64_t length) {
  EnsureRoom(length + 4);
  char* position = *positionRef_;
  if (length > 0) std::memcpy(position, chars, static_cast<size_t>(length));
  position += length;
  *position = '\0';
  *positionRef_ = position;
}

// ---- TExprNode ---------------------------------------------------------------

TExprNode::TExprNode() {
  for (auto& type : ArgType) type = rtUnknown;
}

TExprNode::~TExprNode() {
  std::unique_ptr<TExprNode> next = std::move(Next);
  while (next) {
    std::unique_ptr<TExprNode> after = std::move(next->Next);
    next = std::move(after);
  }
}

// ---- Value-copy procedures ---------------------------------------------------

void CopyBoolean(TExprNode* node) { CopyFixed<1>(node); }
void CopyInteger(TExprNode* node) { CopyFixed<4>(node); }
void CopyFloat(TExprNode* node) { CopyFixed<8>(node); }
void CopyDateTime(TExprNode* node) { CopyFixed<8>(node); }
void CopyLargeInt(TExprNode* node) { CopyFixed<8>(node); }

void CopyStringConstant(TExprNode* node) {
  const char* text = static_cast<const char*>(node->Value);
  node->Dest.AddText(text, static_cast<int64_t>(std::strlen(text)));
}

// A variable whose text pointer is not set yet reads as the empty text.
void CopyStringVariable(TExprNode* node) {
  const char* text = *static_cast<const char* const*>(node->Value);
  node->Dest.AddText(text, text == nullptr ? 0 : static_cast<int64_t>(std::strlen(text)));
}

void CopyStringFixed(TExprNode* node) {
  const char* text = *static_cast<const char* const*>(node->Value);
  node->Dest.AddText(text, text == nullptr ? 0 : *node->ValueLength);
}

// ---- Words -------------------------------------------------------------------

TExprWord::TExprWord(std::string_view name, TExprProc proc) : name_(LowerName(name)), proc_(proc) {}

bool TExprWord::IsValueWord() const {
  return proc_ == CopyBoolean || proc_ == CopyInteger || proc_ == CopyFloat ||
         proc_ == CopyDateTime || proc_ == CopyLargeInt || proc_ == CopyStringConstant ||
         proc_ == CopyStringVariable || proc_ == CopyStringFixed;
}

TFloatConstant::TFloatConstant(std::string_view name, const std::string& valueText)
    : TConstant(name, rtFloat, CopyFloat), value_(valueText.empty() ? 0 : StrToFloat(valueText)) {}

TFloatConstant::TFloatConstant(std::string_view name, double value)
    : TConstant(name, rtFloat, CopyFloat), value_(value) {}

TStringConstant::TStringConstant(std::string_view literal)
    : TConstant(literal, rtString, CopyStringConstant) {
  const bool quoted = !literal.empty() && (literal.front() == '\'' || literal.front() == '"') &&
                      literal.back() == literal.front();
  const bool bracketed = literal.size() >= 2 && literal.front() == '[' && literal.back() == ']';
  if (quoted || bracketed) {
    value_ = literal.size() >= 2 ? std::string(literal.substr(1, literal.size() - 2)) : "";
  } else {
    value_ = std::string(literal);
  }
}

TStringConstant::TStringConstant(std::string_view name, std::string_view value)
    : TConstant(name, rtString, CopyStringConstant), value_(value) {}

TIntegerConstant::TIntegerConstant(int32_t value)
    : TConstant(std::to_string(value), rtInteger, CopyInteger), value_(value) {}

TBooleanConstant::TBooleanConstant(std::string_view name, bool value)
    : TConstant(name, rtBoolean, CopyBoolean), value_(value ? 1 : 0) {}

std::string TStringVariable::TextValue() const {
  const char* text = *value_;
  if (text == nullptr) return {};
  return std::string(text);
}

TFunction::TFunction(std::string_view name, std::string_view description,
                     std::string_view signature, int minArgs, TExprResultType resultType,
                     TExprProc proc, bool isOperator, int32_t precedence)
    : TExprWord(name, proc),
      isOperator_(isOperator),
      precedence_(precedence),
      minArgs_(minArgs),
      maxArgs_(static_cast<int>(signature.size())),
      description_(description),
      signature_(signature),
      resultType_(resultType) {
  if (signature.size() > static_cast<size_t>(kArgLimit))
    throw EParserException(kExprTooManyArguments);
}

std::unique_ptr<TFunction> TFunction::CreateFunction(std::string_view name,
                                                     std::string_view description,
                                                     std::string_view signature, int minArgs,
                                                     TExprResultType resultType, TExprProc proc) {
  return std::make_unique<TFunction>(name, description, signature, minArgs, resultType, proc, false,
                                     0);
}

std::unique_ptr<TFunction> TFunction::CreateOperator(std::string_view name,
                                                     std::string_view signature,
                                                     TExprResultType resultType, TExprProc proc,
                                                     int32_t precedence) {
  return std::make_unique<TFunction>(name, "", signature, static_cast<int>(signature.size()),
                                     resultType, proc, true, precedence);
}

// ---- TExpressList ------------------------------------------------------------

int CompareWordNames(const char* a, const char* b) {
  const auto* x = reinterpret_cast<const unsigned char*>(a);
  const auto* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    unsigned char cx = *x;
    unsigned char cy = *y;
    if (cx >= 'a' && cx <= 'z') cx = static_cast<unsigned char>(cx - ('a' - 'A'));
    if (cy >= 'a' && cy <= 'z') cy = static_cast<unsigned char>(cy - ('a' - 'A'));
    if (cx != cy) return cx < cy ? -1 : 1;
    if (cx == 0) return 0;
  }
}
