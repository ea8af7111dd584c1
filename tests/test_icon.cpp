// The icon and the PNG writer behind it: what the writer packs, zlib unpacks
// to the same pixels; the generator still makes exactly the committed icons;
// and each icon is a square of its size showing the blue ball over a white
// cloud, filling the square, on a transparent ground with soft edges.
#include "support/headless.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "png.h"

namespace {

const int icon_sizes[] = {16, 32, 48, 64, 128, 256};
const char* const committed_dir = PV_ASSET_DIR "/icons";

std::string icon_path(const std::string& dir, int n) { return dir + "/plu-vesk-" + std::to_string(n) + ".png"; }

std::vector<uint8_t> read_bytes(const std::string& path) {
  std::vector<uint8_t> data;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return data;
  int c;
  while ((c = fgetc(f)) != EOF) data.push_back((uint8_t)c);
  fclose(f);
  return data;
}

uint32_t be32(const uint8_t* p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// A decoded picture: pixels 0xAARRGGBB, opaque where the file has no alpha.
struct picture {
  int w = 0, h = 0, colour_type = -1;
  std::vector<uint32_t> argb;
};

int paeth(int a, int b, int c) {
  int p = a + b - c, pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// Reads the kinds of PNG the writer makes: 8-bit RGB or RGBA, or indexed.
::testing::AssertionResult decode(const std::vector<uint8_t>& f, picture& out) {
  static const uint8_t magic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (f.size() < 8 || !std::equal(magic, magic + 8, f.begin())) return ::testing::AssertionFailure() << "no PNG signature";
  int depth = 0;
  std::vector<uint8_t> idat, plte;
  bool ended = false;
  for (size_t at = 8; at < f.size() && !ended;) {
    if (at + 12 > f.size()) return ::testing::AssertionFailure() << "chunk cut short at " << at;
    uint32_t len = be32(&f[at]);
    if (at + 12 + len > f.size()) return ::testing::AssertionFailure() << "chunk longer than the file at " << at;
    std::string type(f.begin() + at + 4, f.begin() + at + 8);
    const uint8_t* data = &f[at + 8];
    if (crc32(0, &f[at + 4], len + 4) != be32(data + len))
      return ::testing::AssertionFailure() << "bad CRC on " << type;
    if (type == "IHDR") {
      out.w = be32(data);
      out.h = be32(data + 4);
      depth = data[8];
      out.colour_type = data[9];
      if (data[10] || data[11] || data[12]) return ::testing::AssertionFailure() << "unexpected IHDR methods";
    } else if (type == "PLTE") {
      plte.assign(data, data + len);
    } else if (type == "IDAT") {
      idat.insert(idat.end(), data, data + len);
    } else if (type == "IEND") {
      ended = true;
    }
    at += 12 + len;
  }
  if (!ended) return ::testing::AssertionFailure() << "no IEND";
  int channels = out.colour_type == 6 ? 4 : out.colour_type == 2 ? 3 : out.colour_type == 3 ? 1 : 0;
  if (!channels || (out.colour_type != 3 && depth != 8))
    return ::testing::AssertionFailure() << "colour type " << out.colour_type << ", depth " << depth;
  int bits = channels * depth, bpp = (bits + 7) / 8;
  size_t row_bytes = ((size_t)out.w * bits + 7) / 8;
  std::vector<uint8_t> raw((row_bytes + 1) * out.h);
  uLongf raw_len = raw.size();
  if (uncompress(raw.data(), &raw_len, idat.data(), idat.size()) != Z_OK || raw_len != raw.size())
    return ::testing::AssertionFailure() << "zlib cannot unpack the data to " << raw.size() << " bytes";

  std::vector<uint8_t> above(row_bytes, 0), row(row_bytes);
  out.argb.assign((size_t)out.w * out.h, 0);
  for (int y = 0; y < out.h; y++) {
    const uint8_t* src = &raw[y * (row_bytes + 1)];
    int filter = src[0];
    if (filter > 4) return ::testing::AssertionFailure() << "filter " << filter << " on row " << y;
    for (size_t i = 0; i < row_bytes; i++) {
      int a = i >= (size_t)bpp ? row[i - bpp] : 0, b = above[i], c = i >= (size_t)bpp ? above[i - bpp] : 0;
      int pred = filter == 0 ? 0 : filter == 1 ? a : filter == 2 ? b : filter == 3 ? (a + b) / 2 : paeth(a, b, c);
      row[i] = (uint8_t)(src[1 + i] + pred);
    }
    for (int x = 0; x < out.w; x++) {
      uint32_t& p = out.argb[y * out.w + x];
      if (out.colour_type == 3) {
        int k = (row[x * depth / 8] >> (8 - depth - x * depth % 8)) & ((1 << depth) - 1);
        if ((size_t)k * 3 + 2 >= plte.size()) return ::testing::AssertionFailure() << "index past the palette";
        p = 0xFF000000u | plte[k * 3] << 16 | plte[k * 3 + 1] << 8 | plte[k * 3 + 2];
      } else {
        const uint8_t* q = &row[x * channels];
        p = (channels == 4 ? (uint32_t)q[3] << 24 : 0xFF000000u) | q[0] << 16 | q[1] << 8 | q[2];
      }
    }
    above = row;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(PngWriter, WhatItPacksUnpacksToTheSamePixels) {
  // Noise (no matches), a flat ground with long runs, and rows repeating far
  // apart, near and past the 32 KB reach of a match.
  const int w = 300, h = 160;
  std::vector<uint32_t> noise(w * h), flat(w * h, 0x00000000u), far(w * h), few(w * h);
  srand(7);
  for (uint32_t& p : noise) p = (uint32_t)rand() << 16 ^ (uint32_t)rand();
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      far[y * w + x] = 0xFF000000u | (uint32_t)((x * 7 + (y % 27) * 13) & 255) << 8 | (uint32_t)((x ^ (y % 27)) & 255);
      few[y * w + x] = (uint32_t)(((x / 5 + y / 3) % 37) * 0x050301);
    }
  for (int i = 40; i < 70; i++) flat[i * w + i] = 0x80FF0000u;

  for (const std::vector<uint32_t>* img : {&noise, &flat, &far}) {
    for (bool alpha : {true, false}) {
      picture p;
      ASSERT_TRUE(decode(png_truecolour(w, h, *img, alpha), p));
      EXPECT_EQ(p.colour_type, alpha ? 6 : 2);
      ASSERT_EQ(p.w, w);
      ASSERT_EQ(p.h, h);
      int wrong = 0;
      for (int i = 0; i < w * h; i++) wrong += p.argb[i] != (alpha ? (*img)[i] : (*img)[i] | 0xFF000000u);
      EXPECT_EQ(wrong, 0) << "alpha " << alpha;
    }
  }
  for (png_packing packing : {PNG_STORED, PNG_DEFLATED}) {
    picture p;
    ASSERT_TRUE(decode(png_indexed(w, h, few, packing), p));
    EXPECT_EQ(p.colour_type, 3);
    int wrong = 0;
    for (int i = 0; i < w * h; i++) wrong += p.argb[i] != (few[i] | 0xFF000000u);
    EXPECT_EQ(wrong, 0) << "packing " << packing;
  }
  // Packing earns its keep on flat pictures.
  EXPECT_LT(png_indexed(w, h, few, PNG_DEFLATED).size() * 5, png_indexed(w, h, few, PNG_STORED).size());
}

TEST_F(HeadlessTest, IconGeneratorRemakesTheCommittedIcons) {
  std::string cmd = std::string("'") + PV_TOOLS_DIR + "/make_icon' '" + dir + "' >/dev/null";
  ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
  for (int n : icon_sizes) {
    std::vector<uint8_t> made = read_bytes(icon_path(dir, n)), committed = read_bytes(icon_path(committed_dir, n));
    ASSERT_FALSE(committed.empty()) << icon_path(committed_dir, n);
    EXPECT_TRUE(made == committed) << icon_path(committed_dir, n) << " is stale: rerun make_icon";
  }
  // The window's icon, compiled into the game.
  std::string xpm = std::string(committed_dir) + "/plu-vesk.xpm";
  ASSERT_FALSE(read_bytes(xpm).empty()) << xpm;
  EXPECT_TRUE(read_bytes(dir + "/plu-vesk.xpm") == read_bytes(xpm)) << xpm << " is stale: rerun make_icon";
}

TEST(Icon, EverySizeShowsTheBallOverACloudOnATransparentGround) {
  for (int n : icon_sizes) {
    SCOPED_TRACE("size " + std::to_string(n));
    picture p;
    ASSERT_TRUE(decode(read_bytes(icon_path(committed_dir, n)), p));
    ASSERT_EQ(p.w, n);
    ASSERT_EQ(p.h, n);
    EXPECT_EQ(p.colour_type, 6);

    int left = n, right = -1, top = n, bottom = -1, soft = 0;
    long blue_y = 0, blues = 0, white_y = 0, whites = 0;
    for (int y = 0; y < n; y++)
      for (int x = 0; x < n; x++) {
        uint32_t c = p.argb[y * n + x], a = c >> 24, rgb = c & 0xFFFFFF;
        if (a == 0) continue;
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
        if (a < 255) soft++;
        if (a < 255) continue;
        // The ball's two blues, and the cloud's white puffs.
        if (rgb == 0x30A0FF || rgb == 0x0080FF) {
          blues++;
          blue_y += y;
        }
        if (rgb == 0xFFFFFF) {
          whites++;
          white_y += y;
        }
      }
    for (int corner : {0, n - 1, n * (n - 1), n * n - 1}) EXPECT_EQ(p.argb[corner] >> 24, 0u);
    EXPECT_GT(soft, n / 2) << "hard edges";
    // Most of the square, with a thin clear margin.
    EXPECT_GE(right - left + 1, n * 8 / 10);
    EXPECT_GE(bottom - top + 1, n * 8 / 10);
    EXPECT_GE(left, n / 64);
    EXPECT_LE(right, n - 1 - n / 64);
    ASSERT_GT(blues, 0);
    ASSERT_GT(whites, 0);
    EXPECT_LT(blue_y / blues, white_y / whites) << "the ball is not above the cloud";
    EXPECT_LT(blue_y / blues, n / 2);
    EXPECT_GT(white_y / whites, n / 2);
  }
}
