// The play picture and the game-over panel, drawn from state set by hand:
// which ball shape, the drawing limits, texts against reference renders,
// the best-total rules and the hold-off on the way back to the title.

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "draw/sprites.h"
#include "play/pools.h"
#include "play/screen.h"
#include "play/update.h"
#include "core/globals.h"
#include "core/controls.h"
#include "core/settings.h"
#include "support/headless.h"

namespace {

const int SKY = rgb(0, 96, 192);
const int BLACK = rgb(0, 0, 0);
const int WHITE = rgb(255, 255, 255);
const int BALL = rgb(0, 128, 255);
const int BALL_LIGHT = rgb(48, 160, 255);

bool is_ball(int c) { return c == BALL || c == BALL_LIGHT || c == WHITE; }

struct PlayScreenTest : HeadlessTest {
  BITMAP* ref = nullptr;  // reference pictures drawn with the same library calls

  void SetUp() override {
    HeadlessTest::SetUp();
    ref = create_bitmap(640, 480);
    // A live ball, well into the run, away from the panel and the texts
    for (platform& p : land) p = platform{320, 640, 40};
    stage = 1;
    alive = true;
    loop_num = 200;
    x = 500;
    y = 350;
  }
  void TearDown() override {
    destroy_bitmap(ref);
    HeadlessTest::TearDown();
  }

  void clear_ref() { clear_to_color(ref, makecol(0, 96, 192)); }

  // The game-over lines all lie on x 320; a death after the start prompt
  void kill(int score_, int distance_) {
    alive = false;
    score = score_;
    distance = distance_;
    delay_start = 150;
    loop_num = 151;
  }
};

void centre_text(BITMAP* bmp, const char* s, int cx, int top) {
  textout_centre_ex(bmp, font, s, cx, top, makecol(0, 0, 0), -1);
}

}  // namespace

TEST_F(PlayScreenTest, BallShapeFollowsJumpAndHit) {
  enum { BLUE = 1, STRETCH = 2, SQUISH = 4 };
  struct {
    bool jump;
    int hit;
    int shapes;  // painted in the order stretch or blue, then squish
  } cases[] = {
      {false, 0, BLUE},          {false, -5, BLUE},           {false, 1, SQUISH},
      {false, 6, SQUISH},        {true, 0, STRETCH},          {true, -2, STRETCH},
      {true, 3, STRETCH | SQUISH}, {true, 1, STRETCH | SQUISH},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "jump " << c.jump << ", hit " << c.hit);
    jump = c.jump;
    hit = c.hit;
    draw_play();
    EXPECT_EQ(hit, c.hit - 1);

    // The shapes' extents: stretch 12 wide and 15 high, squish 15 by 12, blue radius 13
    bool stretch = c.shapes & STRETCH, squish = c.shapes & SQUISH, blue = c.shapes & BLUE;
    EXPECT_TRUE(is_ball(rgb_at(buffer, x, y)));
    EXPECT_EQ(is_ball(rgb_at(buffer, x, y + 15)), stretch);
    EXPECT_EQ(is_ball(rgb_at(buffer, x, y + 14)), stretch);
    EXPECT_EQ(is_ball(rgb_at(buffer, x, y + 13)), stretch || blue);
    EXPECT_EQ(is_ball(rgb_at(buffer, x + 15, y)), squish);
    EXPECT_EQ(is_ball(rgb_at(buffer, x + 14, y)), squish);
    EXPECT_EQ(is_ball(rgb_at(buffer, x + 13, y)), squish || blue);
    EXPECT_EQ(rgb_at(buffer, x, y + 16), SKY);
    EXPECT_EQ(rgb_at(buffer, x + 16, y), SKY);

    // And exactly those sprites, squish on top
    clear_ref();
    if (stretch) stretch_ball(ref, x, y);
    if (blue) blue_ball(ref, x, y);
    if (squish) squish_ball(ref, x, y);
    EXPECT_EQ(differing_pixels(buffer, ref, x - 20, y - 20, 41, 41), 0);
  }
}

TEST_F(PlayScreenTest, PointerReplacesTheBallOnlyAboveYMinus16) {
  x = 300;

  // Ball centre at -15: the stretched ball just touches row 0, no pointer
  y = -15;
  jump = true;
  hit = 0;
  draw_play();
  EXPECT_EQ(hit, -1);
  EXPECT_TRUE(is_ball(rgb_at(buffer, 300, 0)));
  EXPECT_EQ(count_ink(buffer, 290, 0, 21, 20, WHITE), 0);

  // At -16 only the pointer: corners (x, 5), (x - 5, 15), (x + 5, 15), in white
  for (int jumping = 0; jumping < 2; jumping++) {
    jump = jumping;
    y = -16;
    hit = 4;
    draw_play();
    EXPECT_EQ(hit, 4);
    EXPECT_EQ(rgb_at(buffer, 300, 5), WHITE);
    EXPECT_EQ(rgb_at(buffer, 300, 10), WHITE);
    EXPECT_EQ(rgb_at(buffer, 295, 15), WHITE);
    EXPECT_EQ(rgb_at(buffer, 305, 15), WHITE);
    EXPECT_EQ(rgb_at(buffer, 300, 4), SKY);
    EXPECT_EQ(rgb_at(buffer, 300, 16), SKY);
    EXPECT_EQ(rgb_at(buffer, 294, 15), SKY);
    EXPECT_EQ(rgb_at(buffer, 306, 15), SKY);
    EXPECT_EQ(rgb_at(buffer, 296, 6), SKY);
    clear_ref();
    triangle(ref, 300, 5, 295, 15, 305, 15, makecol(255, 255, 255));
    EXPECT_EQ(differing_pixels(buffer, ref, 280, 0, 41, 30), 0);
  }

  // Far above, and at the left edge: the pointer is clipped, the ball still not drawn
  x = 0;
  y = -5000;
  hit = 2;
  draw_play();
  EXPECT_EQ(hit, 2);
  EXPECT_EQ(rgb_at(buffer, 0, 10), WHITE);
  EXPECT_EQ(rgb_at(buffer, 5, 15), WHITE);
  EXPECT_EQ(rgb_at(buffer, 6, 15), SKY);
}

TEST_F(PlayScreenTest, CloudsAreDrawnOnlyBetweenTheLimits) {
  // A taller target shows what is painted below row 479
  BITMAP* frame = buffer;
  BITMAP* tall = create_bitmap(640, 700);
  buffer = tall;
  land[0] = {200, -10, 30};  // would touch nothing visible anyway: first puff at x 170
  land[1] = {400, -9, 30};   // its first puff's top pixel is row 0, at x 370
  land[5] = {150, 639, 30};
  land[9] = {450, 640, 30};
  land[17] = {600, 100, 20};  // the last slot is drawn too
  draw_play();
  buffer = frame;

  EXPECT_EQ(rgb_at(tall, 370, 0), rgb(200, 200, 200));
  EXPECT_EQ(count_ink(tall, 160, 0, 80, 1, SKY), 80);
  EXPECT_NE(rgb_at(tall, 120, 639), SKY);
  EXPECT_NE(rgb_at(tall, 120, 630), SKY);
  EXPECT_EQ(count_ink(tall, 400, 625, 120, 30, SKY), 120 * 30);
  EXPECT_NE(rgb_at(tall, 580, 100), SKY);
  destroy_bitmap(tall);

  // On the real frame: each drawn cloud is exactly draw_cloud's picture
  land[0] = {200, 400, 40};
  land[1] = {200, -9, 30};
  draw_play();
  clear_ref();
  draw_cloud(ref, 200, 400, 40);
  draw_cloud(ref, 200, -9, 30);
  EXPECT_EQ(differing_pixels(buffer, ref, 140, 0, 120, 10), 0);
  EXPECT_EQ(differing_pixels(buffer, ref, 140, 380, 120, 40), 0);
}

TEST_F(PlayScreenTest, BallUnderCloudsUnderOrbsUnderCaptionsUnderPanel) {
  // Everything piled on one spot over the score panel
  x = 40;
  y = 30;
  hit = 0;
  land[4] = {40, 32, 12};
  star[0] = {44, 28, 1, true};
  got_points[0] = {40, 26, 9, 50};
  draw_play();

  clear_ref();
  blue_ball(ref, 40, 30);
  draw_cloud(ref, 40, 32, 12);
  draw_star(ref, 44, 28, 1);
  centre_text(ref, "+50 orbs", 40, 26);
  big_ball(ref, 35, 28);
  textprintf_ex(ref, font, 36, 20, makecol(0, 0, 0), -1, "0 orbs");
  textprintf_ex(ref, font, 36, 30, makecol(0, 0, 0), -1, "0 meters");
  EXPECT_EQ(differing_pixels(buffer, ref, 0, 0, 120, 70), 0);
}

TEST_F(PlayScreenTest, OrbIsDrawnAtItsBobbingOffsetOnly) {
  star[3] = {400, 100, 0, true};   // gold
  star[7] = {200, 300, 1, true};   // speed-up
  star[8] = {100, 300, 0, false};  // free slot
  float_h = -3;
  draw_play();

  EXPECT_EQ(star[3].y, 100);
  clear_ref();
  draw_star(ref, 400, 97, 0);
  draw_star(ref, 200, 297, 1);
  EXPECT_EQ(differing_pixels(buffer, ref, 380, 80, 41, 41), 0);
  EXPECT_EQ(differing_pixels(buffer, ref, 180, 280, 41, 41), 0);
  EXPECT_EQ(count_ink(buffer, 80, 280, 41, 41, SKY), 41 * 41);
  // Radius 10 about y 97
  EXPECT_NE(rgb_at(buffer, 400, 87), SKY);
  EXPECT_EQ(rgb_at(buffer, 400, 86), SKY);
  EXPECT_NE(rgb_at(buffer, 400, 107), SKY);
  EXPECT_EQ(rgb_at(buffer, 400, 108), SKY);
}

TEST_F(PlayScreenTest, CaptionsShowSpeedUpOrTheOrbsGained) {
  got_points[0] = {400, 300, 5, 101};
  got_points[4] = {200, 380, 1, 100};
  got_points[9] = {300, 420, 30, 10};
  got_points[2] = {300, 100, 0, 50};    // run out: not drawn
  got_points[3] = {300, 130, -4, 100};  // likewise
  draw_play();

  clear_ref();
  centre_text(ref, "Speed Up!", 400, 300);
  centre_text(ref, "+100 orbs", 200, 380);
  centre_text(ref, "+10 orbs", 300, 420);
  EXPECT_EQ(ink_mismatches(buffer, ref, 300, 8, BLACK), 0);
  EXPECT_EQ(ink_mismatches(buffer, ref, 380, 8, BLACK), 0);
  EXPECT_EQ(ink_mismatches(buffer, ref, 420, 8, BLACK), 0);
  EXPECT_GT(count_ink(buffer, 0, 300, 640, 8, BLACK), 0);
  EXPECT_EQ(count_ink(buffer, 0, 100, 640, 40, BLACK), 0);
}

TEST_F(PlayScreenTest, StartPromptReadyThenStartThenNothing) {
  struct {
    int loop;
    const char* prompt;
  } cases[] = {{0, "Ready?"}, {49, "Ready?"}, {50, "Start!"}, {89, "Start!"}, {90, nullptr}, {5000, nullptr}};
  int h = text_height(title);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "loop_num " << c.loop);
    loop_num = c.loop;
    draw_play();
    clear_ref();
    if (c.prompt) {
      textout_ex(ref, title, c.prompt, 220, 150, makecol(255, 255, 255), -1);
      EXPECT_GT(count_ink(buffer, 220, 150, 200, h, WHITE), 0);
    }
    EXPECT_EQ(ink_mismatches(buffer, ref, 140, h + 20, WHITE), 0);
  }

  // A run that ends during the prompt shows both on the one line
  loop_num = 30;
  alive = false;
  delay_start = 30;
  draw_play();
  clear_ref();
  textout_ex(ref, title, "Ready?", 220, 150, makecol(255, 255, 255), -1);
  textout_right_ex(ref, title, "Game", 310, 150, makecol(255, 255, 255), -1);
  textout_ex(ref, title, "Over", 330, 150, makecol(255, 255, 255), -1);
  EXPECT_EQ(ink_mismatches(buffer, ref, 140, h + 20, WHITE), 0);
}

TEST_F(PlayScreenTest, ScorePanelCountsWholeMetres) {
  struct {
    int score, distance;
    const char *orbs, *metres;
  } cases[] = {
      {0, 29, "0 orbs", "0 meters"},
      {0, 30, "0 orbs", "1 meters"},
      {60, 1234, "60 orbs", "41 meters"},
      {150, 59, "150 orbs", "1 meters"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.metres);
    score = c.score;
    distance = c.distance;
    draw_play();
    clear_ref();
    big_ball(ref, 35, 28);
    textprintf_ex(ref, font, 36, 20, makecol(0, 0, 0), -1, "%s", c.orbs);
    textprintf_ex(ref, font, 36, 30, makecol(0, 0, 0), -1, "%s", c.metres);
    EXPECT_EQ(differing_pixels(buffer, ref, 0, 0, 200, 60), 0);
  }
}

TEST_F(PlayScreenTest, GameOverPanelShowsScoreMetresAndTotal) {
  high_score = 500;
  kill(60, 1234);
  draw_play();
  EXPECT_EQ(total_score, 101);
  EXPECT_EQ(sky_col, makecol(0, 96, 192));

  int h = text_height(title);
  clear_ref();
  textout_right_ex(ref, title, "Game", 310, 150, makecol(255, 255, 255), -1);
  textout_ex(ref, title, "Over", 330, 150, makecol(255, 255, 255), -1);
  EXPECT_GT(count_ink(buffer, 100, 150, 210, h, WHITE), 0);
  EXPECT_GT(count_ink(buffer, 330, 150, 210, h, WHITE), 0);
  EXPECT_EQ(ink_mismatches(buffer, ref, 140, h + 20, WHITE), 0);

  clear_ref();
  centre_text(ref, "Score: 60 orbs", 320, 220);
  centre_text(ref, "Distance: 41 meters", 320, 235);
  centre_text(ref, "Total: 101 orbs", 320, 260);
  EXPECT_EQ(ink_mismatches(buffer, ref, 220, 8, BLACK), 0);
  EXPECT_EQ(ink_mismatches(buffer, ref, 235, 8, BLACK), 0);
  EXPECT_EQ(ink_mismatches(buffer, ref, 260, 8, BLACK), 0);
  EXPECT_EQ(count_ink(buffer, 0, 280, 640, 8, BLACK), 0);  // no record

  // The rule under the lines: row 250, x 220 to 420
  EXPECT_EQ(count_ink(buffer, 220, 250, 201, 1, BLACK), 201);
  EXPECT_EQ(rgb_at(buffer, 219, 250), SKY);
  EXPECT_EQ(rgb_at(buffer, 421, 250), SKY);
  EXPECT_EQ(count_ink(buffer, 220, 249, 201, 1, BLACK), 0);

  // 29 pixels are no metre yet
  kill(7, 29);
  draw_play();
  EXPECT_EQ(total_score, 7);
  clear_ref();
  centre_text(ref, "Distance: 0 meters", 320, 235);
  centre_text(ref, "Total: 7 orbs", 320, 260);
  EXPECT_EQ(ink_mismatches(buffer, ref, 235, 8, BLACK), 0);
  EXPECT_EQ(ink_mismatches(buffer, ref, 260, 8, BLACK), 0);

  // None of it while the ball lives
  alive = true;
  total_score = -1;
  draw_play();
  EXPECT_EQ(total_score, -1);
  EXPECT_EQ(count_ink(buffer, 0, 150, 640, h, WHITE), 0);
  EXPECT_EQ(count_ink(buffer, 0, 200, 640, 100, BLACK), 0);
}

TEST_F(PlayScreenTest, EqualTotalIsNoRecord) {
  high_score = 101;
  kill(60, 1234);
  for (int frame = 0; frame < 3; frame++) {
    draw_play();
    EXPECT_EQ(total_score, 101);
    EXPECT_EQ(high_score, 101);
    EXPECT_FALSE(got_score);
    EXPECT_EQ(count_ink(buffer, 0, 280, 640, 8, BLACK), 0);
    loop_num++;
  }
  EXPECT_FALSE(file_exists(settings_file));
}

TEST_F(PlayScreenTest, RecordIsSavedAtOnceAndShownFromTheNextFrame) {
  high_score = 100;
  kill(60, 1234);
  draw_play();
  EXPECT_EQ(high_score, 101);
  EXPECT_TRUE(got_score);
  EXPECT_EQ(read_file(settings_file), "1 1 101");
  EXPECT_EQ(count_ink(buffer, 0, 280, 640, 8, BLACK), 0);

  // Later frames show it and write nothing more
  remove(settings_file);
  clear_ref();
  centre_text(ref, "New record!", 320, 280);
  for (int frame = 0; frame < 3; frame++) {
    loop_num++;
    draw_play();
    EXPECT_GT(count_ink(buffer, 0, 280, 640, 8, BLACK), 0);
    EXPECT_EQ(ink_mismatches(buffer, ref, 280, 8, BLACK), 0);
  }
  EXPECT_FALSE(file_exists(settings_file));

  // An orb picked up below the screen raises it again, with the switches as they stand
  score = 70;
  music_on = 0;
  draw_play();
  EXPECT_EQ(high_score, 111);
  EXPECT_EQ(read_file(settings_file), "1 0 111");
}

TEST_F(PlayScreenTest, SpaceReturnsToTheTitleOnly31FramesAfterDeath) {
  kill(10, 300);
  delay_start = 100;
  press(JUMP);
  for (int frame : {100, 101, 129, 130}) {
    loop_num = frame;
    draw_play();
    EXPECT_EQ(stage, 1) << "loop_num " << frame;
  }
  loop_num = 131;
  draw_play();
  EXPECT_EQ(stage, 0);

  // Only the jump key, and only a dead ball
  release(JUMP);
  stage = 1;
  press(UP);
  press(DOWN);
  loop_num = 500;
  draw_play();
  EXPECT_EQ(stage, 1);
  release_all();
  draw_play();
  EXPECT_EQ(stage, 1);
  press(JUMP);
  alive = true;
  draw_play();
  EXPECT_EQ(stage, 1);
}
