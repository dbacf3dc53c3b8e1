#pragma once
// A fresh temporary folder for one test, removed with everything in it when
// the object goes; and the paths of checked-in test data and of the helper
// programs the tests start as second processes.

#include <string>

class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path() + "/" + name.
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

// A file below tests/data.
std::string TestDataPath(const std::string& relative);

// Reads a whole file into a string (empty when it cannot be read).
std::string ReadWholeFile(const std::string& path);
// Writes a whole file, replacing it.
void WriteWholeFile(const std::string& path, const std::string& bytes);
