// A whole run of the real game, played as someone who never touches a key.
#include "support/window.h"

struct PlayWindow : WindowTest {};

// With no key pressed a first run is the same whatever the random seed:
// - frame 1: the ball stands at (320, 50) (nothing is airborne at program
//   start), rides down 2 to y 52 while the starting cloud (x 320, half-width
//   240) scrolls from 80 to 82; 52 is not inside the cloud's band (57, 77), so
//   the ball starts falling with jumpforce -8;
// - gravity gives -11, -14, -20: y 54, 57, 61, then 66 in frame 5, inside the
//   band (65, 85) of the cloud now at 90: it lands at 72, 18 above the cloud;
// - from then on it rides the cloud at speed 2: y = 72 + 2 (n - 5) in frame n,
//   so y is 510 in frame 224 and 512 in frame 225, where it dies;
// - the cloud stays its own: spawns come every 17 frames and each lives 245
//   frames above y 480, so at most 14 of slots 0 to 16 are ever taken and slot
//   17 is never reused; orbs scroll at the ball's speed and stay 60 or more
//   pixels above it, out of the 30-pixel pick-up reach;
// - distance grows by 2 in each of the 225 living frames: 450 pixels, 15 metres,
//   no orbs. Total 15, saved with the starting mode and music: "1 1 15".
static const char* const expected_settings = "1 1 15";

TEST_F(PlayWindow, UntouchedRunEndsWithItsTotalSavedAndBackToTheTitle) {
  // No settings file: full screen, best total 0.
  Image shot;
  ASSERT_TRUE(reach_title(Shown::full_screen, shot));
  tap("space");  // "Start game"

  // The first game-over frame writes the new best total; the run lasts about
  // 4.5 s at 50 frames a second.
  for (int waited = 0; waited < 20000 && !game_file_exists("PV settings.dat"); waited += 20)
    sleep_ms(20);
  ASSERT_TRUE(game_file_exists("PV settings.dat")) << "the ball was never lost";
  EXPECT_EQ(read_game_file("PV settings.dat"), expected_settings);

  // Past the panel's 30-frame hold-off.
  sleep_ms(800);
  ASSERT_TRUE(screenshot(shot));
  EXPECT_EQ(ink_missing(shot, title_text_ink("Game", 310, 150, Align::right), white_rgb), 0);
  EXPECT_EQ(ink_missing(shot, title_text_ink("Over", 330, 150, Align::left), white_rgb), 0);
  const struct {
    const char* text;
    int top;
  } lines[] = {{"Score: 0 orbs", 220},
               {"Distance: 15 meters", 235},
               {"Total: 15 orbs", 260},
               {"New record!", 280}};
  for (const auto& line : lines) {
    TextInk ink = small_text_ink(line.text, 320, line.top, Align::centre);
    EXPECT_EQ(ink_missing(shot, ink, black_rgb), 0) << line.text;
    EXPECT_EQ(ink_stray(shot, ink, black_rgb), 0) << line.text;
  }
  EXPECT_EQ(shot.count(220, 250, 420, 250, black_rgb), 201) << "no line under the score";
  EXPECT_NE(shot.at(219, 250), black_rgb);
  EXPECT_NE(shot.at(421, 250), black_rgb);

  tap("space");
  ASSERT_TRUE(screenshot_until(shot, shows_title, "the title"));
  EXPECT_EQ(shot.at(0, 0), sky_rgb);
  EXPECT_EQ(shot.at(230, 250), sky_rgb) << "the game-over panel is still shown";
  EXPECT_GT(cloud_pixels(shot, 320, 244, 45), 300) << "no title cursor on \"Start game\"";
  EXPECT_EQ(cloud_pixels(shot, 320, 284, 45), 0);
  EXPECT_EQ(read_game_file("PV settings.dat"), expected_settings);
  EXPECT_TRUE(running());
}
