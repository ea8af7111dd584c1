#include "png.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

uint32_t crc32(const uint8_t* p, size_t n) {
  static uint32_t table[256];
  if (!table[1]) {
    for (uint32_t k = 0; k < 256; k++) {
      uint32_t c = k;
      for (int i = 0; i < 8; i++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[k] = c;
    }
  }
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) c = table[(c ^ p[i]) & 255] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

uint32_t adler32(const std::vector<uint8_t>& data) {
  uint32_t a = 1, b = 0;
  for (uint8_t c : data) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

void put32be(std::vector<uint8_t>& v, uint32_t n) {
  for (int s = 24; s >= 0; s -= 8) v.push_back((n >> s) & 255);
}

void chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
  put32be(out, data.size());
  size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  put32be(out, crc32(&out[start], out.size() - start));
}

// ---------------------------------------------------------------------------
// zlib streams.

void stored_blocks(std::vector<uint8_t>& z, const std::vector<uint8_t>& raw) {
  for (size_t pos = 0, n; pos < raw.size(); pos += n) {
    n = std::min<size_t>(65535, raw.size() - pos);
    z.push_back(pos + n == raw.size() ? 1 : 0);  // last block
    z.push_back(n & 255);
    z.push_back(n >> 8);
    z.push_back(~n & 255);
    z.push_back((~n >> 8) & 255);
    z.insert(z.end(), raw.begin() + pos, raw.begin() + pos + n);
  }
}

struct bit_sink {
  std::vector<uint8_t>* out;
  uint32_t acc;  // bits not yet whole bytes, the first in bit 0
  int count;     // how many
};

void put_bits(bit_sink& s, uint32_t value, int n) {
  s.acc |= value << s.count;
  s.count += n;
  while (s.count >= 8) {
    s.out->push_back(s.acc & 255);
    s.acc >>= 8;
    s.count -= 8;
  }
}

// Huffman codes go most significant bit first, unlike every other field.
void put_code(bit_sink& s, uint32_t code, int n) {
  uint32_t r = 0;
  for (int i = 0; i < n; i++) r |= ((code >> i) & 1) << (n - 1 - i);
  put_bits(s, r, n);
}

// Deflate's fixed literal/length code.
void put_symbol(bit_sink& s, int sym) {
  if (sym < 144) put_code(s, 0x30 + sym, 8);
  else if (sym < 256) put_code(s, 0x190 + sym - 144, 9);
  else if (sym < 280) put_code(s, sym - 256, 7);
  else put_code(s, 0xC0 + sym - 280, 8);
}

const int length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int distance_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                               193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

void put_match(bit_sink& s, int length, int distance) {
  int i = 28;
  while (length_base[i] > length) i--;
  put_symbol(s, 257 + i);
  put_bits(s, length - length_base[i], length_extra[i]);
  int j = 29;
  while (distance_base[j] > distance) j--;
  put_code(s, j, 5);
  put_bits(s, distance - distance_base[j], distance_extra[j]);
}

// One fixed-code block; greedy matches found through hash chains. Images of
// flat colours and long runs shrink to a few per cent of their size.
void deflated_block(std::vector<uint8_t>& z, const std::vector<uint8_t>& raw) {
  const int window = 32768, max_chain = 64, max_length = 258;
  const int hash_size = 1 << 15;
  std::vector<int> head(hash_size, -1), prev(window, -1);
  const int n = (int)raw.size();
  auto hash = [&](int p) { return ((raw[p] << 10) ^ (raw[p + 1] << 5) ^ raw[p + 2]) & (hash_size - 1); };
  auto insert = [&](int p) {
    if (p + 3 > n) return;
    int h = hash(p);
    prev[p & (window - 1)] = head[h];
    head[h] = p;
  };

  bit_sink s = {&z, 0, 0};
  put_bits(s, 1, 1);  // last block
  put_bits(s, 1, 2);  // fixed codes
  for (int i = 0; i < n;) {
    int best = 0, best_distance = 0;
    if (i + 3 <= n) {
      int limit = std::min(max_length, n - i);
      int chain = max_chain;
      // A candidate less than a window back still has its own link in prev.
      for (int c = head[hash(i)]; c >= 0 && i - c < window && chain-- > 0; c = prev[c & (window - 1)]) {
        int len = 0;
        while (len < limit && raw[c + len] == raw[i + len]) len++;
        if (len > best) {
          best = len;
          best_distance = i - c;
          if (len == limit) break;
        }
      }
    }
    if (best >= 3) {
      put_match(s, best, best_distance);
      for (int k = 0; k < best; k++) insert(i + k);
      i += best;
    } else {
      put_symbol(s, raw[i]);
      insert(i);
      i++;
    }
  }
  put_symbol(s, 256);  // end of block
  if (s.count > 0) put_bits(s, 0, 8 - s.count);
}

std::vector<uint8_t> zlib_stream(const std::vector<uint8_t>& raw, png_packing packing) {
  std::vector<uint8_t> z = {0x78, (uint8_t)(packing == PNG_STORED ? 0x01 : 0x9C)};
  if (packing == PNG_STORED) stored_blocks(z, raw);
  else deflated_block(z, raw);
  put32be(z, adler32(raw));
  return z;
}

std::vector<uint8_t> png_file(int w, int h, int depth, int colour_type, const std::vector<uint8_t>& plte,
                              const std::vector<uint8_t>& z) {
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> ihdr;
  put32be(ihdr, w);
  put32be(ihdr, h);
  ihdr.push_back(depth);
  ihdr.push_back(colour_type);
  ihdr.push_back(0);
  ihdr.push_back(0);
  ihdr.push_back(0);
  chunk(out, "IHDR", ihdr);
  if (!plte.empty()) chunk(out, "PLTE", plte);
  chunk(out, "IDAT", z);
  chunk(out, "IEND", {});
  return out;
}

int paeth(int a, int b, int c) {
  int p = a + b - c, pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

}  // namespace

std::vector<uint8_t> png_indexed(int w, int h, const std::vector<uint32_t>& rgb, png_packing packing) {
  std::vector<uint32_t> pal;
  std::vector<uint8_t> idx(rgb.size());
  for (size_t i = 0; i < rgb.size(); i++) {
    size_t k = std::find(pal.begin(), pal.end(), rgb[i]) - pal.begin();
    if (k == pal.size()) pal.push_back(rgb[i]);
    if (k > 255) {
      fprintf(stderr, "png_indexed: more than 256 colours\n");
      exit(1);
    }
    idx[i] = (uint8_t)k;
  }
  int depth = pal.size() <= 2 ? 1 : pal.size() <= 4 ? 2 : pal.size() <= 16 ? 4 : 8;
  int row_bytes = (w * depth + 7) / 8;
  std::vector<uint8_t> raw;
  for (int y = 0; y < h; y++) {
    raw.push_back(0);  // no filter
    std::vector<uint8_t> row(row_bytes, 0);
    for (int x = 0; x < w; x++) {
      int bit = x * depth;
      row[bit / 8] |= idx[y * w + x] << (8 - depth - bit % 8);
    }
    raw.insert(raw.end(), row.begin(), row.end());
  }
  std::vector<uint8_t> plte;
  for (uint32_t c : pal) {
    plte.push_back(c >> 16);
    plte.push_back((c >> 8) & 255);
    plte.push_back(c & 255);
  }
  return png_file(w, h, depth, 3, plte, zlib_stream(raw, packing));
}

std::vector<uint8_t> png_truecolour(int w, int h, const std::vector<uint32_t>& argb, bool alpha) {
  const int bpp = alpha ? 4 : 3;
  const int row_bytes = w * bpp;
  std::vector<uint8_t> above(row_bytes, 0), row(row_bytes), raw;
  std::vector<uint8_t> trial[5];
  for (int y = 0; y < h; y++) {
    for (int x = 0; x < w; x++) {
      uint32_t c = argb[y * w + x];
      uint8_t* p = &row[x * bpp];
      p[0] = (c >> 16) & 255;
      p[1] = (c >> 8) & 255;
      p[2] = c & 255;
      if (alpha) p[3] = c >> 24;
    }
    // Each row takes the filter whose output has the smallest magnitudes,
    // the usual guess at what will pack best.
    int best = 0;
    long best_sum = -1;
    for (int f = 0; f < 5; f++) {
      trial[f].assign(row_bytes, 0);
      long sum = 0;
      for (int i = 0; i < row_bytes; i++) {
        int a = i >= bpp ? row[i - bpp] : 0, b = above[i], c = i >= bpp ? above[i - bpp] : 0;
        int pred = f == 0 ? 0 : f == 1 ? a : f == 2 ? b : f == 3 ? (a + b) / 2 : paeth(a, b, c);
        uint8_t v = (uint8_t)(row[i] - pred);
        trial[f][i] = v;
        sum += v < 128 ? v : 256 - v;
      }
      if (best_sum < 0 || sum < best_sum) {
        best = f;
        best_sum = sum;
      }
    }
    raw.push_back(best);
    raw.insert(raw.end(), trial[best].begin(), trial[best].end());
    above = row;
  }
  return png_file(w, h, 8, alpha ? 6 : 2, {}, zlib_stream(raw, PNG_DEFLATED));
}

bool write_file(const char* path, const std::vector<uint8_t>& data) {
  FILE* f = fopen(path, "wb");
  if (!f) return false;
  bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && ok;
}
