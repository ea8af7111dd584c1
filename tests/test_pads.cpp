// Gamepads through SDL's own virtual joysticks: what each input of a pad
// holds, pads plugged in and pulled out while the game runs, mappings from
// SDL_GAMECONTROLLERCONFIG, and a machine without SDL.
#include <SDL.h>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "core/controls.h"
#include "core/globals.h"
#include "core/hotkeys.h"
#include "pads/pads.h"
#include "support/headless.h"

struct Pads : HeadlessTest {
  void SetUp() override {
    HeadlessTest::SetUp();
    ASSERT_TRUE(start_pads(pads_library)) << pads_problem;
  }
  void TearDown() override {
    stop_pads();
    HeadlessTest::TearDown();
  }
};

// A virtual joystick, laid out as a game controller unless `plain`; opened,
// so that the test can move its inputs.
static SDL_Joystick* plug(const char* name, bool plain = false) {
  SDL_VirtualJoystickDesc d;
  SDL_zero(d);
  d.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
  d.type = plain ? SDL_JOYSTICK_TYPE_UNKNOWN : SDL_JOYSTICK_TYPE_GAMECONTROLLER;
  d.naxes = plain ? 2 : SDL_CONTROLLER_AXIS_MAX;
  d.nbuttons = plain ? 2 : SDL_CONTROLLER_BUTTON_MAX;
  d.name = name;
  int index = SDL_JoystickAttachVirtualEx(&d);
  return index < 0 ? nullptr : SDL_JoystickOpen(index);
}

static void unplug(SDL_Joystick* j) {
  SDL_JoystickID id = SDL_JoystickInstanceID(j);
  SDL_JoystickClose(j);
  for (int i = 0; i < SDL_NumJoysticks(); i++)
    if (SDL_JoystickGetDeviceInstanceID(i) == id) SDL_JoystickDetachVirtual(i);
}

// A look for pads, and another once SDL's thread has finished what it began.
static void look_and_settle() {
  for (look_for_pads(); pads_loading;) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  look_for_pads();
}

// What the pads hold after a frame's reading, by name.
static std::string pads_hold(bool start_confirms = false, bool heed = true) {
  read_pads(start_confirms, heed);
  static const char* const names[5] = {"left", "right", "down", "up", "jump"};
  std::string s;
  auto add = [&s](const char* name) { s += (s.empty() ? "" : " ") + std::string(name); };
  for (int c = 0; c < 5; c++)
    if (pad_held[c]) add(names[c]);
  if (pad_pause) add("pause");
  if (pad_escape) add("escape");
  return s;
}

TEST_F(Pads, EachInputHoldsItsControlOnAnyPadAndTheRulesReadItAsAKey) {
  SDL_Joystick* one = plug("pad one");
  SDL_Joystick* two = plug("pad two");
  ASSERT_TRUE(one && two) << SDL_GetError();
  EXPECT_EQ(pads_hold(), "");
  EXPECT_EQ(pads_connected, 2);

  const struct {
    const char* what;
    int button;            // -1: an axis instead
    int axis, value;
    bool start_confirms;   // a menu or the game-over panel
    const char* holds;
  } cases[] = {
      {"D-pad left", SDL_CONTROLLER_BUTTON_DPAD_LEFT, 0, 0, false, "left"},
      {"D-pad right", SDL_CONTROLLER_BUTTON_DPAD_RIGHT, 0, 0, false, "right"},
      {"D-pad up", SDL_CONTROLLER_BUTTON_DPAD_UP, 0, 0, false, "up"},
      {"D-pad down", SDL_CONTROLLER_BUTTON_DPAD_DOWN, 0, 0, false, "down"},
      {"A", SDL_CONTROLLER_BUTTON_A, 0, 0, false, "jump"},
      {"B", SDL_CONTROLLER_BUTTON_B, 0, 0, true, ""},
      {"Y", SDL_CONTROLLER_BUTTON_Y, 0, 0, true, ""},
      {"Start in a run", SDL_CONTROLLER_BUTTON_START, 0, 0, false, "pause"},
      {"Start in a menu", SDL_CONTROLLER_BUTTON_START, 0, 0, true, "jump pause"},
      {"Back", SDL_CONTROLLER_BUTTON_BACK, 0, 0, false, "escape"},
      {"stick at half to the right", -1, SDL_CONTROLLER_AXIS_LEFTX, 16384, false, ""},
      {"stick past half to the right", -1, SDL_CONTROLLER_AXIS_LEFTX, 16385, false, "right"},
      {"stick at half to the left", -1, SDL_CONTROLLER_AXIS_LEFTX, -16384, false, ""},
      {"stick past half to the left", -1, SDL_CONTROLLER_AXIS_LEFTX, -16385, false, "left"},
      {"stick fully up", -1, SDL_CONTROLLER_AXIS_LEFTY, -32768, false, "up"},
      {"stick past half down", -1, SDL_CONTROLLER_AXIS_LEFTY, 16385, false, "down"},
      {"right stick", -1, SDL_CONTROLLER_AXIS_RIGHTX, 32767, false, ""},
      {"left trigger", -1, SDL_CONTROLLER_AXIS_TRIGGERLEFT, 32767, false, ""},
  };
  for (SDL_Joystick* pad : {one, two}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (pad == one ? " on pad one" : " on pad two"));
      if (c.button >= 0) SDL_JoystickSetVirtualButton(pad, c.button, 1);
      else SDL_JoystickSetVirtualAxis(pad, c.axis, c.value);
      EXPECT_EQ(pads_hold(c.start_confirms), c.holds);
      if (c.button >= 0) SDL_JoystickSetVirtualButton(pad, c.button, 0);
      else SDL_JoystickSetVirtualAxis(pad, c.axis, 0);
      EXPECT_EQ(pads_hold(c.start_confirms), "");
    }
  }

  // Two pads at once add up; nothing counts while the window is away.
  SDL_JoystickSetVirtualButton(one, SDL_CONTROLLER_BUTTON_DPAD_LEFT, 1);
  SDL_JoystickSetVirtualButton(two, SDL_CONTROLLER_BUTTON_A, 1);
  EXPECT_EQ(pads_hold(), "left jump");
  EXPECT_EQ(pads_hold(false, false), "");
  EXPECT_TRUE(pads_hold(false, true) == "left jump" && held(LEFT) && held(JUMP) && !held(RIGHT));
  SDL_JoystickSetVirtualButton(one, SDL_CONTROLLER_BUTTON_DPAD_LEFT, 0);
  SDL_JoystickSetVirtualButton(two, SDL_CONTROLLER_BUTTON_A, 0);

  // The rules read a pad as a key: a held D-pad steps a menu every second
  // frame; Back is Esc for the hot keys; Start is a press for the pause.
  SDL_JoystickSetVirtualButton(one, SDL_CONTROLLER_BUTTON_DPAD_DOWN, 1);
  menu_selection = 0;
  for (int frame = 0; frame < 4; frame++) {
    read_pads(true, true);
    menu_step(0, 9);
  }
  EXPECT_EQ(menu_selection, 2);
  SDL_JoystickSetVirtualButton(one, SDL_CONTROLLER_BUTTON_DPAD_DOWN, 0);
  stage = STAGE_PLAY;
  SDL_JoystickSetVirtualButton(two, SDL_CONTROLLER_BUTTON_BACK, 1);
  read_pads(false, true);
  global_keys();
  EXPECT_EQ(stage, STAGE_TITLE);
  SDL_JoystickSetVirtualButton(two, SDL_CONTROLLER_BUTTON_BACK, 0);
  pause_pressed();
  SDL_JoystickSetVirtualButton(one, SDL_CONTROLLER_BUTTON_START, 1);
  read_pads(false, true);
  EXPECT_TRUE(pause_pressed());
  read_pads(false, true);
  EXPECT_FALSE(pause_pressed()) << "a held Start paused twice";

  unplug(one);
  unplug(two);
}

TEST_F(Pads, PadsPluggedInAndPulledOutWhileTheGameRunsAndNoEventPilesUp) {
  EXPECT_EQ(pads_hold(), "");
  EXPECT_EQ(pads_connected, 0);
  SDL_Joystick* a = plug("pad a");
  SDL_Joystick* b = plug("pad b");
  EXPECT_EQ(pads_hold(), "");
  EXPECT_EQ(pads_connected, 2);
  SDL_JoystickSetVirtualButton(b, SDL_CONTROLLER_BUTTON_A, 1);
  EXPECT_EQ(pads_hold(), "jump");

  // Pulled out with A down: its A goes with it; another comes and counts.
  unplug(b);
  EXPECT_EQ(pads_hold(), "");
  EXPECT_EQ(pads_connected, 1);
  SDL_Joystick* c = plug("pad c");
  SDL_JoystickSetVirtualAxis(c, SDL_CONTROLLER_AXIS_LEFTX, 32767);
  EXPECT_EQ(pads_hold(), "right");
  EXPECT_EQ(pads_connected, 2);
  unplug(a);
  unplug(c);
  EXPECT_EQ(pads_hold(), "");
  EXPECT_EQ(pads_connected, 0);

  // However many pads there are, all open; one pulled out and plugged back
  // in comes back each time, first or last.
  SDL_Joystick* many[20];
  for (SDL_Joystick*& p : many) p = plug("one of many");
  EXPECT_EQ(pads_hold(), "");
  EXPECT_EQ(pads_connected, 20);
  for (int again = 0; again < 6; again++) {
    SDL_Joystick*& p = many[again % 2 ? 0 : 19];
    unplug(p);
    SDL_JoystickSetVirtualButton(p = plug("one of many"), SDL_CONTROLLER_BUTTON_A, 1);
    EXPECT_TRUE(pads_hold() == "jump" && pads_connected == 20) << "plugged back in, time " << again + 1;
    SDL_JoystickSetVirtualButton(p, SDL_CONTROLLER_BUTTON_A, 0);
  }
  for (SDL_Joystick* p : many) unplug(p);
  EXPECT_EQ(pads_hold(), "");
  EXPECT_EQ(pads_connected, 0);

  // The game never reads SDL's event queue, so nothing may wait in it.
  EXPECT_EQ(SDL_PeepEvents(nullptr, 0, SDL_PEEKEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT), 0);
}

TEST_F(Pads, MappingsFromTheEnvironmentAreHonoured) {
  // A joystick SDL cannot lay out is no pad...
  SDL_Joystick* j = plug("mapped by the player", true);
  ASSERT_NE(j, nullptr) << SDL_GetError();
  char guid[64];
  SDL_JoystickGetGUIDString(SDL_JoystickGetGUID(j), guid, sizeof guid);
  EXPECT_EQ(pads_hold(), "");
  EXPECT_EQ(pads_connected, 0);
  // A mapping added while it is plugged in counts from the next look.
  SDL_GameControllerAddMapping((std::string(guid).replace(4, 4, "0000") + ",mapped late,a:b1,").c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(pad_look_ms + 10));
  SDL_JoystickSetVirtualButton(j, 1, 1);
  EXPECT_TRUE(pads_hold() == "jump" && pads_connected == 1);
  unplug(j);
  stop_pads();

  // ...until a mapping for it comes in SDL_GAMECONTROLLERCONFIG, as Steam
  // gives, without the checksum of the name that SDL puts into bytes 2 and 3.
  std::string mapping = std::string(guid).replace(4, 4, "0000") +
                        ",mapped by the player,a:b1,start:b0,leftx:a0,lefty:a1,";
  setenv("SDL_GAMECONTROLLERCONFIG", mapping.c_str(), 1);
  ASSERT_TRUE(start_pads(pads_library)) << pads_problem;
  j = plug("mapped by the player", true);
  EXPECT_EQ(pads_hold(), "");
  EXPECT_EQ(pads_connected, 1);
  SDL_JoystickSetVirtualButton(j, 1, 1);
  EXPECT_EQ(pads_hold(), "jump");
  SDL_JoystickSetVirtualButton(j, 1, 0);
  SDL_JoystickSetVirtualButton(j, 0, 1);
  EXPECT_EQ(pads_hold(), "pause");
  unplug(j);
  unsetenv("SDL_GAMECONTROLLERCONFIG");
}

TEST_F(Pads, WithoutTheLibraryTheKeyboardPlaysAlone) {
  stop_pads();
  EXPECT_FALSE(start_pads("libSDL2-absent.so.0"));
  EXPECT_FALSE(pads_on);
  std::string problem = pads_problem;
  EXPECT_NE(problem.find("keyboard only"), std::string::npos) << problem;
  EXPECT_NE(problem.find("libSDL2-absent.so.0"), std::string::npos) << problem;
  EXPECT_NE(problem.find("libsdl2-2.0-0"), std::string::npos) << problem;
  EXPECT_EQ(problem.find('\n'), std::string::npos) << "one line";
  EXPECT_EQ(pads_hold(true), "");
  press(JUMP);
  EXPECT_TRUE(held(JUMP));
}

TEST_F(Pads, SdlComesUpOnlyOnceAPadMayBeThere) {
  // The kernel's list: a keyboard and a mouse are no pads; an Xbox pad's
  // buttons from BTN_SOUTH up, a joystick's BTN_TRIGGER, or a joydev handler are.
  const char* keyboard =
      "I: Bus=0011 Vendor=0001 Product=0001 Version=ab41\n"
      "N: Name=\"AT Translated Set 2 keyboard\"\n"
      "H: Handlers=sysrq kbd event0 leds \n"
      "B: EV=120013\n"
      "B: KEY=402000000 3803078f800d001 feffffdfffefffff fffffffffffffffe\n"
      "\n"
      "N: Name=\"Logitech USB Receiver Mouse\"\n"
      "H: Handlers=mouse0 event5 \n"
      "B: KEY=ffff0000 0 0 0 0\n";
  EXPECT_FALSE(lists_a_pad(keyboard));
  EXPECT_FALSE(lists_a_pad(""));
  EXPECT_TRUE(lists_a_pad((std::string(keyboard) + "\nN: Name=\"Microsoft X-Box 360 pad\"\n"
                                                    "H: Handlers=event20 \n"
                                                    "B: KEY=7cdb000000000000 0 0 0 0\n").c_str()));
  EXPECT_TRUE(lists_a_pad("N: Name=\"Stick\"\nB: KEY=100000000 0 0 0 0\n"));  // BTN_TRIGGER alone
  EXPECT_FALSE(lists_a_pad("N: Name=\"Buttons\"\nB: KEY=1 0 0 0 0\n"));      // BTN_0: no pad's
  EXPECT_TRUE(lists_a_pad("N: Name=\"Pad\"\nH: Handlers=event7 js0 \n"));
  EXPECT_FALSE(lists_a_pad("N: Name=\"Not a pad\"\nH: Handlers=event7 ajs0 \nB: KEY= \n"));

  // Read from the list each second while no pad is open: none there, no SDL.
  stop_pads();
  unsetenv("SDL_JOYSTICK_DEVICE");
  const char* kept = input_devices_file;
  auto list = [](const char* text) { std::ofstream("devices", std::ios::trunc) << text; };
  list(keyboard);
  input_devices_file = "devices";
  look_for_pads();
  EXPECT_FALSE(pads_on);
  list("N: Name=\"Pad\"\nH: Handlers=event7 js0 \n");
  look_for_pads();
  EXPECT_FALSE(pads_on) << "looked again within the second";
  stop_pads();  // forgets when it last looked
  look_and_settle();
  EXPECT_TRUE(pads_on) << pads_problem;

  // SDL loads on a thread of its own: a library as slow as the test likes (a
  // FIFO, read once a writer comes) holds up no frame, nor the shut-down.
  stop_pads();
  const char* library = pads_library;
  pads_library = "./slow library";
  ASSERT_EQ(mkfifo(pads_library, 0600), 0);
  look_for_pads();
  int writer = -1;  // opens once the loader waits in its open
  for (int ms = 0; writer < 0 && ms < 10000; ms++, std::this_thread::sleep_for(std::chrono::milliseconds(1)))
    writer = open(pads_library, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  stop_pads();
  EXPECT_TRUE(writer >= 0 && pads_loading && !pads_on);
  close(writer);  // the library ends empty: no SDL
  look_and_settle();
  EXPECT_FALSE(pads_on);
  pads_library = library;

  // No list at all: a kernel without input devices.
  stop_pads();
  input_devices_file = "no such list";
  look_for_pads();
  EXPECT_FALSE(pads_on);
  input_devices_file = kept;
}
