// Child processes and standard stream capture for the engine tests (POSIX).
#include "tests/patch/process_capture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace hl_test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "hl-engine-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {

std::string read_text(const std::string& path) {
  Bytes b = read_file(path);
  return std::string(b.begin(), b.end());
}

}  // namespace

Captured run_program(const std::vector<std::string>& args, const ChildLimits& limits) {
  TempDir dir;
  std::string outPath = dir.file("stdout");
  std::string errPath = dir.file("stderr");
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    close(out);
    close(err);
    if (limits.fileSize != 0) {
      signal(SIGXFSZ, SIG_IGN);  // a short write instead of death
      struct rlimit r = {limits.fileSize, limits.fileSize};
      if (setrlimit(RLIMIT_FSIZE, &r) != 0) _exit(126);
    }
    if (limits.addressSpace != 0) {
      struct rlimit r = {limits.addressSpace, limits.addressSpace};
      if (setrlimit(RLIMIT_AS, &r) != 0) _exit(126);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  Captured result;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = read_text(outPath);
  result.err = read_text(errPath);
  return result;
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
