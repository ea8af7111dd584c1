// Real-window test support: a private Xvfb server, the real game started in a
// scratch directory of its own, real key events through xdotool, and the
// game's screenshot (or the display itself) read back as pixels.
//
// Every test gets its own display number and directory, so suites may run in
// parallel. WindowTest::TearDown kills whatever the test started, by process
// id, and removes the directory, whether the test passed or not.
#pragma once

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <vector>

struct Rgb {
  int r, g, b;
};
inline bool operator==(Rgb a, Rgb c) { return a.r == c.r && a.g == c.g && a.b == c.b; }
inline bool operator!=(Rgb a, Rgb c) { return !(a == c); }
std::ostream& operator<<(std::ostream& os, Rgb c);

const Rgb sky_rgb{0, 96, 192};  // background of every screen
const Rgb white_rgb{255, 255, 255};       // title-font texts, inner cloud discs
const Rgb cloud_shade_rgb{200, 200, 200};  // outer cloud discs
const Rgb black_rgb{0, 0, 0};              // small texts and the game-over line

// A 24-bit picture, top row first.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> rgb;  // r, g, b per pixel
  Rgb at(int px, int py) const;
  // Pixels of colour c in the box x0..x1, y0..y1 (inclusive, clipped).
  int count(int x0, int y0, int x1, int y1, Rgb c) const;
};

// An uncompressed 24-bit BMP; fails (with the reason) on anything else or on a
// file shorter than its header says.
::testing::AssertionResult load_bmp24(const std::string& path, Image& out);
// A binary PPM (P6) with 8-bit samples.
::testing::AssertionResult load_ppm(const std::string& path, Image& out);

// The pixels a text covers when the game draws it, found by drawing it the
// same way into a memory bitmap: in the title font read from the asset, or in
// the library's 8-pixel font. Ties no test to the shapes of the letters.
enum class Align { left, centre, right };
struct TextInk {
  std::vector<std::pair<int, int>> pixels;  // (x, y) of every inked pixel
  int x0 = 0, y0 = 0, x1 = -1, y1 = -1;     // the text's box, inclusive
};
TextInk title_text_ink(const std::string& s, int x, int y, Align align);
TextInk small_text_ink(const std::string& s, int x, int y, Align align);
// Both give -1 for a text without ink (a font that failed to load), so that
// an expected 0 fails.
int ink_missing(const Image& shot, const TextInk& ink, Rgb c);  // ink pixels not in colour c
int ink_stray(const Image& shot, const TextInk& ink, Rgb c);  // pixels of colour c off the ink

// What the game shows on the X screen.
enum class Shown {
  nothing,      // no mapped game window
  window,       // the "Plu Vesk" window mapped, smaller than the screen
  full_screen,  // the "Plu Vesk" window covering the whole screen at +0+0
  other,        // anything else (more than one)
};
const char* shown_name(Shown s);

const int hold_ms = 80;         // a key press the game's per-frame sampling cannot miss
const int menu_ready_ms = 500;  // a menu ignores the confirm key for its first six frames

struct WindowTest : ::testing::Test {
  void SetUp() override;
  void TearDown() override;
  ~WindowTest() override;

  // Before launch: the settings file's or any file's exact bytes, or a missing asset.
  void write_settings(const std::string& bytes);
  void write_game_file(const std::string& name, const std::string& bytes);
  void remove_from_game_dir(const std::string& name);

  // Starts the game in dir; starts the test's X server first if it has none.
  // Without a display the game gets no DISPLAY and no server is started.
  ::testing::AssertionResult launch(bool with_display = true);
  // Before launch: the user (and group) id the game runs as, -1 for the
  // test's own. Needs root; that user gets a home of its own under root.
  int run_as = -1;
  bool running();  // reaps the game if it has ended
  // Waits for the game to end; *status is the waitpid status.
  ::testing::AssertionResult wait_exit(int timeout_ms, int* status);
  ::testing::AssertionResult wait_exit_ok(int timeout_ms);  // ended with status 0

  Shown shown();  // also notes where the game's window stands and its size
  int window_x = 0, window_y = 0;  // its top-left corner on the screen
  int window_w = 0, window_h = 0;
  std::string describe_windows();  // for failure messages
  ::testing::AssertionResult wait_shown(Shown want, int timeout_ms = 5000);

  // Real key events, by X keysym name ("Down", "space", "Escape", "Tab").
  void tap(const char* keysym, int hold = hold_ms);  // down, hold, up, then a pause
  void key_down(const char* keysym);
  void key_up(const char* keysym);
  // Steps a fresh menu's cursor down `downs` entries, then confirms with space.
  void choose(int downs);

  // Holds Tab until "Plu Vesk screenshot.bmp" appears anew, and reads it.
  ::testing::AssertionResult screenshot(Image& out);
  // Screenshots until one satisfies `shows` (a screen change takes a frame or two).
  ::testing::AssertionResult screenshot_until(Image& out,
                                              const std::function<bool(const Image&)>& shows,
                                              const char* what, int timeout_ms = 3000);
  // Screenshots until one shows a presented frame (sky in the corner).
  ::testing::AssertionResult wait_first_frame(Image& out, int timeout_ms = 8000);
  // Launches the game, waits until it shows `want` and its first frame, then
  // until the title menu takes the confirm key.
  ::testing::AssertionResult reach_title(Shown want, Image& out);
  // Switches the display with the options' full-screen line, the options
  // open (from_title: opened from the title menu first), until the screen
  // shows `want` and the line its mark; `out` is the options after it.
  ::testing::AssertionResult switch_display(Shown want, Image& out, bool from_title);
  // The game's 640x480 frame as the display shows it, the scale undone: for
  // a game that cannot save a screenshot.
  ::testing::AssertionResult frame_on_display(Image& out);
  // The root window as the X server shows it (ImageMagick's import).
  ::testing::AssertionResult grab_display(Image& out);
  // The game's picture as the X server shows it, every pixel against the
  // frame at the display's scale and place: fails with the pixels that
  // differ and the first of them.
  ::testing::AssertionResult display_shows(const Image& frame);

  // Another client takes the pointer, as a screen locker or a game in another
  // window may; the library's full-screen driver cannot grab it then and
  // fails, while a window and the keyboard work on. Starts the X server if
  // the test has none yet.
  ::testing::AssertionResult grab_pointer();
  void release_pointer();

  // The desktop around the game: a real window manager (openbox), another X
  // client to take the focus (its argv, e.g. {"xlogo"}), both stopped with
  // the rest; the game's own window by its title, "" when there is none.
  ::testing::AssertionResult start_window_manager();
  ::testing::AssertionResult start_client(const std::vector<std::string>& argv);
  void stop_client();
  std::string game_window();
  // A sound server of the test's own (PulseAudio with one null sink), which
  // paces the game's audio output as a desktop's does; the game and the
  // tools reach it from then on. What the sink played over the next ms
  // milliseconds, as the RMS of its 16-bit samples (-1 when nothing could be
  // recorded), and how many streams play into it.
  ::testing::AssertionResult start_pulse();
  double sink_rms(int ms);
  int sink_streams();
  // The sound server dies, as in a crash or an update's restart; start_pulse
  // then brings it up again on the same socket.
  void kill_pulse();
  // Instead of start_pulse and start_session_bus: a sound server and a
  // session bus that take every connection and never answer a word.
  ::testing::AssertionResult start_mute_servers();
  // Before launch: the game reaches the X server through xtrace, which logs
  // every request the game sends (the tools still go straight to the
  // server); the log so far, one request a line ("... ForceScreenSaver
  // mode=Reset(0x00)", "... MIT-SCREEN-SAVER-Request(144,5): Suspend
  // suspend=true(0x01)").
  ::testing::AssertionResult trace_x_requests();
  std::string x_requests();
  // A session bus of the test's own, reached by the game from then on, and
  // on it a stand-in for the desktop's screensaver service; the calls it
  // answered so far, one a line (support/screensaver_service.c).
  ::testing::AssertionResult start_session_bus();
  std::string screensaver_calls();
  // The X server dies under the game, as when a session ends.
  void kill_display();
  // A tool run against the test's display: its exit status, -1 when it hung.
  int run_tool(const std::vector<std::string>& argv, std::string* out, int timeout_ms = 5000);

  bool game_file_exists(const std::string& name);
  std::string read_game_file(const std::string& name);
  // The file's bytes once they are no longer `from` ("" for a missing file),
  // or `from` after timeout_ms.
  std::string wait_game_file_change(const std::string& name, const std::string& from, int timeout_ms);
  std::string game_stderr();
  std::string game_stdout();

  // The Xvfb screen, larger than the game's 640x480; a test may change it
  // before its server starts.
  int screen_w = 1024;
  int screen_h = 768;
  // Before launch: the game's command line after its name, and extra
  // environment for it ("NAME=value", each replacing the test's own).
  std::vector<std::string> arguments;
  std::vector<std::string> game_env;

  // Before launch: a gamepad the game finds at start, an Xbox 360 pad that
  // SDL's own Linux code reads from a FIFO the test writes (the preload
  // tests/support/fake_pad.c stands in for the device); or no SDL at all, as
  // on a machine without it, with a pad named that makes the game reach for it.
  ::testing::AssertionResult plug_pad();
  void hide_sdl();
  // The pad's inputs by evdev code (BTN_A, BTN_START, BTN_SELECT; ABS_X,
  // ABS_Y, ABS_HAT0X, ABS_HAT0Y): down (or moved to value), held, back up (or
  // to rest), then a pause as after a tap.
  void pad_press(int button, int hold = hold_ms);
  void pad_move(int axis, int value, int hold = hold_ms);
  void pad_event(int type, int code, int value);  // one event and its report
  // Pulled out: from now on the game's reads of the pad fail.
  void unplug_pad();

  std::string root;  // scratch area: logs, and the game's directory
  std::string dir;   // the game's working directory
  int display = -1;  // X display number, -1 until started
  pid_t game_pid = -1;
  pid_t xvfb_pid = -1;
  pid_t wm_pid = -1;
  pid_t client_pid = -1;
  pid_t pulse_pid = -1;
  std::vector<std::string> pulse_env;  // what clients need to reach it
  pid_t trace_pid = -1;   // xtrace between the game and the X server
  int traced_display = -1;  // the display number xtrace offers the game
  pid_t bus_pid = -1;
  pid_t service_pid = -1;  // the screensaver service on the bus
  std::vector<std::string> bus_env;  // what clients need to reach the bus

 private:
  ::testing::AssertionResult start_xvfb();
  // The environment of a client of the test's servers.
  std::vector<std::string> client_environment(int on_display);
  void clean_up();
  std::string last_windows_;  // what the last look at the screen found
  void* grabber_ = nullptr;   // the X connection holding the pointer, if any
  std::string pad_device_;    // the path SDL is given for the pad
  int pad_fifo_ = -1;         // the test's end of the pad's FIFO
};

void sleep_ms(int ms);
long long now_ms();  // a monotonic clock
std::string describe_status(int status);  // "exit status 1", "killed by signal 11"

// Cloud pixels (white or shade) in the box that draw_cloud with this centre
// and half-width can paint: how menus show their cursor.
int cloud_pixels(const Image& shot, int cx, int cy, int half_width);

// A line of the library's font centred on x 320 with its top at `top`,
// exactly as drawn: every ink pixel black and no other black in its box.
bool shows_centred_line(const Image& shot, const std::string& text, int top);
// The title menu ("Start game" in its place) and the options menu ("Return").
bool shows_title(const Image& shot);
bool shows_options(const Image& shot);
// The entry (0 to 2, from the top) the title's or the options' cursor cloud
// stands behind; -1 when no menu or no single cursor shows.
int menu_cursor(const Image& shot);
// The number n, lo <= n <= hi in steps of `step`, for which the centred line
// printf(format, n) shows; -1 when none does. `format` holds one %i.
int shown_number(const Image& shot, const char* format, int top, int lo, int hi, int step = 1);
