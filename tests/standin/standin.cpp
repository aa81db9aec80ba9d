// Plays the application for the runner's tests and demo. Its behaviour per version comes
// from the environment the runner passes on:
//   QR_STANDIN_JOURNAL      file that every start appends one line to
//   QR_STANDIN_PROBE_<key>  answer to --version: stdout (default), stderr, none, long, raw:<text>,
//                           hang (answers, then never ends), flood (writes without end),
//                           late:<milliseconds> (answers after that long, then ends),
//                           handoff (answers and ends, leaving a child that keeps the output
//                           open and journals "handoff <its pid>"; on Windows the answer
//                           ends only after that line, and the child journals "handoff
//                           survived" after 8 s and ends),
//                           surroundings (answers, and journals "surroundings stdin=open|closed
//                           sigpipe=default|ignored sigxfsz=default|ignored", on Windows
//                           "surroundings stdin=open|closed files=<open files' names>|none")
//   QR_STANDIN_RUN_<key>    steps for --runner, separated by ';':
//                           stage|<patch>|<manifest> ("-" skips one), sleep|<milliseconds>,
//                           wait|<file> (until that file exists),
//                           once|<file> (the steps after it run only while that file is absent;
//                           it is created then)
// On Windows any other start journals "usage <version> args=<arguments>".
// <key> is the version with every character other than a letter or digit turned into '_'.
// On Windows a --runner start also opens a window titled "Quorlin" when there is a display,
// and journals whether the runner gave it the focus (standin_window.h).
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <shlobj.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/standin/version_field.h"
#ifdef _WIN32
#include "tests/standin/standin_window.h"
#endif

#ifndef QR_STANDIN_VERSION
#define QR_STANDIN_VERSION "1.0.0"
#endif

// Volatile, so the version is read from the binary at run time and never folded into the code.
extern "C" __attribute__((used)) volatile const char
    quorlin_standin_version_field[QR_STANDIN_MARKER_LENGTH + QR_STANDIN_FIELD_LENGTH] =
        QR_STANDIN_MARKER QR_STANDIN_VERSION;

namespace {

std::string EmbeddedVersion() {
  std::string version;
  for (size_t i = QR_STANDIN_MARKER_LENGTH; i < sizeof quorlin_standin_version_field; ++i) {
    const char c = quorlin_standin_version_field[i];
    if (c == '\0') break;
    version.push_back(c);
  }
  return version;
}

std::string Environment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value == nullptr ? std::string() : std::string(value);
}

std::string VersionKey(const std::string& version) {
  std::string key = version;
  for (char& c : key) {
    const bool alphanumeric =
        (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alphanumeric) c = '_';
  }
  return key;
}

std::vector<std::string> Split(const std::string& text, char delimiter) {
  std::vector<std::string> pieces;
  std::string piece;
  std::istringstream stream(text);
  while (std::getline(stream, piece, delimiter)) pieces.push_back(piece);
  return pieces;
}

// One write per line, so lines of processes that run one after another never mix.
void AppendToJournal(const std::string& line) {
  const std::string journal = Environment("QR_STANDIN_JOURNAL");
  if (journal.empty()) return;
#ifdef _WIN32
  // Binary mode: the journal reads the same on both systems, one "\n" per line. An open that
  // fails is tried again for a while, and then said on stderr: a line lost in silence would make
  // a case fail without a trace of why.
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fd = ::_open(journal.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY,
                 _S_IREAD | _S_IWRITE);
  }
  if (fd < 0) {
    std::perror(("journal: " + line).c_str());
    return;
  }
  const std::string text = line + "\n";
  if (::_write(fd, text.data(), static_cast<unsigned>(text.size())) < 0) std::perror("journal");
  ::_close(fd);
#else
  const int fd = ::open(journal.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(("journal: " + line).c_str());
    return;
  }
  const std::string text = line + "\n";
  if (::write(fd, text.data(), text.size()) < 0) std::perror("journal");
  ::close(fd);
#endif
}

#ifdef _WIN32
// The runner's data folder: the roaming application-data folder, asked of the shell as it does.
std::filesystem::path DataFolder() {
  wchar_t roaming[MAX_PATH] = {};
  if (::SHGetFolderPathW(nullptr, 0x801A, nullptr, 0, roaming) < 0)
    throw std::runtime_error("no roaming folder");
  return std::filesystem::path(roaming) / L"Quorlin";
}
#else
std::filesystem::path DataFolder() {
  const std::string dataHome = Environment("XDG_DATA_HOME");
  if (!dataHome.empty()) return dataHome + "/Quorlin/";
  return Environment("HOME") + "/.local/share/Quorlin/";
}
#endif

#ifdef _WIN32
// Starts this program again as "--handoff", with this process's output as its own, and ends
// only once that child has journalled: the runner stops it together with this process as soon
// as this one has ended.
void HandOff() {
  char self[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  SECURITY_ATTRIBUTES inheritable = {};
  inheritable.nLength = sizeof inheritable;
  inheritable.bInheritHandle = TRUE;
  const HANDLE journalled = ::CreateEventA(&inheritable, TRUE, FALSE, nullptr);
  std::string line = "\"" + std::string(self) + "\" --handoff " +
                     std::to_string(reinterpret_cast<uintptr_t>(journalled));
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION started = {};
  if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &started)) {
    AppendToJournal("handoff failed");
    return;
  }
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  if (journalled != nullptr) {
    ::WaitForSingleObject(journalled, 10000);
    ::CloseHandle(journalled);
  }
}

// The handed-off child: holds the output long past the probe's time limit, unless it is stopped.
// `journalled` is the value of the event handle it sets once it has journalled.
int HandedOff(const char* journalled) {
  AppendToJournal("handoff " + std::to_string(::GetCurrentProcessId()));
  if (journalled != nullptr)
    ::SetEvent(
        reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(journalled, nullptr, 10))));
  std::this_thread::sleep_for(std::chrono::seconds(8));
  AppendToJournal("handoff survived");
  return 0;
}

// The names of the files this process holds open, other than its standard streams and its
// working folder: what it inherited from the runner, as it has opened nothing yet.
std::string OpenFiles() {
  std::string names;
  for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
    const HANDLE handle = reinterpret_cast<HANDLE>(value);
    DWORD flags = 0;
    if (!::GetHandleInformation(handle, &flags) || handle == ::GetStdHandle(STD_OUTPUT_HANDLE) ||
        handle == ::GetStdHandle(STD_ERROR_HANDLE) || ::GetFileType(handle) != FILE_TYPE_DISK)
      continue;
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!::GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      continue;
    wchar_t path[MAX_PATH] = {};
    if (::GetFinalPathNameByHandleW(handle, path, MAX_PATH, 0) == 0) continue;
    names += (names.empty() ? "" : ",") + std::filesystem::path(path).filename().string();
  }
  return names.empty() ? "none" : names;
}

std::string Surroundings() {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  return std::string("stdin=") +
         (input == nullptr || input == INVALID_HANDLE_VALUE ? "closed" : "open") +
         " files=" + OpenFiles();
}
#else
std::string SignalState(int signal) {
  struct sigaction current {};
  ::sigaction(signal, nullptr, &current);
  return current.sa_handler == SIG_IGN ? "ignored" : "default";
}

std::string Surroundings() {
  return std::string("stdin=") + (::fcntl(0, F_GETFD) == -1 ? "closed" : "open") +
         " sigpipe=" + SignalState(SIGPIPE) + " sigxfsz=" + SignalState(SIGXFSZ);
}
#endif

int AnswerVersion(const std::string& version) {
  AppendToJournal("probe " + version);
  const std::string answer = Environment("QR_STANDIN_PROBE_" + VersionKey(version));
  const std::string line = "Quorlin ver " + version + "\n";
  if (answer.empty() || answer == "stdout") {
    std::cout << line << std::flush;
  } else if (answer == "stderr") {
    std::cerr << line << std::flush;
  } else if (answer == "long") {
    std::cout << line << std::string(60, 'x') << "\n" << std::flush;
  } else if (answer.rfind("raw:", 0) == 0) {
    std::cout << answer.substr(4) << std::flush;
  } else if (answer.rfind("late:", 0) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(answer.c_str() + 5)));
    std::cout << line << std::flush;
  } else if (answer == "hang") {
    std::cout << line << std::flush;
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  } else if (answer == "flood") {
    const std::string block(65536, 'y');
    while (std::fwrite(block.data(), 1, block.size(), stdout) == block.size()) {
    }
  } else if (answer == "surroundings") {
    AppendToJournal("surroundings " + Surroundings());
    std::cout << line << std::flush;
  } else if (answer == "handoff") {
    std::cout << line << std::flush;
#ifdef _WIN32
    HandOff();
#else
    if (::fork() == 0) {
      AppendToJournal("handoff " + std::to_string(::getpid()));
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
#endif
  }
  return 0;
}

void Stage(const std::string& source, const std::string& name) {
  if (source == "-") return;
  std::filesystem::create_directories(DataFolder());
  std::filesystem::copy_file(source, DataFolder() / name,
                             std::filesystem::copy_options::overwrite_existing);
}

int Run(const std::string& version, int argc, char** argv) {
  std::string arguments;
  for (int i = 1; i < argc; ++i) arguments += (i > 1 ? " " : "") + std::string(argv[i]);
  const char* tessdata = std::getenv("TESSDATA");
  std::error_code error;
  AppendToJournal("run " + version + " args=" + arguments +
                  " tessdata=" + (tessdata ? tessdata : "(unset)") +
                  " cwd=" + std::filesystem::current_path(error).string());
#ifdef _WIN32
  // Lives while the steps run, pumping its messages on its own thread.
  standin::FocusWindow window(AppendToJournal);
#endif
  for (const std::string& step : Split(Environment("QR_STANDIN_RUN_" + VersionKey(version)), ';')) {
    const std::vector<std::string> fields = Split(step, '|');
    if (fields.size() == 3 && fields[0] == "stage") {
      Stage(fields[1], "Patch");
      Stage(fields[2], "update.json");
    } else if (fields.size() == 2 && fields[0] == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(fields[1].c_str())));
    } else if (fields.size() == 2 && fields[0] == "once") {
      if (std::filesystem::exists(fields[1], error)) break;
      std::ofstream(fields[1]).put('x');
    } else if (fields.size() == 2 && fields[0] == "wait") {
      while (!std::filesystem::exists(fields[1], error))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string version = EmbeddedVersion();
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) return AnswerVersion(version);
  if (argc >= 2 && std::strcmp(argv[1], "--runner") == 0) return Run(version, argc, argv);
#ifdef _WIN32
  if (argc >= 2 && std::strcmp(argv[1], "--handoff") == 0)
    return HandedOff(argc >= 3 ? argv[2] : nullptr);
  // A start that a command line split at a space led here: the tests look for exactly this.
  std::string arguments;
  for (int i = 1; i < argc; ++i) arguments += (i > 1 ? " " : "") + std::string(argv[i]);
  AppendToJournal("usage " + version + " args=" + arguments);
#endif
  std::cerr << "usage: Quorlin.exe --version | --runner" << std::endl;
  return 2;
}
