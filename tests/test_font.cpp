// The title font: Allegro loads it as a one-colour font with every printable
// character, its letters share one set of heights, its sizes suit the places
// of the big texts on the 640-pixel screen, and the generator still makes
// exactly the committed files. Damaged files are refused before Allegro
// reads them.
#include "support/headless.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/globals.h"
#include "draw/title_font.h"

namespace {

const char* const font_path = PV_ASSET_DIR "/bubble.pcx";
const char* const preview_path = PV_ASSET_DIR "/../docs/title-font.png";

// Where the ink of a text drawn at (0, 0) lies; right and bottom exclusive.
struct ink_box {
  int left = 1 << 20, top = 1 << 20, right = 0, bottom = 0;
  int pixels = 0;
};

ink_box ink_of(FONT* f, const std::string& s) {
  BITMAP* bmp = create_bitmap(text_length(f, s.c_str()) + 1, text_height(f));
  clear_to_color(bmp, 0);
  textout_ex(bmp, f, s.c_str(), 0, 0, makecol(255, 255, 255), -1);
  ink_box k;
  for (int y = 0; y < bmp->h; y++)
    for (int x = 0; x < bmp->w; x++)
      if (getpixel(bmp, x, y) != 0) {
        k.pixels++;
        k.left = std::min(k.left, x);
        k.top = std::min(k.top, y);
        k.right = std::max(k.right, x + 1);
        k.bottom = std::max(k.bottom, y + 1);
      }
  destroy_bitmap(bmp);
  return k;
}

}  // namespace

TEST(TitleFont, LoadsAsOneColourFontWithEveryPrintableCharacter) {
  headless_start();
  FONT* f = load_title_font(font_path);
  ASSERT_NE(f, nullptr) << font_path;
  // A colour font would ignore the white the screens ask for.
  EXPECT_TRUE(is_mono_font(f));
  EXPECT_EQ(get_font_range_begin(f, -1), ' ');
  EXPECT_EQ(get_font_range_end(f, -1), '~');
  for (int c = 33; c <= 126; c++) {
    std::string s(1, (char)c);
    EXPECT_GT(ink_of(f, s).pixels, 20) << "no ink in '" << s << "'";
  }
  EXPECT_EQ(ink_of(f, " ").pixels, 0);
  int space = text_length(f, " ");
  EXPECT_GE(space, text_height(f) / 6);
  EXPECT_LE(space, text_height(f) / 2);

  // On the sky, the letters come out in exactly the colour passed.
  BITMAP* bmp = create_bitmap(200, text_height(f));
  int sky = makecol(0, 96, 192), white = makecol(255, 255, 255);
  clear_to_color(bmp, sky);
  textout_ex(bmp, f, "Plu", 0, 0, white, -1);
  int whites = 0, others = 0;
  for (int y = 0; y < bmp->h; y++)
    for (int x = 0; x < bmp->w; x++) {
      int p = getpixel(bmp, x, y);
      if (p == white) whites++;
      else if (p != sky) others++;
    }
  EXPECT_GT(whites, 500);
  EXPECT_EQ(others, 0);
  destroy_bitmap(bmp);
  destroy_font(f);
}

TEST(TitleFont, LettersShareCapHeightXHeightAndBaseline) {
  headless_start();
  ink_box cap = ink_of(title, "H"), x = ink_of(title, "x");
  int base = cap.bottom;
  // Round letters may overshoot the lines by a pixel.
  for (char c : std::string("ABCDEFGHIJKLMNOPRSTUVWXYZ0123456789")) {
    ink_box k = ink_of(title, std::string(1, c));
    EXPECT_NEAR(k.top, cap.top, 1) << c;
    EXPECT_NEAR(k.bottom, base, 1) << c;
  }
  for (char c : std::string("acemnorsuvwxz")) {
    ink_box k = ink_of(title, std::string(1, c));
    EXPECT_NEAR(k.top, x.top, 1) << c;
    EXPECT_NEAR(k.bottom, base, 1) << c;
  }
  for (char c : std::string("bdfhkl")) {
    ink_box k = ink_of(title, std::string(1, c));
    EXPECT_LE(k.top, cap.top + 1) << c;
    EXPECT_NEAR(k.bottom, base, 1) << c;
  }
  for (char c : std::string("gjpqy")) {
    ink_box k = ink_of(title, std::string(1, c));
    EXPECT_GE(k.bottom, base + 8) << c;
    EXPECT_NEAR(k.top, c == 'j' ? cap.top : x.top, 1) << c;
  }
  // Lower case clearly smaller than capitals, yet not tiny.
  int x_height = base - x.top, cap_height = base - cap.top;
  EXPECT_GT(x_height * 10, cap_height * 6);
  EXPECT_LT(x_height * 10, cap_height * 9);
}

TEST(TitleFont, SizesSuitTheTextPlaces) {
  headless_start();
  // The box holds descenders under 40-odd-pixel capitals, and stays small
  // enough that "Game Over" (top y 150) keeps clear of the score at y 220.
  EXPECT_GE(text_height(title), 44);
  EXPECT_LE(text_height(title), 56);
  ink_box caps = ink_of(title, "HIEFT");
  EXPECT_GE(caps.bottom - caps.top, 36);
  EXPECT_LE(caps.bottom - caps.top, 48);

  // "Plu" at x 190 ends with a word gap before "Vesk" at x 320.
  int plu = text_length(title, "Plu");
  EXPECT_GE(plu, 100);
  EXPECT_LE(plu, 125);

  struct placed {
    const char* text;
    int x;
    bool right_edge;
  };
  const placed texts[] = {{"Plu", 190, false},    {"Vesk", 320, false},  {"Options", 200, false},
                          {"Ready?", 220, false}, {"Start!", 220, false}, {"Game", 310, true},
                          {"Over", 330, false}};
  for (const placed& t : texts) {
    int w = text_length(title, t.text);
    int left = t.right_edge ? t.x - w : t.x;
    EXPECT_GE(left, 0) << t.text;
    EXPECT_LE(left + w, 640) << t.text;
  }
}

TEST_F(HeadlessTest, FontGeneratorRemakesTheCommittedFiles) {
  std::string pcx = dir + "/bubble.pcx", png = dir + "/title-font.png";
  std::string cmd = std::string("'") + PV_TOOLS_DIR + "/make_font' '" + pcx + "' '" + png + "' >/dev/null";
  ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
  std::string made = read_file(pcx), committed = read_file(font_path);
  ASSERT_NE(committed, "<missing>");
  EXPECT_TRUE(made == committed) << "assets/bubble.pcx is stale: rerun make_font";
  std::string made_png = read_file(png), committed_png = read_file(preview_path);
  ASSERT_NE(committed_png, "<missing>");
  EXPECT_TRUE(made_png == committed_png) << "docs/title-font.png is stale: rerun make_font";
}

TEST_F(HeadlessTest, DamagedTitleFontsAreRefused) {
  const std::string good = read_file(font_path);
  const struct {
    long keep;  // bytes kept: all when 0, all but -keep when negative
    int at;     // where a 16-bit value is written, if anywhere
    int value;
    const char* problem;  // null for an image Allegro reads
  } damaged[] = {
      {2000, 0, 0, "its pixels run into the palette or past the end"},  // cut short
      {-769, 0, 0, "its pixels run into the palette or past the end"},  // no palette
      {-100, 0, 0, "its pixels run into the palette or past the end"},  // a palette cut short
      {0, 10, 0xFFFF, "larger than 4096 pixels a side"},
      {0, 10, 400, "its pixels run into the palette or past the end"},  // taller than its pixels
      {0, 4, 700, "its corners are the wrong way round"},
      {0, 66, 600, "its lines hold fewer bytes than its width"},
      {0, 128, 0xC0, "a run of no pixels"},
      {0, 148, 0xFFCB, "a run crosses the end of a line"},
      {0, 65, 3, "not an 8-bit image of one plane"},
      {0, 8, 99, nullptr},  // too narrow to hold a glyph for every character
  };
  for (const auto& d : damaged) {
    std::string bytes = good.substr(0, d.keep > 0 ? d.keep : good.size() + d.keep);
    if (d.at) {
      bytes[d.at] = char(d.value & 255);
      bytes[d.at + 1] = char(d.value >> 8);
    }
    FILE* f = fopen("bubble.pcx", "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    const char* problem = pcx_problem((const unsigned char*)bytes.data(), long(bytes.size()));
    EXPECT_STREQ(problem, d.problem);
    EXPECT_EQ(load_title_font("bubble.pcx"), nullptr) << d.problem;
  }
}
