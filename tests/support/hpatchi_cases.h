// The hpatchi program's cases that both of its suites run, each against its own program: the
// Linux hpatchi (tests/patch/hpatchi_test.cpp) and hpatchi.exe under Wine
// (tests/wine/hpatchi_cases_test.cpp). A case writes its files into a folder of its own, which is
// the program's working folder, and names them relative to it. What it pins is what the Linux
// program prints; the Wine suite makes of it what hpatchi.exe must print.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/file_io.h"

namespace hl_test {

// ---- the driver's trace and error lines ----
namespace hpatchi_trace {

inline std::string error_line(int e) {
  return "call import system api error! errno: " + std::to_string(e) +
         ", errmsg: " + std::strerror(e) + ".\n";
}

inline std::string paths_trace(const std::string& oldPath, const std::string& diffPath,
                               const std::string& outPath) {
  return "old : \"" + oldPath + "\"\ndiff: \"" + diffPath + "\"\nout : \"" + outPath + "\"\n";
}

inline std::string sizes_trace(uint64_t oldSize, uint64_t diffSize) {
  return "oldDataSize : " + std::to_string(oldSize) +
         "\ndiffDataSize: " + std::to_string(diffSize) + "\n";
}

inline std::string uncompressed_trace(uint64_t newSize) {
  return "newDataSize : " + std::to_string(newSize) +
         "\nhpatchi run with decompresser: \"\"\n"
         "  requirements memory size: (must) 0 + (cache) 32768\n";
}

}  // namespace hpatchi_trace

constexpr const char* kHpatchiUsage =
    "usage: hpatchi OLD PATCH NEW   (OLD may be \"\" for no old file)\n";

// The worked example of the format: ten digits and a 22-byte uncompressed patch that makes
// "ab2345Z789!" of them.
inline const std::vector<uint8_t>& hpatchi_example_old() {
  static const std::vector<uint8_t> old = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  return old;
}

inline const std::vector<uint8_t>& hpatchi_example_patch() {
  static const std::vector<uint8_t> patch = {0x68, 0x49, 0x00, 0x41, 0x0B, 0x03, 0x04, 0x82,
                                             0x02, 0x61, 0x62, 0x03, 0x00, 0x01, 0x5A, 0x01,
                                             0x01, 0x01, 0x00, 0x00, 0x01, 0x21};
  return patch;
}

// ---- the cases ----

// What a run must give, in LF line ends. A text left out is not pinned by the case.
struct HpatchiOutcome {
  int code;
  std::optional<std::string> out;  // without the empty line and the time line that end it
  std::optional<std::string> err;
  bool timeLine = true;  // false where the driver never runs (usage): no time line either
};

struct HpatchiCase {
  const char* name;
  // Writes the case's files into dir (samples: the bundled sample's folder); the arguments.
  std::function<std::vector<std::string>(const std::filesystem::path& dir,
                                         const std::filesystem::path& samples)>
      prepare;
  std::function<HpatchiOutcome(const std::vector<std::string>& args)> outcome;
  // Checks the files the run left in dir.
  std::function<void(const std::filesystem::path& dir, const std::filesystem::path& samples)> check;
};

inline void PrintTo(const HpatchiCase& c, std::ostream* os) { *os << c.name; }

// A folder name with characters beyond any code page, for the Utf8Paths case.
constexpr const char* kHpatchiUtf8Folder = "Ünïcødé ✓";

inline std::vector<HpatchiCase> hpatchi_cases() {
  namespace fs = std::filesystem;
  using Args = std::vector<std::string>;
  const Args oldPatchNew = {"old", "patch", "new"};
  auto example = [oldPatchNew](const fs::path& dir, const fs::path&) {
    write_file(dir / "old", hpatchi_example_old());
    write_file(dir / "patch", hpatchi_example_patch());
    return oldPatchNew;
  };
  auto exampleTrace = [](const Args& a) {
    return HpatchiOutcome{0,
                          hpatchi_trace::paths_trace(a[0], a[1], a[2]) +
                              hpatchi_trace::sizes_trace(10, 22) +
                              hpatchi_trace::uncompressed_trace(11) + "  patch ok!\n",
                          ""};
  };
  auto noNewFile = [](const fs::path& dir, const fs::path&) {
    EXPECT_FALSE(fs::exists(dir / "new"));
  };
  auto usage = [](const char* name, Args args) {
    return HpatchiCase{name, [args](const fs::path&, const fs::path&) { return args; },
                       [](const Args&) {
                         return HpatchiOutcome{1, "", kHpatchiUsage, false};
                       },
                       [](const fs::path&, const fs::path&) {}};
  };
  return {
      {"WorkedExample", example, exampleTrace,
       [](const fs::path& dir, const fs::path&) {
         EXPECT_EQ(read_text(dir / "new"), "ab2345Z789!");
       }},
      {"BundledSample",
       [oldPatchNew](const fs::path& dir, const fs::path& samples) {
         fs::copy_file(samples / "old", dir / "old");
         fs::copy_file(samples / "patch", dir / "patch");
         return oldPatchNew;
       },
       [](const Args&) {
         return HpatchiOutcome{0, std::nullopt, ""};
       },
       [](const fs::path& dir, const fs::path& samples) {
         EXPECT_EQ(read_file(dir / "new"), read_file(samples / "new"));
       }},
      // UTF-8 names of old, patch and new in a folder whose name no code page holds.
      {"Utf8Paths",
       [](const fs::path& dir, const fs::path&) {
         const std::string folder = kHpatchiUtf8Folder;
         fs::create_directories(dir / folder);
         const Args args = {folder + "/ält.bin", folder + "/€.patch", folder + "/新.bin"};
         write_file(dir / args[0], hpatchi_example_old());
         write_file(dir / args[1], hpatchi_example_patch());
         return args;
       },
       exampleTrace,
       [](const fs::path& dir, const fs::path&) {
         const fs::path newFile = dir / kHpatchiUtf8Folder / "新.bin";
         EXPECT_EQ(read_text(newFile), "ab2345Z789!");
         int newFiles = 0;
         for (const auto& entry : fs::recursive_directory_iterator(dir))
           newFiles += entry.path().filename() == newFile.filename();
         EXPECT_EQ(newFiles, 1) << "the new file went elsewhere too";
       }},
      {"MissingOldFile",
       [example](const fs::path& dir, const fs::path& samples) {
         example(dir, samples);
         return Args{"absent", "patch", "new"};
       },
       [](const Args& a) {
         return HpatchiOutcome{
             3, hpatchi_trace::paths_trace(a[0], a[1], a[2]),
             hpatchi_trace::error_line(ENOENT) + "open oldFile for read ERROR!\n"};
       },
       noNewFile},
      {"MissingPatchFile",
       [example](const fs::path& dir, const fs::path& samples) {
         example(dir, samples);
         return Args{"old", "absent", "new"};
       },
       [](const Args& a) {
         return HpatchiOutcome{
             3, hpatchi_trace::paths_trace(a[0], a[1], a[2]),
             hpatchi_trace::error_line(ENOENT) + "open diffFile for read ERROR!\n"};
       },
       noNewFile},
      // The old file is never truncated to become the new one.
      {"NewFileIsTheOldFile",
       [example](const fs::path& dir, const fs::path& samples) {
         example(dir, samples);
         return Args{"old", "patch", "old"};
       },
       [](const Args&) {
         return HpatchiOutcome{4, std::nullopt, "open out newFile for write ERROR!\n"};
       },
       [](const fs::path& dir, const fs::path&) {
         EXPECT_EQ(read_file(dir / "old"), hpatchi_example_old());
       }},
      usage("UsageWithoutArguments", {}),
      usage("UsageWithOneArgument", {"a"}),
      usage("UsageWithTwoArguments", {"a", "b"}),
      usage("UsageWithFourArguments", {"a", "b", "c", "d"}),
      usage("UsageForHelpWithAnArgument", {"--help", "a"}),
      usage("UsageForVersionWithArguments", {"--version", "a", "b", "c"}),
      usage("UsageForShortHelp", {"-h"}),
      usage("UsageForUpperCaseHelp", {"--HELP"}),
  };
}

}  // namespace hl_test
