// The staged test, the force flag and the strict manifest read.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/runner/file_system.h"
#include "app/runner/staging.h"
#include "tests/support/file_io.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class Scratch : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& content) {
    const fs::path path = m_folder / name;
    hl_test::write_text(path, content);
    return path.string();
  }
  std::string Path(const std::string& name) const { return (m_folder / name).string(); }

  hl_test::TempDir m_dir{"staging", QR_TEST_SCRATCH};
  const fs::path m_folder = m_dir.path();
};

using Staging = Scratch;

TEST_F(Staging, StagedOnlyWithBothFiles) {
  EXPECT_FALSE(runner::IsUpdateStaged(Path("update.json"), Path("Patch")));
  Write("update.json", "{}");
  EXPECT_FALSE(runner::IsUpdateStaged(Path("update.json"), Path("Patch")));
  Write("Patch", "");
  EXPECT_TRUE(runner::IsUpdateStaged(Path("update.json"), Path("Patch")));
  fs::remove(Path("update.json"));
  EXPECT_FALSE(runner::IsUpdateStaged(Path("update.json"), Path("Patch")));
}

TEST_F(Staging, EntriesCountAsTheyStandWithoutFollowingLinks) {
  EXPECT_FALSE(runner::IsUpdateStaged("", Path("Patch")));
  Write("update.json", "{}");
  fs::create_symlink("Patch", Path("Patch"));  // a link to itself: there, though it names nothing
  EXPECT_TRUE(runner::IsUpdateStaged(Path("update.json"), Path("Patch")));
  fs::remove(Path("Patch"));
  fs::create_symlink("nowhere", Path("Patch"));
  EXPECT_TRUE(runner::IsUpdateStaged(Path("update.json"), Path("Patch")));
}

TEST_F(Staging, ExistenceTestCountsAnyObjectAndRaisesOnRealErrors) {
  EXPECT_FALSE(runner::PathExists(""));
  EXPECT_FALSE(runner::PathExists(Path("absent")));
  EXPECT_FALSE(runner::PathExists(Path("absent/deeper")));
  Write("file", "x");
  EXPECT_FALSE(runner::PathExists(Path("file/below")));  // a file in the path: not found
  EXPECT_TRUE(runner::PathExists(Path("file")));
  EXPECT_TRUE(runner::PathExists(m_folder.string()));
  fs::create_symlink("file", Path("link"));
  EXPECT_TRUE(runner::PathExists(Path("link")));
  fs::create_symlink("nowhere", Path("dangling"));
  EXPECT_FALSE(runner::PathExists(Path("dangling")));
  fs::create_symlink("self", Path("self"));
  try {
    runner::PathExists(Path("self"));
    FAIL() << "no error raised";
  } catch (const fs::filesystem_error& error) {
    EXPECT_NE(std::string(error.what()).find("exists"), std::string::npos) << error.what();
    EXPECT_EQ(error.path1(), Path("self"));
  }
}

TEST(ReadForceFlag, TrueOnlyForTheBooleanTrueUnderForceInAnObject) {
  EXPECT_TRUE(runner::ReadForceFlag(json::parse(R"({"force": true})")));
  EXPECT_TRUE(runner::ReadForceFlag(json::parse(R"({"other": 1, "force": true})")));
  EXPECT_FALSE(runner::ReadForceFlag(json()));
  EXPECT_FALSE(runner::ReadForceFlag(json::parse(R"({"force": false})")));
  EXPECT_FALSE(runner::ReadForceFlag(json::parse(R"({})")));
  EXPECT_FALSE(runner::ReadForceFlag(json::parse(R"({"force": "true"})")));
  EXPECT_FALSE(runner::ReadForceFlag(json::parse(R"({"force": 1})")));
  EXPECT_FALSE(runner::ReadForceFlag(json::parse(R"({"force": null})")));
  EXPECT_FALSE(runner::ReadForceFlag(json::parse(R"({"Force": true})")));
  EXPECT_FALSE(runner::ReadForceFlag(json::parse(R"([{"force": true}])")));
  EXPECT_FALSE(runner::ReadForceFlag(json::parse("true")));
  EXPECT_FALSE(runner::ReadForceFlag(json::parse(R"("force")")));
  EXPECT_FALSE(runner::ReadForceFlag(json::parse(R"({"nested": {"force": true}})")));
}

runner::ManifestProblem Parse(const std::string& bytes, runner::Manifest& manifest) {
  return runner::ParseManifest(bytes, manifest);
}

const std::string kDigest(64, 'a');

TEST(Manifest, ParsesTheWholeBufferStrictly) {
  runner::Manifest manifest;
  EXPECT_EQ(Parse("\xEF\xBB\xBF {\"force\": true}\n\t ", manifest), runner::ManifestProblem::none);
  EXPECT_TRUE(runner::ReadForceFlag(manifest.value));
  EXPECT_FALSE(manifest.baseSha256 || manifest.sha256);
  for (const std::string content :
       {"{\"force\": true} // note", "/* note */ {\"force\": true}", "{\"force\": true} {}",
        "{\"force\": true} x", "", "{\"force\": tru}", "{\"force\": true,}"}) {
    EXPECT_EQ(Parse(content, manifest), runner::ManifestProblem::notJson) << content;
  }
  // The JSON library would stop at the NUL byte and take the object before it.
  EXPECT_EQ(Parse(std::string("{\"force\":true}\0junk", 19), manifest),
            runner::ManifestProblem::notJson);
  EXPECT_EQ(Parse(std::string("{\"force\":true}\0", 15), manifest),
            runner::ManifestProblem::notJson);
}

// Nested arrays in an object: `depth` levels in all.
std::string Nested(int depth) {
  return "{\"force\": true, \"x\": " + std::string(depth - 1, '[') + std::string(depth - 1, ']') +
         "}";
}

TEST(Manifest, NestingIsBoundedAndNeverBuiltDeep) {
  runner::Manifest manifest;
  EXPECT_EQ(Parse(Nested(runner::kManifestDepthLimit), manifest), runner::ManifestProblem::none);
  EXPECT_TRUE(runner::ReadForceFlag(manifest.value));
  EXPECT_EQ(Parse(Nested(runner::kManifestDepthLimit + 1), manifest),
            runner::ManifestProblem::tooDeep);
  EXPECT_FALSE(runner::ReadForceFlag(manifest.value));
  // Objects count as arrays do, their members' values included: `objects` levels and an array.
  const auto nestedObjects = [](int objects) {
    std::string text;
    for (int i = 1; i < objects; ++i) text += "{\"k\": ";
    return text + "{\"k\": 1, \"v\": [1]" + std::string(objects, '}');
  };
  EXPECT_EQ(Parse(nestedObjects(runner::kManifestDepthLimit - 1), manifest),
            runner::ManifestProblem::none);
  EXPECT_EQ(Parse(nestedObjects(runner::kManifestDepthLimit), manifest),
            runner::ManifestProblem::tooDeep);
  // Under the size limit, deep enough to overflow the stack of anything that walks it recursively.
  EXPECT_EQ(Parse(Nested(400000), manifest), runner::ManifestProblem::tooDeep);
  const runner::Manifest copy = manifest;
  EXPECT_TRUE(copy.value.is_null());
  EXPECT_EQ(Parse("[" + Nested(100), manifest), runner::ManifestProblem::notJson);
}

TEST(Manifest, DigestsAreSixtyFourLowercaseHexDigits) {
  runner::Manifest manifest;
  ASSERT_EQ(
      Parse(R"({"base_sha256": ")" + kDigest + R"(", "sha256": ")" + std::string(64, '0') + R"("})",
            manifest),
      runner::ManifestProblem::none);
  EXPECT_EQ(manifest.baseSha256, kDigest);
  EXPECT_EQ(manifest.sha256, std::string(64, '0'));
  for (const std::string& bad : {std::string(63, 'a'), std::string(65, 'a'), std::string(64, 'A'),
                                 std::string(63, 'a') + "g", std::string("")}) {
    EXPECT_EQ(Parse(R"({"base_sha256": ")" + bad + R"("})", manifest),
              runner::ManifestProblem::malformedBaseSha256);
    EXPECT_EQ(Parse(R"({"sha256": ")" + bad + R"("})", manifest),
              runner::ManifestProblem::malformedSha256);
  }
  for (const std::string bad : {"null", "1", "true", "[]", "{}"}) {
    EXPECT_EQ(Parse(R"({"sha256": )" + bad + "}", manifest),
              runner::ManifestProblem::malformedSha256)
        << bad;
  }
  // Not an object: nothing to name, the update is an old-style one.
  EXPECT_EQ(Parse("[\"sha256\"]", manifest), runner::ManifestProblem::none);
}

TEST(GetExecutableDirectory, IsTheFolderOfTheRunningProgram) {
  const std::string folder = runner::GetExecutableDirectory();
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), '/');
  EXPECT_EQ(fs::canonical(folder), fs::canonical(fs::read_symlink("/proc/self/exe").parent_path()));
}

}  // namespace
