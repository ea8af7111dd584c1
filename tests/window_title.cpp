// The title menu of the real game, driven by real key presses in a window.
#include "support/window.h"

struct TitleWindow : WindowTest {
  // Starts the game windowed and waits until the title takes a confirm.
  void start_title(Image& shot) {
    write_settings("0 0 0");
    ASSERT_TRUE(launch());
    ASSERT_TRUE(wait_shown(Shown::window));
    ASSERT_TRUE(wait_first_frame(shot));
    sleep_ms(menu_ready_ms);
  }
};

// Cursor clouds are centred on x 320 with half-width 45, 4 pixels below the
// top of their entry.
static const int start_row = 244, options_row = 264, quit_row = 284;

// The row whose entry holds the cursor cloud, or 0 when none or several do.
static int cursor_row(const Image& shot) {
  int entry = menu_cursor(shot);
  return entry < 0 ? 0 : start_row + 20 * entry;
}

TEST_F(TitleWindow, TabShowsTheTitleAndTheArrowsStepThroughIt) {
  Image shot;
  ASSERT_NO_FATAL_FAILURE(start_title(shot));

  // As presented: the cursor cloud behind "Start game", and plain sky where a
  // cloud behind "Quit" would be, left and right of its text.
  EXPECT_EQ(cursor_row(shot), start_row);
  EXPECT_GT(cloud_pixels(shot, 320, start_row, 45), 300);
  for (int px : {280, 290, 350, 360}) {
    EXPECT_NE(shot.at(px, start_row), sky_rgb) << "x " << px;
    EXPECT_EQ(shot.at(px, quit_row), sky_rgb) << "x " << px;
  }
  EXPECT_GT(shot.count(300, start_row - 4, 340, start_row + 3, black_rgb), 0) << "no entry text";
  EXPECT_TRUE(display_shows(shot)) << "the title standing still";

  // Up wraps to "Quit" and down wraps back; then down twice to "Quit" again,
  // the second time a tap let go before any frame could see it held.
  const struct {
    const char* key;
    int row, hold;
  } steps[] = {{"Up", quit_row, hold_ms}, {"Down", start_row, hold_ms}, {"Down", options_row, hold_ms},
               {"Down", quit_row, 0}};
  for (const auto& step : steps) {
    tap(step.key, step.hold);
    ASSERT_TRUE(screenshot(shot));
    EXPECT_EQ(cursor_row(shot), step.row) << "after " << step.key;
    EXPECT_TRUE(display_shows(shot)) << "after " << step.key;
  }

  tap("space");
  EXPECT_TRUE(wait_exit_ok(1000));
  EXPECT_EQ(read_game_file("PV settings.dat"), "0 0 0");
}

TEST_F(TitleWindow, QuitChosenWhileEscIsHeldKeepsTheTitle) {
  Image shot;
  ASSERT_NO_FATAL_FAILURE(start_title(shot));

  key_down("Escape");
  tap("Down");
  tap("Down");
  tap("space");
  sleep_ms(200);
  key_up("Escape");
  sleep_ms(1000);
  ASSERT_TRUE(running()) << "the game quit; stderr:\n" << game_stderr();

  // Still the title, cursor on the entry chosen, and it still answers.
  ASSERT_TRUE(screenshot(shot));
  EXPECT_EQ(shot.at(0, 0), sky_rgb);
  EXPECT_EQ(cursor_row(shot), quit_row);
  tap("space");
  EXPECT_TRUE(wait_exit_ok(1000));
}
