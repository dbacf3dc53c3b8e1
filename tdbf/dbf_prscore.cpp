#include "tdbf/dbf_prscore.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf_str.h"

namespace {

bool IsBlankByte(char c) { return static_cast<unsigned char>(c) < 33; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsNameChar(char c) { return IsDigit(c) || IsLetter(c); }

// The text without leading and trailing bytes below 33.
std::string TrimControls(const std::string& text, size_t first, size_t last) {
  while (first < last && IsBlankByte(text[first])) ++first;
  while (last > first && IsBlankByte(text[last - 1])) --last;
  return text.substr(first, last - first);
}

bool IsLeftBracket(const TExprWord* word) { return word->ResultType() == rtLeftBracket; }
bool IsRightBracket(const TExprWord* word) { return word->ResultType() == rtRightBracket; }
bool IsComma(const TExprWord* word) { return word->ResultType() == rtComma; }

int32_t PrecedenceOf(const TExprWord* word) {
  const auto* function = dynamic_cast<const TFunction*>(word);
  return function != nullptr ? function->Precedence() : 0;
}

// Index of the first function or operator at bracket depth 0 (or below)
// in tokens [start, last); last when there is none.
int FindOperator(const TExprCollection& tokens, int start, int last) {
  int depth = 0;
  for (int k = start; k < last; ++k) {
    const TExprWord* word = tokens[k];
    if (depth <= 0 && word->IsFunction()) return k;
    if (IsLeftBracket(word)) {
      ++depth;
    } else if (IsRightBracket(word)) {
      --depth;
    }
  }
  return last;
}

// Narrows [first, last) while brackets enclose all of it. An empty range is
// an empty argument or expression: a list index error for index 0. The
// brackets are matched in one pass, so that a long run of them costs no
// more than the tokens they hold.
void StripOuterBrackets(const TExprCollection& tokens, int& first, int& last) {
  if (first >= last) ListIndexError(0);
  int leading = 0;
  while (first + leading < last && IsLeftBracket(tokens[first + leading])) ++leading;
  if (leading == 0) return;
  // closing[i]: where the i-th leading "(" is closed, -1 when it is not.
  std::vector<int> closing(static_cast<size_t>(leading), -1);
  std::vector<int> open;
  for (int k = first; k < last; ++k) {
    if (IsLeftBracket(tokens[k])) {
      open.push_back(k);
    } else if (IsRightBracket(tokens[k]) && !open.empty()) {
      const int opened = open.back() - first;
      open.pop_back();
      if (opened < leading) closing[static_cast<size_t>(opened)] = k;
    }
  }
  int strip = 0;
  while (strip < leading && closing[static_cast<size_t>(strip)] == last - 1 - strip) ++strip;
  first += strip;
  last -= strip;
  if (first >= last) ListIndexError(0);
}

void SetHeight(TExprNode* node) {
  int height = 0;
  for (const auto& arg : node->ArgNode)
    if (arg && arg->Height > height) height = arg->Height;
  node->Height = height + 1;
  if (node->Height > kMaxExprDepth) throw EParserException(kExprNestedTooDeeply);
}

}  // namespace

TCustomExpressionParser::TCustomExpressionParser()
    : resultBuffer_(std::make_unique<char[]>(kExprBufferSize)),
      resultPosition_(resultBuffer_.get()) {}

TCustomExpressionParser::~TCustomExpressionParser() { TCustomExpressionParser::ClearChain(); }

TExprResultType TCustomExpressionParser::ResultType() const {
  return firstNode_ ? lastNode_->Word->ResultType() : rtUnknown;
}

void TCustomExpressionParser::ClearChain() {
  firstNode_.reset();
  lastNode_ = nullptr;
}

void TCustomExpressionParser::Evaluate() {
  for (TExprNode* node = firstNode_.get(); node != nullptr; node = node->Next.get()) {
    if (node->RestartDest) node->Dest.Rewind();
    node->Proc(node);
  }
}

// ---- Word registration -------------------------------------------------------

void TCustomExpressionParser::ReplaceWord(TExprWord* oldWord, TExprWord* newWord) {
  if (oldWord->MaxFunctionArg() != newWord->MaxFunctionArg()) throw Exception(kExprCannotReplace);
  const void* oldValue = oldWord->ValuePointer();
  for (TExprNode* node = firstNode_.get(); node != nullptr; node = node->Next.get()) {
    if (node->Word == oldWord) {
      node->Word = newWord;
      node->Proc = newWord->Proc();
      // A fixed-length text refers to its length too, which goes with the
      // old word.
      if (newWord->IsValueWord())
        node->ValueLength = newWord->FixedLength() >= 0 ? newWord->LenPointer() : nullptr;
    }
    if (oldValue != nullptr && node->Value == oldValue) node->Value = newWord->ValuePointer();
  }
}

TExprWord* TCustomExpressionParser::AddOrReplaceWord(std::unique_ptr<TExprWord> word) {
  int index;
  if (words_.Search(word->Name().c_str(), index)) {
    ReplaceWord(words_[index], word.get());
    words_.AtFree(index);
  }
  TExprWord* added = word.get();
  std::unique_ptr<TExprWord> refused = words_.Insert(std::move(word));
  return refused ? nullptr : added;
}

void TCustomExpressionParser::RedefineWord(const std::string& name,
                                           std::unique_ptr<TExprWord> newWord) {
  if (!newWord && firstNode_) throw Exception(kExprCannotUndefine);
  int index;
  if (words_.Search(name.c_str(), index)) {
    if (newWord) ReplaceWord(words_[index], newWord.get());
    words_.AtFree(index);
  }
  if (newWord) {
    std::unique_ptr<TExprWord> refused = words_.Insert(std::move(newWord));
    (void)refused;
  }
}

TExprWord* TCustomExpressionParser::AddIntegerVariable(const std::string& name, int32_t* value) {
  return AddOrReplaceWord(std::make_unique<TIntegerVariable>(name, value));
}

TExprWord* TCustomExpressionParser::AddLargeIntVariable(const std::string& name, int64_t* value) {
  return AddOrReplaceWord(std::make_unique<TLargeIntVariable>(name, value));
}

TExprWord* TCustomExpressionParser::AddDateTimeVariable(const std::string& name, double* value) {
  return AddOrReplaceWord(std::make_unique<TDateTimeVariable>(name, value));
}

TExprWord* TCustomExpressionParser::AddFloatVariable(const std::string& name, double* value) {
  return AddOrReplaceWord(std::make_unique<TFloatVariable>(name, value));
}

TExprWord* TCustomExpressionParser::AddStringVariable(const std::string& name,
                                                      const char* const* value,
                                                      int32_t fixedLength) {
  return AddOrReplaceWord(std::make_unique<TStringVariable>(name, value, fixedLength));
}

TExprWord* TCustomExpressionParser::FindWord(const char* name) const {
  int index;
  return words_.Search(name, index) ? words_[index] : nullptr;
}

// ---- Compile -----------------------------------------------------------------

void TCustomExpressionParser::Compile(const std::string& text) {
  if (text.empty()) return;
  firstNode_.reset();
  lastNode_ = nullptr;
  try {
    TExprCollection tokens = Tokenize(text);
    CheckTokens(tokens);
    std::unique_ptr<TExprNode> root = BuildTree(tokens, 0, tokens.Count(), 0);
    CheckSignatures(root.get());
    if (foldEnabled_) root = FoldConstants(std::move(root));
    firstNode_.reset();
    lastNode_ = nullptr;
    resultPosition_ = resultBuffer_.get();
    LinkNodes(std::move(root), &resultBuffer_, &resultPosition_, &resultSize_);
  } catch (...) {
    firstNode_.reset();
    lastNode_ = nullptr;
    throw;
  }
}

// ---- Tokens ------------------------------------------------------------------

void TCustomExpressionParser::ReadNumber(const std::string& text, size_t& pos, bool hex) const {
  auto at = [&](size_t i) { return i < text.size() ? text[i] : '\0'; };
  while (IsDigit(at(pos)) || (hex && IsHexDigit(at(pos)))) ++pos;
  if (at(pos) == decimalPoint_ && decimalPoint_ != '\0') {
    ++pos;
    while (IsDigit(at(pos))) ++pos;
  }
  // Only a lower-case "e" starts an exponent; "1E3" is 1 followed by E3.
  if (at(pos) == 'e') {
    ++pos;
    if (at(pos) == '+' || at(pos) == '-') ++pos;
    while (IsDigit(at(pos))) ++pos;
  }
}

void TCustomExpressionParser::GetToken(const std::string& text, size_t& pos, size_t& start,
                                       bool& literal) const {
  auto at = [&](size_t i) { return i < text.size() ? text[i] : '\0'; };
  literal = false;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  start = pos;
  if (pos >= text.size()) return;
  const char c = text[pos];
  if (c == hexPrefix_) {
    ++pos;
    if (IsHexDigit(at(pos))) {
      ReadNumber(text, pos, true);
      literal = true;
    } else {
      while (IsNameChar(at(pos))) ++pos;
    }
  } else if (c == decimalPoint_ || IsDigit(c)) {
    ReadNumber(text, pos, false);
    literal = true;
  } else if (IsLetter(c)) {
    while (IsNameChar(at(pos))) ++pos;
  } else if (c == '\'' || c == '"') {
    // No escape: the literal ends at the next quote of the same kind.
    size_t close = text.find(c, pos + 1);
    pos = close == std::string::npos ? text.size() : close + 1;
    literal = true;
  } else if (c == '+' || c == '-') {
    ++pos;
    const char twin[3] = {c, c, '\0'};
    if (at(pos) == c && FindWord(twin) != nullptr) ++pos;
  } else if ((c == '!' && at(pos + 1) == '=') || (c == '&' && at(pos + 1) == '&') ||
             (c == '|' && at(pos + 1) == '|') || (c == ':' && at(pos + 1) == '=')) {
    pos += 2;
  } else if (c == '<' || c == '>' || c == '=') {
    ++pos;
    if (at(pos) == '<' || at(pos) == '=' || at(pos) == '>') ++pos;
  } else {
    ++pos;
  }
}

void TCustomExpressionParser::AddLiteral(TExprCollection& tokens, const std::string& token) {
  std::string text = token;
  if (text[0] == hexPrefix_) text = std::to_string(StrToInt64("$" + text.substr(1)));
  std::unique_ptr<TExprWord> constant;
  if (text[0] == '\'' || text[0] == '"') {
    constant = std::make_unique<TStringConstant>(text);
  } else if (text.find(decimalPoint_) == std::string::npos) {
    constant = std::make_unique<TIntegerConstant>(StrToInt(text));
  } else {
    text[text.find(decimalPoint_)] = FormatSettings().DecimalSeparator;
    constant = std::make_unique<TFloatConstant>(text, text);
  }
  tokens.Add(constant.get());
  constants_.Add(std::move(constant));
}

TExprCollection TCustomExpressionParser::Tokenize(const std::string& source) {
  TExprCollection tokens(10);
  const std::string text = TrimControls(source, 0, source.size());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start;
    bool literal;
    GetToken(text, pos, start, literal);
    const std::string token = TrimControls(text, start, pos);
    if (token.empty()) continue;
    if (literal) {
      AddLiteral(tokens, token);
      continue;
    }
    TExprWord* word = FindWord(token.c_str());
    if (word == nullptr) {
      ResolveUnknownName(token);
      word = FindWord(token.c_str());
      if (word == nullptr) throw EParserException(Format(kExprUnknownVariable, token.c_str()));
    }
    tokens.Add(word);
  }
  return tokens;
}

// ---- Token check -------------------------------------------------------------

void TCustomExpressionParser::CheckTokens(TExprCollection& tokens) {
  int depth = 0;
  int deepest = 0;
  for (int i = 0; i < tokens.Count(); ++i) {
    if (IsLeftBracket(tokens[i])) deepest = std::max(deepest, ++depth);
    if (IsRightBracket(tokens[i])) --depth;
  }
  if (depth != 0) throw EParserException(kExprUnequalBrackets);
  // Each bracket level costs the tree builder a pass over the tokens it
  // holds; no sensible expression nests as deep as a tree may grow.
  if (deepest > kMaxExprDepth) throw EParserException(kExprNestedTooDeeply);

  auto isPrefixPosition = [&](int i) {
    if (i == 0) return true;
    const TExprWord* previous = tokens[i - 1];
    return IsComma(previous) || IsLeftBracket(previous) ||
           (previous->IsOperator() && previous->MaxFunctionArg() == 2);
  };
  auto isSign = [&](int i) { return tokens[i]->Name() == "-" || tokens[i]->Name() == "+"; };

  for (int i = 0; i < tokens.Count(); ++i) {
    if (isSign(i) && isPrefixPosition(i)) {
      bool negative = tokens[i]->Name() == "-";
      int j = i + 1;
      for (; j < tokens.Count() && isSign(j) && isPrefixPosition(j); ++j)
        if (tokens[j]->Name() == "-") negative = !negative;
      tokens.FreeRange(i + 1, j);
      if (TExprWord* unary = FindWord(negative ? kUnaryMinusName : kUnaryPlusName))
        tokens.SetAt(i, unary);
    }
    if (tokens[i]->Name() == "not" &&
        (i == 0 || IsLeftBracket(tokens[i - 1]) || tokens[i - 1]->IsOperator())) {
      int j = i + 1;
      while (j < tokens.Count() && tokens[j]->Name() == "not") ++j;
      tokens.FreeRange((j - i) % 2 == 0 ? i : i + 1, j);
      if (i >= tokens.Count()) break;
    }
    TExprWord* word = tokens[i];
    TExprWord* next = i + 1 < tokens.Count() ? tokens[i + 1] : nullptr;
    if (next != nullptr && word->IsValueWord() && next->IsValueWord())
      throw EParserException(
          Format(kExprMissingOperator, word->Name().c_str(), next->Name().c_str()));
    if (IsLeftBracket(word) && (next == nullptr || IsRightBracket(next)))
      throw EParserException(kExprEmptyBrackets);
    if (IsRightBracket(word) && next != nullptr && IsLeftBracket(next))
      throw EParserException(kExprMissingOperatorBrackets);
    if (IsRightBracket(word) && next != nullptr && next->IsValueWord())
      throw EParserException(kExprMissingOperatorAfterBracket);
    if (IsLeftBracket(word) && i > 0 && tokens[i - 1]->IsValueWord())
      throw EParserException(kExprMissingOperatorBeforeBracket);
    if (word->Name() == "^" && next != nullptr && dynamic_cast<TIntegerConstant*>(next) != nullptr)
      if (TExprWord* power = FindWord(kIntPowerName)) tokens.SetAt(i, power);
  }
}

// ---- Tree --------------------------------------------------------------------

std::unique_ptr<TExprNode> TCustomExpressionParser::BuildTree(const TExprCollection& tokens,
                                                              int first, int last, int depth) {
  if (depth > kMaxExprDepth) throw EParserException(kExprNestedTooDeeply);
  StripOuterBrackets(tokens, first, last);
  if (last - first == 1) {
    auto node = std::make_unique<TExprNode>();
    TExprWord* word = tokens[first];
    // A bracket or separator alone is no expression.
    if (!word->IsFunction() && !word->IsValueWord()) throw EParserException(kExprOperandMissing);
    node->Word = word;
    node->Proc = word->Proc();
    if (word->IsValueWord()) {
      node->Value = word->ValuePointer();
      if (word->FixedLength() >= 0) node->ValueLength = word->LenPointer();
    }
    return node;
  }

  // Left to right: each finished node becomes the left operand of the next
  // operator.
  std::unique_ptr<TExprNode> left;
  int pos = first;
  for (;;) {
    auto node = std::make_unique<TExprNode>();
    int index = 0;
    if (left) {
      node->ArgNode[0] = std::move(left);
      index = 1;
    }
    const int k = FindOperator(tokens, pos, last);
    if (k >= last) throw EParserException(kExprOperandMissing);
    TExprWord* word = tokens[k];
    node->Word = word;
    node->Proc = word->Proc();
    int end;
    if (!word->IsOperator()) {
      // A function call needs its bracketed arguments and must not follow
      // an operand without an operator in between.
      if (index > 0 || k > pos || k + 1 >= last || !IsLeftBracket(tokens[k + 1]))
        throw EParserException(kExprOperandMissing);
      int bracketDepth = 1;
      int argStart = k + 2;
      int j = k + 2;
      for (; j < last; ++j) {
        const TExprWord* token = tokens[j];
        if (IsLeftBracket(token)) {
          ++bracketDepth;
        } else if (IsRightBracket(token)) {
          if (--bracketDepth == 0) break;
        } else if (IsComma(token) && bracketDepth == 1) {
          if (index >= kArgLimit) throw EParserException(kExprTooManyArgs);
          node->ArgNode[index++] = BuildTree(tokens, argStart, j, depth + 1);
          argStart = j + 1;
        }
      }
      if (j >= last) throw EParserException(kExprUnequalBrackets);
      if (index >= kArgLimit) throw EParserException(kExprTooManyArgs);
      node->ArgNode[index++] = BuildTree(tokens, argStart, j, depth + 1);
      end = j;
    } else {
      if (k > pos) node->ArgNode[index++] = BuildTree(tokens, first, k, depth + 1);
      end = k;
    }

    // The right operand reaches up to the next operator that binds as
    // loosely or looser.
    const int32_t precedence = PrecedenceOf(word);
    int next = end;
    do {
      next = FindOperator(tokens, next + 1, last);
    } while (next < last && PrecedenceOf(tokens[next]) < precedence);
    if (next > end + 1) {
      if (index >= kArgLimit) throw EParserException(kExprTooManyArgs);
      node->ArgNode[index++] = BuildTree(tokens, end + 1, next, depth + 1);
    }
    SetHeight(node.get());

    left = std::move(node);
    pos = next;
    if (next >= last) return left;
  }
}

void TCustomExpressionParser::CheckSignatures(TExprNode* node) {
  enum { kNone, kMismatch, kTooFew, kTooMany } state;
  for (;;) {
    const TExprWord* word = node->Word;
    const int maxArgs = word->MaxFunctionArg();
    const std::string_view signature = word->Signature();
    state = kNone;
    int i = 0;
    while (i < maxArgs && i < kArgLimit && node->ArgNode[i] && state == kNone) {
      CheckSignatures(node->ArgNode[i].get());
      const char letter = static_cast<size_t>(i) < signature.size() ? signature[i] : '\0';
      if (TypeFromLetter(letter) != node->ArgNode[i]->Word->ResultType()) state = kMismatch;
      ++i;
    }
    if (state == kNone && i < word->MinFunctionArg()) state = kTooFew;
    if (state == kNone && maxArgs < kArgLimit && node->ArgNode[maxArgs]) state = kTooMany;
    if (state == kNone) return;

    // Try the next overload of the same name (the list keeps them side by
    // side, the most recently registered first).
    const int position = words_.PositionOf(word);
    if (position >= 0 && position + 1 < words_.Count() &&
        words_[position + 1]->Name() == word->Name()) {
      node->Word = words_[position + 1];
      node->Proc = node->Word->Proc();
      continue;
    }
    switch (state) {
      case kTooFew:
        throw EParserException(kExprTooFewArgs);
      case kMismatch:
        throw EParserException(kExprTypeMismatch);
      default:
        throw EParserException(kExprTooManyArgs);
    }
  }
}

// ---- Folding and linking -----------------------------------------------------

bool TCustomExpressionParser::HasVaryingPart(const TExprNode* node) const {
  if (node->Word->IsVarying()) return true;
  for (const auto& arg : node->ArgNode)
    if (arg && HasVaryingPart(arg.get())) return true;
  return false;
}

std::unique_ptr<TExprNode> TCustomExpressionParser::FoldConstants(std::unique_ptr<TExprNode> node) {
  if (HasVaryingPart(node.get())) {
    for (auto& arg : node->ArgNode)
      if (arg) arg = FoldConstants(std::move(arg));
    return node;
  }
  if (node->Word->IsValueWord()) return node;
  // Only boolean, float and text results become constants; other constant
  // sub-trees are computed on every evaluation.
  const TExprResultType type = node->Word->ResultType();
  if (type != rtBoolean && type != rtFloat && type != rtString) return node;

  firstNode_.reset();
  lastNode_ = nullptr;
  resultPosition_ = resultBuffer_.get();
  LinkNodes(std::move(node), &resultBuffer_, &resultPosition_, &resultSize_);
  Evaluate();
  std::unique_ptr<TExprWord> constant;
  if (type == rtBoolean) {
    constant = std::make_unique<TBooleanConstant>("", resultBuffer_[0] != 0);
  } else if (type == rtFloat) {
    double value;
    std::memcpy(&value, resultBuffer_.get(), sizeof value);
    constant = std::make_unique<TFloatConstant>("", value);
  } else {
    constant = std::make_unique<TStringConstant>("", std::string_view(resultBuffer_.get()));
  }
  firstNode_.reset();
  lastNode_ = nullptr;

  auto folded = std::make_unique<TExprNode>();
  folded->Word = constant.get();
  folded->Proc = constant->Proc();
  folded->Value = constant->ValuePointer();
  constants_.Add(std::move(constant));
  return folded;
}

void TCustomExpressionParser::LinkNodes(std::unique_ptr<TExprNode> node,
                                        std::unique_ptr<char[]>* buffer, char** position,
                                        int32_t* size) {
  if (node->Word->Proc() == nullptr) {
    // A word without procedure (text concatenation) dissolves: its
    // arguments write one after the other into the same destination.
    for (auto& arg : node->ArgNode)
      if (arg) LinkNodes(std::move(arg), buffer, position, size);
    return;
  }
  // The first node linked into a buffer rewinds it before running; the
  // position is moved off the start only to mark the buffer as taken
  // (the first evaluation rewinds it).
  node->RestartDest = *position == buffer->get();
  if (node->RestartDest) ++*position;

  for (int i = 0; i < kArgLimit && node->ArgNode[i]; ++i) {
    node->ArgType[i] = node->ArgNode[i]->Word->ResultType();
    node->ArgBuf[i] = std::make_unique<char[]>(kExprBufferSize);
    node->ArgPos[i] = node->ArgBuf[i].get();
    node->ArgCap[i] = kExprBufferSize;
    LinkNodes(std::move(node->ArgNode[i]), &node->ArgBuf[i], &node->ArgPos[i], &node->ArgCap[i]);
  }
  node->Dest = TDynamicType(buffer, position, size);
  TExprNode* added = node.get();
  if (firstNode_) {
    lastNode_->Next = std::move(node);
  } else {
    firstNode_ = std::move(node);
  }
  lastNode_ = added;
}
