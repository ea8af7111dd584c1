// The settings file: what a load takes from odd files, the exact bytes a save
// writes, and that a save which cannot finish leaves the old file alone.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/files.h"
#include "core/settings.h"
#include "support/headless.h"

namespace {

void write_file(const std::string& name, const std::string& bytes) {
  FILE* f = fopen(name.c_str(), "wb");
  ASSERT_NE(f, nullptr) << name;
  ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  fclose(f);
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

void set_values(int m, int mu, int h) {
  mode = m;
  music_on = mu;
  high_score = h;
}

// Everything written to stderr while fn runs. A pipe, not a file, so that a
// file-size limit set inside fn cannot swallow the message.
std::string capture_stderr(const std::function<void()>& fn) {
  int p[2];
  if (pipe(p) != 0) return "<no pipe>";
  fflush(stderr);
  int saved = dup(2);
  dup2(p[1], 2);
  close(p[1]);
  fn();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string got;
  char chunk[256];
  for (ssize_t n; (n = read(p[0], chunk, sizeof chunk)) > 0;) got.append(chunk, n);
  close(p[0]);
  return got;
}

mode_t mode_of(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? st.st_mode & 07777 : 0;
}

struct Values {
  int mode, music_on, high_score;
};

void expect_values(Values want) {
  EXPECT_EQ(mode, want.mode);
  EXPECT_EQ(music_on, want.music_on);
  EXPECT_EQ(high_score, want.high_score);
}

struct LoadCase {
  const char* bytes;
  Values before;
  Values after;
};

void check_loads(const std::vector<LoadCase>& cases) {
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(std::string("file holds \"") + c.bytes + "\"");
    set_values(c.before.mode, c.before.music_on, c.before.high_score);
    write_file(settings_file, c.bytes);
    load_settings(settings_file);
    expect_values(c.after);
  }
}

using SettingsTest = HeadlessTest;

}  // namespace

TEST_F(SettingsTest, LoadTakesNumbersUntilOneIsMissing) {
  check_loads({
      {"0 0 1234", {1, 1, 0}, {0, 0, 1234}},
      {"0 1", {1, 0, 55}, {0, 1, 55}},
      {"1", {0, 0, 55}, {1, 0, 55}},
      {"", {0, 0, 77}, {0, 0, 77}},
      {"x1 1 1", {0, 0, 77}, {0, 0, 77}},
      {"1 x 5", {0, 0, 77}, {1, 0, 77}},
      {"- 1 1 1", {0, 0, 77}, {0, 0, 77}},
  });

  // No file at all: nothing changes, and nothing is created
  set_values(0, 1, 9);
  load_settings("no such file.dat");
  expect_values({0, 1, 9});
  EXPECT_EQ(list_dir("."), std::vector<std::string>{settings_file});
}

TEST_F(SettingsTest, LoadSkipsWhiteSpaceAndIgnoresWhatFollowsTheThird) {
  check_loads({
      {"0\t0\t1234", {1, 1, 0}, {0, 0, 1234}},
      {"0\n0\n1234\n", {1, 1, 0}, {0, 0, 1234}},
      {"\r\n \t0 \r\n\n\t 1\v\f  1234", {1, 0, 0}, {0, 1, 1234}},
      {"1 0 42 junk 7", {0, 1, 0}, {1, 0, 42}},
      {"1 0 42junk", {0, 1, 0}, {1, 0, 42}},
      {"1 0 42\n9 9 9", {0, 1, 0}, {1, 0, 42}},
  });
}

TEST_F(SettingsTest, LoadAcceptsSignsHexAndOctal) {
  check_loads({
      {"1 1 010", {0, 0, 0}, {1, 1, 8}},
      {"1 1 0x10", {0, 0, 0}, {1, 1, 16}},
      {"1 1 0X1f", {0, 0, 0}, {1, 1, 31}},
      {"1 1 -0x10", {0, 0, 0}, {1, 1, -16}},
      {"1 1 -010", {0, 0, 0}, {1, 1, -8}},
      {"+1 +0 +5", {0, 1, 0}, {1, 0, 5}},
      {"1 1 -5", {0, 0, 0}, {1, 1, -5}},
      {"0x1 0x0 0", {0, 1, 9}, {1, 0, 0}},
      {"01 00 00", {0, 1, 9}, {1, 0, 0}},
      // octal stops at 8 and 9: "09" is the number 0
      {"1 1 09", {0, 0, 5}, {1, 1, 0}},
      // leading zeros do not count towards the 32 bits
      {"1 1 000000000000000000000000000000012", {0, 0, 0}, {1, 1, 10}},
  });
}

TEST_F(SettingsTest, LoadKeepsModeAndMusicThatAreNeitherZeroNorOne) {
  // Such a value is passed over and the next number is still read
  check_loads({
      {"2 -1 7", {0, 0, 3}, {0, 0, 7}},
      {"2 -1 7", {1, 1, 3}, {1, 1, 7}},
      {"1 5 9", {0, 0, 3}, {1, 0, 9}},
      {"-1 1 2", {0, 0, 3}, {0, 1, 2}},
      {"0x2 0 4", {1, 1, 3}, {1, 0, 4}},
      {"2147483647 -2147483648 6", {1, 0, 3}, {1, 0, 6}},
  });
}

TEST_F(SettingsTest, LoadStopsAtANumberThatDoesNotFitIn32Bits) {
  check_loads({
      {"1 1 2147483647", {0, 0, 55}, {1, 1, INT_MAX}},
      {"1 1 -2147483648", {0, 0, 55}, {1, 1, INT_MIN}},
      {"1 1 -0x80000000", {0, 0, 55}, {1, 1, INT_MIN}},
      {"1 1 017777777777", {0, 0, 55}, {1, 1, INT_MAX}},
      {"1 1 2147483648", {0, 0, 55}, {1, 1, 55}},
      {"1 1 -2147483649", {0, 0, 55}, {1, 1, 55}},
      {"1 1 0x80000000", {0, 0, 55}, {1, 1, 55}},
      {"1 1 020000000000", {0, 0, 55}, {1, 1, 55}},
      // would wrap round to 0 and to 7 in 32 bits
      {"1 1 4294967296", {0, 0, 55}, {1, 1, 55}},
      {"1 1 4294967303", {0, 0, 55}, {1, 1, 55}},
      {"1 1 99999999999999999999999", {0, 0, 55}, {1, 1, 55}},
      // reading stops there: the numbers after it are not taken
      {"1 2147483648 5", {0, 0, 55}, {1, 0, 55}},
      {"4294967297 1 5", {0, 0, 55}, {0, 0, 55}},
  });
}

TEST_F(SettingsTest, SaveWritesThreeDecimalsAndNothingElse) {
  struct {
    Values v;
    const char* bytes;
  } cases[] = {
      {{1, 1, 0}, "1 1 0"},
      {{0, 0, 1234}, "0 0 1234"},
      {{1, 0, -57}, "1 0 -57"},
      {{0, 1, INT_MAX}, "0 1 2147483647"},
      {{0, 1, INT_MIN}, "0 1 -2147483648"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    set_values(c.v.mode, c.v.music_on, c.v.high_score);
    std::string err = capture_stderr([] { EXPECT_TRUE(save_settings(settings_file)); });
    EXPECT_EQ(read_file(settings_file), c.bytes);
    EXPECT_EQ(err, "");
    expect_values(c.v);
  }
  EXPECT_EQ(read_file(settings_file).size(), 15u);  // "0 1 -2147483648": no line end
}

TEST_F(SettingsTest, SaveThenLoadGivesTheSameValues) {
  Values triples[] = {{0, 0, 1234}, {1, 0, -1}, {0, 1, INT_MAX}, {1, 1, INT_MIN}, {1, 1, 0}};
  for (Values v : triples) {
    SCOPED_TRACE(testing::Message() << v.mode << " " << v.music_on << " " << v.high_score);
    set_values(v.mode, v.music_on, v.high_score);
    ASSERT_TRUE(save_settings(settings_file));
    set_values(1 - v.mode, 1 - v.music_on, v.high_score ^ 0x5a5a);
    load_settings(settings_file);
    expect_values(v);
  }
}

TEST_F(SettingsTest, SaveReplacesTheFileWholeAndLeavesNoTemporaryFile) {
  // Created when missing, 0666 less the umask
  set_values(0, 1, 3);
  ASSERT_TRUE(save_settings(settings_file));
  EXPECT_EQ(read_file(settings_file), "0 1 3");
  EXPECT_EQ(mode_of(settings_file), 0644u);

  // A longer file is replaced by exactly the new five bytes, its mode kept
  write_file(settings_file, std::string(100, '7'));
  ASSERT_EQ(chmod(settings_file, 0600), 0);
  set_values(1, 1, 0);
  ASSERT_TRUE(save_settings(settings_file));
  EXPECT_EQ(read_file(settings_file), "1 1 0");
  EXPECT_EQ(mode_of(settings_file), 0600u);
  EXPECT_EQ(list_dir("."), std::vector<std::string>{settings_file});

  // Saved into another directory by path, the temporary stays there too
  ASSERT_EQ(mkdir("sub", 0755), 0);
  write_file("sub/PV settings.dat", std::string(100, '\n'));
  set_values(0, 0, 42);
  ASSERT_TRUE(save_settings("sub/PV settings.dat"));
  EXPECT_EQ(read_file("sub/PV settings.dat"), "0 0 42");
  EXPECT_EQ(list_dir("sub"), std::vector<std::string>{"PV settings.dat"});
  EXPECT_EQ(list_dir("."), (std::vector<std::string>{settings_file, "sub"}));
}

namespace {

// A save that must fail: false, one line on stderr, the values kept in memory,
// and the directory exactly as it was (old file's bytes, no leftovers).
void expect_failed_save(const std::string& path, const std::string& dir,
                        const std::function<bool()>& save) {
  set_values(1, 0, 4321);
  std::vector<std::string> before = list_dir(dir);
  std::string old_bytes = read_file(path);
  bool saved = true;
  std::string err = capture_stderr([&] { saved = save(); });
  EXPECT_FALSE(saved);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_TRUE(!err.empty() && err.back() == '\n') << err;
  EXPECT_NE(err.find("PV settings.dat"), std::string::npos) << err;
  expect_values({1, 0, 4321});
  EXPECT_EQ(read_file(path), old_bytes);
  EXPECT_EQ(list_dir(dir), before);
}

// Root ignores permission bits: run the save as nobody in a child process.
bool save_as_nobody(const char* path) {
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    bool ok = save_settings(path);
    bool kept = mode == 1 && music_on == 0 && high_score == 4321;
    _exit(!kept ? 2 : ok ? 1 : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 2) << "the child lost its values";
  EXPECT_NE(WEXITSTATUS(status), 3) << "could not become nobody";
  return WEXITSTATUS(status) != 0;
}

}  // namespace

TEST_F(SettingsTest, SaveThatCannotFinishLeavesTheOldFileAndTheValues) {
  const std::string old_bytes = "0 1 77";

  // A directory without write access
  {
    SCOPED_TRACE("read-only directory");
    ASSERT_EQ(mkdir("ro", 0755), 0);
    write_file("ro/PV settings.dat", old_bytes);
    ASSERT_EQ(chmod("ro", 0555), 0);
    ASSERT_EQ(chmod(".", 0711), 0);  // nobody may pass through, not write
    int probe = open("ro/probe", O_WRONLY | O_CREAT, 0644);
    bool bits_bind = probe < 0;
    if (probe >= 0) {
      close(probe);
      unlink("ro/probe");
    }
    expect_failed_save("ro/PV settings.dat", "ro", [&] {
      return bits_bind ? save_settings("ro/PV settings.dat") : save_as_nobody("ro/PV settings.dat");
    });
    EXPECT_EQ(read_file("ro/PV settings.dat"), old_bytes);
    chmod("ro", 0755);
  }

  // Every write refused by a file-size limit of 0, which binds root too
  {
    SCOPED_TRACE("file-size limit");
    write_file(settings_file, old_bytes);
    expect_failed_save(settings_file, ".", [] {
      rlimit old_limit;
      getrlimit(RLIMIT_FSIZE, &old_limit);
      rlimit none = old_limit;
      none.rlim_cur = 0;
      void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
      setrlimit(RLIMIT_FSIZE, &none);
      bool ok = save_settings(settings_file);
      setrlimit(RLIMIT_FSIZE, &old_limit);
      signal(SIGXFSZ, old_handler);
      return ok;
    });
    EXPECT_EQ(read_file(settings_file), old_bytes);
  }

  // A directory standing where the file would go: the file cannot replace it
  {
    SCOPED_TRACE("directory in the file's place");
    ASSERT_EQ(mkdir("d", 0755), 0);
    ASSERT_EQ(mkdir("d/PV settings.dat", 0755), 0);
    expect_failed_save("d/PV settings.dat", "d", [] { return save_settings("d/PV settings.dat"); });
    struct stat st;
    ASSERT_EQ(stat("d/PV settings.dat", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(list_dir("d/PV settings.dat").empty());
  }

  // A directory that does not exist
  {
    SCOPED_TRACE("missing directory");
    expect_failed_save("gone/PV settings.dat", ".",
                       [] { return save_settings("gone/PV settings.dat"); });
  }
}

TEST_F(SettingsTest, SaveThroughALinkReplacesItsTargetAndTheLinkStays) {
  auto is_link = [](const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
  };
  // A dotfile manager's link, relative, into a directory of its own.
  ASSERT_EQ(mkdir("dotfiles", 0755), 0);
  write_file("dotfiles/pv.dat", "1 1 0");
  ASSERT_EQ(chmod("dotfiles/pv.dat", 04766), 0);
  ASSERT_EQ(symlink("dotfiles/pv.dat", settings_file), 0);
  set_values(0, 0, 77);
  ASSERT_TRUE(save_settings(settings_file));
  EXPECT_TRUE(is_link(settings_file));
  EXPECT_EQ(read_file("dotfiles/pv.dat"), "0 0 77");
  EXPECT_EQ(mode_of("dotfiles/pv.dat"), 0766u);  // the umask's bits too, never set-id ones
  EXPECT_EQ(list_dir("dotfiles"), std::vector<std::string>{"pv.dat"});  // no temporary left
  EXPECT_EQ(list_dir("."), (std::vector<std::string>{settings_file, "dotfiles"}));

  // A link to a link, the second absolute, and a target not made yet.
  ASSERT_EQ(unlink(settings_file), 0);
  std::string absolute = dir + "/dotfiles/new.dat";
  ASSERT_EQ(symlink(absolute.c_str(), "dotfiles/middle"), 0);
  ASSERT_EQ(symlink("dotfiles/middle", settings_file), 0);
  set_values(1, 0, 5);
  ASSERT_TRUE(save_settings(settings_file));
  EXPECT_TRUE(is_link(settings_file));
  EXPECT_TRUE(is_link("dotfiles/middle"));
  EXPECT_EQ(read_file("dotfiles/new.dat"), "1 0 5");
  load_settings(settings_file);
  expect_values({1, 0, 5});

  // A run whose mode came from the command line keeps the file's.
  kept_mode = 0;
  ASSERT_TRUE(save_settings(settings_file));
  EXPECT_EQ(read_file(settings_file), "0 0 5");
  kept_mode = -1;
}

namespace {

bool is_link(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Hands a link (not its target) to nobody. Only root may; false otherwise.
bool give_to_nobody(const std::string& path) { return lchown(path.c_str(), 65534, 65534) == 0; }

// The id of a process that is gone, as a crashed game's temporaries bear it.
std::string dead_pid() {
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  return std::to_string(gone);
}

}  // namespace

TEST_F(SettingsTest, SettingsThatAreNoFileAreNotReadAndSavesReplaceThem) {
  ASSERT_EQ(mkfifo("FIFO", 0600) | mknod("socket", S_IFSOCK | 0600, 0) | mkdir("directory", 0700), 0);
  for (std::string kind : {"FIFO", "socket", "directory"}) {
    SCOPED_TRACE(kind);
    set_values(0, 1, 9);
    alarm(10);  // a FIFO once held the load for ever
    std::string err = capture_stderr([&] { load_settings(kind.c_str()); });
    alarm(0);
    expect_values({0, 1, 9});
    bool dir = kind == "directory";
    EXPECT_EQ(err, "plu-vesk: \"" + kind + "\" is a " + kind + ", not a file: not read; saves " +
                       (dir ? "cannot " : "") + "replace it\n");
    capture_stderr([&] { EXPECT_EQ(save_settings(kind.c_str()), !dir); });
    struct stat st;
    EXPECT_TRUE(lstat(kind.c_str(), &st) == 0 && S_ISREG(st.st_mode) != dir);
  }
}

TEST_F(SettingsTest, SaveNeverWritesThroughLinksPlantedUnderItsTemporaryNames) {
  // Files of the player's elsewhere, and links to them under the names a save
  // of this process could use: the old predictable one and guesses at the new.
  ASSERT_EQ(mkdir("mine", 0755), 0);
  ASSERT_EQ(mkdir("dotfiles", 0755), 0);
  const std::string pid = std::to_string(getpid());
  std::mt19937 pick(22);
  const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  auto plant = [&](const std::string& dir_part, const std::string& base) {
    std::vector<std::string> names = {base + "." + pid + ".tmp"};
    for (int i = 0; i < 20; i++) {
      std::string tail;
      for (int k = 0; k < 8; k++) tail += letters[pick() % letters.size()];
      names.push_back(base + "." + pid + "." + tail + ".tmp");
    }
    for (size_t i = 0; i < names.size(); i++) {
      std::string target = dir + "/mine/" + (dir_part.empty() ? "a" : "b") + std::to_string(i);
      // Every third target not made yet: a save must not create it either.
      if (i % 3) write_file(target, "the player's own " + std::to_string(i));
      ASSERT_EQ(symlink(target.c_str(), (dir_part + names[i]).c_str()), 0);
    }
  };
  plant("", settings_file);
  plant("dotfiles/", "pv.dat");  // beside the target of the player's own link
  const std::vector<std::string> targets = list_dir("mine");
  std::vector<std::string> bytes;
  for (const std::string& t : targets) bytes.push_back(read_file("mine/" + t));
  const std::vector<std::string> here = list_dir("."), there = list_dir("dotfiles");

  set_values(0, 0, 15);
  std::string err = capture_stderr([] { EXPECT_TRUE(save_settings(settings_file)); });
  EXPECT_EQ(read_file(settings_file), "0 0 15");
  EXPECT_FALSE(is_link(settings_file));
  std::vector<std::string> want_here = here;
  want_here.push_back(settings_file);
  std::sort(want_here.begin(), want_here.end());
  EXPECT_EQ(list_dir("."), want_here);  // the plants stay, no temporary is left

  // Through the player's own link, beside its target.
  ASSERT_EQ(unlink(settings_file), 0);
  ASSERT_EQ(symlink("dotfiles/pv.dat", settings_file), 0);
  set_values(1, 0, 16);
  err += capture_stderr([] { EXPECT_TRUE(save_settings(settings_file)); });
  EXPECT_TRUE(is_link(settings_file));
  EXPECT_EQ(read_file("dotfiles/pv.dat"), "1 0 16");
  std::vector<std::string> want_there = there;
  want_there.push_back("pv.dat");
  std::sort(want_there.begin(), want_there.end());
  EXPECT_EQ(list_dir("dotfiles"), want_there);

  EXPECT_EQ(err, "");
  EXPECT_EQ(list_dir("mine"), targets);
  for (size_t i = 0; i < targets.size(); i++)
    EXPECT_EQ(read_file("mine/" + targets[i]), bytes[i]) << targets[i];
}

TEST_F(SettingsTest, ALinkOfAnotherUserIsReplacedNotFollowed) {
  ASSERT_EQ(mkdir("mine", 0755), 0);
  write_file("mine/pv.dat", "0 0 1234");
  write_file("mine/other.dat", "1 0 99");
  ASSERT_EQ(symlink("mine/pv.dat", settings_file), 0);
  if (!give_to_nobody(settings_file)) GTEST_SKIP() << "only root can hand a link to another user";

  // Read as no file, saved over the link itself; said once for the whole run.
  set_values(1, 1, 0);
  std::string err = capture_stderr([] {
    load_settings(settings_file);
    expect_values({1, 1, 0});
    set_values(0, 1, 15);
    EXPECT_TRUE(save_settings(settings_file));
    set_values(0, 1, 16);
    EXPECT_TRUE(save_settings(settings_file));
  });
  EXPECT_FALSE(is_link(settings_file));
  EXPECT_EQ(read_file(settings_file), "0 1 16");
  EXPECT_EQ(read_file("mine/pv.dat"), "0 0 1234");
  EXPECT_EQ(list_dir("mine"), (std::vector<std::string>{"other.dat", "pv.dat"}));
  EXPECT_EQ(list_dir("."), (std::vector<std::string>{settings_file, "mine"}));
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find("\"PV settings.dat\""), std::string::npos) << err;
  EXPECT_NE(err.find("65534"), std::string::npos) << err;

  // Further on the way: the player's link to another user's link, and the
  // player's link through another user's link to a directory. Each time the
  // name itself is replaced and nothing further on is touched.
  struct Way {
    const char* what;
    std::vector<std::pair<std::string, std::string>> links;  // name, target; the first handed to nobody
  } ways[] = {
      {"a link to a link", {{"mine/middle", "other.dat"}, {settings_file, "mine/middle"}}},
      {"a directory link", {{"elsewhere", "mine"}, {settings_file, "elsewhere/other.dat"}}},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.what);
    told_foreign_link = false;
    ASSERT_EQ(unlink(settings_file), 0);
    for (const auto& link : way.links) ASSERT_EQ(symlink(link.second.c_str(), link.first.c_str()), 0);
    ASSERT_TRUE(give_to_nobody(way.links[0].first));
    set_values(1, 1, 0);
    err = capture_stderr([] {
      load_settings(settings_file);
      expect_values({1, 1, 0});
      set_values(1, 0, 17);
      EXPECT_TRUE(save_settings(settings_file));
    });
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_FALSE(is_link(settings_file));
    EXPECT_EQ(read_file(settings_file), "1 0 17");
    EXPECT_TRUE(is_link(way.links[0].first));
    EXPECT_EQ(read_file("mine/other.dat"), "1 0 99");
    EXPECT_EQ(read_file("mine/pv.dat"), "0 0 1234");
    ASSERT_EQ(unlink(way.links[0].first.c_str()), 0);
    EXPECT_EQ(list_dir("mine"), (std::vector<std::string>{"other.dat", "pv.dat"}));
  }
}

TEST_F(SettingsTest, StaleTemporariesOfGamesNoLongerRunningGo) {
  std::string dead = dead_pid(), alive = std::to_string(getpid());
  const std::vector<std::string> stale = {"PV settings.dat." + dead + ".Xq3zA9bC.tmp",
                                          "Plu Vesk screenshot.bmp." + dead + ".a1b2c3d4.tmp"};
  std::vector<std::string> kept = {
      "PV settings.dat." + alive + ".Xq3zA9bC.tmp",  // a game still saving
      "Plu Vesk screenshot.bmp." + alive + ".a1b2c3d4.tmp",
      "PV settings.dat", "Plu Vesk screenshot.bmp",  // the real files
      "PV settings.dat.tmp", "PV settings.dat." + dead + ".tmp",  // not the game's names
      "PV settings.dat." + dead + "x.ab.tmp", "PV settings.dat." + dead + ".a-b.tmp",
      "PV settings.dat." + dead + ".Xq3zA9b.tmp", "PV settings.dat." + dead + ".Xq3zA9bCd.tmp",
      "notes." + dead + ".abc.tmp",
  };
  for (const std::string& name : stale) write_file(name, "x");
  for (const std::string& name : kept) write_file(name, "x");
  // Under the names of a dead game, but nothing a save of ours makes: a link
  // (to a file of the player's), a directory, a pipe, another user's file.
  ASSERT_EQ(mkdir("mine", 0755), 0);
  write_file("mine/own.dat", "the player's own");
  const std::string link = "PV settings.dat." + dead + ".Link1234.tmp";
  const std::string dangling = "Plu Vesk screenshot.bmp." + dead + ".Link5678.tmp";
  const std::string others = "PV settings.dat." + dead + ".Other123.tmp";
  ASSERT_EQ(symlink("mine/own.dat", link.c_str()), 0);
  ASSERT_EQ(symlink("mine/gone.dat", dangling.c_str()), 0);
  ASSERT_EQ(mkdir(("PV settings.dat." + dead + ".Dir12345.tmp").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(("PV settings.dat." + dead + ".Pipe1234.tmp").c_str(), 0644), 0);
  write_file(others, "x");
  bool as_root = give_to_nobody(others);
  if (!as_root) {
    ASSERT_EQ(unlink(others.c_str()), 0);  // only root can hand it over
  }
  kept.insert(kept.end(), {link, dangling, "PV settings.dat." + dead + ".Dir12345.tmp",
                           "PV settings.dat." + dead + ".Pipe1234.tmp", "mine"});
  if (as_root) kept.push_back(others);

  EXPECT_EQ(remove_stale_temporaries_of(settings_file) + remove_stale_temporaries_of("Plu Vesk screenshot.bmp"), 2);
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(list_dir("."), kept);
  EXPECT_TRUE(is_link(link));
  EXPECT_EQ(read_file("mine/own.dat"), "the player's own");
  EXPECT_EQ(list_dir("mine"), std::vector<std::string>{"own.dat"});
  EXPECT_EQ(remove_stale_temporaries("no such directory", settings_file), 0);

  // The settings file a link elsewhere: the temporaries beside its target
  // bear the target's name, and go too.
  for (const std::string& name : kept) unlink(name.c_str());
  ASSERT_EQ(mkdir("dotfiles", 0755), 0);
  write_file("dotfiles/pv.dat", "0 0 5");
  ASSERT_EQ(symlink("dotfiles/pv.dat", settings_file), 0);
  write_file("dotfiles/pv.dat." + dead + ".Xq3zA9bC.tmp", "x");
  write_file("dotfiles/pv.dat." + alive + ".Xq3zA9bC.tmp", "x");
  EXPECT_EQ(remove_stale_temporaries_of(settings_file), 1);
  EXPECT_EQ(list_dir("dotfiles"),
            (std::vector<std::string>{"pv.dat", "pv.dat." + alive + ".Xq3zA9bC.tmp"}));

  // Unless the link is another user's: it is not followed there either.
  if (!as_root) return;
  write_file("dotfiles/pv.dat." + dead + ".Xq3zA9bC.tmp", "x");
  ASSERT_TRUE(give_to_nobody(settings_file));
  EXPECT_EQ(remove_stale_temporaries_of(settings_file), 0);
  EXPECT_EQ(list_dir("dotfiles"),
            (std::vector<std::string>{"pv.dat", "pv.dat." + alive + ".Xq3zA9bC.tmp",
                                      "pv.dat." + dead + ".Xq3zA9bC.tmp"}));
}

TEST_F(SettingsTest, ALinkSwappedDuringTheWalkNeverTurnsIt) {
  // In a directory it can write, another user swaps its own link with the
  // player's in a loop; its link leads into a folder only the player reaches.
  ASSERT_EQ(mkdir("mine", 0700) | mkdir("dotfiles", 0755) | mkdir("shared", 0777), 0);
  ASSERT_EQ(chmod("shared", 0777) | chmod(".", 0711), 0);
  const std::string stale = "pv.dat." + dead_pid() + ".Xq3zA9bC.tmp";
  write_file("mine/pv.dat", "the player's own");
  write_file("mine/" + stale, "x");
  const char* path = "shared/PV settings.dat";
  ASSERT_EQ(symlink("cfg/pv.dat", path) | symlink("../dotfiles", "shared/cfg") |
                symlink("../mine", "shared/bait"), 0);
  if (!give_to_nobody("shared/bait")) GTEST_SKIP() << "only root can act as another user";
  pid_t attacker = fork();
  if (attacker == 0) {
    if (setgid(65534) == 0 && setuid(65534) == 0)
      for (;;) renameat2(AT_FDCWD, "shared/bait", AT_FDCWD, "shared/cfg", RENAME_EXCHANGE);
    _exit(3);
  }
  int walks = 0, turned = 0, refused = 0;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
       std::chrono::steady_clock::now() < end; walks++) {
    file_place at;
    if (!locate_file(path, &at)) continue;
    turned += at.path.find("mine") != std::string::npos;
    refused += at.refused >= 0;
    close(at.dir);
    if (walks % 64) continue;
    capture_stderr([&] { save_settings(path); });
    remove_stale_temporaries_of(path);
    unlink(path);  // the link again, should the save have replaced it
    symlink("cfg/pv.dat", path);
  }
  kill(attacker, SIGKILL);
  waitpid(attacker, nullptr, 0);
  EXPECT_EQ(turned, 0) << "walks turned of " << walks;
  EXPECT_GT(refused, 0) << "the other user's link was never met: no swap";
  EXPECT_EQ(list_dir("mine"), (std::vector<std::string>{"pv.dat", stale}));
  EXPECT_EQ(read_file("mine/pv.dat"), "the player's own");
}
