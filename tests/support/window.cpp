#include "support/window.h"

#include <allegro.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <linux/input.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/globals.h"

extern char** environ;

namespace fs = std::filesystem;
using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

static const char* const screenshot_name = "Plu Vesk screenshot.bmp";
static const char* const settings_name = "PV settings.dat";

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::ostream& operator<<(std::ostream& os, Rgb c) {
  return os << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}

// ---------------------------------------------------------------- pictures

Rgb Image::at(int px, int py) const {
  if (px < 0 || py < 0 || px >= width || py >= height) return Rgb{-1, -1, -1};
  size_t i = ((size_t)py * width + px) * 3;
  return Rgb{rgb[i], rgb[i + 1], rgb[i + 2]};
}

int Image::count(int x0, int y0, int x1, int y1, Rgb c) const {
  int n = 0;
  for (int py = std::max(y0, 0); py <= std::min(y1, height - 1); py++)
    for (int px = std::max(x0, 0); px <= std::min(x1, width - 1); px++)
      if (at(px, py) == c) n++;
  return n;
}

static bool read_whole(const std::string& path, std::string& bytes) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

static unsigned le16(const std::string& b, size_t at) {
  return (unsigned char)b[at] | (unsigned char)b[at + 1] << 8;
}
static long le32(const std::string& b, size_t at) {
  unsigned long v = le16(b, at) | (unsigned long)le16(b, at + 2) << 16;
  return (long)(int32_t)v;
}

AssertionResult load_bmp24(const std::string& path, Image& out) {
  std::string b;
  if (!read_whole(path, b)) return AssertionFailure() << "cannot read " << path;
  if (b.size() < 54 || b[0] != 'B' || b[1] != 'M')
    return AssertionFailure() << path << " is not a BMP (" << b.size() << " bytes)";
  long declared = le32(b, 2), offset = le32(b, 10), w = le32(b, 18), h = le32(b, 22);
  unsigned bpp = le16(b, 28);
  long compression = le32(b, 30);
  if (declared != (long)b.size())
    return AssertionFailure() << path << " holds " << b.size() << " bytes, its header says "
                              << declared;
  if (bpp != 24 || compression != 0 || w <= 0 || h == 0)
    return AssertionFailure() << path << ": " << w << "x" << h << ", " << bpp
                              << " bits, compression " << compression;
  long rows = h < 0 ? -h : h;
  long stride = (w * 3 + 3) / 4 * 4;
  if (offset < 54 || offset + stride * rows > (long)b.size())
    return AssertionFailure() << path << " is shorter than its pixels";
  out.width = (int)w;
  out.height = (int)rows;
  out.rgb.assign((size_t)w * rows * 3, 0);
  for (long r = 0; r < rows; r++) {
    long src_row = h > 0 ? rows - 1 - r : r;  // bottom-up unless the height is negative
    const unsigned char* src = (const unsigned char*)b.data() + offset + src_row * stride;
    unsigned char* dst = out.rgb.data() + (size_t)r * w * 3;
    for (long px = 0; px < w; px++) {
      dst[px * 3] = src[px * 3 + 2];
      dst[px * 3 + 1] = src[px * 3 + 1];
      dst[px * 3 + 2] = src[px * 3];
    }
  }
  return AssertionSuccess();
}

AssertionResult load_ppm(const std::string& path, Image& out) {
  std::string b;
  if (!read_whole(path, b)) return AssertionFailure() << "cannot read " << path;
  size_t at = 0;
  auto field = [&](long& v) {
    for (;;) {
      while (at < b.size() && isspace((unsigned char)b[at])) at++;
      if (at < b.size() && b[at] == '#') {
        while (at < b.size() && b[at] != '\n') at++;
        continue;
      }
      break;
    }
    size_t start = at;
    while (at < b.size() && isdigit((unsigned char)b[at])) at++;
    if (start == at) return false;
    v = std::stol(b.substr(start, at - start));
    return true;
  };
  long w = 0, h = 0, maxval = 0;
  if (b.compare(0, 2, "P6") != 0) return AssertionFailure() << path << " is not a binary PPM";
  at = 2;
  if (!field(w) || !field(h) || !field(maxval) || maxval != 255 || w <= 0 || h <= 0)
    return AssertionFailure() << path << ": bad PPM header";
  at++;  // the single white-space byte before the samples
  if (b.size() < at + (size_t)(w * h * 3)) return AssertionFailure() << path << " is short";
  out.width = (int)w;
  out.height = (int)h;
  out.rgb.assign(b.begin() + at, b.begin() + at + w * h * 3);
  return AssertionSuccess();
}

// Allegro without a system driver: enough for memory bitmaps, fonts and text.
static FONT* title_font() {
  static FONT* loaded = nullptr;
  if (!loaded) {
    if (install_allegro(SYSTEM_NONE, &allegro_errnum, atexit) != 0) return nullptr;
    set_color_depth(32);
    loaded = load_bitmap_font(PV_ASSET_DIR "/bubble.pcx", NULL, NULL);
  }
  return loaded;
}

static TextInk text_ink(FONT* f, const std::string& s, int x, int y, Align align) {
  TextInk ink;
  if (!f) return ink;
  int len = text_length(f, s.c_str());
  int left = align == Align::left ? x : align == Align::centre ? x - len / 2 : x - len;
  BITMAP* bmp = create_bitmap(640, 480);
  clear_to_color(bmp, 0);
  textout_ex(bmp, f, s.c_str(), left, y, makecol(255, 255, 255), -1);
  ink.x0 = std::max(left, 0);
  ink.y0 = std::max(y, 0);
  ink.x1 = std::min(left + len - 1, 639);
  ink.y1 = std::min(y + text_height(f) - 1, 479);
  for (int py = ink.y0; py <= ink.y1; py++)
    for (int px = ink.x0; px <= ink.x1; px++)
      if (getpixel(bmp, px, py) != 0) ink.pixels.push_back({px, py});
  destroy_bitmap(bmp);
  return ink;
}

TextInk title_text_ink(const std::string& s, int x, int y, Align align) {
  return text_ink(title_font(), s, x, y, align);
}

TextInk small_text_ink(const std::string& s, int x, int y, Align align) {
  title_font();  // starts the library
  return text_ink(font, s, x, y, align);
}

int ink_missing(const Image& shot, const TextInk& ink, Rgb c) {
  if (ink.pixels.empty()) return -1;  // a text that draws nothing proves nothing
  int n = 0;
  for (auto [px, py] : ink.pixels)
    if (shot.at(px, py) != c) n++;
  return n;
}

int ink_stray(const Image& shot, const TextInk& ink, Rgb c) {
  if (ink.pixels.empty()) return -1;
  int on_ink = (int)ink.pixels.size() - ink_missing(shot, ink, c);
  return shot.count(ink.x0, ink.y0, ink.x1, ink.y1, c) - on_ink;
}

// ---------------------------------------------------------------- processes

static std::vector<std::string> environment_with_display(int display) {
  std::vector<std::string> env;
  for (char** e = environ; *e; e++)
    if (strncmp(*e, "DISPLAY=", 8) != 0) env.push_back(*e);
  if (display >= 0) env.push_back("DISPLAY=:" + std::to_string(display));
  return env;
}

[[noreturn]] static void child_gives_up(const std::string& why) {
  ssize_t n = write(2, why.data(), why.size());
  (void)n;  // nothing more to do if even that fails
  _exit(126);
}

// fork + exec with the given environment and working directory; stdin from
// /dev/null. The child dies with the test process, so a test killed by its
// time limit leaves no game or server behind. With a uid of 0 or more the
// child drops to that user and group before it enters cwd.
static pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& cwd, int out_fd, int err_fd, int uid = -1) {
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  // Made before the fork: the child only writes them.
  std::string no_user = "test harness: cannot become user " + std::to_string(uid) + "\n";
  std::string no_dir = "test harness: cannot enter " + cwd + "\n";
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (in >= 0) dup2(in, 0);
  if (out_fd >= 0) dup2(out_fd, 1);
  if (err_fd >= 0) dup2(err_fd, 2);
  if (uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
    child_gives_up(no_user);
  if (chdir(cwd.c_str()) != 0) child_gives_up(no_dir);
  execvpe(args[0], args.data(), envp.data());
  _exit(127);
}

static int open_log(const std::string& path, bool append) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC),
              0644);
}

// SIGTERM, a second to go, then SIGKILL; always reaped.
static void stop_process(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; i++) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    sleep_ms(10);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

std::vector<std::string> WindowTest::client_environment(int on_display) {
  std::vector<std::string> env = environment_with_display(on_display);
  env.insert(env.end(), pulse_env.begin(), pulse_env.end());
  env.insert(env.end(), bus_env.begin(), bus_env.end());
  return env;
}

int WindowTest::run_tool(const std::vector<std::string>& argv, std::string* out, int timeout_ms) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  int err = open_log(root + "/tools.log", true);
  std::vector<std::string> env = client_environment(display);
  pid_t pid = spawn(argv, env, root, pipe_fds[1], err);
  close(pipe_fds[1]);
  if (err >= 0) close(err);
  std::string got;
  long long deadline = now_ms() + timeout_ms;
  for (;;) {
    long long left = deadline - now_ms();
    if (left <= 0) break;
    pollfd p{pipe_fds[0], POLLIN, 0};
    if (poll(&p, 1, (int)left) <= 0) break;
    char chunk[4096];
    ssize_t n = read(pipe_fds[0], chunk, sizeof chunk);
    if (n <= 0) break;
    got.append(chunk, n);
  }
  close(pipe_fds[0]);
  // Give it the rest of its time, then kill it: a hung tool must not hang the test.
  int status = 0;
  bool reaped = false;
  do {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      reaped = true;
      break;
    }
    sleep_ms(2);
  } while (now_ms() < deadline);
  if (!reaped) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  if (out) *out = got;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---------------------------------------------------------------- fixture

void WindowTest::SetUp() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pv-window-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  ASSERT_NE(mkdtemp(buf.data()), nullptr) << strerror(errno);
  root = buf.data();
  dir = root + "/game";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  std::error_code ec;
  fs::copy_file(fs::path(PV_ASSET_DIR) / "bubble.pcx", fs::path(dir) / "bubble.pcx", ec);
  ASSERT_FALSE(ec) << "copying bubble.pcx: " << ec.message();
  // The tune is optional: the game runs silent without it.
  if (fs::exists(fs::path(PV_ASSET_DIR) / "sky.mid"))
    fs::copy_file(fs::path(PV_ASSET_DIR) / "sky.mid", fs::path(dir) / "sky.mid", ec);
}

void WindowTest::TearDown() { clean_up(); }

WindowTest::~WindowTest() { clean_up(); }

void WindowTest::clean_up() {
  stop_process(game_pid);
  if (pad_fifo_ >= 0) close(pad_fifo_);
  pad_fifo_ = -1;
  pad_device_.clear();
  game_env.clear();
  stop_process(client_pid);
  stop_process(wm_pid);
  stop_process(pulse_pid);
  pulse_env.clear();
  stop_process(service_pid);
  stop_process(bus_pid);
  bus_env.clear();
  if (trace_pid > 0) {
    stop_process(trace_pid);
    unlink(("/tmp/.X11-unix/X" + std::to_string(traced_display)).c_str());
  }
  traced_display = -1;
  release_pointer();  // while the server still runs: Xlib ends the process on a lost server
  stop_process(xvfb_pid);
  display = -1;
  if (!root.empty()) {
    std::error_code ec;
    chmod(dir.c_str(), 0755);  // a test may have made it read-only
    fs::remove_all(root, ec);
    root.clear();
  }
}

void WindowTest::write_settings(const std::string& bytes) { write_game_file(settings_name, bytes); }

void WindowTest::write_game_file(const std::string& name, const std::string& bytes) {
  std::ofstream f(dir + "/" + name, std::ios::binary | std::ios::trunc);
  f << bytes;
}

void WindowTest::remove_from_game_dir(const std::string& name) {
  unlink((dir + "/" + name).c_str());
}

static bool socket_accepts(int n) {
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "/tmp/.X11-unix/X%d", n);
  bool ok = connect(s, (sockaddr*)&addr, sizeof addr) == 0;
  close(s);
  return ok;
}

static pid_t lock_owner(int n) {
  std::string text;
  if (!read_whole("/tmp/.X" + std::to_string(n) + "-lock", text)) return -1;
  return (pid_t)atol(text.c_str());
}

AssertionResult WindowTest::start_xvfb() {
  // Numbers from a per-process base upwards; the server's own lock file
  // settles any race with a parallel test that picked the same number.
  int base = 200 + getpid() % 400;
  for (int n = base; n < base + 100; n++) {
    struct stat st;
    if (stat(("/tmp/.X" + std::to_string(n) + "-lock").c_str(), &st) == 0) continue;
    if (stat(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), &st) == 0) continue;
    int log = open_log(root + "/xvfb.log", false);
    pid_t pid = spawn({"Xvfb", ":" + std::to_string(n), "-screen", "0",
                       std::to_string(screen_w) + "x" + std::to_string(screen_h) + "x24",
                       "-nolisten", "tcp", "-noreset"},
                      environment_with_display(-1), root, log, log);
    if (log >= 0) close(log);
    long long deadline = now_ms() + 10000;
    bool lost = false;
    while (now_ms() < deadline) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) {
        lost = true;  // someone else took this number first
        break;
      }
      if (lock_owner(n) == pid && socket_accepts(n)) {
        xvfb_pid = pid;
        display = n;
        // Keyboard focus follows the pointer on a bare server: keep it over the game.
        run_tool({"xdotool", "mousemove", "320", "240"}, nullptr);
        return AssertionSuccess();
      }
      sleep_ms(20);
    }
    if (!lost) {
      stop_process(pid);
      std::string log_text;
      read_whole(root + "/xvfb.log", log_text);
      return AssertionFailure() << "Xvfb :" << n << " did not come up in 10 s:\n" << log_text;
    }
  }
  return AssertionFailure() << "no free X display number from " << base;
}

AssertionResult WindowTest::launch(bool with_display) {
  if (running()) return AssertionFailure() << "the game is already running";
  if (with_display && display < 0) {
    AssertionResult started = start_xvfb();
    if (!started) return started;
  }
  int game_display = traced_display >= 0 ? traced_display : display;
  std::vector<std::string> env = client_environment(with_display ? game_display : -1);
  if (run_as >= 0) {
    // A home the user can write, so that libraries keeping state there stay quiet.
    std::string home = root + "/home";
    mkdir(home.c_str(), 0700);
    if (chown(home.c_str(), run_as, run_as) != 0)
      return AssertionFailure() << "cannot give " << home << " to user " << run_as;
    env.erase(std::remove_if(env.begin(), env.end(),
                             [](const std::string& e) { return e.compare(0, 5, "HOME=") == 0; }),
              env.end());
    env.push_back("HOME=" + home);
  }
  for (const std::string& setting : game_env) {
    std::string name = setting.substr(0, setting.find('=') + 1);
    env.erase(std::remove_if(env.begin(), env.end(),
                             [&](const std::string& e) { return e.compare(0, name.size(), name) == 0; }),
              env.end());
    env.push_back(setting);
  }
  int out = open_log(root + "/game.out", false);
  int err = open_log(root + "/game.err", false);
  std::vector<std::string> argv = {PV_GAME};
  if (run_as >= 0) {
    // The build may lie where that user cannot go (a home of mode 700): the
    // game runs from a copy in the scratch area, which it can reach, with
    // the list of Allegro modules that lies beside it.
    std::string copy = root + "/plu-vesk";
    std::error_code ec;
    fs::copy_file(PV_GAME, copy, fs::copy_options::overwrite_existing, ec);
    if (ec || chmod(copy.c_str(), 0755) != 0)
      return AssertionFailure() << "cannot copy the game to " << copy << ": " << ec.message();
    fs::path modules = fs::path(PV_GAME).parent_path() / "modules.lst";
    fs::copy_file(modules, root + "/modules.lst", fs::copy_options::overwrite_existing, ec);
    if (ec || chmod((root + "/modules.lst").c_str(), 0644) != 0)
      return AssertionFailure() << "cannot copy " << modules << ": " << ec.message();
    argv[0] = copy;
  }
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  game_pid = spawn(argv, env, dir, out, err, run_as);
  if (out >= 0) close(out);
  if (err >= 0) close(err);
  if (game_pid < 0) return AssertionFailure() << "cannot start " << PV_GAME;
  return AssertionSuccess();
}

bool WindowTest::running() {
  if (game_pid <= 0) return false;
  int status;
  if (waitpid(game_pid, &status, WNOHANG) == 0) return true;
  game_pid = -1;
  return false;
}

std::string describe_status(int status) {
  std::ostringstream s;
  if (WIFEXITED(status)) s << "exit status " << WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) s << "killed by signal " << WTERMSIG(status);
  else s << "status " << status;
  return s.str();
}

AssertionResult WindowTest::wait_exit(int timeout_ms, int* status) {
  if (game_pid <= 0) return AssertionFailure() << "the game was not started";
  long long deadline = now_ms() + timeout_ms;
  do {
    pid_t r = waitpid(game_pid, status, WNOHANG);
    if (r == game_pid) {
      game_pid = -1;
      return AssertionSuccess();
    }
    sleep_ms(5);
  } while (now_ms() < deadline);
  return AssertionFailure() << "the game still runs after " << timeout_ms << " ms";
}

AssertionResult WindowTest::wait_exit_ok(int timeout_ms) {
  int status = 0;
  AssertionResult ended = wait_exit(timeout_ms, &status);
  if (!ended) return ended;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return AssertionSuccess();
  return AssertionFailure() << "the game ended with " << describe_status(status)
                            << "; stderr:\n" << game_stderr();
}

// ---------------------------------------------------------------- windows

const char* shown_name(Shown s) {
  switch (s) {
    case Shown::nothing: return "nothing";
    case Shown::window: return "a 640x480 window";
    case Shown::full_screen: return "full screen";
    default: return "something else";
  }
}

namespace {
struct XWindow {
  std::string id;
  bool named = false;  // called "Plu Vesk"
  bool mapped = false;
  bool override_redirect = false;
  int x = 0, y = 0, w = 0, h = 0;
};

int field_after(const std::string& text, const char* label) {
  size_t at = text.find(label);
  if (at == std::string::npos) return -1;
  return atoi(text.c_str() + at + strlen(label));
}
}  // namespace

Shown WindowTest::shown() {
  std::string tree;
  if (display < 0 || run_tool({"xwininfo", "-root", "-children"}, &tree) != 0) {
    last_windows_ = "(no X server to ask)";
    return Shown::nothing;
  }
  std::vector<XWindow> windows;
  std::istringstream lines(tree);
  std::string line;
  while (std::getline(lines, line)) {
    size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos || line.compare(start, 2, "0x") != 0) continue;
    XWindow w;
    w.id = line.substr(start, line.find(' ', start) - start);
    w.named = line.find("\"Plu Vesk\"") != std::string::npos;
    std::string info;
    if (run_tool({"xwininfo", "-id", w.id}, &info) != 0) continue;  // gone meanwhile
    w.mapped = info.find("Map State: IsViewable") != std::string::npos;
    w.override_redirect = info.find("Override Redirect State: yes") != std::string::npos;
    w.x = field_after(info, "Absolute upper-left X:");
    w.y = field_after(info, "Absolute upper-left Y:");
    w.w = field_after(info, "Width:");
    w.h = field_after(info, "Height:");
    windows.push_back(w);
  }

  std::ostringstream d;
  int named_mapped = 0;
  bool full = false;
  for (const XWindow& w : windows) {
    d << "  " << w.id << (w.named ? " \"Plu Vesk\"" : "") << " " << w.w << "x" << w.h << "+" << w.x
      << "+" << w.y << (w.mapped ? " mapped" : " unmapped")
      << (w.override_redirect ? " override" : "") << "\n";
    if (!w.mapped || !w.named) continue;
    named_mapped++;
    full = w.x == 0 && w.y == 0 && w.w == screen_w && w.h == screen_h;
    window_x = w.x;
    window_y = w.y;
    window_w = w.w;
    window_h = w.h;
  }
  last_windows_ = windows.empty() ? "  (no windows)\n" : d.str();
  if (named_mapped == 0) return Shown::nothing;
  if (named_mapped > 1) return Shown::other;
  return full ? Shown::full_screen : Shown::window;
}

std::string WindowTest::describe_windows() {
  shown();
  return last_windows_;
}

AssertionResult WindowTest::wait_shown(Shown want, int timeout_ms) {
  long long deadline = now_ms() + timeout_ms;
  Shown got;
  do {
    got = shown();
    if (got == want) {
      // On a bare server the keyboard goes where the pointer is, and a game
      // that ran before may have left it elsewhere.
      if (wm_pid < 0 && (got == Shown::window || got == Shown::full_screen))
        run_tool({"xdotool", "mousemove", std::to_string(window_x + window_w / 2),
                  std::to_string(window_y + window_h / 2)},
                 nullptr);
      return AssertionSuccess();
    }
    if (!running())
      return AssertionFailure() << "the game ended before showing " << shown_name(want)
                                << "; stderr:\n" << game_stderr();
    sleep_ms(50);
  } while (now_ms() < deadline);
  return AssertionFailure() << "wanted " << shown_name(want) << ", the screen shows "
                            << shown_name(got) << ":\n" << last_windows_;
}

// ---------------------------------------------------------------- keys

void WindowTest::tap(const char* keysym, int hold) {
  // One xdotool run for both events, so the hold is not stretched by a process start.
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.3f", hold / 1000.0);
  run_tool({"xdotool", "keydown", keysym, "sleep", seconds, "keyup", keysym}, nullptr);
  // Let the game see the key up in at least one frame before the next press.
  sleep_ms(80);
}

void WindowTest::key_down(const char* keysym) { run_tool({"xdotool", "keydown", keysym}, nullptr); }

void WindowTest::key_up(const char* keysym) { run_tool({"xdotool", "keyup", keysym}, nullptr); }

void WindowTest::choose(int downs) {
  // A busy machine can stretch a tap over a third menu frame, which steps
  // twice: the cursor is looked at on the display, and put right, before the
  // choice. Where the menu cannot be seen, the taps go blind.
  int at = 0;
  for (int i = 0; i < downs; i++) tap("Down");
  for (int tries = 0; tries < 4; tries++) {
    Image frame;
    if (!frame_on_display(frame) || (at = menu_cursor(frame)) < 0 || at == downs) break;
    tap(at < downs ? "Down" : "Up");
  }
  tap("space");
}

int menu_cursor(const Image& shot) {
  // The title's cursor is centred on x 320 with half-width 45, the options'
  // on x 325 with half-width 55; either 4 pixels below its entry's top.
  int cx, half_width;
  if (shows_title(shot)) cx = 320, half_width = 45;
  else if (shows_options(shot)) cx = 325, half_width = 55;
  else return -1;
  int found = -1;
  for (int entry = 0; entry < 3; entry++) {
    if (cloud_pixels(shot, cx, 244 + 20 * entry, half_width) == 0) continue;
    if (found >= 0) return -1;
    found = entry;
  }
  return found;
}

// ---------------------------------------------------------------- a gamepad

AssertionResult WindowTest::plug_pad() {
  if (pad_fifo_ >= 0) return AssertionFailure() << "a pad is already plugged in";
  // SDL stats the path before it opens it, and the preload opens the FIFO
  // in its place.
  pad_device_ = root + "/pad";
  std::string fifo = root + "/pad.fifo";
  std::ofstream made(pad_device_);
  if (mkfifo(fifo.c_str(), 0600) != 0) return AssertionFailure() << "mkfifo: " << strerror(errno);
  // Both ends: the test's writes never wait for, nor fail without, a reader.
  pad_fifo_ = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (pad_fifo_ < 0) return AssertionFailure() << "cannot open " << fifo << ": " << strerror(errno);
  game_env.push_back("LD_PRELOAD=" PV_FAKE_PAD);
  game_env.push_back("PV_PAD_DEVICE=" + pad_device_);
  game_env.push_back("PV_PAD_FIFO=" + fifo);
  game_env.push_back("SDL_JOYSTICK_DEVICE=" + pad_device_);
  return AssertionSuccess();
}

void WindowTest::hide_sdl() {
  game_env.push_back("LD_PRELOAD=" PV_FAKE_PAD);
  game_env.push_back("PV_PAD_NO_SDL=1");
  // A pad named, so that the game reaches for SDL.
  game_env.push_back("SDL_JOYSTICK_DEVICE=" + root + "/no-pad");
}

void WindowTest::pad_event(int type, int code, int value) {
  // With its report in one write, so the game never reads half of it.
  input_event e[2];
  memset(e, 0, sizeof e);
  e[0].type = (unsigned short)type;
  e[0].code = (unsigned short)code;
  e[0].value = value;
  e[1].type = EV_SYN;
  e[1].code = SYN_REPORT;
  ssize_t n = write(pad_fifo_, e, sizeof e);
  EXPECT_EQ(n, (ssize_t)sizeof e) << "the pad's FIFO took no event";
}

void WindowTest::pad_press(int button, int hold) {
  pad_event(EV_KEY, button, 1);
  sleep_ms(hold);
  pad_event(EV_KEY, button, 0);
  sleep_ms(80);
}

void WindowTest::pad_move(int axis, int value, int hold) {
  pad_event(EV_ABS, axis, value);
  sleep_ms(hold);
  pad_event(EV_ABS, axis, 0);
  sleep_ms(80);
}

void WindowTest::unplug_pad() { unlink(pad_device_.c_str()); }

// ---------------------------------------------------------------- pictures of the game

int cloud_pixels(const Image& shot, int cx, int cy, int half_width) {
  // A puff is a disc of radius 9 centred from cx - half_width rightwards.
  int x0 = cx - half_width - 9, x1 = cx + half_width + 9;
  return shot.count(x0, cy - 9, x1, cy + 9, white_rgb) +
         shot.count(x0, cy - 9, x1, cy + 9, cloud_shade_rgb);
}

AssertionResult WindowTest::screenshot(Image& out) {
  std::string path = dir + "/" + screenshot_name;
  AssertionResult last = AssertionFailure() << "no screenshot appeared";
  // Pressed again when nothing comes: the hot keys work only from the end of start-up.
  for (int attempt = 0; attempt < 3; attempt++) {
    if (!running())
      return AssertionFailure() << "the game is not running; stderr:\n" << game_stderr();
    unlink(path.c_str());  // whatever appears now comes from this press
    tap("Tab");
    long long deadline = now_ms() + 1000;
    while (now_ms() < deadline) {
      if (access(path.c_str(), F_OK) == 0) {
        last = load_bmp24(path, out);
        if (last) return last;
      }
      sleep_ms(10);
    }
  }
  return last;
}

AssertionResult WindowTest::screenshot_until(Image& out,
                                             const std::function<bool(const Image&)>& shows,
                                             const char* what, int timeout_ms) {
  long long deadline = now_ms() + timeout_ms;
  do {
    AssertionResult got = screenshot(out);
    if (!got) return got;
    if (shows(out)) return AssertionSuccess();
  } while (now_ms() < deadline);
  return AssertionFailure() << "no screenshot showed " << what << " in " << timeout_ms << " ms";
}

AssertionResult WindowTest::wait_first_frame(Image& out, int timeout_ms) {
  // Before the first presentation the saved bitmap is not yet a frame.
  return screenshot_until(
      out, [](const Image& s) { return s.at(0, 0) == sky_rgb && s.at(639, 479) == sky_rgb; },
      "a presented frame", timeout_ms);
}

AssertionResult WindowTest::reach_title(Shown want, Image& out) {
  AssertionResult r = launch();
  if (r) r = wait_shown(want);
  if (r) r = wait_first_frame(out);
  if (r) sleep_ms(menu_ready_ms);
  return r;
}

AssertionResult WindowTest::switch_display(Shown want, Image& out, bool from_title) {
  if (from_title) {
    choose(1);
    AssertionResult options = screenshot_until(out, shows_options, "the options");
    if (!options) return options;
    sleep_ms(menu_ready_ms);
  }
  tap("space");
  AssertionResult r = wait_shown(want);
  if (!r) return r;
  bool full = want == Shown::full_screen;
  return screenshot_until(
      out, [full](const Image& s) { return shows_centred_line(s, full ? "Fullscreen: +" : "Fullscreen: -", 240); },
      full ? "\"Fullscreen: +\" in the options" : "\"Fullscreen: -\" in the options");
}

// Where the picture stands: the window's own scale, or the largest that fits
// the screen, centred; false when no game window shows.
static bool picture_place(WindowTest& t, int* ox, int* oy, int* k) {
  Shown s = t.shown();
  *k = t.window_w / 640, *ox = t.window_x, *oy = t.window_y;
  if (s != Shown::full_screen) return s == Shown::window;
  for (*k = 1; 640 * (*k + 1) <= t.screen_w && 480 * (*k + 1) <= t.screen_h;) ++*k;
  *ox = (t.screen_w - 640 * *k) / 2, *oy = (t.screen_h - 480 * *k) / 2;
  return true;
}

AssertionResult WindowTest::frame_on_display(Image& out) {
  int k, ox, oy;
  if (!picture_place(*this, &ox, &oy, &k)) return AssertionFailure() << "no game frame on the screen:\n" << last_windows_;
  Image display;
  AssertionResult got = grab_display(display);
  if (!got) return got;
  out.width = 640;
  out.height = 480;
  out.rgb.assign(640 * 480 * 3, 0);
  for (int py = 0; py < 480; py++)
    for (int px = 0; px < 640; px++) {
      Rgb c = display.at(ox + px * k, oy + py * k);
      unsigned char* d = &out.rgb[((size_t)py * 640 + px) * 3];
      d[0] = c.r, d[1] = c.g, d[2] = c.b;
    }
  return AssertionSuccess();
}

AssertionResult WindowTest::display_shows(const Image& frame) {
  int k, ox, oy, wrong = 0, first = 0;
  if (!picture_place(*this, &ox, &oy, &k)) return AssertionFailure() << "no game frame on the screen:\n" << last_windows_;
  Image display;
  AssertionResult got = grab_display(display);
  for (int py = 0; got && py < 480 * k; py++)
    for (int px = 0; px < 640 * k; px++)
      if (display.at(ox + px, oy + py) != frame.at(px / k, py / k) && wrong++ == 0) first = py * 10000 + px;
  if (got && wrong)
    return AssertionFailure() << wrong << " pixels of the " << k << "x picture at +" << ox << "+" << oy
                              << " differ from the frame, the first at (" << first % 10000 << ", " << first / 10000 << ")";
  return got;
}

AssertionResult WindowTest::grab_display(Image& out) {
  std::string path = root + "/display.ppm";
  int rc = run_tool({"import", "-silent", "-window", "root", "-depth", "8", "ppm:" + path},
                    nullptr, 10000);
  if (rc != 0) return AssertionFailure() << "import failed (" << rc << ")";
  return load_ppm(path, out);
}

// ---------------------------------------------------------------- another X client

// Xlib through dlopen: the tests are not linked with it, and only these few
// calls are needed. Declared by hand, with Xlib's own types and values.
namespace {
using XOpenDisplay_f = void* (*)(const char*);
using XDefaultRootWindow_f = unsigned long (*)(void*);
using XGrabPointer_f = int (*)(void*, unsigned long, int, unsigned int, int, int, unsigned long,
                               unsigned long, unsigned long);
using XUngrabPointer_f = int (*)(void*, unsigned long);
using XSync_f = int (*)(void*, int);
using XCloseDisplay_f = int (*)(void*);
const int grab_mode_async = 1, grab_success = 0;
const unsigned button_press_mask = 1u << 2;

struct Xlib {
  XOpenDisplay_f open_display = nullptr;
  XDefaultRootWindow_f default_root_window = nullptr;
  XGrabPointer_f grab_pointer = nullptr;
  XUngrabPointer_f ungrab_pointer = nullptr;
  XSync_f sync = nullptr;
  XCloseDisplay_f close_display = nullptr;
};

const Xlib* xlib() {
  static Xlib x;
  static bool tried = false;
  if (!tried) {
    tried = true;
    void* lib = dlopen("libX11.so.6", RTLD_NOW);
    if (lib) {
      x.open_display = (XOpenDisplay_f)dlsym(lib, "XOpenDisplay");
      x.default_root_window = (XDefaultRootWindow_f)dlsym(lib, "XDefaultRootWindow");
      x.grab_pointer = (XGrabPointer_f)dlsym(lib, "XGrabPointer");
      x.ungrab_pointer = (XUngrabPointer_f)dlsym(lib, "XUngrabPointer");
      x.sync = (XSync_f)dlsym(lib, "XSync");
      x.close_display = (XCloseDisplay_f)dlsym(lib, "XCloseDisplay");
    }
  }
  bool whole = x.open_display && x.default_root_window && x.grab_pointer && x.ungrab_pointer &&
               x.sync && x.close_display;
  return whole ? &x : nullptr;
}
}  // namespace

AssertionResult WindowTest::grab_pointer() {
  if (grabber_) return AssertionFailure() << "the pointer is already held";
  const Xlib* x = xlib();
  if (!x) return AssertionFailure() << "cannot load libX11.so.6: " << dlerror();
  if (display < 0) {
    AssertionResult started = start_xvfb();
    if (!started) return started;
  }
  void* d = x->open_display((":" + std::to_string(display)).c_str());
  if (!d) return AssertionFailure() << "cannot connect to :" << display;
  int r = x->grab_pointer(d, x->default_root_window(d), 0, button_press_mask, grab_mode_async,
                          grab_mode_async, 0, 0, 0);
  x->sync(d, 0);
  if (r != grab_success) {
    x->close_display(d);
    return AssertionFailure() << "XGrabPointer gave " << r;
  }
  grabber_ = d;
  return AssertionSuccess();
}

void WindowTest::release_pointer() {
  if (!grabber_) return;
  const Xlib* x = xlib();
  x->ungrab_pointer(grabber_, 0);
  x->close_display(grabber_);  // flushes the release
  grabber_ = nullptr;
}

// ---------------------------------------------------------------- texts

bool shows_centred_line(const Image& shot, const std::string& text, int top) {
  TextInk ink = small_text_ink(text, 320, top, Align::centre);
  return ink_missing(shot, ink, black_rgb) == 0 && ink_stray(shot, ink, black_rgb) == 0;
}

bool shows_title(const Image& shot) { return shows_centred_line(shot, "Start game", 240); }
bool shows_options(const Image& shot) { return shows_centred_line(shot, "Return", 280); }

int shown_number(const Image& shot, const char* format, int top, int lo, int hi, int step) {
  for (int n = lo; n <= hi; n += step) {
    char line[128];
    snprintf(line, sizeof line, format, n);
    if (shows_centred_line(shot, line, top)) return n;
  }
  return -1;
}

// ---------------------------------------------------------------- the desktop around

AssertionResult WindowTest::start_window_manager() {
  if (display < 0) {
    AssertionResult started = start_xvfb();
    if (!started) return started;
  }
  int log = open_log(root + "/wm.log", false);
  wm_pid = spawn({"openbox", "--sm-disable"}, environment_with_display(display), root, log, log);
  if (log >= 0) close(log);
  // Ready once it answers as the window manager.
  long long deadline = now_ms() + 5000;
  do {
    std::string out;
    if (run_tool({"wmctrl", "-m"}, &out) == 0 && out.find("Openbox") != std::string::npos)
      return AssertionSuccess();
    sleep_ms(50);
  } while (now_ms() < deadline && waitpid(wm_pid, nullptr, WNOHANG) == 0);
  std::string log_text;
  read_whole(root + "/wm.log", log_text);
  return AssertionFailure() << "openbox did not come up:\n" << log_text;
}

AssertionResult WindowTest::start_client(const std::vector<std::string>& argv) {
  if (client_pid > 0) return AssertionFailure() << "a client is already running";
  int log = open_log(root + "/client.log", false);
  client_pid = spawn(argv, client_environment(display), root, log, log);
  if (log >= 0) close(log);
  if (client_pid < 0) return AssertionFailure() << "cannot start " << argv[0];
  return AssertionSuccess();
}

void WindowTest::stop_client() { stop_process(client_pid); }

std::string WindowTest::game_window() {
  std::string out;
  if (run_tool({"xdotool", "search", "--name", "^Plu Vesk$"}, &out) != 0) return "";
  return out.substr(0, out.find('\n'));
}

AssertionResult WindowTest::start_pulse() {
  std::string run = root + "/pulse-run", home = root + "/pulse-home";
  mkdir(run.c_str(), 0700);
  mkdir(home.c_str(), 0700);
  pulse_env = {"XDG_RUNTIME_DIR=" + run, "PULSE_SERVER=unix:" + run + "/pulse/native"};
  std::vector<std::string> env = client_environment(-1);
  env.push_back("HOME=" + home);  // its cookie and state stay in the scratch area
  int log = open_log(root + "/pulse.log", false);
  // -n: only our modules. Anonymous clients, so that a game run as another
  // user gets in too; the socket is reachable only through the scratch area.
  pulse_pid = spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                     "--log-target=stderr", "-n", "-L", "module-null-sink", "-L",
                     "module-native-protocol-unix auth-anonymous=1"},
                    env, root, log, log);
  if (log >= 0) close(log);
  long long deadline = now_ms() + 10000;
  do {
    if (run_tool({"pactl", "info"}, nullptr) == 0) return AssertionSuccess();
    sleep_ms(50);
  } while (now_ms() < deadline && waitpid(pulse_pid, nullptr, WNOHANG) == 0);
  std::string log_text;
  read_whole(root + "/pulse.log", log_text);
  return AssertionFailure() << "PulseAudio did not come up:\n" << log_text;
}

void WindowTest::kill_pulse() {
  if (pulse_pid > 0) kill(pulse_pid, SIGKILL);
  stop_process(pulse_pid);
}

AssertionResult WindowTest::start_mute_servers() {
  std::string path = root + "/mute-server";
  pulse_env = {"PULSE_SERVER=unix:" + path};
  bus_env = {"DBUS_SESSION_BUS_ADDRESS=unix:path=" + path};
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  if (s < 0 || bind(s, (sockaddr*)&addr, sizeof addr) != 0 || listen(s, 16) != 0)
    return AssertionFailure() << "cannot listen on " << path << ": " << strerror(errno);
  // A process of its own, stopped with the rest, that holds what it accepts.
  pulse_pid = fork();
  if (pulse_pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (;;) accept(s, nullptr, nullptr);
  }
  close(s);
  return pulse_pid > 0 ? AssertionSuccess() : AssertionFailure() << "cannot fork";
}

double WindowTest::sink_rms(int ms) {
  // Read as it comes: ms worth of samples, however long an idle sink takes
  // to start sending them.
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  std::vector<std::string> env = client_environment(display);
  int log = open_log(root + "/tools.log", true);
  pid_t rec = spawn({"parec", "--device=null.monitor", "--format=s16le", "--channels=2",
                     "--rate=44100", "--latency-msec=20"},
                    env, root, pipe_fds[1], log);
  close(pipe_fds[1]);
  if (log >= 0) close(log);
  const size_t wanted = (size_t)44100 * 4 * ms / 1000;
  std::string raw;
  long long deadline = now_ms() + ms + 5000;
  while (raw.size() < wanted && now_ms() < deadline) {
    pollfd p{pipe_fds[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char chunk[16384];
    ssize_t n = read(pipe_fds[0], chunk, sizeof chunk);
    if (n <= 0) break;
    raw.append(chunk, n);
  }
  close(pipe_fds[0]);
  kill(rec, SIGKILL);
  waitpid(rec, nullptr, 0);
  if (raw.size() < wanted) return -1;
  double sum = 0;
  size_t n = wanted / 2;
  for (size_t i = 0; i < n; i++) {
    int v = (int16_t)((unsigned char)raw[2 * i] | (unsigned char)raw[2 * i + 1] << 8);
    sum += (double)v * v;
  }
  return std::sqrt(sum / n);
}

int WindowTest::sink_streams() {
  std::string out;
  if (run_tool({"pactl", "list", "short", "sink-inputs"}, &out) != 0) return -1;
  return (int)std::count(out.begin(), out.end(), '\n');
}

AssertionResult WindowTest::trace_x_requests() {
  if (display < 0) {
    AssertionResult started = start_xvfb();
    if (!started) return started;
  }
  // Far above the test servers' numbers, so no two tests meet there.
  int fake = display + 1000;
  int log = open_log(root + "/xtrace.log", false);
  trace_pid = spawn({"xtrace", "-n", "-k", "-D", ":" + std::to_string(fake), "-d",
                     ":" + std::to_string(display), "-o", root + "/x-requests.log"},
                    environment_with_display(-1), root, log, log);
  if (log >= 0) close(log);
  long long deadline = now_ms() + 5000;
  do {
    if (access(("/tmp/.X11-unix/X" + std::to_string(fake)).c_str(), F_OK) == 0) {
      traced_display = fake;
      return AssertionSuccess();
    }
    sleep_ms(20);
  } while (now_ms() < deadline && waitpid(trace_pid, nullptr, WNOHANG) == 0);
  std::string log_text;
  read_whole(root + "/xtrace.log", log_text);
  return AssertionFailure() << "xtrace did not offer :" << fake << ":\n" << log_text;
}

std::string WindowTest::x_requests() {
  std::string text;
  read_whole(root + "/x-requests.log", text);
  return text;
}

AssertionResult WindowTest::start_session_bus() {
  // A bus of the test's alone: no service of the machine's is started on it.
  std::string conf = root + "/bus.conf";
  std::ofstream(conf) << "<busconfig>\n"
                         "  <type>session</type>\n"
                         "  <listen>unix:dir=" << root << "</listen>\n"
                         "  <auth>EXTERNAL</auth>\n"
                         "  <policy context=\"default\">\n"
                         "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                         "    <allow eavesdrop=\"true\"/><allow own=\"*\"/>\n"
                         "  </policy>\n"
                         "</busconfig>\n";
  std::string address_file = root + "/bus.address";
  int out = open_log(address_file, false);
  int log = open_log(root + "/bus.log", false);
  bus_pid = spawn({"dbus-daemon", "--config-file=" + conf, "--nofork", "--nopidfile",
                   "--print-address=1"},
                  client_environment(-1), root, out, log);
  if (out >= 0) close(out);
  if (log >= 0) close(log);
  std::string address;
  long long deadline = now_ms() + 5000;
  while (now_ms() < deadline && (address.empty() || address.back() != '\n')) {
    if (waitpid(bus_pid, nullptr, WNOHANG) == bus_pid) {
      bus_pid = -1;
      break;
    }
    sleep_ms(20);
    read_whole(address_file, address);
  }
  if (address.empty() || address.back() != '\n') {
    std::string log_text;
    read_whole(root + "/bus.log", log_text);
    return AssertionFailure() << "dbus-daemon did not come up:\n" << log_text;
  }
  address.pop_back();
  bus_env = {"DBUS_SESSION_BUS_ADDRESS=" + address};

  int calls = open_log(root + "/screensaver.log", false);
  log = open_log(root + "/tools.log", true);
  service_pid = spawn({PV_SCREENSAVER_SERVICE}, client_environment(-1), root, calls, log);
  if (calls >= 0) close(calls);
  if (log >= 0) close(log);
  deadline = now_ms() + 5000;
  do {
    if (screensaver_calls().rfind("ready\n", 0) == 0) return AssertionSuccess();
    sleep_ms(20);
  } while (now_ms() < deadline && waitpid(service_pid, nullptr, WNOHANG) == 0);
  return AssertionFailure() << "the screensaver service did not come up; see " << root
                            << "/tools.log";
}

std::string WindowTest::screensaver_calls() {
  std::string text;
  read_whole(root + "/screensaver.log", text);
  return text;
}

void WindowTest::kill_display() {
  if (xvfb_pid > 0) {
    kill(xvfb_pid, SIGKILL);
    waitpid(xvfb_pid, nullptr, 0);
    xvfb_pid = -1;
    // A killed server leaves its lock and socket behind.
    unlink(("/tmp/.X" + std::to_string(display) + "-lock").c_str());
    unlink(("/tmp/.X11-unix/X" + std::to_string(display)).c_str());
  }
  display = -1;
}

// ---------------------------------------------------------------- files

bool WindowTest::game_file_exists(const std::string& name) {
  return access((dir + "/" + name).c_str(), F_OK) == 0;
}

std::string WindowTest::read_game_file(const std::string& name) {
  std::string bytes;
  read_whole(dir + "/" + name, bytes);
  return bytes;
}

std::string WindowTest::wait_game_file_change(const std::string& name, const std::string& from,
                                              int timeout_ms) {
  long long deadline = now_ms() + timeout_ms;
  std::string now = read_game_file(name);
  while (now == from && now_ms() < deadline) {
    sleep_ms(20);
    now = read_game_file(name);
  }
  return now;
}

std::string WindowTest::game_stdout() {
  std::string bytes;
  read_whole(root + "/game.out", bytes);
  return bytes;
}

std::string WindowTest::game_stderr() {
  std::string bytes;
  read_whole(root + "/game.err", bytes);
  return bytes;
}
