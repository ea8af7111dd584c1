// The sprites, checked by the pixels they leave on a sky-blue bitmap.
#include <functional>
#include <vector>

#include "draw/sprites.h"
#include "core/globals.h"
#include "support/headless.h"

namespace {

const int SKY = rgb(0, 96, 192);
const int GREY = rgb(200, 200, 200);
const int WHITE = rgb(255, 255, 255);
const int BODY = rgb(0, 128, 255);
const int HIGHLIGHT = rgb(48, 160, 255);

struct box {
  int x0, y0, x1, y1;  // inclusive; x0 > x1 when empty
  bool operator==(const box& o) const {
    return x0 == o.x0 && y0 == o.y0 && x1 == o.x1 && y1 == o.y1;
  }
};

std::ostream& operator<<(std::ostream& out, const box& b) {
  return out << "[" << b.x0 << ".." << b.x1 << "]x[" << b.y0 << ".." << b.y1 << "]";
}

// Bounding box of the pixels that match (or, with invert, differ from) colour.
box extent(BITMAP* bmp, int colour, bool invert = false) {
  box b{bmp->w, bmp->h, -1, -1};
  for (int py = 0; py < bmp->h; py++)
    for (int px = 0; px < bmp->w; px++)
      if ((rgb_at(bmp, px, py) == colour) != invert) {
        b.x0 = std::min(b.x0, px);
        b.y0 = std::min(b.y0, py);
        b.x1 = std::max(b.x1, px);
        b.y1 = std::max(b.y1, py);
      }
  return b;
}

box around(int cx, int cy, int rx, int ry) { return {cx - rx, cy - ry, cx + rx, cy + ry}; }

bool all_sky(BITMAP* bmp) { return extent(bmp, SKY, true).x1 < 0; }

void fill_sky(BITMAP* bmp) { clear_to_color(bmp, makecol(0, 96, 192)); }

// Centres of the runs of grey along a row: the bottom row of a cloud shows one
// short run under each puff, with sky between.
std::vector<int> grey_run_centres(BITMAP* bmp, int row) {
  std::vector<int> centres;
  for (int px = 0; px < bmp->w; px++) {
    if (rgb_at(bmp, px, row) != GREY) continue;
    int start = px;
    while (px + 1 < bmp->w && rgb_at(bmp, px + 1, row) == GREY) px++;
    centres.push_back((start + px) / 2);
  }
  return centres;
}

}  // namespace

using Sprites = HeadlessTest;

TEST_F(Sprites, CloudPuffsRunElevenApartFromTheLeftEndWhileLeftOfTheRightEnd) {
  const int cx = 320, cy = 200;
  struct { int w, puffs, last; } cases[] = {
      {1, 1, -1}, {45, 9, 43}, {55, 10, 44}, {240, 44, 233}};
  for (auto c : cases) {
    SCOPED_TRACE(testing::Message() << "half-width " << c.w);
    fill_sky(buffer);
    draw_cloud(buffer, cx, cy, c.w);

    std::vector<int> centres = grey_run_centres(buffer, cy + 9);
    ASSERT_EQ((int)centres.size(), c.puffs);
    for (int k = 0; k < c.puffs; k++) {
      int p = cx - c.w + 11 * k;
      EXPECT_EQ(centres[k], p) << "puff " << k;
      EXPECT_EQ(rgb_at(buffer, p - 2, cy - 1), WHITE) << "puff " << k;
    }
    EXPECT_EQ(centres.back(), cx + c.last);

    // The last puff's grey rim ends the cloud; nothing lies beyond either end
    int first = cx - c.w, last = cx + c.last;
    EXPECT_EQ(rgb_at(buffer, last + 9, cy), GREY);
    EXPECT_EQ(extent(buffer, SKY, true), (box{first - 9, cy - 9, last + 9, cy + 9}));
    // White discs sit up and to the left of their puffs
    EXPECT_EQ(extent(buffer, WHITE), (box{first - 9, cy - 8, last + 5, cy + 6}));
  }

  for (int w : {0, -1, -55}) {
    fill_sky(buffer);
    draw_cloud(buffer, cx, cy, w);
    EXPECT_TRUE(all_sky(buffer)) << "half-width " << w;
  }
}

TEST_F(Sprites, EachPuffsGreyCoversTheWhiteEdgeOfThePuffBefore) {
  const int cx = 320, cy = 200, w = 55;
  // (p + 2, y + 2) lies inside a puff's own white disc...
  fill_sky(buffer);
  cloud_line(buffer, cx, cy);
  ASSERT_EQ(rgb_at(buffer, cx + 2, cy + 2), WHITE);
  // ...and inside the next puff's grey disc but outside its white one
  fill_sky(buffer);
  cloud_line(buffer, cx + 11, cy);
  ASSERT_EQ(rgb_at(buffer, cx + 2, cy + 2), GREY);

  fill_sky(buffer);
  draw_cloud(buffer, cx, cy, w);
  for (int k = 0; k < 9; k++) {
    int p = cx - w + 11 * k;
    EXPECT_EQ(rgb_at(buffer, p + 2, cy + 2), GREY) << "between puffs " << k << " and " << k + 1;
  }
  // The last puff has no neighbour to cover it
  EXPECT_EQ(rgb_at(buffer, cx + 44 + 2, cy + 2), WHITE);
}

TEST_F(Sprites, OrbsAreGoldUpToTypeZeroAndPurpleFromOne) {
  const int cx = 300, cy = 200;
  struct { int type, body, highlight; } cases[] = {
      {0, rgb(192, 164, 0), rgb(255, 196, 0)},
      {-8, rgb(192, 164, 0), rgb(255, 196, 0)},
      {1, rgb(192, 0, 192), rgb(252, 0, 252)},
      {5, rgb(192, 0, 192), rgb(252, 0, 252)}};
  for (auto c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type);
    fill_sky(buffer);
    draw_star(buffer, cx, cy, c.type);
    EXPECT_EQ(extent(buffer, SKY, true), around(cx, cy, 10, 10));
    EXPECT_EQ(rgb_at(buffer, cx + 8, cy), c.body);
    EXPECT_EQ(extent(buffer, c.highlight), around(cx - 2, cy - 2, 7, 7));
    EXPECT_EQ(extent(buffer, WHITE), around(cx - 4, cy - 4, 2, 2));
  }
}

TEST_F(Sprites, BallShapesHaveTheirSizesHighlightsAndGlints) {
  const int cx = 300, cy = 200;
  struct {
    const char* name;
    void (*draw)(BITMAP*, int, int);
    box body, highlight, glint;
  } cases[] = {
      {"blue_ball", blue_ball, around(cx, cy, 13, 13), around(cx - 2, cy - 2, 10, 10),
       around(cx - 5, cy - 5, 2, 2)},
      {"squish_ball", squish_ball, around(cx, cy, 15, 12), around(cx - 2, cy - 2, 12, 9),
       around(cx - 6, cy - 5, 2, 2)},
      {"stretch_ball", stretch_ball, around(cx, cy, 12, 15), around(cx - 2, cy - 2, 9, 12),
       around(cx - 5, cy - 6, 2, 2)},
      {"big_ball", big_ball, around(cx, cy, 20, 20), around(cx - 3, cy - 3, 16, 16),
       around(cx - 7, cy - 7, 4, 4)}};
  for (auto c : cases) {
    SCOPED_TRACE(c.name);
    fill_sky(buffer);
    c.draw(buffer, cx, cy);
    EXPECT_EQ(extent(buffer, SKY, true), c.body);
    EXPECT_EQ(extent(buffer, HIGHLIGHT), c.highlight);
    EXPECT_EQ(extent(buffer, WHITE), c.glint);
    // Body colour on the right-hand rim, the side the highlight leaves bare
    EXPECT_EQ(rgb_at(buffer, c.body.x1, cy), BODY);
    EXPECT_EQ(rgb_at(buffer, cx, c.body.y1), BODY);
    for (int py = c.body.y0; py <= c.body.y1; py++)
      for (int px = c.body.x0; px <= c.body.x1; px++) {
        int got = rgb_at(buffer, px, py);
        ASSERT_TRUE(got == SKY || got == BODY || got == HIGHLIGHT || got == WHITE)
            << std::hex << got << " at " << std::dec << px << "," << py;
      }
  }
}

TEST_F(Sprites, SpritesOffTheBitmapAreClippedAndTouchNothingElse) {
  // A 100x100 sub-bitmap inside a marked frame: anything drawn past its edges
  // would show on the frame.  The same sprite drawn whole on a large bitmap
  // tells what the visible part must look like.
  BITMAP* parent = create_bitmap(200, 200);
  BITMAP* view = create_sub_bitmap(parent, 50, 50, 100, 100);
  BITMAP* whole = create_bitmap(400, 400);
  const int mark = makecol(1, 2, 3), off = 150;

  std::vector<std::pair<const char*, std::function<void(BITMAP*, int, int)>>> sprites = {
      {"cloud", [](BITMAP* b, int x, int y) { draw_cloud(b, x, y, 55); }},
      {"gold orb", [](BITMAP* b, int x, int y) { draw_star(b, x, y, 0); }},
      {"purple orb", [](BITMAP* b, int x, int y) { draw_star(b, x, y, 1); }},
      {"blue_ball", blue_ball},
      {"squish_ball", squish_ball},
      {"stretch_ball", stretch_ball},
      {"big_ball", big_ball}};
  struct { int x, y; } near[] = {{50, -5}, {50, -12}, {0, 0}, {105, 50}, {99, 99}, {-8, 50}, {50, 110}};
  struct { int x, y; } far[] = {{-1000, 50}, {50, -1000}, {-1000, -1000}, {5000, 5000}};

  for (auto& s : sprites) {
    for (auto at : near) {
      SCOPED_TRACE(testing::Message() << s.first << " at " << at.x << "," << at.y);
      clear_to_color(parent, mark);
      fill_sky(view);
      s.second(view, at.x, at.y);
      fill_sky(whole);
      s.second(whole, at.x + off, at.y + off);
      int wrong = 0;
      for (int py = 0; py < 200; py++)
        for (int px = 0; px < 200; px++) {
          bool inside = px >= 50 && px < 150 && py >= 50 && py < 150;
          int want = inside ? rgb_at(whole, px - 50 + off, py - 50 + off) : rgb(1, 2, 3);
          if (rgb_at(parent, px, py) != want) wrong++;
        }
      EXPECT_EQ(wrong, 0);
    }
    for (auto at : far) {
      clear_to_color(parent, mark);
      fill_sky(view);
      s.second(view, at.x, at.y);
      EXPECT_EQ(extent(parent, rgb(1, 2, 3), true), (box{50, 50, 149, 149}))
          << s.first << " at " << at.x << "," << at.y;
      EXPECT_TRUE(all_sky(view)) << s.first << " at " << at.x << "," << at.y;
    }
  }
  destroy_bitmap(whole);
  destroy_bitmap(view);
  destroy_bitmap(parent);
}
