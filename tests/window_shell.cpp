// The real game under Xvfb: display mode at start-up, the screenshot hot key,
// and the ways start-up can fail.
#include <sys/stat.h>
#include <sys/wait.h>

#include "support/window.h"

static const char* const settings = "PV settings.dat";
static const char* const shot_file = "Plu Vesk screenshot.bmp";

struct ShellWindow : WindowTest {};

TEST_F(ShellWindow, SavedWindowModeOpensA640x480Window) {
  write_settings("0 0 1234");
  ASSERT_TRUE(launch());
  ASSERT_TRUE(wait_shown(Shown::window));
  Image shot;
  ASSERT_TRUE(wait_first_frame(shot));
  EXPECT_EQ(shown(), Shown::window) << describe_windows();

  // Quitting writes nothing: the file keeps its bytes.
  sleep_ms(menu_ready_ms);
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));
  EXPECT_EQ(read_game_file(settings), "0 0 1234");
}

TEST_F(ShellWindow, NoSettingsOpensFullScreenAndTabSavesTheLastFrame) {
  ASSERT_TRUE(launch());
  ASSERT_TRUE(wait_shown(Shown::full_screen));
  Image shot;
  ASSERT_TRUE(wait_first_frame(shot));

  struct stat st;
  ASSERT_EQ(stat((dir + "/" + shot_file).c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 921654);  // 54-byte header and 640x480 pixels of 3 bytes
  ASSERT_EQ(shot.width, 640);
  ASSERT_EQ(shot.height, 480);

  // The title frame: sky in every corner, white name, black entries, the
  // cursor cloud on "Start game" and nothing between the menu and the credit.
  EXPECT_EQ(shot.at(0, 0), sky_rgb);
  EXPECT_EQ(shot.at(639, 0), sky_rgb);
  EXPECT_EQ(shot.at(0, 479), sky_rgb);
  EXPECT_EQ(shot.at(639, 479), sky_rgb);
  EXPECT_EQ(ink_missing(shot, title_text_ink("Plu", 190, 120, Align::left), white_rgb), 0);
  EXPECT_EQ(ink_missing(shot, title_text_ink("Vesk", 320, 120, Align::left), white_rgb), 0);
  EXPECT_GT(cloud_pixels(shot, 320, 244, 45), 300);
  const struct {
    const char* text;
    int top;
  } entries[] = {{"Start game", 240}, {"Options", 260}, {"Quit", 280}};
  for (const auto& entry : entries) {
    TextInk ink = small_text_ink(entry.text, 320, entry.top, Align::centre);
    EXPECT_EQ(ink_missing(shot, ink, black_rgb), 0) << entry.text;
    EXPECT_EQ(ink_stray(shot, ink, black_rgb), 0) << entry.text;
  }
  EXPECT_GT(shot.count(0, 470, 639, 477, black_rgb), 0) << "no credit line";
  EXPECT_EQ(shot.count(0, 300, 639, 460, sky_rgb), 640 * 161);

  // The display shows the same frame, in the middle of the larger screen.
  Image display;
  ASSERT_TRUE(grab_display(display));
  ASSERT_EQ(display.width, screen_w);
  int ox = (screen_w - 640) / 2, oy = (screen_h - 480) / 2, differ = 0;
  for (int py = 0; py < 480; py++)
    for (int px = 0; px < 640; px++)
      if (display.at(ox + px, oy + py) != shot.at(px, py)) differ++;
  EXPECT_EQ(differ, 0);

  // Quitting writes no settings file.
  sleep_ms(menu_ready_ms);
  choose(2);
  ASSERT_TRUE(wait_exit_ok(2000));
  EXPECT_FALSE(game_file_exists(settings));
}

TEST_F(ShellWindow, MissingFontStopsWithAMessageNamingIt) {
  remove_from_game_dir("bubble.pcx");
  ASSERT_TRUE(launch());
  int status = 0;
  ASSERT_TRUE(wait_exit(2000, &status));
  ASSERT_TRUE(WIFEXITED(status)) << describe_status(status);
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_NE(game_stderr().find("bubble.pcx"), std::string::npos) << game_stderr();
}

TEST_F(ShellWindow, NoDisplayStopsWithAMessage) {
  ASSERT_TRUE(launch(false));
  int status = 0;
  ASSERT_TRUE(wait_exit(5000, &status));
  ASSERT_TRUE(WIFEXITED(status)) << describe_status(status);
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_FALSE(game_stderr().empty());
}
