// The portal's restore token on disk: kept in the agent's own file, never
// through a link, never in a folder others may write, and read only from a
// file that can be this user's token.
#include "platform/linux/restore_token.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Every file under `folder` (links as links) and what it holds; folders as
// "/" with their mode.
std::map<std::string, std::string> tree(const fs::path& folder) {
  std::map<std::string, std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    std::string name = fs::relative(entry.path(), folder);
    if (entry.is_symlink()) {
      found[name] = "-> " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      struct stat info;
      stat(entry.path().c_str(), &info);
      found[name] = "/" + std::to_string(info.st_mode & 0777);
    } else if (entry.is_regular_file()) {
      found[name] = contents(entry.path());
    } else {
      found[name] = "(special)";
    }
  }
  return found;
}

// A home of the test's own, with no XDG_STATE_HOME.
class RestoreToken : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/input-agent-home-XXXXXX";
    home_ = mkdtemp(pattern);
    setenv("HOME", home_.c_str(), 1);
    unsetenv("XDG_STATE_HOME");
    folder_ = home_ / ".local/state/input-agent";
    file_ = folder_ / "restore-token";
  }
  void TearDown() override { fs::remove_all(home_); }

  void make_folder(fs::perms mode = fs::perms::owner_all) {
    fs::create_directories(folder_);
    fs::permissions(folder_, mode);
  }

  fs::path home_, folder_, file_;
};

constexpr int kOwnerOnly = 0700;

TEST_F(RestoreToken, MakesTheMissingFoldersForItsOwnFileAlone) {
  EXPECT_EQ(read_restore_token(), "");
  keep_restore_token("token-1");
  EXPECT_EQ(tree(home_), (std::map<std::string, std::string>{
                             {".local", "/" + std::to_string(kOwnerOnly)},
                             {".local/state", "/" + std::to_string(kOwnerOnly)},
                             {".local/state/input-agent", "/" + std::to_string(kOwnerOnly)},
                             {".local/state/input-agent/restore-token", "token-1"}}));
  EXPECT_EQ(fs::status(file_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(read_restore_token(), "token-1");
  keep_restore_token("token-2");
  EXPECT_EQ(read_restore_token(), "token-2");
  keep_restore_token("");
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_EQ(read_restore_token(), "");
}

TEST_F(RestoreToken, LivesWhereXdgStateHomeSaysWhenItIsAbsolute) {
  setenv("XDG_STATE_HOME", (home_ / "state").c_str(), 1);
  keep_restore_token("token-1");
  EXPECT_EQ(contents(home_ / "state/input-agent/restore-token"), "token-1");
  setenv("XDG_STATE_HOME", "relative/state", 1);
  EXPECT_EQ(read_restore_token(), "");  // ignored: the home's is used, which has none
  keep_restore_token("token-2");
  EXPECT_EQ(contents(file_), "token-2");
}

// Links planted at the file's name, at the name an earlier version wrote
// first, and in the folder's place: nothing is read through them, nothing
// written through them, and the token goes in a file of its own.
TEST_F(RestoreToken, NeverFollowsALink) {
  fs::path victim = home_ / "victim";
  std::ofstream(victim) << "the person's file";
  fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  struct Case {
    const char* name;
    fs::path link;
  } cases[] = {
      {"the file's name", file_},
      {"a temporary name", folder_ / "restore-token.new"},
  };
  for (const Case& c : cases) {
    make_folder();
    fs::create_symlink(victim, c.link);
    EXPECT_EQ(read_restore_token(), "") << c.name;
    keep_restore_token("token-1");
    EXPECT_EQ(contents(victim), "the person's file") << c.name;
    EXPECT_EQ(fs::status(victim).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
        << c.name;
    EXPECT_FALSE(fs::is_symlink(file_)) << c.name;
    EXPECT_EQ(contents(file_), "token-1") << c.name;
    fs::remove_all(folder_);
  }

  fs::path elsewhere = home_ / "elsewhere";
  fs::create_directories(elsewhere);
  fs::permissions(elsewhere, fs::perms::owner_all);
  fs::create_directories(folder_.parent_path());
  fs::create_directory_symlink(elsewhere, folder_);
  std::ofstream(elsewhere / "restore-token") << "planted";
  EXPECT_EQ(read_restore_token(), "") << "a linked folder";
  keep_restore_token("token-1");
  EXPECT_EQ(contents(elsewhere / "restore-token"), "planted") << "a linked folder";
  EXPECT_EQ(tree(elsewhere).size(), 1u) << "a linked folder";
}

// A folder others may write to may hold anyone's token, or be emptied and
// refilled by them: it is not used, neither read nor written.
TEST_F(RestoreToken, IgnoresAFolderOthersMayWriteTo) {
  for (fs::perms mode : {fs::perms::all, fs::perms::owner_all | fs::perms::group_all,
                         fs::perms::owner_all | fs::perms::others_write | fs::perms::others_exec}) {
    make_folder();
    std::ofstream(file_) << "planted";
    fs::permissions(folder_, mode);
    EXPECT_EQ(read_restore_token(), "") << static_cast<int>(mode);
    keep_restore_token("token-1");
    EXPECT_EQ(contents(file_), "planted") << static_cast<int>(mode);
    EXPECT_EQ(tree(folder_).size(), 1u) << static_cast<int>(mode);
    fs::remove_all(folder_);
  }
}

// A folder or file of another user's holds no token of this user's, and
// the folder takes none. (As root, the test gives them to nobody.)
TEST_F(RestoreToken, IgnoresAnotherUsersFolderAndFile) {
  if (geteuid() != 0) GTEST_SKIP() << "giving files away needs root";
  passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  keep_restore_token("token-1");
  ASSERT_EQ(chown(file_.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  EXPECT_EQ(read_restore_token(), "") << "the file";
  ASSERT_EQ(chown(file_.c_str(), 0, 0), 0);
  ASSERT_EQ(chown(folder_.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  EXPECT_EQ(read_restore_token(), "") << "the folder";
  keep_restore_token("token-2");
  EXPECT_EQ(contents(file_), "token-1") << "the folder";
}

// What cannot be a token is not one: no file of the right kind, an empty
// one, one too long for a token, a FIFO (which would block the read).
TEST_F(RestoreToken, ReadsOnlyAFileThatCanBeAToken) {
  struct Case {
    const char* name;
    void (*make)(const fs::path& file);
  } cases[] = {
      {"empty", [](const fs::path& file) { std::ofstream{file}; }},
      {"longer than a token",
       [](const fs::path& file) { std::ofstream(file) << std::string(513, 'a'); }},
      {"a folder", [](const fs::path& file) { fs::create_directory(file); }},
      {"a FIFO", [](const fs::path& file) { mkfifo(file.c_str(), 0600); }},
  };
  for (const Case& c : cases) {
    make_folder();
    c.make(file_);
    EXPECT_EQ(read_restore_token(), "") << c.name;
    fs::remove_all(folder_);
  }
  make_folder();
  std::ofstream(file_) << std::string(512, 'a');
  EXPECT_EQ(read_restore_token(), std::string(512, 'a')) << "as long as a token may be";
}

// Agents started together each write a file of their own and rename it into
// place: the token kept is one of theirs, whole, and nothing else is left.
TEST_F(RestoreToken, AgentsKeepingTokensAtOnceLeaveOneWhole) {
  std::string first(400, 'a'), second(300, 'b');
  std::thread other([&] {
    for (int i = 0; i < 200; ++i) keep_restore_token(first);
  });
  for (int i = 0; i < 200; ++i) keep_restore_token(second);
  other.join();
  std::string kept = read_restore_token();
  EXPECT_TRUE(kept == first || kept == second) << kept.size();
  EXPECT_EQ(tree(folder_).size(), 1u);
}

}  // namespace
