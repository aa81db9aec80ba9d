// Updates whose manifest names the base and the result by SHA-256: nothing that does not match is
// patched or installed, and an installation cut between the patch's removal and the rename is
// completed at the next start.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/runner/sandbox.h"
#include "tests/runner/update_files.h"
#include "tests/standin/standin_copy.h"
#include "tests/support/file_io.h"
#include "tests/support/runner_log_lines.h"

namespace runner_test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// Stages, in the data folder, the patch from the stand-in `fromVersion` to `toVersion`.
void StagePatch(Sandbox& box, const std::string& fromVersion, const std::string& toVersion,
                const std::string& manifest) {
  const fs::path from = box.Root() / ("from-" + fromVersion);
  hl_test::write_file(from, StandinBytes(fromVersion));
  StageUpdate(box, MakeVersionPatch(from, toVersion), manifest);
}

void ExpectConsumed(const Sandbox& box) {
  for (const char* name :
       {"Patch", "update.json", "Quorlin_old.exe", "Quorlin_new.exe", "update.attempts"})
    EXPECT_FALSE(fs::exists(box.DataFolder() / name)) << name;
}

TEST(VerifiedUpdate, WrongBaseIsRefusedBeforeAnyPatching) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("1.1.0");
  const Bytes running = hl_test::read_file(box.StagedExe());
  // Made for 1.0.0, staged while 1.1.0 is what runs: applied, it would "succeed".
  StagePatch(box, "1.0.0", "1.2.0", Manifest(Sha256Hex(StandinBytes("1.0.0")), ""));
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.1.0"});
  EXPECT_THAT(result.out, Not(HasSubstr("hpatchi run")));
  EXPECT_EQ(hl_test::read_file(box.StagedExe()), running);
  EXPECT_THAT(box.LogMessages(),
              ElementsAre(hl_test::exe_path_line(box.StagedExe()), hl_test::kUpdateDoesNotFitLine,
                          hl_test::kForceNotHonouredLine));
  ExpectConsumed(box);
}

TEST(VerifiedUpdate, ResultThatDiffersByOneByteIsRefused) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("2.0.0");
  const Bytes previous = hl_test::read_file(box.StagedExe());
  Bytes almost = StandinBytes("3.0.0");
  almost[almost.size() / 2] ^= 0x01;
  StagePatch(box, "2.0.0", "3.0.0", Manifest(Sha256Hex(previous), Sha256Hex(almost)));
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 2.0.0"});
  EXPECT_EQ(hl_test::read_file(box.StagedExe()), previous);
  EXPECT_THAT(
      box.LogMessages(),
      ElementsAre(hl_test::exe_path_line(box.StagedExe()),
                  "INFO [default] the patched executable does not match sha256: update dropped",
                  hl_test::kForceNotHonouredLine));
  ExpectConsumed(box);
}

TEST(VerifiedUpdate, CorrectUpdateWithBothHashesInstalls) {
  Sandbox box;
  box.InstallApp("1.0.0");
  StagePatch(box, "1.0.0", "2.0.0",
             Manifest(Sha256Hex(StandinBytes("1.0.0")), Sha256Hex(StandinBytes("2.0.0"))));
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), (std::vector<std::string>{"run 1.0.0", "run 2.0.0"}));
  EXPECT_EQ(hl_test::read_file(box.StagedExe()), StandinBytes("2.0.0"));
  EXPECT_THAT(box.LogMessages(), ElementsAre(hl_test::exe_path_line(box.InstalledExe()),
                                             hl_test::exe_path_line(box.StagedExe())));
  ExpectConsumed(box);
}

TEST(VerifiedUpdate, MalformedDigestFailsTheUpdate) {
  for (const std::string& manifest : std::vector<std::string>{
           R"({"force": true, "sha256": ")" + std::string(64, 'A') + R"("})",
           R"({"force": true, "base_sha256": 12})", R"({"force": true, "sha256": ""})"}) {
    SCOPED_TRACE(manifest);
    Sandbox box;
    box.InstallApp("1.0.0");
    StagePatch(box, "1.0.0", "2.0.0", manifest);
    EXPECT_EQ(box.Run().exitCode, 0);
    EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
    EXPECT_FALSE(fs::exists(box.StagedExe()));
    ASSERT_EQ(box.LogMessages().size(), 3u);
    EXPECT_THAT(
        box.LogMessages()[1],
        ::testing::MatchesRegex(".*update.json has a malformed (base_)?sha256: update dropped"));
    ExpectConsumed(box);
  }
}

// What a crash after the patch's removal and before the rename leaves: the complete result, no
// patch, the manifest.
void LeaveInterruptedInstall(Sandbox& box, const Bytes& result, const std::string& manifest) {
  box.InstallApp("1.0.0");
  box.StageApp("2.0.0");
  hl_test::write_file(box.DataFolder() / "Quorlin_new.exe", result);
  fs::permissions(box.DataFolder() / "Quorlin_new.exe",
                  fs::status(box.InstalledExe()).permissions());
  box.WriteFile(box.DataFolder() / "update.json", manifest);
}

// The result was complete and flushed before the patch went: it is installed unless the
// manifest names another digest.
TEST(VerifiedUpdate, InterruptedInstallationIsCompletedUnlessTheManifestNamesAnotherResult) {
  const Bytes v3 = StandinBytes("3.0.0");
  Bytes cut(v3.begin(), v3.begin() + static_cast<long>(v3.size() / 2));
  for (const auto& [name, result, manifest, completed] :
       {std::tuple<std::string, Bytes, std::string, bool>{"matching digest", v3,
                                                          Manifest("", Sha256Hex(v3), false), true},
        {"old-style manifest", v3, "{}", true},
        {"manifest not JSON", v3, "{", true},
        {"cut result", cut, Manifest("", Sha256Hex(v3), false), false}}) {
    SCOPED_TRACE(name);
    Sandbox box;
    LeaveInterruptedInstall(box, result, manifest);
    EXPECT_EQ(box.Run().exitCode, 0);
    EXPECT_FALSE(fs::exists(box.DataFolder() / "Quorlin_new.exe"));
    if (completed) {
      EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 3.0.0"});
      EXPECT_THAT(box.LogMessages(),
                  ElementsAre("INFO [default] interrupted installation completed",
                              hl_test::exe_path_line(box.StagedExe())));
      ExpectConsumed(box);
    } else {
      EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 2.0.0"});
      EXPECT_THAT(box.LogMessages(), ElementsAre(hl_test::exe_path_line(box.StagedExe())));
    }
  }
}

TEST(VerifiedUpdate, InterruptedInstallationThatCannotBeCompletedStillStartsTheApplication) {
  Sandbox box;
  const Bytes v3 = StandinBytes("3.0.0");
  LeaveInterruptedInstall(box, v3, Manifest("", Sha256Hex(v3), false));
  // A folder the rename cannot replace, with every name it could be set aside under taken.
  fs::remove(box.StagedExe());
  fs::create_directories(box.StagedExe() / "inside");
  for (int n = 1; n <= 100; ++n)
    box.WriteFile(box.StagedExe().string() + ".aside-" + std::to_string(n), "");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
  EXPECT_EQ(hl_test::read_file(box.DataFolder() / "Quorlin_new.exe"), v3);
  EXPECT_THAT(box.LogMessages(),
              Contains(HasSubstr("interrupted installation cannot be completed")));
}

}  // namespace
}  // namespace runner_test
