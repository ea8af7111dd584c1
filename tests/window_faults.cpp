// The real game when its surroundings go wrong: a working directory it cannot
// write, a settings file that is not what it should be, links another user
// planted, a screenshot key held down in play, and the pointer held by
// another client.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>

#include "support/window.h"

static const char* const settings = "PV settings.dat";
static const char* const shot_file = "Plu Vesk screenshot.bmp";

static bool game_over(const Image& shot) {
  return ink_missing(shot, title_text_ink("Game", 310, 150, Align::right), white_rgb) == 0 &&
         ink_missing(shot, title_text_ink("Over", 330, 150, Align::left), white_rgb) == 0;
}

static int occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

static const char* const not_saved = "settings not saved";

struct FaultsWindow : WindowTest {
  // The game's directory, sorted: what the game left there.
  std::vector<std::string> listing() {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  ::testing::AssertionResult display_until(Image& out,
                                           const std::function<bool(const Image&)>& shows,
                                           const char* what, int timeout_ms = 5000) {
    long long deadline = now_ms() + timeout_ms;
    do {
      if (!running())
        return ::testing::AssertionFailure() << "the game ended; stderr:\n" << game_stderr();
      ::testing::AssertionResult got = frame_on_display(out);
      if (got && shows(out)) return got;
      sleep_ms(100);
    } while (now_ms() < deadline);
    return ::testing::AssertionFailure() << "the display never showed " << what;
  }

  // Waits until the game has said `what` n times on stderr.
  ::testing::AssertionResult said(const char* what, int n, int timeout_ms = 2000) {
    long long deadline = now_ms() + timeout_ms;
    std::string err;
    do {
      err = game_stderr();
      if (occurrences(err, what) == n) return ::testing::AssertionSuccess();
      sleep_ms(20);
    } while (now_ms() < deadline);
    return ::testing::AssertionFailure() << "wanted \"" << what << "\" " << n
                                         << " times on stderr, which holds:\n" << err;
  }

  // Waits for any display at all: a garbled settings file may pick either mode.
  ::testing::AssertionResult wait_some_display(Shown& got) {
    long long deadline = now_ms() + 5000;
    do {
      got = shown();
      if (got == Shown::window || got == Shown::full_screen) return ::testing::AssertionSuccess();
      if (!running())
        return ::testing::AssertionFailure() << "the game ended; stderr:\n" << game_stderr();
      sleep_ms(50);
    } while (now_ms() < deadline);
    return ::testing::AssertionFailure() << "no game display:\n" << describe_windows();
  }
};

TEST_F(FaultsWindow, ReadOnlyDirectoryGetsNoFilesAndTheGameGoesOn) {
  // Root writes anywhere, so then the game runs as nobody; the scratch area
  // above the directory only needs to let it through.
  ASSERT_EQ(chmod(root.c_str(), 0711), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
  if (geteuid() == 0) run_as = 65534;
  const std::vector<std::string> assets = listing();

  // No settings file: full screen, as always.
  ASSERT_TRUE(launch());
  ASSERT_TRUE(wait_shown(Shown::full_screen));
  Image frame;
  ASSERT_TRUE(display_until(frame, shows_title, "the title"));
  sleep_ms(menu_ready_ms);
  // Not root, so Allegro heeds the module list beside the game: none of its
  // modules is loaded.
  std::ifstream maps_file("/proc/" + std::to_string(game_pid) + "/maps");
  std::string maps((std::istreambuf_iterator<char>(maps_file)), std::istreambuf_iterator<char>());
  EXPECT_NE(maps.find("liballeg"), std::string::npos);  // the maps were read
  EXPECT_EQ(maps.find("/allegro/"), std::string::npos) << maps;

  // A held Tab tries on every tick and leaves nothing, not even a temporary file.
  tap("Tab", 300);
  sleep_ms(200);
  EXPECT_EQ(listing(), assets);

  choose(1);
  ASSERT_TRUE(display_until(frame, shows_options, "the options"));
  EXPECT_TRUE(shows_centred_line(frame, "Fullscreen: +", 240));
  sleep_ms(menu_ready_ms);
  tap("Up");  // the cursor wraps to "Return"
  tap("space");
  ASSERT_TRUE(display_until(frame, shows_title, "the title after \"Return\""));
  std::string err = game_stderr();
  EXPECT_EQ(occurrences(err, not_saved), 1) << err;
  EXPECT_NE(err.find(settings), std::string::npos) << err;
  EXPECT_EQ(listing(), assets);

  sleep_ms(menu_ready_ms);
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));
  EXPECT_EQ(listing(), assets);
}

TEST_F(FaultsWindow, DirectoryInPlaceOfTheSettingsFile) {
  std::string path = dir + "/" + settings;
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  auto still_an_empty_directory = [&]() {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    DIR* d = opendir(path.c_str());
    int entries = 0;
    while (d && readdir(d)) entries++;
    if (d) closedir(d);
    return entries == 2;
  };

  // Read as no file at all: full screen, music on, best total 0.
  Image shot;
  ASSERT_TRUE(reach_title(Shown::full_screen, shot));
  choose(1);
  ASSERT_TRUE(screenshot_until(shot, shows_options, "the options"));
  EXPECT_TRUE(shows_centred_line(shot, "Fullscreen: +", 240));
  EXPECT_TRUE(shows_centred_line(shot, "Music: +", 260));
  EXPECT_TRUE(shows_centred_line(shot, "High Score: 0", 200));

  sleep_ms(menu_ready_ms);
  tap("Up");
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after \"Return\""));
  EXPECT_EQ(occurrences(game_stderr(), not_saved), 1) << game_stderr();
  EXPECT_TRUE(still_an_empty_directory());

  // A new best total cannot be kept either: said once, and the run ends as usual.
  sleep_ms(menu_ready_ms);
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, game_over, "the game-over panel", 15000));
  sleep_ms(800);  // the record line comes a frame after the record; the hold-off too
  ASSERT_TRUE(screenshot(shot));
  EXPECT_TRUE(shows_centred_line(shot, "Total: 15 orbs", 260));
  EXPECT_TRUE(shows_centred_line(shot, "New record!", 280));
  EXPECT_EQ(occurrences(game_stderr(), not_saved), 2) << game_stderr();
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after the run"));

  // The best total stays in force for the rest of the program's run.
  sleep_ms(menu_ready_ms);
  choose(1);
  ASSERT_TRUE(screenshot_until(shot, shows_options, "the options"));
  EXPECT_TRUE(shows_centred_line(shot, "High Score: 15", 200));
  tap("Escape");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after Esc"));
  sleep_ms(menu_ready_ms);
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));
  EXPECT_TRUE(still_an_empty_directory());
  EXPECT_EQ(listing(), (std::vector<std::string>{"PV best run.replay", "PV last run.replay", settings, shot_file,
                                                 "bubble.pcx", "sky.mid"}));
}

TEST_F(FaultsWindow, HugeSettingsFileIsReadForItsThreeNumbers) {
  // Three good numbers, then 10 MB of noise the reader must never need.
  std::mt19937 noise(1093);
  std::string bytes = "0 0 77\n";
  bytes.reserve(bytes.size() + 10 * 1024 * 1024);
  while (bytes.size() < 10 * 1024 * 1024) bytes.push_back((char)(noise() & 0xff));
  write_settings(bytes);

  Image shot;
  ASSERT_TRUE(reach_title(Shown::window, shot));
  choose(1);
  ASSERT_TRUE(screenshot_until(shot, shows_options, "the options"));
  EXPECT_TRUE(shows_centred_line(shot, "High Score: 77", 200));
  EXPECT_TRUE(shows_centred_line(shot, "Fullscreen: -", 240));
  EXPECT_TRUE(shows_centred_line(shot, "Music: -", 260));

  // "Return" rewrites the file whole: the noise goes.
  sleep_ms(menu_ready_ms);
  tap("Up");
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after \"Return\""));
  EXPECT_EQ(read_game_file(settings), "0 0 77");
  sleep_ms(menu_ready_ms);
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));
}

TEST_F(FaultsWindow, SettingsFileOfNoiseStartsInAValidMode) {
  // Plain random bytes, and random bytes heavy in what numbers are made of, so
  // that the reader gets some way into them.
  std::mt19937 noise(4471);
  std::string plain, numeric;
  const std::string number_chars = " \t\n+-0123456789xXabcdefABCDEF";
  for (int i = 0; i < 6000; i++) {
    plain.push_back((char)(noise() & 0xff));
    numeric.push_back(noise() % 4 ? number_chars[noise() % number_chars.size()]
                                  : (char)(noise() & 0xff));
  }
  for (const std::string* noisy : {&plain, &numeric}) {
    const std::string& bytes = *noisy;
    SCOPED_TRACE(noisy == &plain ? "plain noise" : "number-like noise");
    write_settings(bytes);
    ASSERT_TRUE(launch());
    Shown display = Shown::nothing;
    ASSERT_TRUE(wait_some_display(display));
    Image shot;
    ASSERT_TRUE(wait_first_frame(shot));
    EXPECT_TRUE(shows_title(shot));

    // The options show the mode in force and marks that exist.
    sleep_ms(menu_ready_ms);
    choose(1);
    ASSERT_TRUE(screenshot_until(shot, shows_options, "the options"));
    EXPECT_TRUE(shows_centred_line(
        shot, display == Shown::full_screen ? "Fullscreen: +" : "Fullscreen: -", 240));
    EXPECT_TRUE(shows_centred_line(shot, "Music: +", 260) ||
                shows_centred_line(shot, "Music: -", 260));
    EXPECT_GT(shot.count(0, 200, 639, 207, black_rgb), 0) << "no high-score line";

    // Leaving by Esc and quitting write nothing over the noise.
    tap("Escape");
    ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after Esc"));
    sleep_ms(menu_ready_ms);
    choose(2);
    ASSERT_TRUE(wait_exit_ok(2000));
    EXPECT_TRUE(read_game_file(settings) == bytes) << "the settings file was rewritten";
  }
}

TEST_F(FaultsWindow, LinksOfOthersNeverTakeTheSettingsElsewhere) {
  // Files of the player's outside the game's directory, which another user
  // can write into.
  std::string mine = root + "/mine";
  ASSERT_EQ(mkdir(mine.c_str(), 0755), 0);
  auto write_mine = [&](const std::string& name, const std::string& bytes) {
    FILE* f = fopen((mine + "/" + name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  };
  auto read_mine = [&]() {
    std::vector<std::pair<std::string, std::string>> files;
    if (DIR* d = opendir(mine.c_str())) {
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        FILE* f = fopen((mine + "/" + e->d_name).c_str(), "rb");
        std::string bytes;
        for (int c; f && (c = getc(f)) != EOF;) bytes.push_back((char)c);
        if (f) fclose(f);
        files.push_back({e->d_name, bytes});
      }
      closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
  };
  Image shot;
  auto run_to_a_new_best = [&](Shown want, const std::string& before) {
    ASSERT_TRUE(wait_shown(want));
    ASSERT_TRUE(wait_first_frame(shot));
    sleep_ms(menu_ready_ms);
    tap("space");  // "Start game", left alone until the ball is lost
    EXPECT_EQ(wait_game_file_change(settings, before, 20000), "1 1 15");
    sleep_ms(800);
    tap("space");
    ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after the run"));
    sleep_ms(menu_ready_ms);
    choose(2);
    ASSERT_TRUE(wait_exit_ok(2000));
  };

  // Links to them under the settings' temporary names with the pid of the
  // game just started: the old predictable name and guesses at the new.
  ASSERT_TRUE(launch());
  const std::string pid = std::to_string(game_pid);
  std::vector<std::string> planted = {std::string(settings) + "." + pid + ".tmp"};
  std::mt19937 pick(22);
  const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  while (planted.size() < 30) {
    std::string tail;
    for (int k = 0; k < 8; k++) tail += letters[pick() % letters.size()];
    planted.push_back(std::string(settings) + "." + pid + "." + tail + ".tmp");
  }
  for (size_t i = 0; i < planted.size(); i++) {
    std::string target = mine + "/file" + std::to_string(i);
    if (i % 3) write_mine("file" + std::to_string(i), "the player's own " + std::to_string(i));
    ASSERT_EQ(symlink(target.c_str(), (dir + "/" + planted[i]).c_str()), 0);
  }
  const auto before = read_mine();
  run_to_a_new_best(Shown::full_screen, "");
  EXPECT_EQ(read_mine(), before) << "a file the links lead to was written";
  std::vector<std::string> want = planted;
  want.insert(want.end(), {"PV best run.replay", "PV last run.replay", settings, shot_file, "bubble.pcx", "sky.mid"});
  std::sort(want.begin(), want.end());
  EXPECT_EQ(listing(), want);  // the links stay, no temporary is left
  EXPECT_EQ(game_stderr().find(settings), std::string::npos) << game_stderr();

  // "PV settings.dat" itself a link of another user's to the player's file:
  // read as no file (full screen, best 0, not that file's windowed 1234),
  // and replaced by the new best, which says so once.
  if (geteuid() != 0) return;  // only root can hand a link to another user
  for (const std::string& name : planted) unlink((dir + "/" + name).c_str());
  remove_from_game_dir(settings);
  write_mine("pv.dat", "0 0 1234");
  std::string link = dir + "/" + settings;
  ASSERT_EQ(symlink((mine + "/pv.dat").c_str(), link.c_str()), 0);
  ASSERT_EQ(lchown(link.c_str(), 65534, 65534), 0);
  const auto before_link = read_mine();
  ASSERT_TRUE(launch());
  run_to_a_new_best(Shown::full_screen, "0 0 1234");
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link is still there";
  EXPECT_EQ(read_mine(), before_link);
  std::string err = game_stderr();
  EXPECT_EQ(occurrences(err, "link of another user's (uid 65534)"), 1) << err;
  EXPECT_EQ(occurrences(err, not_saved), 0) << err;
}

TEST_F(FaultsWindow, HeldScreenshotKeyWritesWholeFilesAndKeepsThePace) {
  Image shot;
  ASSERT_TRUE(reach_title(Shown::full_screen, shot));
  tap("space");  // "Start game"
  long long start = now_ms();

  // A link planted where older games put their temporary file, leading to a
  // file of the player's: the screenshots never write through it.
  std::string path = dir + "/" + shot_file;
  const std::string planted = std::string(shot_file) + "." + std::to_string(game_pid) + ".tmp.bmp";
  const std::string precious = "precious.bmp", kept = "the player's own bytes\n";
  {
    FILE* f = fopen((dir + "/" + precious).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs(kept.c_str(), f);
    fclose(f);
  }
  ASSERT_EQ(symlink((dir + "/" + precious).c_str(), (dir + "/" + planted).c_str()), 0);

  // Tab down for 4 s of the run; every version of the file read meanwhile is
  // a whole picture. A version is told by its inode and time of change.
  std::set<std::pair<long long, long long>> versions;
  int reads = 0;
  ::testing::AssertionResult bad = ::testing::AssertionSuccess();
  key_down("Tab");
  long long release = now_ms() + 4000;
  while (now_ms() < release) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      sleep_ms(5);
      continue;
    }
    Image read;
    ::testing::AssertionResult got = load_bmp24(path, read);
    if (got && (read.width != 640 || read.height != 480))
      got = ::testing::AssertionFailure() << read.width << "x" << read.height;
    reads++;
    if (!got && bad) bad = got;
    versions.insert({(long long)st.st_ino, st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec});
    sleep_ms(5);
  }
  key_up("Tab");
  EXPECT_TRUE(bad) << "after " << reads << " reads";
  EXPECT_GT(versions.size(), 20u) << "the held key did not keep writing";

  // The run is as long as an untouched one: about 4.5 s at 50 frames a second
  // until the ball is lost and the new best total written.
  while (!game_file_exists(settings) && now_ms() - start < 20000) sleep_ms(20);
  long long run_ms = now_ms() - start;
  ASSERT_TRUE(game_file_exists(settings)) << "the ball was never lost";
  EXPECT_LT(run_ms, 7000) << "the held screenshot key slowed the game down";
  EXPECT_EQ(read_game_file(settings), "1 1 15");
  std::cout << "run with Tab held: " << run_ms << " ms, " << reads << " reads, "
            << versions.size() << " versions\n";

  // The last file is a frame of the run, no temporary file is left, and the
  // planted link and what it leads to are as they were.
  ASSERT_TRUE(load_bmp24(path, shot));
  EXPECT_EQ(ink_missing(shot, small_text_ink("0 orbs", 36, 20, Align::left), black_rgb), 0);
  EXPECT_EQ(listing(),
            (std::vector<std::string>{settings, shot_file, planted, "bubble.pcx", precious, "sky.mid"}));
  EXPECT_TRUE(read_game_file(precious) == kept) << "the screenshot was written through the link";

  sleep_ms(800);
  tap("space");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after the run"));
  sleep_ms(menu_ready_ms);
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));
}

TEST_F(FaultsWindow, PointerHeldElsewhereKeepsNeitherModeFromShowing) {
  // Another client holds the pointer, as a screen locker or a game in another
  // window may. Full screen grabs nothing, so both modes come up, and nothing
  // is reported.
  ASSERT_TRUE(grab_pointer());
  Image shot, display;
  ASSERT_TRUE(reach_title(Shown::full_screen, shot));
  EXPECT_TRUE(shows_title(shot));
  ASSERT_TRUE(frame_on_display(display));
  int differ = 0;
  for (int py = 0; py < 480; py++)
    for (int px = 0; px < 640; px++)
      if (display.at(px, py) != shot.at(px, py)) differ++;
  EXPECT_EQ(differ, 0) << "the screen does not show the frame";

  ASSERT_TRUE(switch_display(Shown::window, shot, true));
  ASSERT_TRUE(switch_display(Shown::full_screen, shot, false));
  tap("Escape");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title after Esc"));
  sleep_ms(menu_ready_ms);
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));
  EXPECT_EQ(game_stderr().find("cannot open"), std::string::npos) << game_stderr();
  release_pointer();
}
