#pragma once
// The index definitions of a table dataset (TDbf's Indexes) and the link
// that makes a dataset follow a master record set. A definition names an
// index (a tag of the production index, or a file with an extension), its
// key expression and options; the dataset opens each with the table.

#include <memory>
#include <string>
#include <vector>

#include "recordset/datasource.h"
#include "tdbf/dbf_idxfile.h"

class TDbf;
class TDbfParser;

class TDbfIndexDef {
 public:
  // Trimmed and upper-cased when set.
  const std::string& IndexFile() const { return indexFile_; }
  void SetIndexFile(const std::string& value);
  const std::string& SortField() const { return sortField_; }
  void SetSortField(const std::string& value);
  TIndexOptions Options() const { return options_; }
  void SetOptions(TIndexOptions value) { options_ = value; }
  // True for a definition filled in from a tag of the production index.
  bool FromFile() const { return fromFile_; }
  void SetFromFile(bool value) { fromFile_ = value; }
  // Copies the three properties.
  void Assign(const TDbfIndexDef& source);

 private:
  std::string indexFile_;
  std::string sortField_;
  TIndexOptions options_ = 0;
  bool fromFile_ = false;
};

class TDbfIndexDefs {
 public:
  TDbfIndexDef& Add();
  int Count() const { return static_cast<int>(items_.size()); }
  // EListError outside [0, Count()).
  TDbfIndexDef& Items(int index);
  void Delete(int index);
  void Clear() { items_.clear(); }
  // The first definition whose IndexFile equals name exactly; nullptr.
  TDbfIndexDef* GetIndexByName(const std::string& name);
  // The first definition whose SortField equals the trimmed, upper-cased
  // expression; nullptr (also for an empty expression).
  TDbfIndexDef* GetIndexByField(const std::string& expression);

 private:
  std::vector<std::unique_ptr<TDbfIndexDef>> items_;
};

// Follows the master data source of a detail TDbf: on every record change
// of the master the detail is limited to the records whose key in its
// active index equals the master fields' expression on the master record.
class TDbfMasterLink : public TDataLink {
 public:
  explicit TDbfMasterLink(TDbf* detail);
  ~TDbfMasterLink() override;

  const std::string& FieldNames() const { return fieldNames_; }
  // Stores the text and compiles it against the master's table when the
  // master is open (the compiled flag tells whether that worked).
  void SetFieldNames(const std::string& value);
  bool Compiled() const { return parser_ != nullptr; }
  // The key of the master's active record, or false when there is none.
  bool MasterKey(std::string& text, double& number, bool& isText);

 protected:
  void ActiveChanged() override;
  void LayoutChanged() override;
  void RecordChanged(TField* field) override;

 private:
  void Compile();

  TDbf* detail_;
  std::string fieldNames_;
  std::unique_ptr<TDbfParser> parser_;
};
