#pragma once
// A parser with the built-in word set and variables the test binds by hand,
// for testing the compiler and the built-in procedures without a table.

#include <cstring>
#include <functional>
#include <string>

#include "tdbf/expr/dbf_parser.h"
#include "tdbf/expr/dbf_prscore.h"

// A boolean variable: the engine itself has none, tests use it to see how
// logical operators group.
using TTestBooleanVariable = TFixedVariable<uint8_t, rtBoolean, CopyBoolean>;

class TTestParser : public TCustomExpressionParser {
 public:
  TTestParser() { FillWordList(); }
  ~TTestParser() override { ClearChain(); }

  std::string CurrentExpression() const override { return expression_; }
  void CompileText(const std::string& text) {
    ClearChain();
    Compile(text);
    expression_ = text;
  }
  // Called for names that are no word; may register one.
  std::function<void(TTestParser&, const std::string&)> OnUnknownName;

  void AddBoolean(const std::string& name, uint8_t* value) {
    AddOrReplaceWord(std::make_unique<TTestBooleanVariable>(name, value));
  }

  const char* Text() { return ResultBuffer(); }
  bool Boolean() { return ResultBuffer()[0] != 0; }
  int32_t Integer() { return Get<int32_t>(); }
  int64_t LargeInt() { return Get<int64_t>(); }
  double Float() { return Get<double>(); }

  // The chain's words in evaluation order (post-order of the tree),
  // separated by blanks; a folded constant shows as #value.
  std::string Chain() const {
    std::string out;
    for (const TExprNode* node = FirstNode(); node != nullptr; node = node->Next.get()) {
      if (!out.empty()) out += ' ';
      if (!node->Word->Name().empty()) {
        out += node->Word->Name();
      } else if (node->Word->ResultType() == rtString) {
        out += "#" + node->Word->TextValue();
      } else if (node->Word->ResultType() == rtBoolean) {
        out += *static_cast<const uint8_t*>(node->Word->ValuePointer()) ? "#true" : "#false";
      } else {
        out += "#" + std::to_string(*static_cast<const double*>(node->Word->ValuePointer()));
      }
    }
    return out;
  }

 protected:
  void FillWordList() override { AddBuiltInWords(Words(), ListSeparator()); }
  void ResolveUnknownName(const std::string& name) override {
    if (OnUnknownName) OnUnknownName(*this, name);
  }

 private:
  template <class T>
  T Get() {
    T value;
    std::memcpy(&value, ResultBuffer(), sizeof value);
    return value;
  }
  std::string expression_;
};
