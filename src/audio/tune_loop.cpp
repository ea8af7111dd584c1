#include "audio/tune_loop.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

tune_loop music_loop;
int64_t loop_position;
std::atomic<bool> loop_held{false};

// A residual of 16-bit samples needs 18 bits zigzagged; the parameter chosen
// costs under 20 bits a sample, and a block ends on a word boundary.
static const int block_words = (2 * loop_block * 20 + 63) / 64 + 1;

static uint64_t written;  // bits of codes the render thread has written
static int decoded = -1;  // the block in `frames`, -1 for none
static short frames_of[2 * loop_block];  // that block, decoded

static int64_t block_count(int64_t frames) { return (frames + loop_block - 1) / loop_block; }

bool make_loop(int64_t frames) {
  free_loop();
  // Zeroed, and made resident only as the codes are written.
  music_loop.codes = static_cast<uint64_t*>(calloc(size_t(block_count(frames) * block_words + 1), 8));
  music_loop.blocks = static_cast<loop_block_start*>(calloc(size_t(block_count(frames)), sizeof(loop_block_start)));
  music_loop.tail = static_cast<short*>(malloc(size_t(loop_tail_limit) * 4));
  if (!music_loop.codes || !music_loop.blocks || !music_loop.tail) {
    free_loop();
    return false;
  }
  music_loop.frames = frames;
  return true;
}

void free_loop() {
  free(music_loop.codes);
  free(music_loop.blocks);
  free(music_loop.tail);
  music_loop.codes = nullptr;
  music_loop.blocks = nullptr;
  music_loop.tail = nullptr;
  music_loop.frames = 0;
  music_loop.tail_frames = 0;
  music_loop.rendered = 0;
  music_loop.complete = false;
  written = 0;
  decoded = -1;
}

// Up to 32 bits, most significant first, into zeroed words.
static void put(uint64_t value, int n) {
  if (n == 0) return;
  uint64_t* w = music_loop.codes + (written >> 6);
  int room = 64 - int(written & 63);
  if (n <= room) {
    w[0] |= value << (room - n);
  } else {
    w[0] |= value >> (n - room);
    w[1] |= value << (64 - (n - room));
  }
  written += n;
}

static uint64_t get(uint64_t& at, int n) {
  if (n == 0) return 0;
  const uint64_t* w = music_loop.codes + (at >> 6);
  int skip = int(at & 63);
  uint64_t v = w[0] << skip;
  if (skip + n > 64) v |= w[1] >> (64 - skip);
  at += n;
  return v >> (64 - n);
}

// u >> k in ones and a zero, then the low k bits.
static void put_rice(uint32_t u, int k) {
  uint32_t q = u >> k;
  for (; q >= 31; q -= 31) put(0x7FFFFFFF, 31);
  put(((uint64_t(1) << q) - 1) << 1, int(q) + 1);
  put(u & ((uint32_t(1) << k) - 1), k);
}

static uint32_t get_rice(uint64_t& at, int k) {
  uint32_t q = 0;
  for (;;) {
    int skip = int(at & 63), left = 64 - skip;
    uint64_t zeros = ~(music_loop.codes[at >> 6] << skip);
    int ones = zeros ? __builtin_clzll(zeros) : 64;
    if (ones < left) {
      q += ones;
      at += ones + 1;
      break;
    }
    q += left;
    at += left;
  }
  return (q << k) | uint32_t(get(at, k));
}

static uint32_t zigzag(int e) { return e >= 0 ? uint32_t(e) << 1 : (uint32_t(-e) << 1) - 1; }
static int unzigzag(uint32_t u) { return int(u >> 1) ^ -int(u & 1); }

void add_to_loop(const short* frames, int count) {
  tune_loop& l = music_loop;
  loop_block_start& start = l.blocks[l.rendered / loop_block];
  start.bit = written;
  static uint32_t residuals[loop_block];
  for (int c = 0; c < 2; c++) {
    auto x = [&](int i) { return int(frames[2 * i + c]); };
    start.first[c][0] = short(x(0));
    start.first[c][1] = short(count > 1 ? x(1) : 0);
    uint64_t sum = 0;
    for (int i = 2; i < count; i++) sum += residuals[i] = zigzag(x(i) - 2 * x(i - 1) + x(i - 2));
    // The parameter near log2 of the mean that codes the block shortest.
    uint64_t mean = count > 2 ? sum / (count - 2) : 0;
    int guess = mean ? 63 - __builtin_clzll(mean) : 0, best = 0;
    uint64_t shortest = UINT64_MAX;
    for (int k = std::max(0, guess - 1); k <= std::min(guess + 1, 18); k++) {
      uint64_t bits = uint64_t(count) * (k + 1);
      for (int i = 2; i < count; i++) bits += residuals[i] >> k;
      if (bits < shortest) shortest = bits, best = k;
    }
    start.rice[c] = (unsigned char)best;
    for (int i = 2; i < count; i++) put_rice(residuals[i], best);
  }
  written = (written + 63) & ~uint64_t(63);
  l.rendered += count;
}

// Decodes block b into frames_of, once.
static void decode(int64_t b) {
  if (decoded == b) return;
  const loop_block_start& start = music_loop.blocks[b];
  int count = int(std::min<int64_t>(loop_block, music_loop.frames - b * loop_block));
  uint64_t at = start.bit;
  for (int c = 0; c < 2; c++) {
    short* x = frames_of + c;
    x[0] = start.first[c][0];
    if (count > 1) x[2] = start.first[c][1];
    for (int i = 2; i < count; i++)
      x[2 * i] = short(unzigzag(get_rice(at, start.rice[c])) + 2 * x[2 * i - 2] - x[2 * i - 4]);
  }
  decoded = int(b);
}

int read_loop(int64_t at, short* out, int count) {
  const tune_loop& l = music_loop;
  int done = 0;
  while (done < count && l.codes) {
    int64_t pass = at / l.frames, frame = at % l.frames;
    // Past the first pass the tail is laid over the start: only once it is whole.
    int64_t ready = pass == 0 ? std::min(l.rendered.load(), l.frames) : l.complete ? l.frames : 0;
    int64_t block = frame / loop_block, block_end = std::min((block + 1) * loop_block, ready);
    int n = int(std::min<int64_t>(count - done, block_end - frame));
    if (n <= 0) break;
    decode(block);
    short* to = out + 2 * done;
    memcpy(to, frames_of + 2 * (frame - block * loop_block), size_t(n) * 4);
    for (int64_t i = frame; pass > 0 && i < frame + n && i < l.tail_frames; i++)
      for (int c = 0; c < 2; c++)
        to[2 * (i - frame) + c] = short(std::clamp(to[2 * (i - frame) + c] + l.tail[2 * i + c], -32768, 32767));
    done += n;
    at += n;
  }
  return done;
}

int take_from_loop(short* out, int count) {
  if (loop_held) return 0;
  int n = read_loop(loop_position, out, count);
  loop_position += n;
  return n;
}
