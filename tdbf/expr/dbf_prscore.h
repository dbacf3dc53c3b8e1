#pragma once
// TCustomExpressionParser compiles one expression text at a time into a
// chain of evaluation nodes and runs that chain on demand. Compiling cuts
// the text into tokens, resolves them to known words, checks and
// normalises the token sequence, builds a tree by operator precedence,
// chooses overloads, folds constant sub-trees and links the tree into a
// flat chain whose nodes write into buffers allocated once. Evaluate then
// allocates nothing unless a text result outgrows its buffer.
//
// The generic parser knows no words: a subclass registers its word set in
// FillWordList (its constructor calls it) and binds unknown names in
// ResolveUnknownName. One parser belongs to one thread.

#include <cstdint>
#include <memory>
#include <string>

#include "tdbf/expr/dbf_prsdef.h"

// Names of the optional words the token check substitutes: a sign run in
// prefix position becomes the unary minus or plus word, "^" before an
// integer constant the integer-power word. The tokenizer never produces
// these names, so only a subclass that registers them enables the rewrite.
constexpr const char* kUnaryMinusName = "unary -";
constexpr const char* kUnaryPlusName = "unary +";
constexpr const char* kIntPowerName = "integer ^";
// Names of the conversions the signature check puts in front of an
// argument that fits a signature only after converting: a 32-bit or 64-bit
// integer where a float is expected, a logical field's stored byte where a
// logical value is expected. Without them registered, types must match.
constexpr const char* kIntToFloatName = "integer to float";
constexpr const char* kLargeToFloatName = "largeint to float";
constexpr const char* kLogicalTextName = "logical text";

// The name users know a value type by, for messages: Character, Numeric,
// Date or Logical.
const char* ExprTypeName(TExprResultType type);

// Deepest tree a compiled expression may have.
constexpr int kMaxExprDepth = 1000;

class TCustomExpressionParser {
 public:
  TCustomExpressionParser();
  virtual ~TCustomExpressionParser();
  TCustomExpressionParser(const TCustomExpressionParser&) = delete;
  TCustomExpressionParser& operator=(const TCustomExpressionParser&) = delete;

  // Redirects compiled nodes from oldWord to newWord. Exception "Cannot
  // replace variable/function MaxFunctionArg doesn't match" when their
  // maximum argument counts differ.
  virtual void ReplaceWord(TExprWord* oldWord, TExprWord* newWord);
  // The text of the expression in force.
  virtual std::string CurrentExpression() const = 0;
  // Type of the compiled expression; rtUnknown when none is compiled.
  virtual TExprResultType ResultType() const;
  // Releases the evaluation chain.
  virtual void ClearChain();

  // Compiles text into the chain; an empty text does nothing. Compile
  // errors raise (mostly EParserException, with the place of the fault)
  // and leave no chain behind. With wanted rtBoolean a logical field alone
  // is taken as its logical value.
  void Compile(const std::string& text, TExprResultType wanted = rtUnknown);
  // Runs the chain once; the value then starts at ResultBuffer().
  void Evaluate();
  const char* ResultBuffer() const { return resultBuffer_.get(); }

  // Register a variable bound to storage the caller keeps alive while the
  // word is registered; a word of the same name is replaced. Return the
  // registered word (owned by Words()).
  TExprWord* AddIntegerVariable(const std::string& name, int32_t* value);
  TExprWord* AddLargeIntVariable(const std::string& name, int64_t* value);
  TExprWord* AddDateTimeVariable(const std::string& name, double* value);
  TExprWord* AddFloatVariable(const std::string& name, double* value);
  // value holds the address of the text; fixedLength -1 for NUL-ended text.
  // logical marks a logical field's stored byte (IsLogicalText).
  TExprWord* AddStringVariable(const std::string& name, const char* const* value,
                               int32_t fixedLength, bool logical = false);
  // Registers word, replacing (and releasing) a word of the same name.
  TExprWord* AddOrReplaceWord(std::unique_ptr<TExprWord> word);
  // Replaces the word called name by newWord, or removes it when newWord
  // is null (Exception "Cannot undefine function/variable while expression
  // present" while a chain exists).
  void RedefineWord(const std::string& name, std::unique_ptr<TExprWord> newWord);

  char HexPrefix() const { return hexPrefix_; }
  void SetHexPrefix(char value) { hexPrefix_ = value; }
  char ListSeparator() const { return listSeparator_; }
  void SetListSeparator(char value) { listSeparator_ = value; }
  char DecimalPoint() const { return decimalPoint_; }
  void SetDecimalPoint(char value) { decimalPoint_ = value; }
  bool FoldEnabled() const { return foldEnabled_; }
  void SetFoldEnabled(bool value) { foldEnabled_ = value; }

  TExpressList& Words() { return words_; }
  // The first word called name that pred accepts (overloads of one name
  // and a variable named like a function sit side by side), or null.
  template <class Pred>
  TExprWord* FindWordIf(const char* name, Pred pred) const {
    int index;
    if (!words_.Search(name, index)) return nullptr;
    for (; index < words_.Count() && CompareWordNames(words_[index]->Name().c_str(), name) == 0;
         ++index)
      if (pred(words_[index])) return words_[index];
    return nullptr;
  }
  TExprWord* FindWord(const char* name) const;
  const TOCollection<TExprWord>& Constants() const { return constants_; }
  // The chain in evaluation order (post-order of the tree); null when empty.
  const TExprNode* FirstNode() const { return firstNode_.get(); }
  const TExprNode* LastNode() const { return lastNode_; }

 protected:
  // Registers the word set.
  virtual void FillWordList() = 0;
  // Registers a word of exactly this name, or raises an error of its own.
  virtual void ResolveUnknownName(const std::string& name) = 0;
  // May put cheaper nodes of its own in place of parts of the checked and
  // folded tree before it is linked; gives the tree to link.
  virtual std::unique_ptr<TExprNode> Specialize(std::unique_ptr<TExprNode> root) { return root; }

 private:
  TExprCollection Tokenize(const std::string& text);
  // Cuts the next token from text (0-based positions, end exclusive).
  // afterOperand tells whether the token before ended an operand, which
  // makes "$" the contained-in operator rather than a hexadecimal prefix.
  void GetToken(const std::string& text, size_t& pos, size_t& start, bool& literal,
                bool afterOperand) const;
  void ReadNumber(const std::string& text, size_t& pos, bool hex) const;
  // The word a token that is no literal stands for; pos is where the
  // token ends in text.
  TExprWord* ResolveToken(const std::string& token, const std::string& text, size_t pos, int start);
  void AddLiteral(TExprCollection& tokens, const std::string& token, int start, int end);
  void CheckTokens(TExprCollection& tokens);
  // Raises EParserException with the place of the byte at offset in the
  // compiled text.
  [[noreturn]] void Fail(const std::string& message, int offset) const;
  // The part of the compiled text between two offsets.
  std::string TextOf(int start, int end) const;
  // The message for a node no overload of its word fits.
  std::string MismatchMessage(const TExprNode* node) const;
  // The tree of tokens [first, last).
  std::unique_ptr<TExprNode> BuildTree(const TExprCollection& tokens, int first, int last,
                                       int depth);
  void CheckSignatures(TExprNode* node);
  // Puts the conversion named name in front of argument i of node.
  void WrapArgument(std::unique_ptr<TExprNode>& arg, const char* name);
  bool HasVaryingPart(const TExprNode* node) const;
  std::unique_ptr<TExprNode> FoldConstants(std::unique_ptr<TExprNode> node);
  void LinkNodes(std::unique_ptr<TExprNode> node, std::unique_ptr<char[]>* buffer, char** position,
                 int32_t* size);

  char hexPrefix_ = '$';
  char listSeparator_ = ',';
  char decimalPoint_ = '.';
  bool foldEnabled_ = true;
  // The text being compiled, trimmed, and where it starts in the text the
  // caller gave (for the positions of messages).
  std::string compileText_;
  int compileOffset_ = 0;
  TOCollection<TExprWord> constants_{10};
  TExpressList words_;
  std::unique_ptr<char[]> resultBuffer_;
  char* resultPosition_ = nullptr;
  int32_t resultSize_ = kExprBufferSize;
  // Declared last so that the chain goes before the words it points at.
  std::unique_ptr<TExprNode> firstNode_;
  TExprNode* lastNode_ = nullptr;
};
