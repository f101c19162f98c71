// Protects the per-user temporary directory: files handed to other programs go only where no
// other user can read or replace them.
#include "platform/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;

// Restores an environment variable when the test ends.
class SavedVariable {
 public:
  explicit SavedVariable(const char* name) : m_name(name) {
    if (const char* value = std::getenv(name)) m_value = value;
  }
  ~SavedVariable() {
    if (m_value) {
      setenv(m_name, m_value->c_str(), 1);
    } else {
      unsetenv(m_name);
    }
  }
  SavedVariable(const SavedVariable&) = delete;
  SavedVariable& operator=(const SavedVariable&) = delete;

 private:
  const char* m_name;
  std::optional<std::string> m_value;
};

class UserTempDirectoryTest : public ::testing::Test {
 protected:
  UserTempDirectoryTest() {
    char name[] = "/tmp/tarovue-test-XXXXXX";
    root = mkdtemp(name);
    own = root / ("tarovue-" + std::to_string(geteuid()));
    setenv("TMPDIR", root.c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");
  }
  ~UserTempDirectoryTest() override { fs::remove_all(root); }

  fs::path MakeDirectory(const char* name, mode_t mode) {
    fs::path path = root / name;
    mkdir(path.c_str(), 0700);
    chmod(path.c_str(), mode);
    return path;
  }

  SavedVariable saved_runtime{"XDG_RUNTIME_DIR"};
  SavedVariable saved_tmpdir{"TMPDIR"};
  fs::path root;
  fs::path own;
  std::string dir = "stale";
};

TEST_F(UserTempDirectoryTest, UsesAPrivateRuntimeDirectory) {
  fs::path runtime = MakeDirectory("runtime", 0700);
  setenv("XDG_RUNTIME_DIR", (runtime.string() + "/").c_str(), 1);
  ASSERT_TRUE(UserTempDirectory(&dir));
  EXPECT_EQ(dir, runtime.string());
  EXPECT_FALSE(fs::exists(own));
}

TEST_F(UserTempDirectoryTest, WithoutRuntimeDirectoryCreatesItsOwn) {
  ASSERT_TRUE(UserTempDirectory(&dir));
  EXPECT_EQ(dir, own.string());
  struct stat info;
  ASSERT_EQ(lstat(own.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  // The second call finds it again.
  ASSERT_TRUE(UserTempDirectory(&dir));
  EXPECT_EQ(dir, own.string());
}

TEST_F(UserTempDirectoryTest, UnusableRuntimeDirectoriesFallBackToOurOwn) {
  fs::path shared = MakeDirectory("shared", 0777);
  fs::path relative = "runtime";
  for (const std::string& runtime : {shared.string(), relative.string(), std::string()}) {
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ASSERT_TRUE(UserTempDirectory(&dir)) << runtime;
    EXPECT_EQ(dir, own.string()) << runtime;
  }
}

TEST_F(UserTempDirectoryTest, RefusesAnOwnDirectoryOfTheWrongMode) {
  MakeDirectory(own.filename().c_str(), 0755);
  EXPECT_FALSE(UserTempDirectory(&dir));
  EXPECT_TRUE(dir.empty());
  // Not repaired behind the owner's back either.
  struct stat info;
  ASSERT_EQ(stat(own.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
}

TEST_F(UserTempDirectoryTest, RefusesALinkInPlaceOfItsOwnDirectory) {
  fs::path elsewhere = MakeDirectory("elsewhere", 0700);
  fs::create_directory_symlink(elsewhere, own);
  EXPECT_FALSE(UserTempDirectory(&dir));
  EXPECT_TRUE(dir.empty());

  // Also as the runtime directory: then our own one is made instead.
  fs::remove(own);
  fs::path link = root / "runtime-link";
  fs::create_directory_symlink(elsewhere, link);
  setenv("XDG_RUNTIME_DIR", link.c_str(), 1);
  ASSERT_TRUE(UserTempDirectory(&dir));
  EXPECT_EQ(dir, own.string());
}

TEST_F(UserTempDirectoryTest, RefusesAFileInPlaceOfItsOwnDirectory) {
  FILE* file = std::fopen(own.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_FALSE(UserTempDirectory(&dir));
}

TEST_F(UserTempDirectoryTest, RefusesADirectoryOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a directory away";
  MakeDirectory(own.filename().c_str(), 0700);
  ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
  EXPECT_FALSE(UserTempDirectory(&dir));
}

TEST_F(UserTempDirectoryTest, RefusesAPathLongerThan255Characters) {
  fs::path deep = root / std::string(240, 'd');
  fs::create_directory(deep);
  setenv("TMPDIR", deep.c_str(), 1);
  EXPECT_FALSE(UserTempDirectory(&dir));
  EXPECT_TRUE(dir.empty());
}

}  // namespace
