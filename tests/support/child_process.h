#pragma once
// A helper program started as a second process, driven line by line: the
// test writes a request line to its standard input and reads one reply line
// from its standard output. Closing its input ends it.

#include <sys/types.h>
#include <string>
#include <vector>

class TChildProcess {
 public:
  // Starts program with the arguments; throws std::runtime_error when it
  // cannot be started.
  TChildProcess(const std::string& program, const std::vector<std::string>& args);
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Sends one line and gives the reply line (without its line end). Throws
  // std::runtime_error when the program ends or stays silent for a minute.
  std::string Request(const std::string& line);
  // Closes the program's input and waits for it; gives its exit status.
  int Finish();
  // Reads the program's output up to its end (when it exits or is killed).
  std::string ReadToEnd();
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string pending_;
};
