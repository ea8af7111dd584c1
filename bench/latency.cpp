// From key to screen: how soon the real game's picture answers a key,
// measured from outside it on an X server of its own (latency.sh starts one).
//
// A key goes down through XTest; from that instant the part of the window
// that is to change is read back with XGetImage every 0.2 ms until it shows
// the answer, and the key goes up. Two cases, each a number of presses (150
// by default) spread evenly over the frame's phase by a random pause:
// - P in a run, until "Paused" stands over the picture (every ink pixel of a
//   row through the word white), then P again to go on; a run that ends is
//   followed by the next;
// - Down on the title, until the cursor cloud stands behind the next entry.
//
// The frame times come from the game's main thread itself: /proc/PID/syscall
// names the call it is blocked in, read every 0.1 ms by a thread of the
// bench; a frame begins when the thread leaves the frame's wait (pselect6,
// Allegro's rest() in the menus, or clock_nanosleep in play). Its error is
// the time between two looks, a tenth of a millisecond or two. With them,
// each press has the design's own wait, from the press to the beginning of
// the next frame, which sees the key at the earliest; a press is missed by
// that frame when the answer shows only after a later frame has begun.
//
//   bench_latency [presses per case, default 150] GAME...    (needs DISPLAY)
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <allegro.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

double now_ms() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
void sleep_ms(double ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::microseconds((long long)(ms * 1000)));
}

Display* dpy;

// The root window's pixels in a box, as 0xRRGGBB (the game's window sits at (0, 0)).
std::vector<unsigned> pixels(int x, int y, int w, int h) {
  std::vector<unsigned> out;
  XImage* img = XGetImage(dpy, DefaultRootWindow(dpy), x, y, w, h, AllPlanes, ZPixmap);
  if (!img) return out;
  for (int py = 0; py < h; py++)
    for (int px = 0; px < w; px++) out.push_back(XGetPixel(img, px, py) & 0xffffff);
  XDestroyImage(img);
  return out;
}
unsigned pixel(int x, int y) {
  std::vector<unsigned> p = pixels(x, y, 1, 1);
  return p.empty() ? 0xffffffffu : p[0];
}

const unsigned sky = 0x0060c0, white = 0xffffff, panel_ball = 0x30a0ff, black = 0;
bool in_play() { return pixel(35, 28) == panel_ball; }
bool game_over() { return in_play() && pixel(225, 250) == black; }
// The title's cursor cloud behind entry e (0 to 2), 4 pixels below its text's top.
bool cursor_at(int e) { return pixel(35, 28) == sky && pixel(270, 243 + 20 * e) == white; }
int title_cursor() {
  for (int e = 0; e < 3; e++)
    if (cursor_at(e)) return e;
  return -1;
}

// "Paused": the row through the word with the most ink, as the game draws it.
struct ink_row {
  int y = 0, x0 = 0, x1 = -1;
  std::vector<int> xs;
};
ink_row paused_row(const std::string& font_file) {
  ink_row r;
  install_allegro(SYSTEM_NONE, &errno, atexit);
  set_color_depth(32);
  FONT* f = load_bitmap_font(font_file.c_str(), nullptr, nullptr);
  if (!f) return r;
  BITMAP* b = create_bitmap(640, 480);
  clear_to_color(b, 0);
  textout_centre_ex(b, f, "Paused", 320, 240 - text_height(f) / 2, makecol(255, 255, 255), -1);
  for (int y = 0; y < 480; y++) {
    std::vector<int> xs;
    for (int x = 0; x < 640; x++)
      if (getpixel(b, x, y) != 0) xs.push_back(x);
    if (xs.size() > r.xs.size()) r.y = y, r.xs = xs;
  }
  if (!r.xs.empty()) r.x0 = r.xs.front(), r.x1 = r.xs.back();
  destroy_bitmap(b);
  destroy_font(f);
  return r;
}
ink_row paused_ink;
bool shows_paused() {
  std::vector<unsigned> row = pixels(paused_ink.x0, paused_ink.y, paused_ink.x1 - paused_ink.x0 + 1, 1);
  if (row.empty() || paused_ink.xs.empty()) return false;
  for (int x : paused_ink.xs)
    if (row[x - paused_ink.x0] != white) return false;
  return true;
}

// ---------------------------------------------------------------- the game

pid_t game_pid = -1;

pid_t start_game(const std::string& game, const std::string& dir) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  int null = open("/dev/null", O_RDWR);
  dup2(null, 0), dup2(null, 1), dup2(null, 2);
  if (chdir(dir.c_str()) != 0) _exit(126);
  execl(game.c_str(), game.c_str(), "--scale", "1", (char*)nullptr);
  _exit(127);
}

bool alive() { return waitpid(game_pid, nullptr, WNOHANG) == 0; }

template <typename F>
bool wait_for(F seen, int timeout_ms) {
  for (double end = now_ms() + timeout_ms; now_ms() < end;) {
    if (seen()) return true;
    if (!alive()) return false;
    sleep_ms(2);
  }
  return false;
}

void key(KeySym sym, bool down) {
  XTestFakeKeyEvent(dpy, XKeysymToKeycode(dpy, sym), down, CurrentTime);
  XFlush(dpy);
}
void tap(KeySym sym, int hold_ms = 60) {
  key(sym, true);
  sleep_ms(hold_ms);
  key(sym, false);
  sleep_ms(60);
}

// The main thread's frame starts: when it leaves the frame's wait. A frame's
// work can be shorter than the time between two looks, so a wake is also
// told by the thread's count of times it ran (schedstat) having grown while
// it was seen waiting both times; the start is put between the two looks.
std::mutex starts_lock;
std::vector<double> frame_starts;
std::atomic<bool> watching{false};

long read_number(const std::string& path, int field) {
  char text[128] = {0};
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return -1;
  const char* at = text;
  for (int i = 0; i < field && at; i++) at = strchr(at, ' '), at = at ? at + 1 : nullptr;
  return at && *at >= '0' && *at <= '9' ? atol(at) : -1;
}

void watch_frames(pid_t pid) {
  std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
  bool waited = false;
  long ran = -1;
  double seen = now_ms();
  while (watching) {
    long runs = read_number(task + "/schedstat", 2);
    long call = read_number(task + "/syscall", 0);
    double t = now_ms();
    if (call < 0 && runs < 0) break;
    bool waiting = call == 270 || call == 230 || call == 35;  // pselect6, clock_nanosleep, nanosleep
    if (waited && (!waiting || runs != ran)) {
      std::lock_guard<std::mutex> hold(starts_lock);
      frame_starts.push_back((seen + t) / 2);
    }
    waited = waiting, ran = runs, seen = t;
    sleep_ms(0.1);
  }
}

// ---------------------------------------------------------------- presses

struct press {
  double latency;     // from the key going down to the answer on the screen
  double floor;       // from the key going down to the next frame's beginning
  bool missed;        // the answer came after a later frame had begun
};

// Down, then polls until answered() or 500 ms; the time it took, or -1.
double timed_press(KeySym sym, const std::function<bool()>& answered, double* pressed_at) {
  *pressed_at = now_ms();
  key(sym, true);
  double answer = -1;
  for (double end = *pressed_at + 500; now_ms() < end;) {
    if (answered()) {
      answer = now_ms() - *pressed_at;
      break;
    }
    sleep_ms(0.2);
  }
  key(sym, false);
  return answer;
}

press place_in_frames(double at, double latency) {
  std::lock_guard<std::mutex> hold(starts_lock);
  press p{latency, -1, false};
  auto next = std::upper_bound(frame_starts.begin(), frame_starts.end(), at);
  if (next == frame_starts.end()) return p;
  p.floor = *next - at;
  p.missed = next + 1 != frame_starts.end() && *(next + 1) < at + latency;
  return p;
}

std::mt19937 rng(20240);
double random_ms(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }

// P in a run until "Paused" shows; P again goes on. Runs are started (and
// ended ones left) as needed.
std::vector<press> pause_presses(int count) {
  std::vector<press> out;
  int failures = 0;
  while ((int)out.size() < count && failures < 40 && alive()) {
    if (cursor_at(0)) {
      sleep_ms(400);
      tap(XK_space);
      wait_for(in_play, 2000);
      sleep_ms(300);
      continue;
    }
    if (game_over()) {
      sleep_ms(700);
      tap(XK_space);
      wait_for([] { return cursor_at(0); }, 2000);
      continue;
    }
    if (!in_play() || shows_paused()) {
      failures++;
      sleep_ms(100);
      continue;
    }
    sleep_ms(random_ms(0, 20));
    double at;
    double latency = timed_press(XK_p, shows_paused, &at);
    if (latency < 0) {
      failures++;
      continue;
    }
    sleep_ms(40);
    tap(XK_p);
    wait_for([] { return !shows_paused(); }, 1000);
    sleep_ms(40);  // the frame watcher has seen the frames after the answer
    out.push_back(place_in_frames(at, latency));
  }
  return out;
}

// Down on the title until the cursor stands behind the next entry.
std::vector<press> title_presses(int count) {
  std::vector<press> out;
  int failures = 0;
  while ((int)out.size() < count && failures < 40 && alive()) {
    int from = title_cursor();
    if (from < 0) {
      failures++;
      sleep_ms(100);
      continue;
    }
    int to = (from + 1) % 3;
    sleep_ms(random_ms(0, 50));
    double at;
    double latency = timed_press(XK_Down, [to] { return cursor_at(to); }, &at);
    if (latency < 0) {
      failures++;
      continue;
    }
    sleep_ms(130);  // the step latch lets go after a frame without the key
    out.push_back(place_in_frames(at, latency));
  }
  return out;
}

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  size_t i = (size_t)std::min<double>(v.size() - 1, q * (v.size() - 1) + 0.5);
  return v[i];
}
double mean(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return v.empty() ? NAN : s / v.size();
}

struct summary {
  std::string label;
  std::vector<press> presses;
};

// The case's row of the table; its verdicts against the targets (0: none) in *verdicts.
void print_row(const summary& s, double mean_above_target, double p99_target, double missed_target,
               std::string* verdicts) {
  std::vector<double> lat, floors;
  int late_next = 0, missed = 0;
  for (const press& p : s.presses) {
    lat.push_back(p.latency);
    if (p.floor >= 0) floors.push_back(p.floor);
    if (p.floor >= 2.5) {
      late_next++;
      missed += p.missed;
    }
  }
  double above = mean(lat) - mean(floors), p99 = percentile(lat, 0.99);
  double missed_share = late_next ? (double)missed / late_next : NAN;
  printf("| %s | %zu | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %+.1f | %d of %d (%.1f%%) |\n", s.label.c_str(),
         lat.size(), percentile(lat, 0), percentile(lat, 0.5), mean(lat), percentile(lat, 0.95), p99,
         percentile(lat, 1), mean(floors), above, missed, late_next, 100 * missed_share);
  auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
  char line[400];
  int n = snprintf(line, sizeof line, "- %s: mean %+.1f ms above the wait (target <= +%.1f, %s)", s.label.c_str(),
                   above, mean_above_target, verdict(above <= mean_above_target));
  if (p99_target > 0)
    n += snprintf(line + n, sizeof line - n, "; p99 %.1f ms (target <= %.0f, %s)", p99, p99_target,
                  verdict(p99 <= p99_target));
  if (missed_target > 0)
    snprintf(line + n, sizeof line - n, "; missed %.1f%% (target <= %.0f%%, %s)", 100 * missed_share,
             100 * missed_target, verdict(missed_share <= missed_target));
  *verdicts += std::string(line) + "\n";
}

// One game: its own directory, a window at 1x, the music off.
std::vector<summary> measure(const std::string& game, int count) {
  std::vector<summary> out;
  std::string dir = fs::temp_directory_path() / ("pv-latency-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (const char* asset : {"bubble.pcx", "sky.mid"}) fs::copy_file(fs::path(PV_ASSET_DIR) / asset, fs::path(dir) / asset);
  std::ofstream(dir + "/PV settings.dat") << "0 0 0";
  game_pid = start_game(game, dir);
  // Keyboard focus follows the pointer on a bare server.
  XWarpPointer(dpy, None, DefaultRootWindow(dpy), 0, 0, 0, 0, 320, 240);
  XFlush(dpy);
  if (!wait_for([] { return cursor_at(0); }, 20000)) {
    fprintf(stderr, "bench_latency: %s showed no title\n", game.c_str());
  } else {
    frame_starts.clear();
    watching = true;
    std::thread watcher(watch_frames, game_pid);
    sleep_ms(600);
    fprintf(stderr, "bench_latency: %s: P in a run ...\n", game.c_str());
    out.push_back({"P in a run until \"Paused\" shows (20 ms frames)", pause_presses(count)});
    // Back to the title for the other case.
    tap(XK_Escape);
    wait_for([] { return title_cursor() >= 0; }, 3000);
    sleep_ms(600);
    fprintf(stderr, "bench_latency: %s: Down on the title ...\n", game.c_str());
    out.push_back({"Down on the title (50 ms frames)", title_presses(count)});
    watching = false;
    watcher.join();
  }
  kill(game_pid, SIGKILL);
  waitpid(game_pid, nullptr, 0);
  fs::remove_all(dir);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 150, first_game = 1;
  if (argc > 1 && argv[1][0] >= '0' && argv[1][0] <= '9') count = std::max(10, atoi(argv[1])), first_game = 2;
  if (first_game >= argc) {
    fprintf(stderr, "usage: bench_latency [presses per case] GAME...\n");
    return 2;
  }
  dpy = XOpenDisplay(nullptr);
  int event, error, major, minor;
  if (!dpy || !XTestQueryExtension(dpy, &event, &error, &major, &minor)) {
    fprintf(stderr, "bench_latency: no display with XTest (DISPLAY=%s)\n", getenv("DISPLAY") ? getenv("DISPLAY") : "");
    return 1;
  }
  paused_ink = paused_row(std::string(PV_ASSET_DIR) + "/bubble.pcx");
  if (paused_ink.xs.empty()) {
    fprintf(stderr, "bench_latency: cannot draw \"Paused\" with the title font\n");
    return 1;
  }

  printf("From key to screen: %d presses per case, window at 1x, music off; times in ms.\n"
         "\"wait\" is the design's own wait, from the press to the next frame's beginning; a press\n"
         "is missed when that frame came 2.5 ms or more after it and the answer only with a later one.\n",
         count);
  for (int g = first_game; g < argc; g++) {
    std::vector<summary> cases = measure(fs::absolute(argv[g]), count);
    printf("\n%s\n\n", argv[g]);
    printf("| case | presses | min | median | mean | p95 | p99 | max | wait mean | mean above wait | missed |\n");
    printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    std::string verdicts;
    for (size_t i = 0; i < cases.size(); i++) print_row(cases[i], 1.5, i == 0 ? 21 : 0, i == 0 ? 0.03 : 0, &verdicts);
    printf("\n%s", verdicts.c_str());
  }
  XCloseDisplay(dpy);
  return 0;
}
