#include "support/headless.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "draw/frame.h"
#include "draw/title_font.h"
#include "play/pools.h"
#include "play/screen.h"
#include "play/update.h"
#include "core/controls.h"
#include "core/globals.h"
#include "core/hotkeys.h"
#include "core/screenshot.h"
#include "core/settings.h"

std::atomic<bool> fail_thread_starts{false};

// The test program's own wins for calls from its libraries, std::thread's too.
extern "C" int pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*body)(void*), void* arg) noexcept {
  static auto real = (decltype(&pthread_create))dlsym(RTLD_NEXT, "pthread_create");
  return fail_thread_starts ? EAGAIN : real(t, a, body, arg);
}

// The headless system has no mutexes, which installing a timer asks for.
static void give_mutexes(SYSTEM_DRIVER* d) {
  if (d->create_mutex) return;
  d->create_mutex = [] { return (void*)new std::mutex; };
  d->destroy_mutex = [](void* m) { delete (std::mutex*)m; };
  d->lock_mutex = [](void* m) { ((std::mutex*)m)->lock(); };
  d->unlock_mutex = [](void* m) { ((std::mutex*)m)->unlock(); };
}

void headless_start() {
  static bool started = false;
  if (started) return;
  started = true;
  if (install_allegro(SYSTEM_NONE, &allegro_errnum, atexit) != 0) {
    fprintf(stderr, "cannot start Allegro headless\n");
    abort();
  }
  give_mutexes(system_driver);
  set_color_depth(32);
  buffer = create_bitmap(640, 480);
  buffer2 = create_bitmap(640, 480);
  screen = create_bitmap(640, 480);  // presentation lands in memory
  if (!start_screenshots()) abort();
  atexit(stop_screenshots);  // before the process ends with its thread running
  title = load_title_font(PV_ASSET_DIR "/bubble.pcx");
  if (!title) {
    fprintf(stderr, "cannot load %s\n", PV_ASSET_DIR "/bubble.pcx");
    abort();
  }
  text = font;
  on_off[0] = "-";
  on_off[1] = "+";
  screen_mode[0] = GFX_AUTODETECT_WINDOWED;
  screen_mode[1] = GFX_AUTODETECT_FULLSCREEN;
}

void reset_game_state() {
  release_all();
  stage = 0;
  loop_num = 0;
  menu_selection = 0;
  step_latch = false;
  mode = 1;
  music_on = 1;
  high_score = 0;
  kept_mode = -1;
  told_foreign_link = false;
  for (platform& p : land) p = platform{};
  for (bonus& s : star) s = bonus{};
  for (caption& c : got_points) c = caption{};
  x = y = 0;
  p_spd = p_acc = p_dec = 0;
  jump = false;
  jumpforce = hit = on_land = 0;
  alive = false;
  speed_up = speed = score = distance = 0;
  add_delay = star_delay = bob = float_h = delay_start = 0;
  got_score = false;
  start_time = 0;
  sky_col = 0;
  total_score = 0;
  clear_to_color(buffer, 0);
  clear_to_color(buffer2, 0);
  clear_to_color(screen, 0);
}

void press(int control) { key[b[control]] = 1; }
void release(int control) { key[b[control]] = 0; }
void release_all() {
  for (int i = 0; i < KEY_MAX; i++) key[i] = 0;
  for (bool& h : pad_held) h = false;
  pad_pause = false;
  pad_escape = false;
}

int rgb_at(BITMAP* bmp, int px, int py) {
  int c = getpixel(bmp, px, py);
  return rgb(getr32(c), getg32(c), getb32(c));
}

std::string read_file(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "<missing>";
  std::string bytes;
  for (int c; (c = getc(f)) != EOF;) bytes += (char)c;
  fclose(f);
  return bytes;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

int differing_pixels(BITMAP* a, BITMAP* c, int x0, int y0, int w, int h) {
  int n = 0;
  for (int py = y0; py < y0 + h; py++)
    for (int px = x0; px < x0 + w; px++) n += getpixel(a, px, py) != getpixel(c, px, py);
  return n;
}

int count_ink(BITMAP* bmp, int x0, int y0, int w, int h, int ink) {
  int n = 0;
  for (int py = y0; py < y0 + h; py++)
    for (int px = x0; px < x0 + w; px++) n += rgb_at(bmp, px, py) == ink;
  return n;
}

int ink_mismatches(BITMAP* got, BITMAP* want, int y0, int h, int ink) {
  int n = 0;
  for (int py = y0; py < y0 + h; py++)
    for (int px = 0; px < 640; px++) n += (rgb_at(got, px, py) == ink) != (rgb_at(want, px, py) == ink);
  return n;
}

std::string make_temp_dir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/pv-test-XXXXXX";
  char* made = mkdtemp(&templ[0]);
  if (!made) abort();
  return made;
}

void HeadlessTest::SetUp() {
  headless_start();
  reset_game_state();
  char cwd[PATH_MAX];
  old_cwd = getcwd(cwd, sizeof cwd) ? cwd : "/";
  dir = make_temp_dir();
  ASSERT_EQ(chdir(dir.c_str()), 0);
  umask(022);  // new files' modes as the tests expect them
}

void HeadlessTest::TearDown() {
  release_all();
  if (chdir(old_cwd.c_str()) != 0) return;
  std::string cmd = "chmod -R u+w '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
}
