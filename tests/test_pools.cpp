// The fixed tables of clouds, orbs and captions: which slot a spawn takes, what
// it puts there, and the pick-up square.
#include <cstdlib>
#include <cstring>
#include <set>

#include "core/game_random.h"
#include "play/pools.h"
#include "play/update.h"
#include "support/headless.h"

namespace {

struct Pools : HeadlessTest {
  // The first n numbers rand() gives after srand(seed), the game's numbers
  // seeded the same; then the C library's own rand drawn on as FluidSynth's
  // first synthesizer does, which must change nothing in the game's.
  void reference(unsigned seed, int* out, int n) {
    srand(seed);
    for (int i = 0; i < n; i++) out[i] = rand();
    game_srand(seed);
    for (int i = 0; i < 95998; i++) rand();
  }
  void park_all_clouds(int at) {
    for (platform& p : land) p = platform{100, at, 40};
  }
};

TEST_F(Pools, CloudSlotIsFreeOnlyBelowTheScreen) {
  int r[3];
  reference(7, r, 3);
  park_all_clouds(480);
  land[5] = platform{1, 481, 2};
  land[9] = platform{1, 481, 2};

  add_platform();

  for (int i = 0; i < 18; i++) {
    if (i == 5) continue;
    EXPECT_EQ(land[i].y, i == 9 ? 481 : 480) << "slot " << i;
  }
  EXPECT_EQ(land[5].y, -10);
  EXPECT_EQ(land[5].x, (r[0] % 8) * 64 + 64);
  EXPECT_EQ(land[5].w, r[1] % 18 + 38);
  EXPECT_EQ(game_rand(), r[2]) << "a cloud draws exactly two numbers";
}

TEST_F(Pools, FullTablesChangeNothingAndDrawNothing) {
  int r[1];
  reference(11, r, 1);

  // Clouds in sight, including one exactly on the bottom edge
  for (int i = 0; i < 18; i++) land[i] = platform{64 * (i % 8) + 64, 480 - 30 * i, 40 + i};
  platform land_before[18];
  memcpy(land_before, land, sizeof land);
  add_platform();
  EXPECT_EQ(memcmp(land_before, land, sizeof land), 0);
  EXPECT_EQ(game_rand(), r[0]) << "add_platform drew a number with no free slot";

  game_srand(11);
  for (int i = 0; i < 20; i++) star[i] = bonus{64 * (i % 8) + 64, 700 - 20 * i, i % 10 - 8, true};
  bonus star_before[20];
  memcpy(star_before, star, sizeof star);
  add_bonus();
  EXPECT_EQ(memcmp(star_before, star, sizeof star), 0);
  EXPECT_EQ(game_rand(), r[0]) << "add_bonus drew a number with no free slot";

  for (int i = 0; i < 10; i++) got_points[i] = caption{i, i, 1 + 3 * i, 10};
  caption captions_before[10];
  memcpy(captions_before, got_points, sizeof got_points);
  add_caption(300, 200, 50);
  EXPECT_EQ(memcmp(captions_before, got_points, sizeof got_points), 0);
}

TEST_F(Pools, SpawnsTakeTheLowestFreeSlot) {
  game_srand(3);
  park_all_clouds(640);
  add_platform();
  add_platform();
  EXPECT_EQ(land[0].y, -10);
  EXPECT_EQ(land[1].y, -10);
  EXPECT_EQ(land[2].y, 640);
  land[0].y = 481;  // freed again, below a higher free slot
  add_platform();
  EXPECT_EQ(land[0].y, -10);
  EXPECT_EQ(land[2].y, 640);

  add_bonus();
  add_bonus();
  EXPECT_TRUE(star[0].active);
  EXPECT_TRUE(star[1].active);
  EXPECT_FALSE(star[2].active);
  star[0].active = false;
  add_bonus();
  EXPECT_TRUE(star[0].active);
  EXPECT_FALSE(star[2].active);

  // A caption whose timer ran down to 0, or past it, is free; 1 is not
  got_points[0].timer = 1;
  got_points[1].timer = 0;
  got_points[2].timer = -1;
  add_caption(10, 20, 101);
  EXPECT_EQ(got_points[0].timer, 1);
  EXPECT_EQ(got_points[1].x, 10);
  EXPECT_EQ(got_points[1].y, 20);
  EXPECT_EQ(got_points[1].value, 101);
  EXPECT_EQ(got_points[1].timer, 30);
  add_caption(11, 21, 50);
  EXPECT_EQ(got_points[2].value, 50);
  EXPECT_EQ(got_points[2].timer, 30);
  EXPECT_EQ(got_points[3].timer, 0);
}

TEST_F(Pools, NewCloudsAndOrbsStartAboveTheScreenInTheColumns) {
  int r[4];
  reference(21, r, 4);
  add_bonus();
  EXPECT_EQ(star[0].y, -10);
  EXPECT_EQ(star[0].x, (r[0] % 8) * 64 + 64);
  EXPECT_TRUE(star[0].active);
  EXPECT_EQ(star[0].type, r[1] % 10 - 8);
  EXPECT_EQ(game_rand(), r[2]) << "an orb draws exactly two numbers";

  // Over many spawns every column, half-width and kind turns up, and nothing else
  std::set<int> xs, ws, types;
  game_srand(5);
  for (int n = 0; n < 3000; n++) {
    park_all_clouds(481);
    add_platform();
    EXPECT_EQ(land[0].y, -10);
    xs.insert(land[0].x);
    ws.insert(land[0].w);
    star[0].active = false;
    add_bonus();
    EXPECT_EQ(star[0].y, -10);
    xs.insert(star[0].x);
    types.insert(star[0].type);
  }
  EXPECT_EQ(xs, (std::set<int>{64, 128, 192, 256, 320, 384, 448, 512}));
  ASSERT_EQ(ws.size(), 18u);
  EXPECT_EQ(*ws.begin(), 38);
  EXPECT_EQ(*ws.rbegin(), 55);
  ASSERT_EQ(types.size(), 10u);
  EXPECT_EQ(*types.begin(), -8);
  EXPECT_EQ(*types.rbegin(), 1);
}

TEST_F(Pools, PickUpSquareIsOpen) {
  bonus orb{300, 200, 0, true};
  struct {
    int bx, by, got;
  } cases[] = {
      {300, 200, 1}, {330, 200, 0}, {270, 200, 0}, {300, 230, 0}, {300, 170, 0},
      {329, 229, 1}, {271, 171, 1}, {329, 171, 1}, {271, 229, 1}, {329, 230, 0},
      {330, 229, 0}, {-300, -200, 0},
  };
  for (const auto& c : cases) {
    x = c.bx;
    y = c.by;
    EXPECT_EQ(collected(orb), c.got) << "ball at (" << c.bx << ", " << c.by << ")";
  }

  orb.active = false;
  for (const auto& c : cases) {
    x = c.bx;
    y = c.by;
    EXPECT_EQ(collected(orb), 0) << "inactive orb, ball at (" << c.bx << ", " << c.by << ")";
  }
}

}  // namespace
