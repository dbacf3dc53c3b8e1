#include "tdbf/expr/dbf_prscore.h"

#include <algorithm>
#include <cassert>
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

// ".and.", ".T." and the like: a point, letters, a point.
bool IsDottedWord(const std::string& text, size_t pos) {
  if (pos >= text.size() || text[pos] != '.') return false;
  size_t end = pos + 1;
  while (end < text.size() &&
         ((text[end] >= 'a' && text[end] <= 'z') || (text[end] >= 'A' && text[end] <= 'Z')))
    ++end;
  return end > pos + 1 && end < text.size() && text[end] == '.';
}

bool IsNotWord(const TExprWord* word) {
  return word->Name() == "not" || word->Name() == ".not." || word->Name() == "!";
}

bool IsComparison(const TExprWord* word) {
  static const char* const kNames[] = {"=", "==", "<", ">", "<=", ">=", "<>", "#", "!=", "$"};
  for (const char* name : kNames)
    if (word->Name() == name) return true;
  return false;
}

void SetHeight(TExprNode* node) {
  int height = 0;
  for (const auto& arg : node->ArgNode)
    if (arg && arg->Height > height) height = arg->Height;
  node->Height = height + 1;
  if (node->Height > kMaxExprDepth) throw EParserException(kExprNestedTooDeeply);
}

}  // namespace

const char* ExprTypeName(TExprResultType type) {
  switch (type) {
    case rtBoolean:
      return "Logical";
    case rtInteger:
    case rtLargeInt:
    case rtFloat:
      return "Numeric";
    case rtDateTime:
      return "Date";
    case rtString:
      return "Character";
    default:
      return "Unknown";
  }
}

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
  // A variable goes beside a function of the same name (a field called
  // YEAR and the function YEAR()); the tokenizer tells them apart by the
  // bracket that follows a call. Words that are no functions are replaced.
  const bool function = word->IsFunction();
  if (TExprWord* old = FindWordIf(word->Name().c_str(), [function](const TExprWord* w) {
        return w->IsFunction() == function;
      })) {
    ReplaceWord(old, word.get());
    words_.AtFree(words_.IndexOf(old));
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
                                                      const char* const* value, int32_t fixedLength,
                                                      bool logical) {
  return AddOrReplaceWord(std::make_unique<TStringVariable>(name, value, fixedLength, logical));
}

TExprWord* TCustomExpressionParser::FindWord(const char* name) const {
  int index;
  return words_.Search(name, index) ? words_[index] : nullptr;
}

// ---- Compile -----------------------------------------------------------------

void TCustomExpressionParser::Compile(const std::string& text, TExprResultType wanted) {
  if (text.empty()) return;
  firstNode_.reset();
  lastNode_ = nullptr;
  try {
    TExprCollection tokens = Tokenize(text);
    CheckTokens(tokens);
    std::unique_ptr<TExprNode> root = BuildTree(tokens, 0, tokens.Count(), 0);
    CheckSignatures(root.get());
    if (wanted == rtBoolean && root->Word->IsLogicalText()) WrapArgument(root, kLogicalTextName);
    if (foldEnabled_) root = FoldConstants(std::move(root));
    root = Specialize(std::move(root));
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

void TCustomExpressionParser::Fail(const std::string& message, int offset) const {
  throw EParserException(message, compileOffset_ + offset + 1);
}

std::string TCustomExpressionParser::TextOf(int start, int end) const {
  const int size = static_cast<int>(compileText_.size());
  start = std::clamp(start, 0, size);
  end = std::clamp(end, start, size);
  return compileText_.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}

// ---- Tokens ------------------------------------------------------------------

void TCustomExpressionParser::ReadNumber(const std::string& text, size_t& pos, bool hex) const {
  auto at = [&](size_t i) { return i < text.size() ? text[i] : '\0'; };
  while (IsDigit(at(pos)) || (hex && IsHexDigit(at(pos)))) ++pos;
  // "1.AND." is the number 1 followed by .AND.
  if (at(pos) == decimalPoint_ && decimalPoint_ != '\0' && !IsDottedWord(text, pos)) {
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
                                       bool& literal, bool afterOperand) const {
  auto at = [&](size_t i) { return i < text.size() ? text[i] : '\0'; };
  literal = false;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  start = pos;
  if (pos >= text.size()) return;
  const char c = text[pos];
  if (c == hexPrefix_ && !afterOperand && IsHexDigit(at(pos + 1))) {
    ++pos;
    ReadNumber(text, pos, true);
    literal = true;
  } else if (c == '.' && IsDottedWord(text, pos)) {
    pos = text.find('.', pos + 1) + 1;
  } else if (c == decimalPoint_ || IsDigit(c)) {
    ReadNumber(text, pos, false);
    literal = true;
  } else if (IsLetter(c)) {
    while (IsNameChar(at(pos))) ++pos;
  } else if (c == '\'' || c == '"' || c == '[') {
    // No escape: the literal ends at the next closing quote.
    const size_t close = text.find(c == '[' ? ']' : c, pos + 1);
    if (close == std::string::npos)
      Fail(Format(kExprUnterminatedText, compileOffset_ + static_cast<int>(pos) + 1),
           static_cast<int>(pos));
    pos = close + 1;
    literal = true;
  } else if (c == '+' || c == '-') {
    ++pos;
    const char twin[3] = {c, c, '\0'};
    if (at(pos) == c && FindWord(twin) != nullptr) ++pos;
  } else if ((c == '!' && at(pos + 1) == '=') || (c == '&' && at(pos + 1) == '&') ||
             (c == '|' && at(pos + 1) == '|') || (c == ':' && at(pos + 1) == '=') ||
             (c == '*' && at(pos + 1) == '*')) {
    pos += 2;
  } else if (c == '<' || c == '>' || c == '=') {
    ++pos;
    if (at(pos) == '<' || at(pos) == '=' || at(pos) == '>') ++pos;
  } else {
    ++pos;
  }
}

void TCustomExpressionParser::AddLiteral(TExprCollection& tokens, const std::string& token,
                                         int start, int end) {
  std::string text = token;
  if (text[0] == hexPrefix_) text = std::to_string(StrToInt64("$" + text.substr(1)));
  std::unique_ptr<TExprWord> constant;
  if (text[0] == '\'' || text[0] == '"' || text[0] == '[') {
    constant = std::make_unique<TStringConstant>(text);
  } else if (text.find(decimalPoint_) == std::string::npos) {
    constant = std::make_unique<TIntegerConstant>(StrToInt(text));
  } else {
    text[text.find(decimalPoint_)] = FormatSettings().DecimalSeparator;
    constant = std::make_unique<TFloatConstant>(text, text);
  }
  tokens.Add(constant.get(), start, end);
  constants_.Add(std::move(constant));
}

TExprWord* TCustomExpressionParser::ResolveToken(const std::string& token, const std::string& text,
                                                 size_t pos, int start) {
  const char* name = token.c_str();
  auto isFunction = [](const TExprWord* w) { return w->IsFunction(); };
  auto isOperator = [](const TExprWord* w) { return w->IsOperator(); };
  auto isValue = [](const TExprWord* w) { return w->IsValueWord(); };
  auto resolve = [&] {
    try {
      ResolveUnknownName(token);
    } catch (EParserException& e) {
      if (e.Position() == 0) e.SetPosition(compileOffset_ + start + 1);
      throw;
    }
  };
  if (!IsLetter(token[0])) {
    if (TExprWord* word = FindWord(name)) return word;
    // Bytes above 127 may be part of a field name in the table's code page.
    if (static_cast<unsigned char>(token[0]) < 128) Fail(Format(kExprUnknownOperator, name), start);
    resolve();
    if (TExprWord* word = FindWord(name)) return word;
    Fail(Format(kExprUnknownVariable, name), start);
  }
  // A name followed by "(" calls a function; otherwise it is a value (a
  // field may be called like a function), else an operator word (AND).
  while (pos < text.size() && text[pos] == ' ') ++pos;
  if (pos < text.size() && text[pos] == '(') {
    if (TExprWord* word = FindWordIf(name, isFunction)) return word;
    if (TExprWord* word = FindWordIf(name, isValue)) return word;
    Fail(Format(kExprUnknownFunction, name), start);
  }
  if (TExprWord* word = FindWordIf(name, isValue)) return word;
  if (TExprWord* word = FindWordIf(name, isOperator)) return word;
  resolve();
  if (TExprWord* word = FindWordIf(name, isValue)) return word;
  // A function named without its brackets: the tree builder or the
  // signature check says what is missing.
  if (TExprWord* word = FindWordIf(name, isFunction)) return word;
  Fail(Format(kExprUnknownVariable, name), start);
}

TExprCollection TCustomExpressionParser::Tokenize(const std::string& source) {
  TExprCollection tokens(10);
  size_t first = 0;
  size_t last = source.size();
  while (first < last && IsBlankByte(source[first])) ++first;
  while (last > first && IsBlankByte(source[last - 1])) --last;
  compileText_ = source.substr(first, last - first);
  compileOffset_ = static_cast<int>(first);
  const std::string& text = compileText_;
  size_t pos = 0;
  bool afterOperand = false;
  while (pos < text.size()) {
    size_t start;
    bool literal;
    GetToken(text, pos, start, literal, afterOperand);
    size_t end = pos;
    while (start < end && IsBlankByte(text[start])) ++start;
    while (end > start && IsBlankByte(text[end - 1])) --end;
    if (start == end) continue;
    const std::string token = text.substr(start, end - start);
    if (literal) {
      AddLiteral(tokens, token, static_cast<int>(start), static_cast<int>(end));
      afterOperand = true;
      continue;
    }
    TExprWord* word = ResolveToken(token, text, pos, static_cast<int>(start));
    tokens.Add(word, static_cast<int>(start), static_cast<int>(end));
    afterOperand = word->IsValueWord() || IsRightBracket(word);
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
    return IsComma(previous) || IsLeftBracket(previous) || previous->IsOperator();
  };
  auto isSign = [&](int i) { return tokens[i]->Name() == "-" || tokens[i]->Name() == "+"; };
  auto isCall = [&](int i) {
    return i >= 0 && tokens[i]->IsFunction() && !tokens[i]->IsOperator();
  };

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
    if (IsNotWord(tokens[i]) &&
        (i == 0 || IsLeftBracket(tokens[i - 1]) || tokens[i - 1]->IsOperator())) {
      int j = i + 1;
      while (j < tokens.Count() && IsNotWord(tokens[j])) ++j;
      tokens.FreeRange((j - i) % 2 == 0 ? i : i + 1, j);
      if (i >= tokens.Count()) break;
    }
    TExprWord* word = tokens[i];
    TExprWord* next = i + 1 < tokens.Count() ? tokens[i + 1] : nullptr;
    const int at = tokens.Start(i);
    if (next != nullptr && word->IsValueWord() && next->IsValueWord())
      Fail(Format(kExprMissingOperator, word->Name().c_str(), next->Name().c_str()),
           tokens.Start(i + 1));
    // A function without arguments is called with "()".
    if (IsLeftBracket(word) && (next == nullptr || (IsRightBracket(next) && !isCall(i - 1))))
      Fail(kExprEmptyBrackets, at);
    if (IsRightBracket(word) && next != nullptr && IsLeftBracket(next))
      Fail(kExprMissingOperatorBrackets, at);
    if (IsRightBracket(word) && next != nullptr && next->IsValueWord())
      Fail(kExprMissingOperatorAfterBracket, at);
    if (IsLeftBracket(word) && i > 0 && tokens[i - 1]->IsValueWord())
      Fail(kExprMissingOperatorBeforeBracket, at);
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
    if (!word->IsFunction() && !word->IsValueWord()) Fail(kExprOperandMissing, tokens.Start(first));
    node->Word = word;
    node->Proc = word->Proc();
    node->Value = word->ValuePointer();
    if (word->IsValueWord() && word->FixedLength() >= 0) node->ValueLength = word->LenPointer();
    node->TextStart = node->WordStart = tokens.Start(first);
    node->TextEnd = node->WordEnd = tokens.End(first);
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
    if (k >= last) Fail(kExprOperandMissing, tokens.Start(std::min(pos, last - 1)));
    TExprWord* word = tokens[k];
    node->Word = word;
    node->Proc = word->Proc();
    node->Value = word->ValuePointer();
    node->WordStart = tokens.Start(k);
    node->WordEnd = tokens.End(k);
    int end;
    if (!word->IsOperator()) {
      // A function call needs its bracketed arguments and must not follow
      // an operand without an operator in between.
      if (index > 0 || k > pos || k + 1 >= last || !IsLeftBracket(tokens[k + 1]))
        Fail(kExprOperandMissing, tokens.Start(k));
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
          if (index >= kArgLimit) Fail(kExprTooManyArgs, tokens.Start(j));
          node->ArgNode[index++] = BuildTree(tokens, argStart, j, depth + 1);
          argStart = j + 1;
        }
      }
      if (j >= last) throw EParserException(kExprUnequalBrackets);
      // "()" calls without arguments.
      if (j > k + 2) {
        if (index >= kArgLimit) Fail(kExprTooManyArgs, tokens.Start(j));
        node->ArgNode[index++] = BuildTree(tokens, argStart, j, depth + 1);
      }
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
      if (index >= kArgLimit) Fail(kExprTooManyArgs, tokens.Start(end + 1));
      node->ArgNode[index++] = BuildTree(tokens, end + 1, next, depth + 1);
    }
    node->TextStart = tokens.Start(first);
    node->TextEnd = tokens.End(next - 1);
    SetHeight(node.get());

    left = std::move(node);
    pos = next;
    if (next >= last) return left;
  }
}

void TCustomExpressionParser::WrapArgument(std::unique_ptr<TExprNode>& arg, const char* name) {
  TExprWord* conversion = FindWord(name);
  assert(conversion != nullptr);
  auto node = std::make_unique<TExprNode>();
  node->Word = conversion;
  node->Proc = conversion->Proc();
  node->TextStart = node->WordStart = arg->TextStart;
  node->TextEnd = node->WordEnd = arg->TextEnd;
  node->ArgNode[0] = std::move(arg);
  SetHeight(node.get());
  arg = std::move(node);
}

std::string TCustomExpressionParser::MismatchMessage(const TExprNode* node) const {
  const std::string word = TextOf(node->WordStart, node->WordEnd);
  const std::string text = TextOf(node->TextStart, node->TextEnd);
  std::vector<const char*> types;
  for (const auto& arg : node->ArgNode)
    if (arg) types.push_back(ExprTypeName(arg->Word->ResultType()));
  if (node->Word->IsOperator() && types.size() == 2) {
    if (IsComparison(node->Word))
      return Format(kExprCannotCompare, types[0], types[1], text.c_str());
    return Format(kExprCannotApplyBinary, word.c_str(), types[0], types[1], text.c_str());
  }
  if (node->Word->IsOperator() && types.size() == 1)
    return Format(kExprCannotApplyUnary, word.c_str(), types[0], text.c_str());
  std::string list;
  for (const char* type : types) list += (list.empty() ? "" : ", ") + std::string(type);
  return Format(kExprWrongArgumentTypes, word.c_str(), list.c_str(), text.c_str());
}

void TCustomExpressionParser::CheckSignatures(TExprNode* node) {
  for (auto& arg : node->ArgNode)
    if (arg) CheckSignatures(arg.get());
  if (!node->Word->IsFunction()) return;

  enum TState { kNone, kMismatch, kTooFew, kTooMany };
  TExprWord* const intToFloat = FindWord(kIntToFloatName);
  TExprWord* const largeToFloat = FindWord(kLargeToFloatName);
  TExprWord* const logicalText = FindWord(kLogicalTextName);
  // How an argument may fit a signature letter: a logical field as its
  // logical value only, then exactly, then through any conversion.
  enum TFit { kAsLogical, kExact, kLoose };
  auto fits = [&](char letter, const TExprWord* arg, TFit fit) {
    const TExprResultType wanted = TypeFromLetter(letter);
    const TExprResultType type = arg->ResultType();
    const bool asLogical = arg->IsLogicalText() && logicalText;
    if (fit == kAsLogical && asLogical) return wanted == rtBoolean;
    if (wanted == type) return true;
    if (fit != kLoose) return false;
    if (wanted == rtFloat)
      return (type == rtInteger && intToFloat) || (type == rtLargeInt && largeToFloat);
    return wanted == rtBoolean && asLogical;
  };
  auto check = [&](const TExprWord* word, TFit fit) {
    const int maxArgs = word->MaxFunctionArg();
    const std::string_view signature = word->Signature();
    int i = 0;
    for (; i < maxArgs && i < kArgLimit && node->ArgNode[i]; ++i) {
      const char letter = static_cast<size_t>(i) < signature.size() ? signature[i] : '\0';
      if (!fits(letter, node->ArgNode[i]->Word, fit)) return kMismatch;
    }
    if (i < word->MinFunctionArg()) return kTooFew;
    if (maxArgs < kArgLimit && node->ArgNode[maxArgs]) return kTooMany;
    return kNone;
  };

  // Overloads are tried in list order (the most recently registered
  // first): first with logical fields taken as logical values (EMPTY of a
  // logical field is true for .F., not only for a blank byte), then for an
  // exact fit with them as text, then for one through conversions.
  const bool isOperator = node->Word->IsOperator();
  std::vector<TExprWord*> overloads;
  int index;
  words_.Search(node->Word->Name().c_str(), index);
  for (; index < words_.Count() && words_[index]->Name() == node->Word->Name(); ++index)
    if (words_[index]->IsFunction() && words_[index]->IsOperator() == isOperator)
      overloads.push_back(words_[index]);
  TState state = kMismatch;
  for (TFit fit : {kAsLogical, kExact, kLoose}) {
    for (TExprWord* word : overloads) {
      const TState result = check(word, fit);
      if (fit == kExact) state = result;
      if (result != kNone) continue;
      node->Word = word;
      node->Proc = word->Proc();
      node->Value = word->ValuePointer();
      const std::string_view signature = word->Signature();
      for (int i = 0; i < kArgLimit && node->ArgNode[i]; ++i) {
        const TExprResultType wanted = TypeFromLetter(signature[static_cast<size_t>(i)]);
        const TExprResultType type = node->ArgNode[i]->Word->ResultType();
        if (wanted == type) continue;
        WrapArgument(node->ArgNode[i], wanted == rtBoolean ? kLogicalTextName
                                       : type == rtInteger ? kIntToFloatName
                                                           : kLargeToFloatName);
      }
      SetHeight(node);
      return;
    }
  }
  const int at = node->WordStart;
  switch (state) {
    case kTooFew:
      Fail(kExprTooFewArgs, at);
    case kTooMany:
      Fail(kExprTooManyArgs, at);
    default:
      Fail(MismatchMessage(node), at);
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
  // Boolean, float, date and text results become constants (so DATE() is
  // asked once per compile); integer sub-trees are computed on every
  // evaluation.
  const TExprResultType type = node->Word->ResultType();
  if (type != rtBoolean && type != rtFloat && type != rtString && type != rtDateTime) return node;

  const int textStart = node->TextStart;
  const int textEnd = node->TextEnd;
  firstNode_.reset();
  lastNode_ = nullptr;
  resultPosition_ = resultBuffer_.get();
  LinkNodes(std::move(node), &resultBuffer_, &resultPosition_, &resultSize_);
  Evaluate();
  std::unique_ptr<TExprWord> constant;
  if (type == rtBoolean) {
    constant = std::make_unique<TBooleanConstant>("", resultBuffer_[0] != 0);
  } else if (type == rtFloat || type == rtDateTime) {
    double value;
    std::memcpy(&value, resultBuffer_.get(), sizeof value);
    if (type == rtFloat) {
      constant = std::make_unique<TFloatConstant>("", value);
    } else {
      constant = std::make_unique<TDateTimeConstant>("", value);
    }
  } else {
    constant = std::make_unique<TStringConstant>("", std::string_view(resultBuffer_.get()));
  }
  firstNode_.reset();
  lastNode_ = nullptr;

  auto folded = std::make_unique<TExprNode>();
  folded->Word = constant.get();
  folded->Proc = constant->Proc();
  folded->Value = constant->ValuePointer();
  folded->TextStart = folded->WordStart = textStart;
  folded->TextEnd = folded->WordEnd = textEnd;
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
