// Title and options menus: stepping over frame sequences, what a confirm does,
// and the picture each frame leaves in buffer, buffer2 and the screen.
// Never confirm the full-screen line here: headless there is no display to switch.

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "draw/sprites.h"
#include "menus/options.h"
#include "menus/title.h"
#include "core/globals.h"
#include "core/controls.h"
#include "core/replay_file.h"
#include "core/settings.h"
#include "support/headless.h"

namespace {

const int SKY = rgb(0, 96, 192);
const int BLACK = rgb(0, 0, 0);
const int WHITE = rgb(255, 255, 255);
const int CLOUD_GREY = rgb(200, 200, 200);

bool is_cloud(int c) { return c == CLOUD_GREY || c == WHITE; }

struct MenuTest : HeadlessTest {
  BITMAP* ref = nullptr;  // reference pictures drawn with the same library calls

  void SetUp() override {
    HeadlessTest::SetUp();
    ref = create_bitmap(640, 480);
  }
  void TearDown() override {
    destroy_bitmap(ref);
    HeadlessTest::TearDown();
  }

  // What the stage loop does before the first frame of each menu
  void begin_title() {
    stage = 0;
    loop_num = 0;
    menu_selection = 1;
  }
  void begin_options() {
    stage = 2;
    loop_num = 0;
    menu_selection = 0;
  }

  void clear_ref() { clear_to_color(ref, makecol(0, 96, 192)); }

  // A one-line black text in the default font, centred on x 320, against the frame
  void expect_line(const char* line, int top) {
    SCOPED_TRACE(line);
    clear_ref();
    textout_centre_ex(ref, font, line, 320, top, makecol(0, 0, 0), -1);
    EXPECT_GT(count_ink(buffer, 0, top, 640, 8, BLACK), 0);
    EXPECT_EQ(ink_mismatches(buffer, ref, top, 8, BLACK), 0);
  }

  // The cursor cloud sits on row cy and on no other entry's row. Its puffs reach
  // 9 pixels beyond the first and last puff centres; the x tested lie clear of the texts.
  void expect_cursor(int cy, const std::vector<int>& rows, int left_edge, int right_edge) {
    for (int row : rows) {
      SCOPED_TRACE(testing::Message() << "row " << row << ", cursor on " << cy);
      bool here = row == cy;
      EXPECT_EQ(is_cloud(rgb_at(buffer, left_edge, row)), here);
      EXPECT_EQ(is_cloud(rgb_at(buffer, left_edge + 2, row)), here);
      EXPECT_EQ(is_cloud(rgb_at(buffer, right_edge, row)), here);
      EXPECT_EQ(rgb_at(buffer, left_edge - 1, row), SKY);
      EXPECT_EQ(rgb_at(buffer, right_edge + 1, row), SKY);
    }
    // Nine pixels above and below the centre line, not ten
    EXPECT_TRUE(is_cloud(rgb_at(buffer, left_edge + 9, cy - 9)));
    EXPECT_TRUE(is_cloud(rgb_at(buffer, left_edge + 9, cy + 9)));
    EXPECT_EQ(rgb_at(buffer, left_edge + 9, cy - 10), SKY);
    EXPECT_EQ(rgb_at(buffer, left_edge + 9, cy + 10), SKY);
  }
};

}  // namespace

TEST_F(MenuTest, HeldArrowStepsEveryOtherFrameAndWrapsBothWays) {
  begin_title();
  press(DOWN);
  int title_down[] = {2, 2, 3, 3, 1, 1, 2};
  for (int want : title_down) {
    title_frame();
    EXPECT_EQ(menu_selection, want) << "loop_num " << loop_num;
  }
  release(DOWN);
  title_frame();  // a frame without a step clears the latch
  EXPECT_FALSE(step_latch);

  begin_title();
  press(UP);
  int title_up[] = {3, 3, 2, 2, 1, 1, 3};
  for (int want : title_up) {
    title_frame();
    EXPECT_EQ(menu_selection, want) << "loop_num " << loop_num;
  }
  release(UP);
  title_frame();

  begin_options();
  press(DOWN);
  int options_down[] = {1, 1, 2, 2, 0, 0, 1};
  for (int want : options_down) {
    options_frame();
    EXPECT_EQ(menu_selection, want) << "loop_num " << loop_num;
  }
  release(DOWN);
  options_frame();

  begin_options();
  press(UP);
  int options_up[] = {2, 2, 1, 1, 0, 0, 2};
  for (int want : options_up) {
    options_frame();
    EXPECT_EQ(menu_selection, want) << "loop_num " << loop_num;
  }
  EXPECT_EQ(stage, 2);

  // Tapping: down, nothing, down steps on each press
  release(UP);
  options_frame();
  begin_options();
  int taps[][2] = {{1, 1}, {0, 1}, {1, 2}, {0, 2}, {1, 0}};
  for (auto& t : taps) {
    if (t[0]) press(DOWN);
    else release(DOWN);
    options_frame();
    EXPECT_EQ(menu_selection, t[1]) << "loop_num " << loop_num;
  }
}

TEST_F(MenuTest, UpAndDownTogetherStepUp) {
  press(UP);
  press(DOWN);

  begin_title();
  menu_selection = 2;
  title_frame();
  EXPECT_EQ(menu_selection, 1);
  title_frame();
  EXPECT_EQ(menu_selection, 1);  // the latch holds for both keys
  title_frame();
  EXPECT_EQ(menu_selection, 3);

  release_all();
  title_frame();
  press(UP);
  press(DOWN);
  begin_options();
  menu_selection = 1;
  options_frame();
  EXPECT_EQ(menu_selection, 0);
  options_frame();
  options_frame();
  EXPECT_EQ(menu_selection, 2);
}

TEST_F(MenuTest, StepLatchCarriesIntoTheNextMenu) {
  // The title's last frame stepped: the options menu's first frame does not
  begin_title();
  press(DOWN);
  title_frame();
  EXPECT_EQ(menu_selection, 2);
  EXPECT_TRUE(step_latch);
  begin_options();
  options_frame();
  EXPECT_EQ(menu_selection, 0);
  options_frame();
  EXPECT_EQ(menu_selection, 1);

  // And back: the options menu's last frame stepped
  begin_title();
  title_frame();
  EXPECT_EQ(menu_selection, 1);
  title_frame();
  EXPECT_EQ(menu_selection, 2);

  // A last frame without a step leaves the latch clear: the next menu steps at once
  release(DOWN);
  title_frame();
  EXPECT_FALSE(step_latch);
  press(DOWN);
  begin_options();
  options_frame();
  EXPECT_EQ(menu_selection, 1);
}

TEST_F(MenuTest, StepAndConfirmInOneFrameActOnTheNewEntry) {
  struct {
    int from, arrow, entry;
  } title_cases[] = {
      {1, UP, 3},    // Quit
      {1, DOWN, 2},  // Options
      {3, DOWN, 1},  // wrapped to Start game
      {2, UP, 1},
  };
  for (const auto& c : title_cases) {
    SCOPED_TRACE(testing::Message() << "title from " << c.from << " arrow " << c.arrow);
    release_all();
    begin_title();
    title_frame();  // clears the latch
    menu_selection = c.from;
    loop_num = 6;
    press(c.arrow);
    press(JUMP);
    title_frame();
    EXPECT_EQ(menu_selection, c.entry);
    EXPECT_EQ(stage, c.entry);
    // The choosing frame is still drawn, with the cursor on the chosen entry
    EXPECT_TRUE(is_cloud(rgb_at(buffer, 268, 224 + 20 * c.entry)));
    EXPECT_EQ(rgb_at(buffer2, 268, 224 + 20 * c.from), SKY);
  }

  // Options: down from the full-screen line onto music switches the music, not the display
  release_all();
  begin_options();
  options_frame();
  loop_num = 6;
  press(DOWN);
  press(JUMP);
  options_frame();
  EXPECT_EQ(menu_selection, 1);
  EXPECT_EQ(music_on, 0);
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(stage, 2);

  // Down from music onto Return leaves and writes
  release(DOWN);
  release(JUMP);
  options_frame();
  press(DOWN);
  press(JUMP);
  options_frame();
  EXPECT_EQ(menu_selection, 2);
  EXPECT_EQ(stage, 0);
  EXPECT_EQ(music_on, 0);
  EXPECT_EQ(read_file(settings_file), "1 0 0");
}

TEST_F(MenuTest, SpaceOrRHeldWhenAMenuBeginsActsOnlyOnItsSeventhFrame) {
  begin_title();
  press(JUMP);
  for (int frame = 0; frame < 6; frame++) {
    title_frame();
    EXPECT_EQ(stage, 0) << "loop_num was " << frame;
  }
  title_frame();
  EXPECT_EQ(stage, 1);  // "Start game"
  EXPECT_EQ(loop_num, 7);

  // Options: move onto the music line on the first frame, space already down
  begin_options();
  press(DOWN);
  options_frame();
  release(DOWN);
  EXPECT_EQ(menu_selection, 1);
  for (int frame = 1; frame < 6; frame++) {
    options_frame();
    EXPECT_EQ(music_on, 1) << "loop_num was " << frame;
  }
  options_frame();
  EXPECT_EQ(music_on, 0);
  EXPECT_EQ(stage, 2);

  // R watches the best run likewise, and does nothing while there is none
  release(JUMP);
  for (bool kept : {false, true}) {
    if (kept) fclose(fopen(best_run_file, "w"));
    begin_title();
    press(REPLAY);
    for (int frame = 0; frame < 6; frame++) title_frame();
    EXPECT_EQ(stage, 0);
    title_frame();
    EXPECT_EQ(stage, kept ? 1 : 0) << (kept ? "a best run" : "none");
    EXPECT_EQ(replay_chosen, kept);
  }
}

TEST_F(MenuTest, TitleFramePicture) {
  for (int sel = 1; sel <= 3; sel++) {
    SCOPED_TRACE(testing::Message() << "selection " << sel);
    begin_title();
    menu_selection = sel;
    loop_num = 3;
    title_frame();
    // A second, still frame: whole again, even over a scribble in between
    if (sel == 2) rectfill(buffer, 100, 100, 400, 300, WHITE);
    title_frame();
    EXPECT_EQ(loop_num, 5);
    EXPECT_EQ(stage, 0);

    // Cursor: puffs from x 275 to 363, centre line 224 + 20 x selection
    expect_cursor(224 + 20 * sel, {244, 264, 284}, 266, 372);

    // The entries in black, the chosen one lying on the cloud
    expect_line("Start game", 240);
    expect_line("Options", 260);
    expect_line("Quit", 280);
    int entry_top = 220 + 20 * sel;
    int entry_w = text_length(font, sel == 1 ? "Start game" : sel == 2 ? "Options" : "Quit");
    EXPECT_EQ(count_ink(buffer, 320 - entry_w / 2, entry_top, entry_w, 8, SKY), 0);

    // Title words in white, credit line one line that fits
    int h = text_height(title);
    EXPECT_GT(count_ink(buffer, 190, 120, 130, h, WHITE), 0);
    EXPECT_GT(count_ink(buffer, 320, 120, 130, h, WHITE), 0);
    EXPECT_LE(text_length(font, title_credit), 640);
    expect_line(title_credit, 470);

    // Sky everywhere else: the whole frame is what those calls paint, and it was presented
    clear_ref();
    draw_cloud(ref, 320, 224 + 20 * sel, 45);
    textout_ex(ref, title, "Plu", 190, 120, makecol(255, 255, 255), -1);
    textout_ex(ref, title, "Vesk", 320, 120, makecol(255, 255, 255), -1);
    textout_centre_ex(ref, font, "Start game", 320, 240, makecol(0, 0, 0), -1);
    textout_centre_ex(ref, font, "Options", 320, 260, makecol(0, 0, 0), -1);
    textout_centre_ex(ref, font, "Quit", 320, 280, makecol(0, 0, 0), -1);
    textout_centre_ex(ref, font, title_credit, 320, 470, makecol(0, 0, 0), -1);
    EXPECT_EQ(differing_pixels(buffer, ref), 0);
    EXPECT_EQ(differing_pixels(buffer2, buffer), 0);
    EXPECT_EQ(differing_pixels(screen, buffer), 0);
  }
}

TEST_F(MenuTest, MusicSwitchFlipsOnEveryFrameWhileSpaceIsHeld) {
  begin_options();
  menu_selection = 1;
  press(JUMP);
  for (int frame = 0; frame < 6; frame++) options_frame();
  EXPECT_EQ(music_on, 1);
  int want[] = {0, 1, 0, 1};
  for (int w : want) {
    options_frame();
    EXPECT_EQ(music_on, w) << "loop_num was " << loop_num - 1;
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(stage, 2);
    EXPECT_EQ(menu_selection, 1);
  }
  EXPECT_FALSE(file_exists(settings_file));  // switching writes nothing
}

TEST_F(MenuTest, ReturnGoesToTheTitleAndWritesAllThreeValues) {
  mode = 0;
  music_on = 0;
  high_score = 1234;
  begin_options();
  menu_selection = 2;
  loop_num = 6;
  press(JUMP);
  options_frame();
  EXPECT_EQ(stage, 0);
  EXPECT_EQ(read_file(settings_file), "0 0 1234");
  EXPECT_EQ(loop_num, 7);
  // The last frame is still drawn, cursor on "Return"
  EXPECT_TRUE(is_cloud(rgb_at(buffer2, 263, 284)));
}

TEST_F(MenuTest, EscLeavesTheOptionsWithoutWriting) {
  begin_options();
  menu_selection = 1;
  loop_num = 6;
  // The stage loop's view: frames run while stage is 2; the hot key sets 0
  int frames = 0;
  press(JUMP);
  while (stage == 2) {
    options_frame();
    release(JUMP);
    if (++frames == 3) stage = 0;
  }
  EXPECT_EQ(frames, 3);
  EXPECT_EQ(music_on, 0);  // the change stays in force
  EXPECT_FALSE(file_exists(settings_file));
}

TEST_F(MenuTest, OptionsFramePicture) {
  struct {
    int mode, music_on, high_score, sel;
    const char *screen_line, *music_line, *score_line;
  } cases[] = {
      {1, 1, 0, 0, "Fullscreen: +", "Music: +", "High Score: 0"},
      {0, 1, 1234, 1, "Fullscreen: -", "Music: +", "High Score: 1234"},
      {1, 0, -7, 2, "Fullscreen: +", "Music: -", "High Score: -7"},
      {0, 0, 2147483647, 0, "Fullscreen: -", "Music: -", "High Score: 2147483647"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.screen_line << ", " << c.music_line << ", " << c.score_line);
    mode = c.mode;
    music_on = c.music_on;
    high_score = c.high_score;
    begin_options();
    menu_selection = c.sel;
    options_frame();
    EXPECT_EQ(loop_num, 1);

    // Cursor: puffs from x 270 to 369, centre line 244 + 20 x selection
    expect_cursor(244 + 20 * c.sel, {244, 264, 284}, 261, 378);

    expect_line(c.screen_line, 240);
    expect_line(c.music_line, 260);
    expect_line("Return", 280);
    expect_line(c.score_line, 200);
    EXPECT_LE(text_length(font, options_credit), 640);
    expect_line(options_credit, 460);

    EXPECT_GT(count_ink(buffer, 200, 120, 200, text_height(title), WHITE), 0);

    // Nothing else: the whole frame is those calls, and it was presented
    clear_ref();
    draw_cloud(ref, 325, 244 + 20 * c.sel, 55);
    textout_ex(ref, title, "Options", 200, 120, makecol(255, 255, 255), -1);
    textout_centre_ex(ref, font, c.screen_line, 320, 240, makecol(0, 0, 0), -1);
    textout_centre_ex(ref, font, c.music_line, 320, 260, makecol(0, 0, 0), -1);
    textout_centre_ex(ref, font, c.score_line, 320, 200, makecol(0, 0, 0), -1);
    textout_centre_ex(ref, font, options_credit, 320, 460, makecol(0, 0, 0), -1);
    textout_centre_ex(ref, font, "Return", 320, 280, makecol(0, 0, 0), -1);
    EXPECT_EQ(differing_pixels(buffer, ref), 0);
    EXPECT_EQ(differing_pixels(buffer2, buffer), 0);
    EXPECT_EQ(differing_pixels(screen, buffer), 0);
  }
  EXPECT_FALSE(file_exists(settings_file));
}
