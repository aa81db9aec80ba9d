// The Updates group: patches made by the Linux mkpatch, staged by the stand-in and installed by
// QuorlinRunner.exe under Wine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "patch/hl_result.h"
#include "patch/hpatch_lite_format.h"
#include "patch/hpatchi_memory.h"
#include "tests/standin/standin_copy.h"
#include "tests/support/file_io.h"
#include "tests/support/memory_io.h"
#include "tests/support/runner_log_lines.h"
#include "tests/support/text_pattern.h"
#include "tests/wine/runner_installation.h"
#include "tests/wine/wine_run.h"

namespace wine_runner {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// mkpatch's patch from `base` to `result`, written to `patch` with the options given.
fs::path MakePatch(const fs::path& base, const fs::path& result, const fs::path& patch,
                   const std::vector<std::string>& options) {
  std::vector<std::string> args{FromEnvironment("QR_MKPATCH"), "-q"};
  args.insert(args.end(), options.begin(), options.end());
  args.insert(args.end(), {base.string(), result.string(), patch.string()});
  const Captured made = hl_test::run_program(args);
  if (made.exitCode != 0) throw std::runtime_error("mkpatch failed: " + made.err);
  return patch;
}

// The patch from the stand-in to its 2.0.0 made with -c `method` ("" for mkpatch's default),
// made once for the group.
fs::path VersionPatch(const std::string& method) {
  const Installation& box = Shared();
  const fs::path patch =
      box.Root() / ("patch-" + (method.empty() ? std::string("default") : method));
  if (fs::exists(patch)) return patch;
  std::vector<std::string> options;
  if (!method.empty()) options = {"-c", method};
  return MakePatch(box.Standin(), box.Version2(), patch, options);
}

std::vector<std::string> UpdatedEvents() {
  return {"run 1.0.0", "probe 1.0.0", "probe 2.0.0", "run 2.0.0"};
}

std::vector<std::string> UpdatedLog() {
  return {hl_test::exe_path_line(Shared().InstalledExeWin()),
          hl_test::exe_path_line(Shared().StagedExeWin())};
}

class Updates : public InstallationCase {};

struct ForcedCase {
  std::string method;  // "" for mkpatch's default
  hpatch_lite_compress_type type;
};

void PrintTo(const ForcedCase& forced, std::ostream* out) { *out << "-c " << forced.method; }

class UpdatesForced : public InstallationCaseWithParam<ForcedCase> {};

// A forced update installs 2.0.0 byte for byte and starts it at once, leaving nothing behind.
TEST_P(UpdatesForced, InstallsAndStartsTheNewVersion) {
  const Installation& box = Shared();
  const fs::path patch = VersionPatch(GetParam().method);
  ASSERT_EQ(hl_test::read_file(patch).at(2), GetParam().type) << "mkpatch's compress_type";
  box.Reset("1.0.0");
  const Captured run = box.Run({box.StageSteps("1.0.0", patch, box.ForceManifest(true))});
  ASSERT_TRUE(box.Ran(run, UpdatedEvents(), UpdatedLog()));
  EXPECT_TRUE(box.StagedIs(box.Version2()));
}

INSTANTIATE_TEST_SUITE_P(Methods, UpdatesForced,
                         ::testing::Values(ForcedCase{"none", HPATCH_LITE_COMPRESS_NONE},
                                           ForcedCase{"tuz", HPATCH_LITE_COMPRESS_TUZ},
                                           ForcedCase{"zlib", HPATCH_LITE_COMPRESS_ZLIB},
                                           ForcedCase{"lzma", HPATCH_LITE_COMPRESS_LZMA},
                                           ForcedCase{"", HPATCH_LITE_COMPRESS_LZMA2}),
                         [](const ::testing::TestParamInfo<ForcedCase>& info) {
                           return info.param.method.empty() ? std::string("default")
                                                            : info.param.method;
                         });

// The shell takes the roaming folder from this registry value, so a case can move it.
void SetRoamingFolder(const std::string& folder) {
  hl_test::run_under_wine(
      {"reg", "add",
       "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", "/v",
       "AppData", "/t", "REG_EXPAND_SZ", "/d", folder, "/f"});
}

// The environment entries that give a Wine program the ANSI code page of `locale`, which Wine
// takes from the Unix locale's name: "" keeps the suite's C.UTF-8 (code page 1252). The locale
// is made in the work folder, as Wine gets it from the C library.
std::vector<std::string> LocaleEnvironment(const std::string& locale) {
  if (locale.empty()) return {};
  const fs::path folder = Shared().Root() / "locales";
  if (!fs::exists(folder / locale)) {
    fs::create_directories(folder);
    const Captured made =
        hl_test::run_program({"/usr/bin/localedef", "-i", locale.substr(0, locale.find('.')), "-f",
                              "UTF-8", (folder / locale).string()});
    if (made.exitCode != 0) throw std::runtime_error("localedef failed: " + made.out + made.err);
  }
  return {"LC_ALL=" + locale, "LOCPATH=" + folder.string()};
}

struct RoamingCase {
  const char* name;
  // Below C:\users\<user>\, in UTF-8.
  std::string folder;
  // The Unix locale, which sets Wine's ANSI code page.
  std::string locale;
};

void PrintTo(const RoamingCase& roaming, std::ostream* out) {
  *out << roaming.folder << " " << roaming.locale;
}

class UpdatesRoamingFolder : public InstallationCaseWithParam<RoamingCase> {};

// A forced tuz update with the roaming folder at C:\users\<user>\<folder>: the log names it in
// UTF-8 whatever the ANSI code page, and the update lands there.
TEST_P(UpdatesRoamingFolder, HoldsTheLogAndTheUpdate) {
  Installation& box = Shared();
  const fs::path usual = box.DataFolder();
  box.MoveDataFolder(box.DriveC() / "users" / box.User() / GetParam().folder / "Quorlin");
  // In Windows spelling: Wine's shell cannot create a folder path that holds a "/".
  std::string roaming = "C:\\users\\" + box.User() + "\\" + GetParam().folder;
  std::replace(roaming.begin(), roaming.end(), '/', '\\');
  SetRoamingFolder(roaming);
  struct Restore {
    Installation& box;
    fs::path usual;
    ~Restore() {
      SetRoamingFolder("%USERPROFILE%\\AppData\\Roaming");
      fs::remove_all(box.DataFolder());
      box.MoveDataFolder(usual);
    }
  } restore{box, usual};
  box.Reset("1.0.0");
  std::vector<std::string> environment = LocaleEnvironment(GetParam().locale);
  environment.push_back(box.StageSteps("1.0.0", VersionPatch("tuz"), box.ForceManifest(true)));
  const Captured run = box.Run(environment);
  ASSERT_TRUE(box.Ran(run, UpdatedEvents(),
                      {hl_test::exe_path_line(box.InstalledExeWin()),
                       hl_test::exe_path_line(roaming + "\\Quorlin\\Quorlin.exe")}));
  EXPECT_TRUE(box.StagedIs(box.Version2()));
}

INSTANTIATE_TEST_SUITE_P(
    Names, UpdatesRoamingFolder,
    ::testing::Values(RoamingCase{"InCodePage1252", "Daten M\xc3\xbcller", ""},
                      RoamingCase{"OutsideCodePage1252",
                                  "\xd0\x94\xd0\xb0\xd0\xbd\xd0\xbd\xd1\x8b\xd0\xb5 "
                                  "\xd0\x9f\xd0\xb5\xd1\x82\xd1\x80\xd0\xb0",
                                  ""},
                      // A user folder in Cyrillic under the Cyrillic code page.
                      RoamingCase{"CyrillicUserUnderCodePage1251",
                                  "\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd/AppData/Roaming",
                                  "ru_RU.UTF-8"},
                      // CJK, which code page 1251 cannot spell.
                      RoamingCase{"OutsideCodePage1251",
                                  "\xe6\x95\xb0\xe6\x8d\xae \xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd",
                                  "ru_RU.UTF-8"}),
    [](const ::testing::TestParamInfo<RoamingCase>& info) { return std::string(info.param.name); });

// An installation folder with a space and Cyrillic letters: the runner finds itself, probes and
// starts the installed executable there, and patches it.
TEST_F(Updates, InstallationFolderOutsideTheAnsiCodePage) {
  const Installation& box = Shared();
  box.Reset("1.0.0");
  const fs::path folder = box.Root() / "Quorlin \xd0\xa2\xd0\xb5\xd1\x81\xd1\x82" / "app";
  fs::remove_all(folder.parent_path());
  fs::create_directories(folder);
  fs::copy_file(box.InstallFolder() / "QuorlinRunner.exe", folder / "QuorlinRunner.exe");
  fs::copy_file(box.InstallFolder() / "Quorlin.exe", folder / "Quorlin.exe");
  const Captured run =
      box.RunFrom(folder, {box.StageSteps("1.0.0", VersionPatch("tuz"), box.ForceManifest(true))});
  ASSERT_TRUE(box.Ran(run, UpdatedEvents(),
                      {hl_test::exe_path_line(hl_test::wine_path(folder) + "\\Quorlin.exe"),
                       hl_test::exe_path_line(box.StagedExeWin())}));
  EXPECT_TRUE(box.StagedIs(box.Version2()));
  fs::remove_all(folder.parent_path());
}

// An installation interrupted after the patch was consumed: Quorlin_new.exe and the manifest that
// names its digest are left. Its completion waits while a scanner holds Quorlin_new.exe open
// without sharing its removal, and then moves it into place.
TEST_F(Updates, InterruptedInstallationCompletesWhileTheResultIsHeld) {
  const Installation& box = Shared();
  const fs::path base = box.Root() / "v1-interrupted.exe";
  standin::MakeCopyWithVersion(box.Standin().string(), base.string(), "1.0.0");
  const fs::path manifest = box.Root() / "interrupted.json";
  MakePatch(base, box.Version2(), box.Root() / "patch-interrupted",
            {"-c", "zlib", "--manifest", manifest.string()});
  box.Reset("1.0.0");
  fs::create_directories(box.DataFolder());
  fs::copy_file(box.Version2(), box.DataFolder() / "Quorlin_new.exe");
  fs::copy_file(manifest, box.DataFolder() / "update.json");
  hl_test::ChildOptions options;
  options.timeLimitSeconds = 120;
  hl_test::StartedChild holder(
      hl_test::wine_command({FromEnvironment("QR_FILE_HOLDER"),
                             hl_test::wine_path(box.DataFolder() / "Quorlin_new.exe"), "2500"}),
      options);
  ASSERT_TRUE(hl_test::eventually([&] {
    return holder.out_so_far().find("held") != std::string::npos;
  })) << "the holder did not open the file";
  const Captured run = box.Run();
  EXPECT_EQ(holder.wait().exitCode, 0);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_THAT(box.LogMessages(),
              ::testing::Contains(HasSubstr("interrupted installation completed")));
  EXPECT_EQ(box.Events(), (std::vector<std::string>{"probe 1.0.0", "probe 2.0.0", "run 2.0.0"}));
  EXPECT_TRUE(box.StagedIs(box.Version2()));
}

// A patch the driver rejects: the previous staged executable (1.5.0) stays as it was, one line
// names the driver's result, and "force" is not honoured. A malformed patch is consumed; one that
// ends early, as one still being written does, is kept for a later start.
void ExpectFailedPatchKeepsTheStagedExecutable(const fs::path& patch, bool endsEarly = false) {
  const Installation& box = Shared();
  box.Reset("1.0.0");
  box.Stage("1.5.0");
  const fs::path previous = box.Root() / "previous.exe";
  fs::copy_file(box.StagedExe(), previous, fs::copy_options::overwrite_existing);
  const Captured run = box.Run({box.StageSteps("1.5.0", patch, box.ForceManifest(true))});
  std::vector<std::string> found;
  const std::string log = box.LogText();
  const hl_test::TextPattern line(endsEarly
                                      ? R"(Patch ended before its body did \(result ([0-9]+)\))"
                                      : "patch failed with result ([0-9]+): update dropped");
  ASSERT_TRUE(line.found_in(log, &found))
      << "no line of a bad patch in the log: " << ::testing::PrintToString(box.LogMessages());
  const int result = std::stoi(found[1]);
  if (endsEarly) {
    EXPECT_THAT(result, ::testing::AnyOf(HPATCHI_HEADER_ERROR, HPATCHI_PATCH_ERROR));
  } else {
    EXPECT_THAT(result,
                ::testing::AnyOf(HPATCHI_OLD_READ_ERROR, HPATCHI_COMPRESS_TYPE_ERROR,
                                 HPATCHI_DECOMPRESSER_INFO_ERROR, HPATCHI_DECOMPRESSER_OPEN_ERROR,
                                 HPATCHI_DECOMPRESSER_CLOSE_ERROR, HPATCHI_HEADER_ERROR,
                                 HPATCHI_PATCH_ERROR));
  }
  const std::string failed =
      endsEarly ? hl_test::update_kept_line(
                      "Patch ended before its body did (result " + std::to_string(result) + ")", 1)
                : hl_test::patch_failed_line(result);
  ASSERT_TRUE(box.Ran(
      run, {"probe 1.0.0", "probe 1.5.0", "run 1.5.0"},
      {hl_test::exe_path_line(box.StagedExeWin()), failed, hl_test::kForceNotHonouredLine}));
  if (!endsEarly) {
    EXPECT_TRUE(box.StagedIs(previous));
    return;
  }
  EXPECT_EQ(hl_test::read_file(box.StagedExe()), hl_test::read_file(previous));
  EXPECT_EQ(box.Leftovers(), (std::vector<std::string>{"Patch", "update.json"}));
}

TEST_F(Updates, PatchMadeAgainstAnotherBaseFails) {
  // A longer base and its 2.0.0: the copies of the tail reach past the end of the real base.
  const Installation& box = Shared();
  const fs::path base = box.Root() / "other-base.exe";
  std::vector<uint8_t> longer = hl_test::read_file(box.Standin());
  longer.insert(longer.end(), 200000, 'Z');
  hl_test::write_file(base, longer);
  const fs::path result = box.Root() / "other-v2.exe";
  standin::MakeCopyWithVersion(base.string(), result.string(), "2.0.0");
  ExpectFailedPatchKeepsTheStagedExecutable(
      MakePatch(base, result, box.Root() / "patch-other-base", {"-c", "tuz"}));
}

TEST_F(Updates, TruncatedPatchIsKeptForALaterStart) {
  std::vector<uint8_t> patch = hl_test::read_file(VersionPatch("tuz"));
  patch.resize(patch.size() / 2);
  const fs::path truncated = Shared().Root() / "patch-truncated";
  hl_test::write_file(truncated, patch);
  ExpectFailedPatchKeepsTheStagedExecutable(truncated, /*endsEarly=*/true);
}

TEST_F(Updates, UnforcedUpdateRunsAtTheNextStart) {
  const Installation& box = Shared();
  box.Reset("1.0.0");
  const std::string exe = hl_test::exe_path_line(box.InstalledExeWin());
  const Captured first =
      box.Run({box.StageSteps("1.0.0", VersionPatch("zlib"), box.ForceManifest(false))});
  ASSERT_TRUE(box.Ran(first, {"run 1.0.0"}, {exe}));
  ASSERT_TRUE(box.StagedIs(box.Version2()));
  EXPECT_TRUE(box.Ran(box.Run(), UpdatedEvents(), UpdatedLog()));
}

// A manifest of mkpatch --manifest names the base and the result by their digests (BCrypt here).
TEST_F(Updates, HashedUpdateChecksBaseAndResult) {
  const Installation& box = Shared();
  // Made as the installed 1.0.0 is, byte for byte.
  const fs::path base = box.Root() / "v1.exe";
  standin::MakeCopyWithVersion(box.Standin().string(), base.string(), "1.0.0");
  const fs::path manifest = box.Root() / "hashed.json";
  const fs::path patch = MakePatch(base, box.Version2(), box.Root() / "patch-hashed",
                                   {"-c", "lzma", "--manifest", manifest.string(), "--force"});
  box.Reset("1.0.0");
  ASSERT_TRUE(
      box.Ran(box.Run({box.StageSteps("1.0.0", patch, manifest)}), UpdatedEvents(), UpdatedLog()));
  ASSERT_TRUE(box.StagedIs(box.Version2()));

  // Another base: refused before patching, the staged 1.5.0 kept.
  box.Reset("1.0.0");
  box.Stage("1.5.0");
  const fs::path previous = box.Root() / "previous.exe";
  fs::copy_file(box.StagedExe(), previous, fs::copy_options::overwrite_existing);
  const Captured run = box.Run({box.StageSteps("1.5.0", patch, manifest)});
  ASSERT_TRUE(box.Ran(run, {"probe 1.0.0", "probe 1.5.0", "run 1.5.0"},
                      {hl_test::exe_path_line(box.StagedExeWin()), hl_test::kUpdateDoesNotFitLine,
                       hl_test::kForceNotHonouredLine}));
  EXPECT_TRUE(box.StagedIs(previous));
  EXPECT_THAT(run.out, Not(HasSubstr("hpatchi run")))
      << "the patch was applied before the base was checked";
}

// A link at Quorlin_old.exe is never written through.
TEST_F(Updates, LinkAtTheBackupNameLeavesItsTargetAlone) {
  const Installation& box = Shared();
  box.Reset("1.0.0");
  fs::create_directories(box.DataFolder());
  const fs::path victim = box.Root() / "victim";
  hl_test::write_text(victim, "a file of the user\n");
  fs::create_symlink(victim, box.DataFolder() / "Quorlin_old.exe");
  const Captured run =
      box.Run({box.StageSteps("1.0.0", VersionPatch("zlib"), box.ForceManifest(false))});
  // Removed, or, where Wine keeps the link through a removal, set aside.
  std::vector<std::string> log{hl_test::exe_path_line(box.InstalledExeWin())};
  if (box.LogMessages().size() == 2) log.push_back(hl_test::set_aside_line("Quorlin_old.exe"));
  ASSERT_TRUE(box.Ran(run, {"run 1.0.0"}, log));
  fs::remove(box.DataFolder() / "Quorlin_old.exe.aside-1");
  EXPECT_EQ(hl_test::read_text(victim), "a file of the user\n") << "the link's target was written";
  EXPECT_TRUE(box.StagedIs(box.Version2()));
}

// A tuz dictionary of 2^30 bytes is refused before anything is allocated, and the update consumed.
TEST_F(Updates, PatchBeyondTheMemoryLimitIsRefused) {
  const Installation& box = Shared();
  std::vector<uint8_t> patch = hl_test::read_file(VersionPatch("tuz"));
  // The dictionary size follows the header: 4 bytes and the widths of the two size fields.
  const uint8_t layout = patch.at(3);
  const size_t header = 4 + (layout & HPATCH_LITE_WIDTH_MASK) +
                        ((layout >> HPATCH_LITE_UNCOMPRESS_WIDTH_SHIFT) & HPATCH_LITE_WIDTH_MASK);
  const uint32_t dictionary = 1u << 30;
  for (size_t i = 0; i < TUZ_DICT_SIZE_BYTES; ++i)
    patch.at(header + i) = static_cast<uint8_t>(dictionary >> (8 * i));
  const fs::path big = box.Root() / "patch-big-dictionary";
  hl_test::write_file(big, patch);
  box.Reset("1.0.0");
  // The driver's whole block for these files: its read window and read-ahead included.
  hl_test::MemoryReader reader(patch);
  hpatchi_TMemoryNeed need;
  ASSERT_EQ(hpatchi_memory_need(&reader, hl_test::MemoryReader::read, HPATCHI_CACHE_SIZE, &need),
            HPATCHI_OK);
  const uint64_t block = hpatchi_run_block_size(
      &need, hl_TRUE, fs::file_size(box.InstallFolder() / "Quorlin.exe"), patch.size());
  const Captured run = box.Run({box.StageSteps("1.0.0", big, box.ForceManifest(true))});
  ASSERT_TRUE(box.Ran(run, {"run 1.0.0"},
                      {hl_test::exe_path_line(box.InstalledExeWin()),
                       hl_test::memory_refused_line(block), hl_test::kForceNotHonouredLine}));
  EXPECT_FALSE(fs::exists(box.StagedExe()));
  EXPECT_THAT(box.Leftovers(), ::testing::IsEmpty());
}

}  // namespace
}  // namespace wine_runner
