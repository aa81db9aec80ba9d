#include "tests/support/process_capture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "patch/hpatchi_core.h"
#include "tests/support/file_io.h"

namespace hl_test {

StartedChild::StartedChild(const std::vector<std::string>& args, const ChildOptions& options)
    : timeLimitSeconds_(options.timeLimitSeconds) {
  const std::string outPath = dir_.file("stdout");
  const std::string errPath = dir_.file("stderr");
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    close(out);
    close(err);
    if (options.fileSize != 0) {
      signal(SIGXFSZ, SIG_IGN);  // a short write instead of death
      struct rlimit r = {options.fileSize, options.fileSize};
      if (setrlimit(RLIMIT_FSIZE, &r) != 0) _exit(126);
    }
    if (options.addressSpace != 0) {
      struct rlimit r = {options.addressSpace, options.addressSpace};
      if (setrlimit(RLIMIT_AS, &r) != 0) _exit(126);
    }
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)
      _exit(126);
    for (const std::string& entry : options.environment) {
      if (putenv(const_cast<char*>(entry.c_str())) != 0) _exit(126);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
}

StartedChild::~StartedChild() {
  if (pid_ < 0) return;
  kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool StartedChild::running() const {
  if (pid_ < 0) return false;
  siginfo_t info{};
  return !(waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid_);
}

std::string StartedChild::out_so_far() const { return read_text_if_present(dir_.file("stdout")); }

Captured StartedChild::wait() {
  if (pid_ < 0) throw std::logic_error("the child was waited for already");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeLimitSeconds_);
  bool polling = timeLimitSeconds_ > 0;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid_, &status, polling ? WNOHANG : 0);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (done == 0 && std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      polling = false;
    } else if (done == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  pid_ = -1;
  Captured result;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = read_text(dir_.file("stdout"));
  result.err = read_text(dir_.file("stderr"));
  return result;
}

Captured run_program(const std::vector<std::string>& args, const ChildOptions& options) {
  return StartedChild(args, options).wait();
}

StdCapture::StdCapture(bool withStdout) {
  std::fflush(stdout);
  std::fflush(stderr);
  int out = open(dir_.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  // Capturing nothing on fd 1 is done by dup'ing it onto itself.
  savedOut_ = dup(1);
  savedErr_ = dup(2);
  if (savedOut_ < 0 || savedErr_ < 0 || out < 0 || err < 0) throw std::runtime_error("capture");
  if (withStdout) dup2(out, 1);
  dup2(err, 2);
  close(out);
  close(err);
}

Captured StdCapture::finish() {
  Captured result;
  if (savedOut_ < 0) return result;
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(savedOut_, 1);
  dup2(savedErr_, 2);
  close(savedOut_);
  close(savedErr_);
  savedOut_ = savedErr_ = -1;
  result.exitCode = 0;
  result.out = read_text(dir_.file("stdout"));
  result.err = read_text(dir_.file("stderr"));
  return result;
}

StdCapture::~StdCapture() { finish(); }

bool process_running(pid_t pid) {
  const std::string stat = read_text_if_present("/proc/" + std::to_string(pid) + "/stat");
  const std::string::size_type name = stat.rfind(')');
  return name != std::string::npos && stat.size() > name + 2 && stat[name + 2] != 'Z';
}

Captured run_shell(const std::string& command) { return run_program({"/bin/sh", "-c", command}); }

int run_hpatchi_quietly(const std::string& oldPath, const std::string& patchPath,
                        const std::string& newPath) {
  const hpatchi_TOutput output = {nullptr, stderr};
  return hpatchi_run_to(&output, oldPath.c_str(), patchPath.c_str(), newPath.c_str());
}

StreamCapture::StreamCapture() : out_(std::tmpfile()), err_(std::tmpfile()) {
  if (out_ == nullptr || err_ == nullptr) throw std::runtime_error("tmpfile failed");
}

StreamCapture::~StreamCapture() {
  std::fclose(out_);
  std::fclose(err_);
}

namespace {

std::string stream_text(FILE* stream) {
  std::fflush(stream);
  std::string text;
  const long end = std::ftell(stream);
  std::rewind(stream);
  text.resize(end < 0 ? 0 : static_cast<size_t>(end));
  text.resize(std::fread(text.data(), 1, text.size(), stream));
  std::fseek(stream, 0, SEEK_END);
  return text;
}

}  // namespace

Captured StreamCapture::text() const {
  Captured result;
  result.exitCode = 0;
  result.out = stream_text(out_);
  result.err = stream_text(err_);
  return result;
}

}  // namespace hl_test
