// What the real game costs on a desktop: processor share, resident memory and
// start-up time of the plu-vesk executable itself, driven by real key events in
// a window on Xvfb, with FluidSynth's audio thread paced by a PulseAudio null
// sink as a sound server paces it on a desktop.  Run it through desktop.sh,
// which starts both servers and exports DISPLAY, XDG_RUNTIME_DIR, PULSE_SERVER.
//
// How it measures:
// - Play: space on the title starts a run; an untouched run lasts about 4.5 s
//   (the ball rides the first cloud down and falls out).  Each run's window is
//   0.5 s to 4.0 s after the key, so it holds only play frames.  Processor time
//   is the first field of /proc/<pid>/task/*/schedstat (nanoseconds on a CPU,
//   every thread of the game), read at both ends of the window and divided by
//   its wall time; utime/stime tick in 10 ms, too coarse at a few hundredths of
//   a core.  The panel then accepts space after 31 frames and the title again.
// - Watching: after one untouched run, which leaves the best run, R on the
//   title watches it: the same frames, measured in the same window; the
//   title comes back by itself 2 s after the panel.
// - Resident memory: VmRSS at the end of each window, seconds after start-up,
//   when the music has long started; the largest is shown.  The gamepad cases
//   are held against today's game by the rounds' means instead: each round is
//   a fresh process, and where its libraries land moves by some 0.2 MB what
//   the kernel maps around each touched page.  Beside it, Private_Dirty from
//   smaps_rollup: the memory that is the game's alone, without the library
//   pages it shares with other programs.
// - Start-up: from just before the fork to the first title frame on the
//   display.  Under a bare Xvfb the 640x480 window sits at (0, 0), so the
//   root window's pixel (2, 2) turns sky blue with that frame; it is polled
//   every millisecond.  Median of several starts, each a fresh process.
// - The screen state comes from pixels: the score panel's ball at (35, 28)
//   only in play, the title's cursor cloud at (270, 243), the game-over
//   panel's rule at (225, 250).
// - Sound: one second recorded from the null sink's monitor while the title
//   plays, as an RMS on the 16-bit scale, and the name of the game's stream
//   on the server; a case that should have music and has none is flagged with
//   what the game printed on stderr.
// - Gamepads: the same play with the music off four ways, each under the
//   tests' preload tests/support/fake_pad.c: with SDL hidden from the game,
//   with no pad (SDL then stays unloaded), with SDL and no pad, and with one
//   pad connected that sends nothing (an Xbox 360 pad that SDL's own Linux
//   code reads from a FIFO nobody writes); with DESKTOP_TODAY, also the game
//   as it was before it had pads, which the memory is held against.  Their
//   differences are smaller than the machine's noise between cases run
//   minutes apart, so the cases take turns, in an order that turns round
//   too: one fresh game and one run each per round.  They run as the user
//   nobody when the bench is root, as a player would run them: Allegro
//   ignores ALLEGRO_MODULES, and so loads modules the game skips, for root.
// - The music switch: the game runs under strace -f --seccomp-bpf, which
//   stops it only at the sleeps it traces (pselect6, Allegro's rest() in the
//   menus, and clock_nanosleep, nanosleep) and logs when each began and how
//   long it lasted (-ttt -T).  In the options, space on the music line
//   switches it off and on again 20 times (DESKTOP_SWITCHES), each switch seen
//   on the display; after half of the switches on the tune has time to start,
//   after the other half it is switched off while its SoundFont may still be
//   loading.  The figure is the longest stretch of the main thread between the
//   end of one sleep and the start of the next over those switches: the work
//   of one menu frame, including anything it waited for.
// - A pad plugged in mid-run: the same trace, music off, the preload's pad
//   made to appear 0.5 s into a run (PV_PAD_LATE: SDL_JOYSTICK_DEVICE reads
//   as unset until the pad's path exists), so that the game's once-a-second
//   look finds it and SDL is loaded and started then.  The figure is the
//   longest stretch of the main thread from the plug until 0.1 s after the
//   game holds the pad open, once per fresh game; with DESKTOP_TODAY, the
//   same for that game, the two taking turns.
//
//   bench_desktop SCRATCH_DIR [runs per case, default 4] [starts per SoundFont, default 5]
// DESKTOP_ONLY=switch runs only the music switch, =pads only the gamepad
// cases, =watch only play and watching with the music off, =music only the
// music's own table (on against off, the render, the first sound), =cost only
// the whole desktop's cost; DESKTOP_TODAY_GAME names the executable of the game
// at another revision, for example before gamepads (desktop.sh builds it).
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <sstream>
#include <string>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;
namespace fs = std::filesystem;

namespace {

const char* const fluid_r3 = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
const char* const tim = "/usr/share/sounds/sf2/TimGM6mb.sf2";
const char* const fluid_r3_mono = "/usr/share/sounds/sf3/FluidR3Mono_GM.sf3";
const char* const musescore_lite = "/usr/share/sounds/sf3/MuseScore_General_Lite.sf3";

struct rgb {
  int r, g, b;
  bool operator==(const rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};
const rgb sky{0, 96, 192};
const rgb ball_light{48, 160, 255};  // the score panel's ball, drawn only in play
const rgb white{255, 255, 255};
const rgb black{0, 0, 0};

// The gamepad cases: the game without the preload; with it and SDL hidden,
// no pad (SDL then stays unloaded), SDL brought up by a pad named in
// SDL_JOYSTICK_DEVICE that is not there, or SDL and one idle pad.
// SDL and one idle pad; or that pad plugged in only once the game runs.
enum { pads_untouched, pads_no_sdl, pads_none, pads_sdl_up, pads_one_idle, pads_plugged_later };

// One play case: how the game is started and what it should meet.
struct play_case {
  std::string label;      // row name
  std::string soundfont;  // PLU_VESK_SOUNDFONT
  int music_on;           // the settings file's switch
  bool sound_server;      // false: no server reachable (and no ALSA device here)
  double cpu_target;      // share of one core; 0 for none
  double rss_target_mb;   // 0 for none
  bool wants_sound;       // the sink should carry music
  int scale = 1;          // the window's scale, --scale
  int pads = pads_untouched;  // how the game meets SDL and gamepads
  std::string game = PV_GAME;  // the executable
  bool as_player = false;      // run as an ordinary user, even when the bench is root
  pid_t x_server = 0;          // an X server measured beside the game, 0 for none
  bool still_title = false;    // the title left standing instead of a run played
  bool watch = false;          // R on the title watches the best run, which a first run leaves
};

struct play_result {
  bool ran = false;
  std::string failure;                  // why it has no figures
  std::vector<double> cpu, main_cpu;    // share of one core, per window
  std::vector<double> x_cpu;            // the X server's, over the same windows
  std::map<std::string, double> others; // other threads by name, share summed over the windows
  long rss_kb = 0;
  std::vector<double> rss_runs, dirty_runs;  // kB at the end of each clean window
  double rms = -1;
  std::string stream;  // the game's stream on the sound server
  std::string stderr_text;
  double render_s = -1;  // processor time of the game's tune render, -1 where it has none
};

struct startup_case {
  std::string label;
  std::string soundfont;
  double target_ms;
};

struct startup_result {
  std::vector<double> ms;
  std::string failure;
};

// A pad plugged in mid-run, per game: the main thread's longest stretch.
struct plug_result {
  std::string failure;
  std::vector<double> longest_ms;  // each game's
};

struct switch_result {
  bool ran = false;
  std::string failure;
  std::vector<double> stretches_ms;  // the main thread's, between two sleeps, while switching
  int seen = 0;                      // switches the display showed
  int wanted = 0;
};

Display* dpy;
std::string scratch;

long long now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void sleep_ms(double ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::microseconds((long long)(ms * 1000)));
}

void sleep_until_ns(long long t) { sleep_ms((t - now_ns()) / 1e6); }

bool exists(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// ---------------------------------------------------------------- the screen

int mask_shift(unsigned long mask) {
  int s = 0;
  while (mask && !(mask & 1)) {
    mask >>= 1;
    s++;
  }
  return s;
}

rgb root_pixel(int x, int y) {
  XImage* img = XGetImage(dpy, DefaultRootWindow(dpy), x, y, 1, 1, AllPlanes, ZPixmap);
  if (!img) return rgb{-1, -1, -1};
  unsigned long p = XGetPixel(img, 0, 0);
  rgb c{(int)((p & img->red_mask) >> mask_shift(img->red_mask)),
        (int)((p & img->green_mask) >> mask_shift(img->green_mask)),
        (int)((p & img->blue_mask) >> mask_shift(img->blue_mask))};
  XDestroyImage(img);
  return c;
}

// The game's window shows each game pixel as a probe_scale square from (0, 0).
int probe_scale = 1;
rgb game_pixel(int x, int y) { return root_pixel(x * probe_scale, y * probe_scale); }

bool on_title() { return game_pixel(35, 28) == sky && game_pixel(270, 243) == white; }
bool in_play() { return game_pixel(35, 28) == ball_light; }
bool game_over_shown() { return in_play() && game_pixel(225, 250) == black; }

// Black pixels in a box of the game's frame, at scale 1.
int black_in(int x, int y, int w, int h) {
  XImage* img = XGetImage(dpy, DefaultRootWindow(dpy), x, y, w, h, AllPlanes, ZPixmap);
  if (!img) return -1;
  int n = 0;
  for (int py = 0; py < h; py++)
    for (int px = 0; px < w; px++) n += XGetPixel(img, px, py) == 0;
  XDestroyImage(img);
  return n;
}

// The options: the "R" of "Return" (centred on x 320 at y 280), which the
// title lacks. The music line's mark, the last letter of "Music: +": a "+"
// has more ink than a "-".
bool on_options() { return !on_title() && black_in(296, 280, 8, 8) > 0; }
int music_mark_ink() { return black_in(344, 260, 8, 8); }

// ---------------------------------------------------------------- processes

std::vector<std::string> environment(const std::vector<std::string>& drop,
                                     const std::vector<std::string>& add) {
  std::vector<std::string> env;
  for (char** e = environ; *e; e++) {
    std::string s = *e;
    bool dropped = false;
    for (const std::string& d : drop)
      if (s.compare(0, d.size() + 1, d + "=") == 0) dropped = true;
    if (!dropped) env.push_back(s);
  }
  env.insert(env.end(), add.begin(), add.end());
  return env;
}

// fork + exec; the child dies with us, so an interrupted run leaves no game behind.
const uid_t nobody = 65534;  // Debian's nobody, and nogroup

// as_nobody: when root, the child becomes the user nobody before it runs.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& cwd, int out_fd, int err_fd, bool as_nobody = false) {
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  int in = open("/dev/null", O_RDONLY);
  if (in >= 0) dup2(in, 0);
  if (out_fd >= 0) dup2(out_fd, 1);
  if (err_fd >= 0) dup2(err_fd, 2);
  if (as_nobody && geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
    _exit(126);
  if (chdir(cwd.c_str()) != 0) _exit(126);
  execvpe(args[0], args.data(), envp.data());
  _exit(127);
}

// A child process of `parent` running `name`, from /proc; -1 if none.
pid_t child_of(pid_t parent, const std::string& name) {
  DIR* d = opendir("/proc");
  if (!d) return -1;
  pid_t found = -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
    size_t close = stat.rfind(')');
    int ppid = 0;
    if (close != std::string::npos && sscanf(stat.c_str() + close + 1, " %*c %d", &ppid) == 1 &&
        ppid == parent && stat.find("(" + name + ")") != std::string::npos) {
      found = atoi(e->d_name);
      break;
    }
  }
  closedir(d);
  return found;
}

void kill_and_reap(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Leaves an ended game unreaped, so that kill_and_reap never meets a reused id.
bool alive(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

// Runs a tool to its end (or kills it after the time given) and keeps what it
// printed on stdout, up to `limit` bytes; the tool is stopped once it has that much.
int run_tool(const std::vector<std::string>& argv, std::string* out, int timeout_ms,
             size_t limit = SIZE_MAX) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_t pid = spawn(argv, environment({}, {}), scratch, fds[1], devnull);
  close(fds[1]);
  if (devnull >= 0) close(devnull);
  std::string got;
  long long deadline = now_ns() + timeout_ms * 1000000LL;
  while (got.size() < limit) {
    int left = (int)((deadline - now_ns()) / 1000000);
    if (left <= 0) break;
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, left) <= 0) break;
    char chunk[65536];
    ssize_t n = read(fds[0], chunk, sizeof chunk);
    if (n <= 0) break;
    got.append(chunk, n);
  }
  close(fds[0]);
  int status = -1;
  if (got.size() >= limit || now_ns() >= deadline) kill(pid, SIGTERM);
  waitpid(pid, &status, 0);
  if (out) *out = got.substr(0, std::min(got.size(), limit));
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Held for 80 ms so that a frame or two sees it; one xdotool for both events.
void tap(const char* key) { run_tool({"xdotool", "keydown", key, "sleep", "0.08", "keyup", key}, nullptr, 3000); }
void tap_space() { tap("space"); }

// ---------------------------------------------------------------- the game's process

struct thread_times {
  std::map<int, long long> ns;  // thread id -> ns on a CPU
  std::map<int, std::string> name;
};

thread_times read_threads(pid_t pid) {
  thread_times t;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (!d) return t;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    int tid = atoi(e->d_name);
    std::string stat = read_file(dir + "/" + e->d_name + "/schedstat");
    if (stat.empty()) continue;  // ended meanwhile
    t.ns[tid] = atoll(stat.c_str());
    std::string comm = read_file(dir + "/" + e->d_name + "/comm");
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    t.name[tid] = comm;
  }
  closedir(d);
  return t;
}

// A kB field of /proc/<pid>/<file>, 0 where it is missing.
long proc_kb(pid_t pid, const char* file, const char* field) {
  std::string text = read_file("/proc/" + std::to_string(pid) + "/" + file);
  size_t at = text.find(field);
  return at == std::string::npos ? 0 : atol(text.c_str() + at + strlen(field));
}

long rss_kb(pid_t pid) { return proc_kb(pid, "status", "VmRSS:"); }

// Nanoseconds all of a process's threads spent on a CPU.
long long cpu_ns(pid_t pid) {
  long long ns = 0;
  for (auto& [tid, t] : read_threads(pid).ns) ns += t;
  return ns;
}

// A fresh directory with the two assets and the settings file.
bool prepare_game_dir(const std::string& dir, int music_on) {
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir, ec);
  for (const char* asset : {"bubble.pcx", "sky.mid"}) {
    fs::copy_file(fs::path(PV_ASSET_DIR) / asset, fs::path(dir) / asset, ec);
    if (ec) return false;
  }
  std::ofstream f(dir + "/PV settings.dat");
  f << "0 " << music_on << " 0";  // window, the music switch, no best total
  f.close();
  // Open to a game run as nobody.
  for (const char* name : {"bubble.pcx", "sky.mid", "PV settings.dat"}) chmod((dir + "/" + name).c_str(), 0666);
  chmod(dir.c_str(), 0777);
  return (bool)f;
}

std::vector<std::string> game_environment(const std::string& soundfont, bool sound_server,
                                          int pads = pads_untouched) {
  std::vector<std::string> drop{"PLU_VESK_SOUNDFONT", "LD_PRELOAD", "SDL_JOYSTICK_DEVICE"};
  std::vector<std::string> add{"PLU_VESK_SOUNDFONT=" + soundfont};
  if (pads != pads_untouched) add.push_back(std::string("LD_PRELOAD=") + PV_FAKE_PAD);
  if (pads == pads_no_sdl) add.push_back("PV_PAD_NO_SDL=1");
  if (pads == pads_sdl_up) add.push_back("SDL_JOYSTICK_DEVICE=" + scratch + "/no-pad");
  if (pads == pads_one_idle || pads == pads_plugged_later) {
    // SDL stats the path and the preload opens the FIFO in its place; the
    // bench makes the path of a pad plugged in later itself (plug_pad).
    std::string device = scratch + "/pad", fifo = scratch + "/pad.fifo";
    unlink(device.c_str());
    if (pads == pads_one_idle) std::ofstream(device).close();
    else add.push_back("PV_PAD_LATE=1");
    mkfifo(fifo.c_str(), 0666);
    chmod(device.c_str(), 0666);
    chmod(fifo.c_str(), 0666);  // whatever the umask left
    add.push_back("PV_PAD_DEVICE=" + device);
    add.push_back("PV_PAD_FIFO=" + fifo);
    add.push_back("SDL_JOYSTICK_DEVICE=" + device);
  }
  if (!sound_server) {
    drop.push_back("PULSE_SERVER");
    drop.push_back("XDG_RUNTIME_DIR");
    // A server address where none listens; an empty runtime directory as well,
    // so neither libpulse nor ALSA's pulse plugin finds one by itself.
    fs::create_directories(scratch + "/no-server");
    add.push_back("PULSE_SERVER=unix:" + scratch + "/no-server/native");
    add.push_back("XDG_RUNTIME_DIR=" + scratch + "/no-server");
  }
  return environment(drop, add);
}

pid_t start_game(const std::string& dir, const std::vector<std::string>& env, int scale = 1,
                 const std::string& game = PV_GAME, bool as_player = false) {
  int err = open((dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int out = open((dir + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t pid = spawn({game, "--scale", std::to_string(scale)}, env, dir, out, err, as_player);
  if (err >= 0) close(err);
  if (out >= 0) close(out);
  return pid;
}

// Polls until `seen` holds, every `step_ms`; false on time-out or when the game ends.
template <typename F>
bool wait_for(pid_t pid, F seen, int timeout_ms, double step_ms = 10) {
  long long deadline = now_ns() + timeout_ms * 1000000LL;
  while (now_ns() < deadline) {
    if (seen()) return true;
    if (!alive(pid)) return false;
    sleep_ms(step_ms);
  }
  return false;
}

// The root window must not show a title before a start is timed.
void wait_screen_clear() {
  long long deadline = now_ns() + 3000000000LL;
  while (root_pixel(2, 2) == sky && now_ns() < deadline) sleep_ms(10);
}

// A fresh game directory and a clear screen, for a start at this scale: ""
// or what failed.
std::string ready_to_start(const std::string& dir, int music_on, int scale) {
  if (!prepare_game_dir(dir, music_on)) return "cannot prepare " + dir;
  wait_screen_clear();
  probe_scale = scale;
  return "";
}

// RMS of one second from the null sink's monitor, on the 16-bit scale; -1 if none came.
double sink_rms() {
  const size_t bytes = 44100 * 2 * 2;
  std::string raw;
  run_tool({"parecord", "--device=null.monitor", "--raw", "--format=s16le", "--channels=2",
            "--rate=44100", "--latency-msec=20"},
           &raw, 6000, bytes);
  if (raw.size() < bytes) return -1;
  double sum = 0;
  size_t n = raw.size() / 2;
  for (size_t i = 0; i < n; i++) {
    short s;
    memcpy(&s, raw.data() + 2 * i, 2);
    sum += (double)s * s;
  }
  return std::sqrt(sum / n);
}

// The application name of the game's stream on the sound server, or "none".
std::string server_stream(pid_t pid) {
  std::string list;
  if (run_tool({"pactl", "list", "sink-inputs"}, &list, 5000) != 0) return "none (no server)";
  std::string name = "none";
  std::istringstream lines(list);
  std::string line, block_name;
  bool ours = false;
  auto close_block = [&] {
    if (ours) name = block_name;
    ours = false;
    block_name.clear();
  };
  while (std::getline(lines, line)) {
    if (line.compare(0, 11, "Sink Input ") == 0) close_block();
    size_t at = line.find("application.name = \"");
    if (at != std::string::npos) block_name = line.substr(at + 20, line.rfind('"') - at - 20);
    if (line.find("application.process.id = \"" + std::to_string(pid) + "\"") != std::string::npos)
      ours = true;
  }
  close_block();
  return name;
}

// The processor time of the game's thread "tune render", once it has ended;
// -1 when none shows within a second (today's game renders as it plays).
double render_seconds(pid_t pid) {
  long long seen_ns = -1, deadline = now_ns() + 1000000000LL;
  while (alive(pid) && (seen_ns >= 0 || now_ns() < deadline) && now_ns() < deadline + 60000000000LL) {
    thread_times t = read_threads(pid);
    bool running = false;
    for (auto& [tid, name] : t.name)
      if (name == "tune render") {
        running = true;
        seen_ns = t.ns[tid];
      }
    if (!running && seen_ns >= 0) return seen_ns / 1e9;
    sleep_ms(5);
  }
  return -1;
}

// ---------------------------------------------------------------- the cases

play_result run_play_case(const play_case& c, int runs) {
  play_result r;
  if (!exists(c.soundfont)) return r;
  r.ran = true;
  std::string dir = scratch + "/game";
  r.failure = ready_to_start(dir, c.music_on, c.scale);
  if (!r.failure.empty()) return r;
  pid_t pid = start_game(dir, game_environment(c.soundfont, c.sound_server, c.pads), c.scale, c.game, c.as_player);
  auto finish = [&](const std::string& why) {
    r.failure = why;
    kill_and_reap(pid);
    r.stderr_text = read_file(dir + "/stderr.txt");
    return r;
  };
  if (!wait_for(pid, on_title, 60000)) return finish("the title never showed");
  if (c.music_on) r.render_s = render_seconds(pid);
  sleep_ms(1000);
  r.rms = sink_rms();
  r.stream = c.sound_server ? server_stream(pid) : "none (no server)";

  // A watch case plays a run first, unmeasured: it leaves the best run.
  for (int run = c.watch ? -1 : 0; run < runs; run++) {
    bool watching = c.watch && run >= 0;
    // The title menu takes a key from its sixth frame on; it has stood long enough.
    if (!wait_for(pid, on_title, 5000)) return finish("lost the title before run " + std::to_string(run + 1));
    sleep_ms(500);
    long long t0 = now_ns();
    for (int tries = 0; tries < 3 && !c.still_title && !in_play(); tries++) {
      t0 = now_ns();
      tap(watching ? "r" : "space");
      wait_for(pid, in_play, 1500);
    }
    if (!c.still_title && !in_play())
      return finish(watching ? "R on the title did not watch the best run" : "space on the title did not start a run");

    sleep_until_ns(t0 + 500000000LL);
    long long w0 = now_ns();
    thread_times a = read_threads(pid);
    long long x0 = c.x_server ? cpu_ns(c.x_server) : 0;
    sleep_until_ns(t0 + 4000000000LL);
    thread_times b = read_threads(pid);
    long long x1 = c.x_server ? cpu_ns(c.x_server) : 0;
    long long w1 = now_ns();
    long rss = rss_kb(pid);
    long dirty = proc_kb(pid, "smaps_rollup", "Private_Dirty:");
    // The whole window was play, or the title
    bool clean = c.still_title ? on_title() : in_play() && !game_over_shown();

    if (!c.still_title && !wait_for(pid, game_over_shown, 20000)) return finish("the run never ended");
    if (clean && run >= 0) {
      double wall = (w1 - w0) / 1e9, total = 0;
      for (auto& [tid, ns] : b.ns) {
        double share = (ns - (a.ns.count(tid) ? a.ns[tid] : 0)) / 1e9 / wall;
        total += share;
        if (tid == pid) r.main_cpu.push_back(share);
        else r.others[b.name[tid]] += share;
      }
      r.cpu.push_back(total);
      r.x_cpu.push_back((x1 - x0) / 1e9 / wall);
      r.rss_kb = std::max(r.rss_kb, rss);
      r.rss_runs.push_back(rss);
      r.dirty_runs.push_back(dirty);
    }
    if (c.still_title) continue;
    // The panel takes space after 31 frames; a watched run's gives way to the title 2 s after it.
    if (watching) wait_for(pid, on_title, 8000);
    else sleep_ms(800);
    for (int tries = 0; tries < 3 && !on_title() && !watching; tries++) {
      tap_space();
      wait_for(pid, on_title, 1500);
    }
    if (!on_title()) return finish("space on the game-over panel did not return to the title");
  }
  if (r.cpu.empty()) return finish("no run stayed in play for the whole window");
  kill_and_reap(pid);
  r.stderr_text = read_file(dir + "/stderr.txt");
  return r;
}

startup_result run_startup_case(const startup_case& c, int starts) {
  startup_result r;
  std::string dir = scratch + "/game";
  if (!prepare_game_dir(dir, 1)) {
    r.failure = "cannot prepare " + dir;
    return r;
  }
  std::vector<std::string> env = game_environment(c.soundfont, true);
  for (int i = 0; i < starts; i++) {
    wait_screen_clear();
    long long t0 = now_ns();
    probe_scale = 1;
    pid_t pid = start_game(dir, env);
    bool shown = wait_for(pid, [] { return root_pixel(2, 2) == sky; }, 60000, 1);
    long long t1 = now_ns();
    kill_and_reap(pid);
    if (!shown) {
      r.failure = "no title frame; stderr: " + read_file(dir + "/stderr.txt");
      return r;
    }
    r.ms.push_back((t1 - t0) / 1e6);
  }
  return r;
}

// The sleeps of one thread in an `strace -f -ttt -T` log, as (start, end) in
// seconds of the log's clock. A call another thread interrupted in the log
// comes in two lines, "<unfinished ...>" and "<... resumed>".
std::vector<std::pair<double, double>> thread_sleeps(const std::string& log, int tid) {
  std::vector<std::pair<double, double>> sleeps;
  std::istringstream lines(log);
  std::string line;
  double pending = -1;
  while (std::getline(lines, line)) {
    int who = 0;
    double at = 0;
    int used = 0;
    if (sscanf(line.c_str(), "%d %lf %n", &who, &at, &used) < 2 || who != tid) continue;
    std::string call = line.substr(used);
    if (call.find("<unfinished ...>") != std::string::npos) {
      pending = at;
      continue;
    }
    size_t d = line.rfind('<');
    double lasted = 0;
    if (d == std::string::npos || sscanf(line.c_str() + d, "<%lf>", &lasted) != 1) continue;
    double start = call.compare(0, 4, "<...") == 0 ? pending : at;
    if (start < 0) continue;
    sleeps.push_back({start, start + lasted});
    pending = -1;
  }
  return sleeps;
}

double wall_seconds() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// The game under strace -f --seccomp-bpf, which stops it only at the sleeps
// it traces (pselect6, Allegro's rest() in the menus, and clock_nanosleep,
// nanosleep) and logs when each began and how long it lasted.
struct traced_game {
  pid_t tracer = -1, game = -1;
  std::string log;
};

traced_game start_traced(const std::string& dir, const std::vector<std::string>& env,
                         const std::string& game = PV_GAME, bool as_player = false) {
  traced_game t;
  t.log = dir + "/strace.log";
  int err = open((dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  t.tracer = spawn({"strace", "-f", "--seccomp-bpf", "-qq", "-ttt", "-T", "-o", t.log, "-e",
                    "trace=pselect6,clock_nanosleep,nanosleep", game},
                   env, dir, -1, err, as_player);
  if (err >= 0) close(err);
  // strace forks a probe or two of its own before the game.
  for (int i = 0; i < 500 && t.game < 0 && alive(t.tracer); i++) {
    sleep_ms(10);
    t.game = child_of(t.tracer, "plu-vesk");
  }
  return t;
}

// Ends the game; strace ends with it.
void stop_traced(const traced_game& t) {
  if (t.game > 0) kill(t.game, SIGKILL);
  waitpid(t.tracer, nullptr, 0);
}

// The main thread's stretches of work between the end of one sleep and the
// start of the next, both between t0 and t1 (seconds of the wall clock).
std::vector<double> main_stretches_ms(const traced_game& t, double t0, double t1) {
  std::vector<double> ms;
  std::vector<std::pair<double, double>> sleeps = thread_sleeps(read_file(t.log), t.game);
  for (size_t i = 1; i < sleeps.size(); i++)
    if (sleeps[i - 1].second >= t0 && sleeps[i].first <= t1) ms.push_back((sleeps[i].first - sleeps[i - 1].second) * 1000);
  return ms;
}

switch_result run_switch_case(const std::string& soundfont, int switches) {
  switch_result r;
  if (!exists(soundfont)) return r;
  r.ran = true;
  std::string dir = scratch + "/game";
  r.failure = ready_to_start(dir, 1, 1);
  if (!r.failure.empty()) return r;
  traced_game t = start_traced(dir, game_environment(soundfont, true));
  pid_t tracer = t.tracer;
  auto finish = [&](const std::string& why) {
    r.failure = why;
    stop_traced(t);
    return r;
  };
  if (t.game < 0) return finish("strace did not start the game (is strace installed?)");

  // Title, then the options (the second entry), then the music line. The
  // game is strace's child: strace lives as long as it does.
  if (!wait_for(tracer, on_title, 60000)) return finish("the title never showed");
  sleep_ms(3000);  // the start-up load, even of an .sf3, is over
  tap("Down");
  tap_space();
  if (!wait_for(tracer, on_options, 3000)) return finish("space on Options did not open them");
  sleep_ms(700);  // a menu takes the confirm key from its seventh frame
  tap("Down");
  sleep_ms(200);

  double t0 = wall_seconds();
  r.wanted = 2 * switches;
  int ons = 0;
  for (int i = 0; i < r.wanted; i++) {
    bool on_before = music_mark_ink() > 6;
    for (int tries = 0; tries < 3; tries++) {
      tap_space();
      if (wait_for(tracer, [&] { return (music_mark_ink() > 6) != on_before; }, 5000, 5)) {
        r.seen++;
        break;
      }
    }
    // Every other switch on leaves the tune time to start.
    sleep_ms(!on_before && ons++ % 2 == 0 ? 2500 : 300);
  }
  double t1 = wall_seconds();
  sleep_ms(200);
  stop_traced(t);
  r.stretches_ms = main_stretches_ms(t, t0, t1);
  if (r.stretches_ms.empty()) return finish("no sleeps of the main thread in the strace log");
  return r;
}

bool sdl_loaded(pid_t game) {
  return read_file("/proc/" + std::to_string(game) + "/maps").find("libSDL2") != std::string::npos;
}

// Whether the game holds the pad's FIFO open, as SDL does once the pad is opened.
bool pad_open(pid_t game) {
  std::error_code ec;
  for (const fs::directory_entry& fd : fs::directory_iterator("/proc/" + std::to_string(game) + "/fd", ec))
    if (fs::read_symlink(fd.path(), ec).filename() == "pad.fifo") return true;
  return false;
}

// One game under strace: a run started, a pad plugged in 0.5 s into it (the
// preload's PV_PAD_LATE), and the main thread's longest stretch of work from
// the plug until a few frames after the game opened the pad. An untouched
// run lasts 4.5 s; the game looks for pads once a second.
std::string run_plug_case(const std::string& game, double* longest_ms) {
  std::string dir = scratch + "/game";
  std::string failed = ready_to_start(dir, 0, 1);
  if (!failed.empty()) return failed;
  std::string font = exists(fluid_r3) ? fluid_r3 : tim;
  traced_game t = start_traced(dir, game_environment(font, true, pads_plugged_later), game, true);
  auto finish = [&](const std::string& why) {
    stop_traced(t);
    return why;
  };
  if (t.game < 0) return finish("strace did not start the game (is strace installed?)");
  if (!wait_for(t.tracer, on_title, 60000)) return finish("the title never showed");
  sleep_ms(1000);
  for (int tries = 0; tries < 3 && !in_play(); tries++) {
    tap_space();
    wait_for(t.tracer, in_play, 1500);
  }
  if (!in_play()) return finish("space on the title did not start a run");
  sleep_ms(500);
  double t0 = wall_seconds();
  std::ofstream(scratch + "/pad").close();  // plugged in
  bool taken = wait_for(t.tracer, [&] { return pad_open(t.game); }, 3000, 5);
  sleep_ms(100);
  double t1 = wall_seconds();
  bool played = in_play() && !game_over_shown(), sdl = sdl_loaded(t.game);
  stop_traced(t);
  if (!taken) return sdl ? "SDL came up, but the pad never opened" : "SDL never came up";
  if (!played) return "the run ended before the pad was open";
  std::vector<double> ms = main_stretches_ms(t, t0, t1);
  if (ms.empty()) return "no sleeps of the main thread in the strace log";
  *longest_ms = *std::max_element(ms.begin(), ms.end());
  return "";
}

// ---------------------------------------------------------------- printing

double mean(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return v.empty() ? 0 : s / v.size();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string fmt(const char* f, double v) {
  char s[64];
  snprintf(s, sizeof s, f, v);
  return s;
}

// Whether a figure meets its target; nothing to say without one.
std::string verdict(double target, double figure) {
  if (target <= 0) return "";
  return figure <= target ? "yes" : "**no**";
}

// The centre figure with the lowest and highest of the measurements behind it.
std::string with_range(const char* f, double centre, const std::vector<double>& v) {
  return fmt(f, centre) + " (" + fmt(f, *std::min_element(v.begin(), v.end())) + " to " +
         fmt(f, *std::max_element(v.begin(), v.end())) + ")";
}

void row(const std::string& label, const std::string& figure, const std::string& target,
         const std::string& met) {
  printf("| %s | %s | %s | %s |\n", label.c_str(), figure.c_str(), target.c_str(), met.c_str());
}

std::string short_name(const std::string& soundfont) { return fs::path(soundfont).filename().string(); }

// Play, memory and start-up: runs every case and prints their tables.
void run_desktop_cases(int runs, int starts, bool only_pads, bool only_watch) {
  // Music off and no output are what a desktop with the large SoundFont gives.
  std::string big = exists(fluid_r3) ? fluid_r3 : tim;
  std::string big_name = exists(fluid_r3) ? "FluidR3_GM" : "TimGM6mb (FluidR3_GM not installed)";
  std::vector<play_case> plays = {
      // Their processor share is held against the music off in the music's own table.
      {"play, music on, FluidR3_GM", fluid_r3, 1, true, 0, 25, true},
      {"play, music on, TimGM6mb", tim, 1, true, 0, 25, true},
      {"play, music on, FluidR3Mono_GM.sf3", fluid_r3_mono, 1, true, 0, 0, true},
      {"play, music on, MuseScore_General_Lite.sf3", musescore_lite, 1, true, 0, 0, true},
      {"play, music off, " + big_name, big, 0, true, 0.045, 22, false},
      {"play, no audio output, " + big_name, big, 1, false, 0.045, 0, false},
      {"play, music off, window at 2x (--scale 2)", big, 0, true, 0, 0, false, 2},
  };
  // Watching a run against playing it, music off
  plays.insert(plays.begin() + 5, plays[4]);
  plays[5].label = "watching the best run (R on the title), music off, " + big_name;
  plays[5].watch = true;
  size_t music_off_case = 4, watch_case = 5, scaled_case = 7;
  // Taking turns, round by round; the first is what the others are held against.
  std::vector<play_case> pad_plays = {
      {"play, music off, without SDL", big, 0, true, 0, 0, false, 1, pads_no_sdl},
      {"play, music off, no pad (SDL left unloaded)", big, 0, true, 0, 0, false, 1, pads_none},
      {"play, music off, SDL up and no pad", big, 0, true, 0, 0, false, 1, pads_sdl_up},
      {"play, music off, SDL and one pad sending nothing", big, 0, true, 0, 0, false, 1, pads_one_idle},
  };
  std::vector<double> pad_cpu_targets = {0, 0.002, 0.002, 0.005};
  const double pad_rss_target_mb = 3;
  // The game as it was before gamepads, built by desktop.sh from the
  // revision in DESKTOP_TODAY: what the memory with pads is held against.
  const char* today_game = getenv("DESKTOP_TODAY_GAME");
  bool have_today = today_game && *today_game;
  if (have_today) {
    // Under the same preload as the others, whose own cost it then shares;
    // the game of that day never looks for SDL.
    pad_plays.push_back({"play, music off, today's game (DESKTOP_TODAY)", big, 0, true, 0, 0, false, 1, pads_no_sdl});
    pad_plays.back().game = today_game;
    pad_cpu_targets.push_back(0);
  }
  // As a player runs them: Allegro ignores ALLEGRO_MODULES for root.
  for (play_case& c : pad_plays) c.as_player = true;
  chmod(scratch.c_str(), 0755);
  bool have_fake_pad = *PV_FAKE_PAD != 0;
  std::vector<startup_case> startups = {
      {"start to first title frame, FluidR3_GM", fluid_r3, 100},
      {"start to first title frame, TimGM6mb", tim, 100},
      {"start to first title frame, FluidR3Mono_GM.sf3", fluid_r3_mono, 0},
      {"start to first title frame, MuseScore_General_Lite.sf3", musescore_lite, 0},
  };
  if (only_pads) {
    plays.clear();
    startups.clear();
  }
  if (only_watch) {
    plays = {plays[music_off_case], plays[watch_case]};
    music_off_case = 0, watch_case = 1;
    startups.clear();
    pad_plays.clear();
  }

  // The gamepad cases first: a game at 2x, bigger than the screen, leaves
  // the keyboard focus nowhere when it ends.
  std::vector<play_result> pad_results(pad_plays.size());
  // Each case's share in each round; NAN where a round gave no clean window.
  std::vector<std::vector<double>> pad_rounds(pad_plays.size());
  for (int round = 0; have_fake_pad && round < runs; round++) {
    for (size_t turn = 0; turn < pad_plays.size(); turn++) {
      size_t i = (turn + round) % pad_plays.size();  // each case first in some rounds
      fprintf(stderr, "desktop: %s, round %d ...\n", pad_plays[i].label.c_str(), round + 1);
      play_result r = run_play_case(pad_plays[i], 1);
      pad_rounds[i].push_back(r.cpu.empty() ? NAN : r.cpu[0]);
      play_result& all = pad_results[i];
      all.ran = r.ran;
      if (!r.failure.empty()) all.failure = r.failure;
      all.cpu.insert(all.cpu.end(), r.cpu.begin(), r.cpu.end());
      all.main_cpu.insert(all.main_cpu.end(), r.main_cpu.begin(), r.main_cpu.end());
      for (auto& [name, share] : r.others) all.others[name] += share;
      all.rss_kb = std::max(all.rss_kb, r.rss_kb);
      all.rss_runs.insert(all.rss_runs.end(), r.rss_runs.begin(), r.rss_runs.end());
      all.dirty_runs.insert(all.dirty_runs.end(), r.dirty_runs.begin(), r.dirty_runs.end());
      all.rms = r.rms;
      all.stream = r.stream;
      all.stderr_text = r.stderr_text;
    }
  }
  std::vector<play_result> play_results;
  for (const play_case& c : plays) {
    fprintf(stderr, "desktop: %s ...\n", c.label.c_str());
    play_results.push_back(run_play_case(c, runs));
  }
  plays.insert(plays.end(), pad_plays.begin(), pad_plays.end());
  play_results.insert(play_results.end(), pad_results.begin(), pad_results.end());

  // A pad plugged in mid-run, this game and today's taking turns.
  std::vector<std::pair<std::string, std::string>> plug_games = {{"this game", PV_GAME}};
  if (have_today) plug_games.push_back({"today's game (DESKTOP_TODAY)", today_game});
  std::vector<plug_result> plug_results(plug_games.size());
  for (int round = 0; have_fake_pad && round < runs; round++) {
    for (size_t i = 0; i < plug_games.size(); i++) {
      fprintf(stderr, "desktop: a pad plugged in mid-run, %s, game %d ...\n", plug_games[i].first.c_str(), round + 1);
      double longest = 0;
      std::string failure = run_plug_case(plug_games[i].second, &longest);
      if (failure.empty()) plug_results[i].longest_ms.push_back(longest);
      else plug_results[i].failure = failure;
    }
  }

  std::vector<startup_result> startup_results;
  for (const startup_case& c : startups) {
    fprintf(stderr, "desktop: %s ...\n", c.label.c_str());
    startup_results.push_back(exists(c.soundfont) ? run_startup_case(c, starts) : startup_result{});
  }

  printf("The game on a desktop: %d runs of play per case (0.5 s to 4.0 s after the start of each run), "
         "%d starts per SoundFont\n\n", runs, starts);
  printf("| case | figure | target | met |\n|---|---|---|---|\n");
  auto unavailable = [&](const play_case& c, const play_result& r) -> std::string {
    if (c.pads != pads_untouched && !have_fake_pad) return "needs the tests' preload (build with PV_TESTS=ON)";
    if (!r.ran) return short_name(c.soundfont) + " not installed";
    return "failed: " + r.failure;
  };
  for (size_t i = 0; i < plays.size(); i++) {
    const play_case& c = plays[i];
    const play_result& r = play_results[i];
    std::string label = c.label + " (CPU, share of one core, whole process)";
    std::string target = c.cpu_target > 0 ? fmt("≤ %.3g", c.cpu_target) : "";
    if (!r.ran || !r.failure.empty()) row(label, unavailable(c, r), target, "");
    else row(label, with_range("%.3f", mean(r.cpu), r.cpu), target, verdict(c.cpu_target, mean(r.cpu)));
  }
  for (size_t i = 0; i < plays.size(); i++) {
    const play_case& c = plays[i];
    const play_result& r = play_results[i];
    std::string label = "resident memory, " + (c.label.rfind("play, ", 0) == 0 ? c.label.substr(6) : c.label);
    std::string target = c.rss_target_mb > 0 ? fmt("≤ %.0f MB", c.rss_target_mb) : "";
    double mb = r.rss_kb / 1024.0;
    if (!r.ran || !r.failure.empty()) row(label, unavailable(c, r), target, "");
    else row(label, fmt("%.1f MB", mb), target, verdict(c.rss_target_mb, mb));
  }
  for (size_t i = 0; i < startups.size(); i++) {
    const startup_case& c = startups[i];
    const startup_result& r = startup_results[i];
    std::string label = c.label + " (median)";
    std::string target = c.target_ms > 0 ? fmt("≤ %.0f ms", c.target_ms) : "";
    if (!exists(c.soundfont)) row(label, short_name(c.soundfont) + " not installed", target, "");
    else if (!r.failure.empty()) row(label, "failed: " + r.failure, target, "");
    else row(label, with_range("%.0f", median(r.ms), r.ms) + " ms", target, verdict(c.target_ms, median(r.ms)));
  }
  // The scaled window, and watching, against playing at 1x.
  auto above_play = [&](size_t i, const char* label, double target) {
    const play_result &one = play_results[music_off_case], &two = play_results[i];
    if (one.ran && one.failure.empty() && two.ran && two.failure.empty())
      row(label, fmt("%+.3f", mean(two.cpu) - mean(one.cpu)), fmt("≤ %+.3f", target),
          verdict(target, mean(two.cpu) - mean(one.cpu)));
  };
  if (!only_pads && !only_watch) above_play(scaled_case, "play, music off: window at 2x above 1x (CPU)", 0.03);
  if (!only_pads) above_play(watch_case, "watching the best run above playing, music off (CPU)", 0.005);
  // The gamepads against the game without SDL: the means, and the round
  // by round differences behind them.
  // Each gamepad case against a base: today's game where it ran (the
  // targets are held against it), else the game without SDL. CPU by the
  // rounds' differences, as the cases took turns.
  const size_t pads_base = plays.size() - pad_plays.size();
  const size_t pad_cases = pad_plays.empty() ? 0 : pad_plays.size() - (have_today ? 1 : 0);
  const size_t base = have_today && play_results.back().failure.empty() ? pad_plays.size() - 1 : 0;
  const play_result& against = play_results[std::min(pads_base + base, play_results.size() - 1)];
  const std::string base_name = base ? "today's game" : "the game without SDL";
  for (size_t i = 1; i < pad_cases; i++) {
    const play_result& r = play_results[pads_base + i];
    std::string label = "play, music off, " + pad_plays[i].label.substr(17) + ", above " + base_name;
    if (!have_fake_pad || !against.failure.empty() || !r.failure.empty() || against.cpu.empty() || r.cpu.empty()) {
      row(label + " (CPU)", "no figures", fmt("≤ %+.3f", pad_cpu_targets[i]), "");
      continue;
    }
    std::vector<double> by_round;
    for (size_t k = 0; k < pad_rounds[i].size(); k++)
      if (!std::isnan(pad_rounds[i][k]) && !std::isnan(pad_rounds[base][k])) by_round.push_back(pad_rounds[i][k] - pad_rounds[base][k]);
    double cpu_diff = mean(r.cpu) - mean(against.cpu);
    if (by_round.empty()) by_round.push_back(cpu_diff);
    row(label + " (CPU, the rounds' differences in brackets)", with_range("%+.4f", cpu_diff, by_round),
        fmt("≤ %+.3f", pad_cpu_targets[i]), verdict(pad_cpu_targets[i], cpu_diff));
    double mb = (mean(r.rss_runs) - mean(against.rss_runs)) / 1024.0;
    row(label + " (resident memory, the rounds' means)", fmt("%+.2f MB", mb), fmt("≤ +%.0f MB", pad_rss_target_mb),
        verdict(pad_rss_target_mb, mb));
    row(label + " (Private_Dirty, the game's own memory, the rounds' means)",
        fmt("%+.2f MB", (mean(r.dirty_runs) - mean(against.dirty_runs)) / 1024.0), "", "");
  }
  const double plug_target_ms = 2;
  for (size_t i = 0; i < plug_games.size(); i++) {
    const plug_result& r = plug_results[i];
    std::string label = "a pad plugged in mid-run, " + plug_games[i].first +
                        ": the main thread's longest stretch of work in a frame (strace; each game's in brackets)";
    std::string target = i == 0 ? fmt("≤ %.0f ms", plug_target_ms) : "";
    if (!have_fake_pad) row(label, "needs the tests' preload (build with PV_TESTS=ON)", target, "");
    else if (r.longest_ms.empty()) row(label, "failed: " + r.failure, target, "");
    else {
      double longest = *std::max_element(r.longest_ms.begin(), r.longest_ms.end());
      std::string each;
      for (double ms : r.longest_ms) each += (each.empty() ? "" : ", ") + fmt("%.1f", ms);
      row(label, fmt("%.1f ms", longest) + " (" + each + ")" + (r.failure.empty() ? "" : "; a game failed: " + r.failure),
          target, i == 0 ? verdict(plug_target_ms, longest) : "");
    }
  }
  double main_worst = -1;
  for (size_t i = 0; i < plays.size(); i++) {
    const play_result& r = play_results[i];
    if (r.ran && r.failure.empty() && plays[i].scale == 1) main_worst = std::max(main_worst, mean(r.main_cpu));
  }
  if (main_worst >= 0)
    row("pacing: main thread CPU in play at 1x (highest of the cases)", fmt("%.3f", main_worst), "≤ 0.025 core",
        verdict(0.025, main_worst));

  printf("\nWhere the processor time goes in play (share of one core, mean of the runs), and the sound.\n"
         "Threads: \"music\" feeds the sound server the rendered tune, \"tune render\" renders it once,\n"
         "\"plu-vesk\" the unnamed rest (Allegro's among them). Sink RMS: one second from the\n"
         "null sink on the title, 16-bit scale.\n\n");
  printf("| case | whole process | main thread | other threads, by name | sink RMS | game's stream on the server |\n");
  printf("|---|---|---|---|---|---|\n");
  std::vector<std::string> notes;
  for (size_t i = 0; i < plays.size(); i++) {
    const play_case& c = plays[i];
    const play_result& r = play_results[i];
    if (!r.ran) continue;
    if (!r.failure.empty()) {
      printf("| %s | failed: %s | | | | |\n", c.label.c_str(), r.failure.c_str());
      notes.push_back(c.label + ": " + r.failure + "; the game's stderr:\n" + r.stderr_text);
      continue;
    }
    std::vector<std::pair<double, std::string>> by_share;
    for (auto& [name, share] : r.others) by_share.push_back({share / r.cpu.size(), name});
    std::sort(by_share.rbegin(), by_share.rend());
    std::string others;
    for (auto& [share, name] : by_share) others += (others.empty() ? "" : ", ") + name + " " + fmt("%.3f", share);
    printf("| %s | %.3f | %.3f | %s | %s | %s |\n", c.label.c_str(), mean(r.cpu), mean(r.main_cpu),
           others.c_str(), r.rms < 0 ? "no recording" : fmt("%.0f", r.rms).c_str(), r.stream.c_str());
    bool sound = r.rms > 50;
    if (c.wants_sound && !sound)
      notes.push_back(c.label + ": the sink carried no music (RMS " + fmt("%.0f", r.rms) +
                      "); the game's stderr:\n" + r.stderr_text);
    if (!c.wants_sound && r.rms > 5)
      notes.push_back(c.label + ": the sink carried sound (RMS " + fmt("%.0f", r.rms) + ") though it should not");
    if (!c.sound_server && !r.stderr_text.empty()) notes.push_back(c.label + ", the game said: " + r.stderr_text);
  }
  if (exists("/dev/snd"))
    notes.push_back("this machine has ALSA devices (/dev/snd): the case without audio output may have had one");
  for (const std::string& n : notes) {
    std::string text = n;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    printf("\n- %s", text.c_str());
  }
  printf("\n");
}

// ---------------------------------------------------------------- the whole desktop's cost

// xjump, a game of the same kind, played on the same server: space starts its
// tower falling, which an untouched hero rides for some seconds; each run is a
// fresh xjump, measured 0.5 s to 3.5 s after the key while its bricks show.
play_result run_xjump_case(pid_t x_server, int runs) {
  play_result r;
  r.ran = true;
  std::string dir = scratch + "/xjump";
  fs::create_directories(dir);
  auto playing = [] { return black_in(50, 290, 20, 20) < 300; };  // its brick wall, not black
  for (int run = 0; run < runs; run++) {
    int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);  // it warns of fonts it lacks
    pid_t pid = spawn({"xjump"}, environment({"HOME"}, {"HOME=" + dir}), dir, quiet, quiet);
    close(quiet);
    sleep_ms(1500);
    if (!alive(pid)) {
      kill_and_reap(pid);
      r.failure = "xjump did not start (bench/desktop.sh installs it)";
      return r;
    }
    long long t0 = now_ns();
    tap_space();
    sleep_until_ns(t0 + 500000000LL);
    long long w0 = now_ns();
    long long g0 = cpu_ns(pid), x0 = cpu_ns(x_server);
    sleep_until_ns(t0 + 3500000000LL);
    long long g1 = cpu_ns(pid), x1 = cpu_ns(x_server), w1 = now_ns();
    if (playing()) {
      r.cpu.push_back((g1 - g0) / ((w1 - w0) * 1.0));
      r.x_cpu.push_back((x1 - x0) / ((w1 - w0) * 1.0));
    }
    kill_and_reap(pid);
    sleep_ms(300);
  }
  if (r.cpu.empty()) r.failure = "xjump's tower never stood for the whole window";
  return r;
}

// The game's share and the X server's, over the same seconds, for play and a
// still title at 1x on 1024x768 and at 2x on 1920x1080, with xjump on the
// smaller screen in the same run; each game against today's where
// DESKTOP_TODAY_GAME names it.
void run_cost_cases(int runs) {
  const char* big_display = getenv("DESKTOP_BIG_DISPLAY");
  pid_t small_x = getenv("DESKTOP_XVFB_PID") ? atoi(getenv("DESKTOP_XVFB_PID")) : 0;
  pid_t big_x = getenv("DESKTOP_BIG_XVFB_PID") ? atoi(getenv("DESKTOP_BIG_XVFB_PID")) : 0;
  if (!small_x || !big_x || !big_display) {
    printf("\nThe desktop's cost: no X server ids (run it through bench/desktop.sh)\n");
    return;
  }
  Display* small = dpy;
  Display* big = XOpenDisplay(big_display);
  std::string small_name = getenv("DISPLAY") ? getenv("DISPLAY") : "";
  std::vector<std::pair<std::string, std::string>> games = {{"", PV_GAME}};
  if (getenv("DESKTOP_TODAY_GAME") && *getenv("DESKTOP_TODAY_GAME"))
    games.push_back({"today's game (DESKTOP_TODAY), ", getenv("DESKTOP_TODAY_GAME")});
  struct cost_row {
    std::string label;
    play_result r;
    double target;  // on game + X server; negative: that many times xjump's
  };
  std::vector<cost_row> rows;
  fprintf(stderr, "desktop: xjump play ...\n");
  rows.push_back({"xjump play, 1024x768", run_xjump_case(small_x, runs), 0});
  for (auto& [prefix, game] : games) {
    for (int scale : {1, 2}) {
      if (scale == 2 && !big) continue;
      dpy = scale == 1 ? small : big;
      setenv("DISPLAY", scale == 1 ? small_name.c_str() : big_display, 1);
      run_tool({"xdotool", "mousemove", "320", "240"}, nullptr, 3000);
      for (bool title : {false, true}) {
        play_case c{prefix + (title ? "still title, " : "play, ") + std::to_string(scale) + "x window on " +
                        (scale == 1 ? "1024x768" : "1920x1080"),
                    tim, 0, true, 0, 0, false, scale};
        c.game = game;
        c.x_server = scale == 1 ? small_x : big_x;
        c.still_title = title;
        fprintf(stderr, "desktop: %s ...\n", c.label.c_str());
        rows.push_back({c.label, run_play_case(c, runs), title ? 0.006 : scale == 1 ? -0.7 : -1});
      }
    }
  }
  dpy = small;
  setenv("DISPLAY", small_name.c_str(), 1);
  if (big) XCloseDisplay(big);

  const play_result& xjump = rows[0].r;
  double xjump_total = xjump.failure.empty() ? mean(xjump.cpu) + mean(xjump.x_cpu) : 0;
  printf("\nThe whole desktop's cost: the game's processor share and the X server's over the same\n"
         "seconds (0.5 s to 4.0 s of a run, or 3 s of the title left alone), %d windows each, music off;\n"
         "the game's share split into its main thread and the others by name (threads left unnamed,\n"
         "Allegro's own among them, show as \"plu-vesk\")\n\n", runs);
  printf("| case | game | X server | together | target | met | game's main thread | its others, by name |\n"
         "|---|---|---|---|---|---|---|---|\n");
  for (const cost_row& c : rows) {
    if (!c.r.failure.empty() || c.r.cpu.empty()) {
      printf("| %s | failed: %s | | | | | | |\n", c.label.c_str(), c.r.failure.c_str());
      continue;
    }
    std::string others;
    for (auto& [name, share] : c.r.others) others += (others.empty() ? "" : ", ") + name + fmt(" %.4f", share / c.r.cpu.size());
    std::vector<double> together;
    for (size_t i = 0; i < c.r.cpu.size(); i++) together.push_back(c.r.cpu[i] + c.r.x_cpu[i]);
    double target = c.target >= 0 ? c.target : xjump_total > 0 ? -c.target * xjump_total : 0;
    std::string target_text = c.target > 0 ? fmt("≤ %.3f", c.target)
                              : c.target < 0 ? fmt("≤ %.1f x xjump's", -c.target) + fmt(" (%.3f)", target)
                                             : "";
    printf("| %s | %s | %s | %s | %s | %s | %s | %s |\n", c.label.c_str(), fmt("%.3f", mean(c.r.cpu)).c_str(),
           fmt("%.3f", mean(c.r.x_cpu)).c_str(), with_range("%.3f", mean(together), together).c_str(),
           target_text.c_str(), verdict(target, mean(together)).c_str(),
           c.r.main_cpu.empty() ? "" : fmt("%.4f", mean(c.r.main_cpu)).c_str(), others.c_str());
  }
}

// The music switch, per SoundFont: the main thread's longest stretch.
void run_switch_cases() {
  const char* const switch_fonts[] = {fluid_r3, tim, fluid_r3_mono, musescore_lite};
  const double switch_target_ms = 10;
  int switches = getenv("DESKTOP_SWITCHES") ? std::max(1, atoi(getenv("DESKTOP_SWITCHES"))) : 20;
  std::vector<switch_result> switch_results;
  for (const char* font : switch_fonts) {
    fprintf(stderr, "desktop: music switch, %s ...\n", short_name(font).c_str());
    switch_results.push_back(run_switch_case(font, switches));
  }
  printf("\nThe music switched off and on %d times in the options (strace on the game): the main\n"
         "thread's longest stretch of work between two sleeps, and the median one.\n\n", switches);
  printf("| case | longest | median | switches seen | target | met |\n|---|---|---|---|---|---|\n");
  for (size_t i = 0; i < switch_results.size(); i++) {
    const switch_result& r = switch_results[i];
    std::string label = "music switch, " + short_name(switch_fonts[i]);
    if (!r.ran) printf("| %s | not installed | | | | |\n", label.c_str());
    else if (!r.failure.empty()) printf("| %s | failed: %s | | | | |\n", label.c_str(), r.failure.c_str());
    else {
      double longest = *std::max_element(r.stretches_ms.begin(), r.stretches_ms.end());
      printf("| %s | %.1f ms | %.2f ms | %d of %d | ≤ %.0f ms | %s |\n", label.c_str(), longest,
             median(r.stretches_ms), r.seen, r.wanted, switch_target_ms,
             verdict(switch_target_ms, longest).c_str());
    }
  }
}

// ---------------------------------------------------------------- the music

// The time of the first sound on the sink after a moment, read from the null
// sink's monitor as it comes, 10 ms at a time: a sample is timed by the
// arrival of its chunk.
struct sink_listener {
  pid_t rec = -1;
  int fd = -1;
  std::thread reader;
  std::atomic<long long> from_ns{LLONG_MAX};  // listen for sound after this
  std::atomic<long long> heard_ns{0};         // the first loud sample after it, 0 for none

  bool start() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    rec = spawn({"parec", "--device=null.monitor", "--format=s16le", "--channels=2", "--rate=44100",
                 "--latency-msec=10"},
                environment({}, {}), scratch, fds[1], devnull);
    close(fds[1]);
    if (devnull >= 0) close(devnull);
    fd = fds[0];
    reader = std::thread([this] {
      short chunk[8192];
      for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
        long long now = now_ns();
        bool loud = false;
        for (int i = 0; i < n / 2; i++) loud = loud || std::abs(chunk[i]) > 100;
        if (loud && now >= from_ns && heard_ns == 0) heard_ns = now;
      }
    });
    return rec > 0;
  }
  void listen_from(long long t) {
    heard_ns = 0;
    from_ns = t;
  }
  void stop() {
    kill_and_reap(rec);
    if (reader.joinable()) reader.join();
    if (fd >= 0) close(fd);
  }
};

struct first_sound_result {
  std::vector<double> ms;  // from the music line showing "+" to the first sound, per switch
  std::string failure;
};

// The frame of the options that switches the music rests this long (as after
// every choice) before it shows the "+": the switch came that much earlier.
const double options_rest_ms = 100;

// In the options, the music switched on from off, again and again: how long
// from the switch to the first sound each time.
first_sound_result run_first_sound_case(const std::string& game, const std::string& soundfont, int switches) {
  first_sound_result r;
  std::string dir = scratch + "/game";
  r.failure = ready_to_start(dir, 0, 1);
  if (!r.failure.empty()) return r;
  sink_listener sink;
  pid_t pid = start_game(dir, game_environment(soundfont, true), 1, game);
  auto finish = [&](const std::string& why) {
    r.failure = why;
    kill_and_reap(pid);
    sink.stop();
    return r;
  };
  if (!sink.start()) return finish("parec did not start");
  if (!wait_for(pid, on_title, 60000)) return finish("the title never showed");
  sleep_ms(700);
  tap("Down");
  tap_space();
  if (!wait_for(pid, on_options, 3000)) return finish("space on Options did not open them");
  sleep_ms(700);
  tap("Down");
  sleep_ms(200);
  for (int i = 0; i < switches; i++) {
    sink.listen_from(now_ns());
    std::thread press(tap_space);
    bool on = wait_for(pid, [] { return music_mark_ink() > 6; }, 3000, 0.5);
    long long shown = now_ns();
    press.join();
    if (!on) return finish("the music line did not switch on");
    if (!wait_for(pid, [&] { return sink.heard_ns != 0; }, 10000)) return finish("no sound after the switch");
    r.ms.push_back((sink.heard_ns - shown) / 1e6 + options_rest_ms);
    sleep_ms(1500);
    tap_space();
    if (!wait_for(pid, [] { return music_mark_ink() <= 6; }, 3000)) return finish("the music line did not switch off");
    sleep_ms(1500);  // the last notes' release
  }
  kill_and_reap(pid);
  sink.stop();
  return r;
}

// The music on, per SoundFont, against the silent game in the same rounds:
// the processor share in play once the tune is rendered, the render's own
// processor time, resident memory, and the time from the switch to the first
// sound; and the same of DESKTOP_TODAY's game.
void run_music_cases(int runs, int switches) {
  const char* today = getenv("DESKTOP_TODAY_GAME");
  std::vector<std::pair<std::string, std::string>> games = {{"this game", PV_GAME}};
  if (today && *today) games.insert(games.begin(), {"today's game", today});
  std::vector<play_case> cases;
  for (auto& [who, game] : games)
    for (const char* font : {"", fluid_r3, tim}) {
      bool silent = !*font;
      play_case c{who + (silent ? ", music off" : ", music on, " + short_name(font)), silent ? tim : font,
                  !silent, true, 0, 0, !silent};
      c.game = game;
      cases.push_back(c);
    }
  // Taking turns, round by round, so that every case meets the same machine.
  std::vector<play_result> results(cases.size());
  std::vector<std::vector<double>> renders(cases.size());
  for (int round = 0; round < runs; round++)
    for (size_t i = 0; i < cases.size(); i++) {
      if (!exists(cases[i].soundfont)) continue;
      fprintf(stderr, "desktop: %s, round %d ...\n", cases[i].label.c_str(), round + 1);
      play_result one = run_play_case(cases[i], 1);
      play_result& all = results[i];
      all.ran = one.ran;
      if (!one.failure.empty()) all.failure = one.failure + "; stderr: " + one.stderr_text;
      all.cpu.insert(all.cpu.end(), one.cpu.begin(), one.cpu.end());
      all.rss_kb = std::max(all.rss_kb, one.rss_kb);
      if (one.render_s >= 0) renders[i].push_back(one.render_s);
    }
  std::vector<first_sound_result> sounds(cases.size());
  for (size_t i = 0; i < cases.size(); i++) {
    if (!cases[i].music_on || !exists(cases[i].soundfont)) continue;
    fprintf(stderr, "desktop: %s, the first sound ...\n", cases[i].label.c_str());
    sounds[i] = run_first_sound_case(cases[i].game, cases[i].soundfont, switches);
  }

  printf("\nThe music on, against the game with the music off in the same rounds (%d rounds, one run of\n"
         "play each, 0.5 s to 4.0 s into it, after the tune's render has ended); the render's processor\n"
         "time; the largest resident memory; from the switch on in the options (100 ms before its \"+\"\n"
         "shows) to the first sound on the sink, %d switches from off.\n\n", runs, switches);
  printf("| case | CPU in play (whole process) | above the music off | render's CPU | resident memory | "
         "first sound, median (range) |\n|---|---|---|---|---|---|\n");
  for (size_t i = 0; i < cases.size(); i++) {
    const play_case& c = cases[i];
    const play_result& r = results[i];
    const play_result& silent = results[i - i % 3];
    if (!exists(c.soundfont)) {
      printf("| %s | %s not installed | | | | |\n", c.label.c_str(), short_name(c.soundfont).c_str());
      continue;
    }
    if (!r.failure.empty() || r.cpu.empty()) {
      printf("| %s | failed: %s | | | | |\n", c.label.c_str(), r.failure.c_str());
      continue;
    }
    std::string above = !c.music_on || silent.cpu.empty() ? "" : fmt("%+.3f", mean(r.cpu) - mean(silent.cpu));
    std::string render = renders[i].empty() ? "" : with_range("%.2f", mean(renders[i]), renders[i]) + " s";
    const first_sound_result& f = sounds[i];
    std::string first = !c.music_on ? ""
                        : !f.failure.empty() ? "failed: " + f.failure
                        : f.ms.empty() ? "" : with_range("%.0f", median(f.ms), f.ms) + " ms";
    printf("| %s | %s | %s | %s | %.1f MB | %s |\n", c.label.c_str(), with_range("%.3f", mean(r.cpu), r.cpu).c_str(),
           above.c_str(), render.c_str(), r.rss_kb / 1024.0, first.c_str());
  }
  printf("\nTargets: above the music off ≤ +0.012; resident memory ≤ 25 MB with the music on; the first\n"
         "sound ≤ 200 ms.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: bench_desktop SCRATCH_DIR [runs per case] [starts per SoundFont]\n");
    return 2;
  }
  scratch = argv[1];
  int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 4;
  int starts = argc > 3 ? std::max(1, atoi(argv[3])) : 5;
  const char* only = getenv("DESKTOP_ONLY") ? getenv("DESKTOP_ONLY") : "";
  bool only_switch = strcmp(only, "switch") == 0, only_pads = strcmp(only, "pads") == 0,
       only_watch = strcmp(only, "watch") == 0, only_cost = strcmp(only, "cost") == 0,
       only_music = strcmp(only, "music") == 0;
  if (!getenv("PULSE_SERVER")) {
    fprintf(stderr, "bench_desktop: no PULSE_SERVER; run it through bench/desktop.sh\n");
    return 1;
  }
  dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    fprintf(stderr, "bench_desktop: cannot open the display \"%s\"\n", getenv("DISPLAY") ? getenv("DISPLAY") : "");
    return 1;
  }
  // Keyboard focus follows the pointer on a bare server: keep it over the game.
  run_tool({"xdotool", "mousemove", "320", "240"}, nullptr, 3000);

  if (only_cost) {
    run_cost_cases(runs);
    XCloseDisplay(dpy);
    return 0;
  }
  if (!only_pads && !only_watch && !only_music) run_switch_cases();
  // After the switch: a game at 2x among them, bigger than the screen,
  // leaves the keyboard focus nowhere when it ends.
  if (!only_switch && !only_music) run_desktop_cases(runs, starts, only_pads, only_watch);
  if (!*only || only_music)
    run_music_cases(runs, getenv("DESKTOP_MUSIC_SWITCHES") ? std::max(1, atoi(getenv("DESKTOP_MUSIC_SWITCHES"))) : 5);
  if (!*only) run_cost_cases(runs);
  XCloseDisplay(dpy);
  return 0;
}
