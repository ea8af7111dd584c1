// One run of the play simulation, frame by frame: steering, jumps, landings,
// spawning, scoring and death, then a short soak under random input; runs
// recorded and replayed frame for frame, and the replay reader's refusals.
#include <cstdlib>
#include <vector>
#include <zlib.h>

#include "../bench/soak_run.h"
#include "draw/frame.h"
#include "core/game_random.h"
#include "play/pools.h"
#include "play/replay.h"
#include "play/screen.h"
#include "play/update.h"
#include "core/globals.h"
#include "core/controls.h"
#include "core/replay_file.h"
#include "core/settings.h"
#include "support/headless.h"

namespace {

struct Update : HeadlessTest {
  // One play frame as the stage loop runs it
  void frame() {
    update_play();
    loop_num += 1;
  }

  // The same with its picture: the checksum of what it presented, and of
  // where the ball is, in sight or not
  unsigned long shown_frame() {
    update_play();
    draw_play();
    present();
    loop_num += 1;
    int ball[2] = {x, y};
    unsigned long sum = crc32(0, (const unsigned char*)ball, sizeof ball);
    for (int row = 0; row < 480; row++) sum = crc32(sum, buffer2->line[row], 640 * 4);
    return sum;
  }

  // A run recorded as the stage loop records it: steered to x `aim` (0: the
  // nearest cloud) for `steered` frames, jumping and diving at random, no
  // frame updated for the 30 paused from `pause_at`, 100 frames on its
  // panel. What each frame showed.
  std::vector<unsigned long> record_run(unsigned rhythm, int steered, int aim, int pause_at) {
    unsigned seed = game_rand();
    game_srand(seed);
    start_recording(seed);
    reset_play();
    std::vector<unsigned long> shown;
    for (int f = 0, dead = 0, hold = 0; dead < 100; f++) {
      int target = aim ? aim : soak_target();
      key[b[LEFT]] = f < steered && x > target + 8;
      key[b[RIGHT]] = f < steered && x < target - 8;
      if (--hold <= 0) {
        unsigned r = soak_next(rhythm);
        key[b[JUMP]] = (r & 15) < 6;
        key[b[UP]] = (r & 48) == 48;
        key[b[DOWN]] = (r & 192) == 192;
        hold = 1 + (r >> 8) % 12;
      }
      if (f >= pause_at && f < pause_at + 30) continue;
      shown.push_back(shown_frame());
      dead += !alive;
    }
    release_all();
    end_recording();
    return shown;
  }

  // A run well under way with nothing near the ball: every cloud parked far
  // below, no orbs, no spawn due for a long time.
  void open_sky(int bx, int by) {
    reset_play();
    for (platform& p : land) p = platform{320, 2000, 50};
    add_delay = star_delay = 100000;
    loop_num = 10;
    x = bx;
    y = by;
    jump = true;
    jumpforce = 1;  // falling after gravity, too slowly to move this frame
  }

  // The ball at rest on a wide cloud in slot 17.
  void standing() {
    open_sky(320, 282);
    land[17] = platform{320, 300, 240};
    jump = false;
    jumpforce = -8;
  }

  struct jump_shape {
    int rise;        // pixels above the starting point at the top
    int top_frame;   // first frame that ends at the top, counting the start as 1
    int down_frame;  // first frame that moves the ball down
  };

  // A jump from a standing start with `control` held for `held_frames` frames.
  jump_shape measure_jump(int control, int held_frames, int squash) {
    open_sky(320, 400);
    jump = false;
    hit = squash;
    press(control);
    jump_shape js{0, 0, 0};
    int top = y, prev = y;
    for (int f = 1; f <= 100 && js.down_frame == 0; f++) {
      frame();
      if (f == held_frames) release(control);
      if (y < top) {
        top = y;
        js.top_frame = f;
      }
      if (y > prev) js.down_frame = f;
      prev = y;
    }
    release(control);
    js.rise = 400 - top;
    return js;
  }
};

// Speeds are compared with the same single-precision steps the rules give.
TEST_F(Update, HorizontalSpeedOnACloudAndInTheAir) {
  standing();
  press(RIGHT);
  float e = 0;
  const int moved[4] = {0, 1, 2, 4};  // fractions are dropped every frame
  for (int f = 0; f < 4; f++) {
    frame();
    e += 1.8f;
    e -= 1.2f;
    EXPECT_EQ(p_spd, e) << "frame " << f + 1;
    EXPECT_EQ(x, 320 + moved[f]) << "frame " << f + 1;
    EXPECT_FALSE(jump);
  }
  release(RIGHT);

  standing();
  press(LEFT);
  for (int f = 0; f < 4; f++) frame();
  EXPECT_EQ(x, 316) << "moves truncate toward zero, not down";
  release(LEFT);

  // Against the motion, and letting go, on a cloud
  standing();
  p_spd = 5.0f;
  press(LEFT);
  frame();
  EXPECT_EQ(p_spd, (5.0f - 1.8f) - 1.2f);
  release(LEFT);
  standing();
  p_spd = -5.0f;
  press(RIGHT);
  frame();
  EXPECT_EQ(p_spd, (-5.0f + 1.8f) + 1.2f);
  release(RIGHT);
  standing();
  p_spd = 5.0f;
  frame();
  EXPECT_EQ(p_spd, 5.0f - 1.2f);

  // Friction stops at zero rather than crossing it
  standing();
  p_spd = 0.5f;
  frame();
  EXPECT_EQ(p_spd, 0.0f);
  standing();
  p_spd = 1.0f;
  press(LEFT);
  frame();
  EXPECT_EQ(p_spd, 0.0f);
  release(LEFT);

  // In the air
  open_sky(320, 300);
  press(RIGHT);
  frame();
  EXPECT_EQ(p_spd, 0.9f - 0.3f);
  release(RIGHT);
  open_sky(320, 300);
  p_spd = 5.0f;
  press(LEFT);
  frame();
  EXPECT_EQ(p_spd, (5.0f - 0.9f) - 0.3f);
  release(LEFT);
  open_sky(320, 300);
  p_spd = 5.0f;
  frame();
  EXPECT_EQ(p_spd, 5.0f - 0.3f);

  // The limit, both ways
  standing();
  p_spd = 12.9f;
  press(RIGHT);
  frame();
  EXPECT_EQ(p_spd, 13.0f);
  EXPECT_EQ(x, 333);
  release(RIGHT);
  open_sky(320, 300);
  p_spd = -12.9f;
  press(LEFT);
  frame();
  EXPECT_EQ(p_spd, -13.0f);
  EXPECT_EQ(x, 307);
}

TEST_F(Update, SideWallsBounceOnlyPastTheEdge) {
  open_sky(2, 300);
  p_spd = -5.7f;
  float e = -5.7f + 0.3f;
  frame();  // lands at x -3
  EXPECT_EQ(x, 0);
  EXPECT_EQ(p_spd, -e);

  open_sky(2, 300);
  p_spd = -2.5f;
  frame();  // lands exactly on 0
  EXPECT_EQ(x, 0);
  EXPECT_EQ(p_spd, -2.5f + 0.3f);

  open_sky(638, 300);
  p_spd = 2.5f;
  frame();  // lands exactly on 640
  EXPECT_EQ(x, 640);
  EXPECT_EQ(p_spd, 2.5f - 0.3f);

  open_sky(639, 300);
  p_spd = 2.5f;
  frame();  // lands at 641
  EXPECT_EQ(x, 640);
  EXPECT_EQ(p_spd, -(2.5f - 0.3f));
}

TEST_F(Update, JumpHeightsAndTimings) {
  jump_shape held = measure_jump(JUMP, 1000, 0);
  EXPECT_EQ(held.rise, 190);
  EXPECT_EQ(held.top_frame, 37);
  EXPECT_EQ(held.down_frame, 43);

  jump_shape tapped = measure_jump(JUMP, 1, 0);
  EXPECT_EQ(tapped.rise, 67);
  EXPECT_EQ(tapped.top_frame, 13);
  EXPECT_EQ(tapped.down_frame, 16);

  jump_shape high = measure_jump(JUMP, 1000, 3);
  EXPECT_EQ(high.rise, 300);
  EXPECT_EQ(high.top_frame, 47);
  EXPECT_EQ(high.down_frame, 53);

  jump_shape high_tapped = measure_jump(JUMP, 1, 1);
  EXPECT_EQ(high_tapped.rise, 104);
  EXPECT_EQ(high_tapped.top_frame, 16);
  EXPECT_EQ(high_tapped.down_frame, 19);

  // UP is a second jump key, for the start and the hold alike
  jump_shape up = measure_jump(UP, 1000, 0);
  EXPECT_EQ(up.rise, 190);
  EXPECT_EQ(up.down_frame, 43);

  // The landing bonus needs 0 < hit <= 3
  const int squash[] = {-1, 0, 1, 2, 3, 4, 6};
  const int force[] = {40, 40, 50, 50, 50, 40, 40};
  for (int i = 0; i < 7; i++) {
    open_sky(320, 400);
    jump = false;
    hit = squash[i];
    press(JUMP);
    frame();
    release(JUMP);
    EXPECT_TRUE(jump);
    EXPECT_EQ(jumpforce, force[i]) << "hit " << squash[i];
  }
}

TEST_F(Update, FallingDivingAndQuarterPixels) {
  struct {
    int force;
    bool down;
    int after;
    int moved;  // y change
  } cases[] = {
      {-10, false, -13, 3},  {-10, true, -17, 4},  // the dive adds 4
      {20, true, 17, -4},    {0, true, -3, 0},     // no dive unless falling
      {-78, true, -80, 20},  {-79, false, -80, 20},  // the fall limit
      {2, false, -1, 0},     {1, false, -2, 0},    {0, false, -3, 0},
      {-1, false, -4, 1},    {-2, false, -5, 1},   {46, false, 43, -10},
  };
  for (const auto& c : cases) {
    open_sky(320, 300);
    jumpforce = c.force;
    if (c.down) press(DOWN);
    frame();
    release(DOWN);
    EXPECT_EQ(jumpforce, c.after) << "from " << c.force << (c.down ? " diving" : "");
    EXPECT_EQ(y, 300 + c.moved) << "from " << c.force << (c.down ? " diving" : "");
  }

  // On a cloud DOWN changes nothing: the ball rides at the scroll speed
  standing();
  press(DOWN);
  for (int f = 0; f < 3; f++) {
    frame();
    EXPECT_EQ(jumpforce, -8);
    EXPECT_FALSE(jump);
  }
  EXPECT_EQ(y, 288);
}

TEST_F(Update, LandingBandEdges) {
  // The cloud is at y 302 when the landing test runs; the ball does not move
  struct {
    int bx, by;
    bool lands;
  } cases[] = {
      {320, 277, false}, {320, 278, true}, {320, 296, true}, {320, 297, false},
      {270, 285, false}, {271, 285, true}, {369, 285, true}, {370, 285, false},
  };
  for (const auto& c : cases) {
    open_sky(c.bx, c.by);
    land[4] = platform{320, 300, 50};
    hit = -5;
    frame();
    if (c.lands) {
      EXPECT_FALSE(jump) << c.bx << ", " << c.by;
      EXPECT_EQ(y, 284) << c.bx << ", " << c.by;
      EXPECT_EQ(hit, 6);
      EXPECT_EQ(jumpforce, -8);
      EXPECT_EQ(on_land, 1);
    } else {
      EXPECT_TRUE(jump) << c.bx << ", " << c.by;
      EXPECT_EQ(y, c.by);
      EXPECT_EQ(hit, -5);
      EXPECT_EQ(on_land, 0);
    }
  }

  // A rising ball, or one at the top of its jump, passes through but counts
  open_sky(320, 290);
  land[4] = platform{320, 300, 50};
  jumpforce = 20;
  frame();
  EXPECT_TRUE(jump);
  EXPECT_EQ(y, 286);
  EXPECT_EQ(on_land, 1);
  open_sky(320, 290);
  land[4] = platform{320, 300, 50};
  jumpforce = 3;
  frame();
  EXPECT_TRUE(jump);
  EXPECT_EQ(y, 290);
  EXPECT_EQ(on_land, 1);
}

TEST_F(Update, TwoCloudsUnderTheBall) {
  // Both bands hold y 285; the lower slot sets the ball to 284, still inside the other
  open_sky(320, 285);
  land[3] = platform{320, 300, 50};
  land[7] = platform{330, 296, 50};
  frame();
  EXPECT_FALSE(jump);
  EXPECT_EQ(y, 284);
  EXPECT_EQ(on_land, 2);

  // Here the other band holds 285 but not 284
  open_sky(320, 285);
  land[3] = platform{320, 300, 50};
  land[7] = platform{330, 307, 50};
  frame();
  EXPECT_FALSE(jump);
  EXPECT_EQ(y, 284);
  EXPECT_EQ(on_land, 1);

  // The lower slot wins even when it is the higher cloud
  open_sky(320, 285);
  land[2] = platform{320, 296, 50};
  land[9] = platform{320, 300, 50};
  frame();
  EXPECT_EQ(y, 280);
}

TEST_F(Update, ParkedCloudCarriesTheBallUntilReused) {
  open_sky(320, 452);
  land[0] = platform{320, 470, 50};
  jump = false;
  for (int f = 0; f < 10; f++) frame();
  EXPECT_EQ(land[0].y, 490) << "below the screen, so free";
  EXPECT_EQ(y, 472);
  EXPECT_FALSE(jump);
  EXPECT_EQ(on_land, 1);

  add_delay = 1;
  frame();
  EXPECT_EQ(land[0].y, -8) << "the lowest free slot is reused";
  EXPECT_EQ(y, 474);
  EXPECT_TRUE(jump);
  EXPECT_EQ(on_land, 0);
  frame();
  EXPECT_EQ(jumpforce, -11) << "the fall starts from the riding speed";
  EXPECT_EQ(y, 476);
}

TEST_F(Update, FirstFrameOfTheFirstRun) {
  int r[4];
  srand(99);
  for (int& v : r) v = rand();
  game_srand(99);
  reset_play();
  frame();

  EXPECT_EQ(land[0].y, -8);
  EXPECT_EQ(land[0].x, (r[0] % 8) * 64 + 64);
  EXPECT_EQ(land[0].w, r[1] % 18 + 38);
  EXPECT_EQ(land[1].y, 642);
  EXPECT_TRUE(star[0].active);
  EXPECT_EQ(star[0].y, -8);
  EXPECT_EQ(star[0].x, (r[2] % 8) * 64 + 64);
  EXPECT_EQ(star[0].type, r[3] % 10 - 8);
  EXPECT_FALSE(star[1].active);
  EXPECT_EQ(add_delay, 17);
  EXPECT_EQ(star_delay, 44);
  EXPECT_EQ(distance, 2);
}

TEST_F(Update, JumpKeyWaitsForTheSeventhFrame) {
  const int keys[] = {JUMP, UP};
  for (int k : keys) {
    reset_game_state();
    reset_play();
    press(k);
    for (int f = 1; f <= 6; f++) {
      frame();
      EXPECT_LE(jumpforce, 0) << "frame " << f;
    }
    EXPECT_FALSE(jump) << "the ball has come down onto the starting cloud";
    int before = y;
    frame();
    EXPECT_TRUE(jump);
    EXPECT_EQ(jumpforce, 40);
    EXPECT_EQ(y, before - 10);
    release(k);
  }
}

TEST_F(Update, SpawnCountdownsReloadEvenWhenTablesAreFull) {
  open_sky(320, 300);
  speed_up = 5;
  for (int i = 0; i < 18; i++) land[i] = platform{64, 100 + i, 40};
  for (bonus& s : star) s = bonus{64, 100, 0, true};
  add_delay = 1;
  star_delay = 1;
  srand(4);
  int next = rand();
  game_srand(4);
  frame();
  EXPECT_EQ(speed, 7);
  EXPECT_EQ(add_delay, 7);
  EXPECT_EQ(star_delay, 14);
  EXPECT_EQ(land[0].y, 107);
  EXPECT_EQ(game_rand(), next);
}

TEST_F(Update, OrbsScoreAfterTheScroll) {
  open_sky(320, 300);
  star[4] = bonus{320, 298, 0, true};
  star[6] = bonus{340, 320, -8, true};
  star[8] = bonus{320, 268, 0, true};  // 30 above the ball once scrolled
  frame();
  EXPECT_EQ(score, 20);
  EXPECT_FALSE(star[4].active);
  EXPECT_FALSE(star[6].active);
  EXPECT_TRUE(star[8].active);
  EXPECT_EQ(got_points[0].x, 320);
  EXPECT_EQ(got_points[0].y, 299);  // the orb's y, then one frame's rise
  EXPECT_EQ(got_points[0].timer, 29);
  EXPECT_EQ(got_points[0].value, 10);
  EXPECT_EQ(got_points[1].x, 340);
  EXPECT_EQ(got_points[1].y, 321);
  EXPECT_EQ(got_points[2].timer, 0);

  open_sky(320, 300);
  star[0] = bonus{320, 269, 0, true};  // 29 above once scrolled
  frame();
  EXPECT_EQ(score, 10);

  // Orbs leave play below 640
  open_sky(320, 300);
  star[0] = bonus{100, 638, 0, true};
  star[1] = bonus{100, 639, 0, true};
  frame();
  EXPECT_TRUE(star[0].active);
  EXPECT_FALSE(star[1].active);
}

TEST_F(Update, SpeedUpOrbs) {
  open_sky(320, 300);
  star[2] = bonus{320, 298, 1, true};
  frame();
  EXPECT_EQ(score, 50);
  EXPECT_EQ(speed_up, 1);
  EXPECT_EQ(speed, 2) << "the new speed starts next frame";
  EXPECT_EQ(got_points[0].y, 279);
  EXPECT_EQ(got_points[0].value, 101);
  EXPECT_EQ(got_points[1].y, 299);
  EXPECT_EQ(got_points[1].value, 50);
  EXPECT_EQ(got_points[1].timer, 29);
  int d = distance;
  frame();
  EXPECT_EQ(speed, 3);
  EXPECT_EQ(distance, d + 3);

  // The fifth one still counts as a speed-up and reaches the top speed
  open_sky(320, 300);
  for (caption& c : got_points) c = caption{};
  speed_up = 4;
  star[2] = bonus{320, 298, 1, true};
  frame();
  EXPECT_EQ(score, 50);
  EXPECT_EQ(speed_up, 5);
  EXPECT_EQ(got_points[0].value, 101);
  frame();
  EXPECT_EQ(speed, 7);

  // The sixth one only scores
  open_sky(320, 300);
  for (caption& c : got_points) c = caption{};
  speed_up = 5;
  score = 0;
  star[2] = bonus{320, 298, 1, true};
  frame();
  EXPECT_EQ(score, 100);
  EXPECT_EQ(speed_up, 5);
  EXPECT_EQ(got_points[0].value, 100);
  EXPECT_EQ(got_points[0].timer, 29);
  EXPECT_EQ(got_points[1].timer, 0);

  // With every caption alive the captions are lost, the points are not
  open_sky(320, 300);
  for (caption& c : got_points) c = caption{0, 0, 20, 10};
  star[2] = bonus{320, 298, 1, true};
  frame();
  EXPECT_EQ(score, 50);
  EXPECT_EQ(speed_up, 1);
  for (const caption& c : got_points) {
    EXPECT_EQ(c.timer, 19);
    EXPECT_EQ(c.value, 10);
  }
}

TEST_F(Update, DeathAndAfter) {
  open_sky(320, 510);
  loop_num = 123;
  frame();
  EXPECT_TRUE(alive);

  open_sky(320, 511);
  loop_num = 123;
  p_spd = 3.0f;
  frame();
  EXPECT_FALSE(alive);
  EXPECT_EQ(delay_start, 123);
  int d = distance, xd = x;

  // Nothing moves sideways or counts metres any more; the fall and the orbs go on
  press(RIGHT);
  star[0] = bonus{320, 510, 0, true};
  frame();  // y 512
  EXPECT_EQ(y, 512);
  EXPECT_EQ(x, xd);
  EXPECT_EQ(distance, d);
  EXPECT_EQ(delay_start, 123);
  EXPECT_EQ(score, 10);

  // ... and a cloud below the screen still catches the ball
  land[5] = platform{320, 530, 50};
  frame();  // y 514, cloud 532
  EXPECT_FALSE(jump);
  EXPECT_EQ(y, 514);
  EXPECT_EQ(x, xd);
  EXPECT_FALSE(alive);
}

TEST_F(Update, ResetKeepsWhatCarriesOver) {
  jump = true;
  jumpforce = -37;
  hit = 4;
  add_delay = 9;
  star_delay = 13;
  bob = 66;
  got_points[3] = caption{1, 2, 17, 50};
  for (platform& p : land) p = platform{77, 200, 44};
  star[5] = bonus{1, 2, 1, true};
  x = 5;
  y = 6;
  p_spd = 4;
  speed_up = 3;
  score = 80;
  distance = 900;
  loop_num = 500;
  alive = false;
  got_score = true;

  reset_play();

  EXPECT_TRUE(jump);
  EXPECT_EQ(jumpforce, -37);
  EXPECT_EQ(hit, 4);
  EXPECT_EQ(add_delay, 9);
  EXPECT_EQ(star_delay, 13);
  EXPECT_EQ(bob, 66);
  EXPECT_EQ(got_points[3].timer, 17);
  EXPECT_EQ(got_points[3].value, 50);

  for (int i = 0; i < 17; i++) {
    EXPECT_EQ(land[i].y, 640);
    EXPECT_EQ(land[i].x, 77);
    EXPECT_EQ(land[i].w, 44);
  }
  EXPECT_EQ(land[17].x, 320);
  EXPECT_EQ(land[17].y, 80);
  EXPECT_EQ(land[17].w, 240);
  EXPECT_FALSE(star[5].active);
  EXPECT_EQ(x, 320);
  EXPECT_EQ(y, 50);
  EXPECT_EQ(p_spd, 0.0f);
  EXPECT_EQ(speed_up, 0);
  EXPECT_EQ(score, 0);
  EXPECT_EQ(distance, 0);
  EXPECT_EQ(loop_num, 0);
  EXPECT_TRUE(alive);
  EXPECT_FALSE(got_score);
}

TEST_F(Update, OrbBobbingTruncatesTowardZero) {
  open_sky(320, 300);
  bob = -1;  // 5 radians this frame
  frame();
  EXPECT_EQ(bob, 5);
  EXPECT_EQ(float_h, -3);
  bob = -4;  // 2 radians
  frame();
  EXPECT_EQ(float_h, 3);
}

TEST_F(Update, SoakUnderRandomInput) {
  soak_stats st{};
  for (unsigned seed = 1; seed <= 4; seed++) {
    reset_game_state();
    soak_run(seed, 20000, st);
  }
  EXPECT_EQ(st.failures, 0) << st.first_failure;
  EXPECT_EQ(st.frames, 80000);
  // The input must really play: land, die, and reach the top speed
  EXPECT_GT(st.deaths, 20);
  EXPECT_GT(st.landings, 500);
  EXPECT_GT(st.high_jumps, 0);
  EXPECT_EQ(st.best_speed_up, 5);
}

TEST_F(Update, RecordedRunsReplayFrameForFrame) {
  // One sitting: each run begins from the state the one before left
  const struct {
    unsigned rhythm;
    int steered, aim, pause_at, best_before;
  } runs[] = {{7, 300, 0, -100, 0}, {12345, 900, 0, 200, 10}, {99, 900, 24, 20, 100000}, {4242, 500, 0, -100, 30}};
  game_srand(5);
  for (const auto& r : runs) {
    SCOPED_TRACE(testing::Message() << "rhythm " << r.rhythm);
    high_score = r.best_before;
    if (r.aim) {
      // As a run left on Esc may leave them: a caption still rising, and
      // clouds that the reset parks, on which this ball, lost at the left
      // edge, lands dead below the screen
      got_points[4] = caption{192, 300, 25, 10};
      for (int i = 3; i < 17; i++) land[i] = platform{64, 0, 55};
    }
    std::vector<unsigned long> shown = record_run(r.rhythm, r.steered, r.aim, r.pause_at);
    int total = total_score, best = high_score;
    EXPECT_EQ(read_file(best_run_file) == read_file(last_run_file), got_score);
    ASSERT_EQ(verify_replay(last_run_file), 0);

    // Watched later, over other state: the same pictures, no save, and the
    // game's state given back
    remove(settings_file);
    for (platform& p : land) p = platform{};
    for (caption& c : got_points) c = caption{};
    int bob_before = bob += 1;
    hit = -3;
    ASSERT_TRUE(load_replay(last_run_file));
    start_watching();
    reset_play();
    for (size_t f = 0; f < shown.size(); f++) {
      ASSERT_FALSE(replay_over());
      ASSERT_EQ(shown_frame(), shown[f]) << "frame " << f << " of " << shown.size();
    }
    EXPECT_TRUE(replay_over());
    EXPECT_EQ(total_score, total);
    stop_watching();
    EXPECT_EQ(high_score, best);
    EXPECT_EQ(hit, -3);
    EXPECT_EQ(bob, bob_before);
    EXPECT_FALSE(file_exists(settings_file));
  }

  // A total the run does not reach, as with another C library's rand
  replay r;
  ASSERT_EQ(read_replay(last_run_file, &r), nullptr);
  r.total += 1;
  static unsigned char bytes[replay_most_bytes];
  FILE* f = fopen("other.replay", "wb");
  fwrite(bytes, 1, encode_replay(r, bytes, sizeof bytes), f);
  fclose(f);
  EXPECT_EQ(verify_replay("other.replay"), 3);

  // An abandoned run leaves the last one as it was
  std::string last = read_file(last_run_file);
  start_recording(5);
  reset_play();
  for (int i = 0; i < 100; i++) frame();
  end_recording();
  EXPECT_EQ(read_file(last_run_file), last);
}

TEST_F(Update, ReplayReaderRefusesWhatIsNotASoundReplay) {
  record_run(1, 0, 0, -100);
  replay good;
  ASSERT_EQ(read_replay(last_run_file, &good), nullptr);
  // The run's file, changed as `change` says before it is coded
  auto file = [&good](void (*change)(replay&)) {
    replay r = good;
    change(r);
    std::string s(replay_most_bytes, 0);
    s.resize(encode_replay(r, (unsigned char*)&s[0], s.size()));
    return s;
  };
  auto checked = [](std::string s) {  // with a CRC-32 after it
    unsigned long c = crc32(0, (const unsigned char*)s.data(), s.size());
    for (int i = 0; i < 4; i++) s += (char)(c >> 8 * i);
    return s;
  };
  const std::string sound = file([](replay&) {}), magic = "Plu Vesk replay\n";
  std::string flipped = sound;
  flipped[sound.size() / 2] ^= 4;
  const struct {
    const char* what;
    std::string bytes;
    const char* fault;
  } cases[] = {
      {"sound", sound, nullptr},
      {"wrong magic", "Plu Vesk replax\n" + sound.substr(16), "is not a Plu Vesk replay"},
      {"newer version", magic + "\x02" + sound.substr(17), "newer version of the game (replay format 2"},
      {"cut in its CRC", sound.substr(0, sound.size() - 1), "ends too soon"},
      {"a flipped byte", flipped, "its CRC-32 does not match"},
      {"bytes after its end", checked(sound.substr(0, sound.size() - 4) + "x"), "after its end (1)"},
      {"a number past 64 bits", checked(magic + "\x01" + std::string(9, '\xff') + "\x02"), "too big for 64 bits"},
      {"a number longer than it needs", checked(magic + std::string("\x01\x80\x00", 3)), "longer than it needs"},
      {"a value out of range", file([](replay& r) { r.hit = 7; }), "hit 7, out of its range -1073741824 to 6"},
      {"runs short of the frames", file([](replay& r) { r.frames += 1; }), "not its"},
      {"a frame count past the longest", file([](replay& r) { r.frames = replay_most_frames + 1; }),
       "frame count 67108865, out of its range"},
      {"runs that sum past the longest", file([](replay& r) {
         static unsigned char two[12];
         r.runs_size = put_run(two, 0, replay_most_frames);
         r.runs_size += put_run(two + r.runs_size, 1, replay_most_frames);
         r.runs = two, r.run_count = 2, r.frames = replay_most_frames;
       }),
       "longer than the longest run"},
  };
  for (const auto& c : cases) {
    replay r;
    const char* fault = decode_replay((const unsigned char*)c.bytes.data(), c.bytes.size(), &r);
    EXPECT_NE(std::string(fault ? fault : "none").find(c.fault ? c.fault : "none"), std::string::npos)
        << c.what << ": " << fault;
  }
}

}  // namespace
