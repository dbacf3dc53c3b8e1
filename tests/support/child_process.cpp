#include "tests/support/child_process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

TChildProcess::TChildProcess(const std::string& program, const std::vector<std::string>& args) {
  int in[2];
  int out[2];
  if (pipe(in) != 0) throw std::runtime_error("pipe failed");
  if (pipe(out) != 0) {
    close(in[0]);
    close(in[1]);
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  toChild_ = in[1];
  fromChild_ = out[0];
  if (rc != 0) {
    close(toChild_);
    close(fromChild_);
    throw std::runtime_error("cannot start " + program);
  }
  // A child that dies must not kill the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
}

TChildProcess::~TChildProcess() {
  if (pid_ > 0) Finish();
}

std::string TChildProcess::Request(const std::string& line) {
  const std::string request = line + "\n";
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = write(toChild_, request.data() + sent, request.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("helper program gone");
    sent += static_cast<size_t>(n);
  }
  for (;;) {
    auto end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string reply = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return reply;
    }
    pollfd pfd{fromChild_, POLLIN, 0};
    int ready = poll(&pfd, 1, 60000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) throw std::runtime_error("helper program silent");
    char chunk[256];
    ssize_t n = read(fromChild_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("helper program ended");
    pending_.append(chunk, static_cast<size_t>(n));
  }
}

int TChildProcess::Finish() {
  if (pid_ <= 0) return -1;
  close(toChild_);
  close(fromChild_);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string TChildProcess::ReadToEnd() {
  std::string out = pending_;
  pending_.clear();
  char chunk[4096];
  for (;;) {
    const ssize_t n = read(fromChild_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.append(chunk, static_cast<size_t>(n));
  }
}
