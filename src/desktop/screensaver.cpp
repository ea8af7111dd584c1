#include "desktop/screensaver.h"

#include <allegro.h>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <dbus/dbus.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xalleg.h>
#include <X11/extensions/scrnsaver.h>

#include "core/clock.h"
#include "core/threads.h"

static const char* const inhibit_application = "Plu Vesk";
static const char* const inhibit_reason = "Playing";
static const int awake_reset_ms = 20000;  // how often a run resets the X server's idle time

// ---------------------------------------------------------------- the X server

static bool held_awake = false;  // the screensaver is held off now
static int last_reset = 0;       // ms_clock of the last idle-time reset
static int can_suspend = -1;     // the server's extension can suspend: -1 not asked yet

static void x_suspend(bool on) {
  XLOCK();
  Display* d = _xwin.display;
  if (d) {
    if (can_suspend < 0) {
      // Asked once; XScreenSaverSuspend on a server without the extension
      // would complain on stderr.
      int events, errors, major = 0, minor = 0;
      can_suspend = XScreenSaverQueryExtension(d, &events, &errors) &&
                    XScreenSaverQueryVersion(d, &major, &minor) &&
                    (major > 1 || (major == 1 && minor >= 1));
    }
    if (can_suspend) XScreenSaverSuspend(d, on ? True : False);
    if (on) XResetScreenSaver(d);
    XFlush(d);
  }
  XUNLOCK();
}

static void x_reset() {
  XLOCK();
  if (_xwin.display) {
    XResetScreenSaver(_xwin.display);
    XFlush(_xwin.display);
  }
  XUNLOCK();
}

// ---------------------------------------------------------------- the session bus

static std::atomic<bool> bus_wanted{false};  // the bus thread should hold an inhibition
static std::atomic<bool> bus_stopping{false};  // the game is ending: release and stop
static std::atomic<bool> bus_done{false};      // the bus thread has stopped
static int bus_signal = -1;                    // eventfd the main thread wakes the bus thread with
static bool bus_lost;                          // no thread could be had: no hold on the bus this run

static const int bus_call_ms = 3000;  // the longest the bus thread waits for an answer
static const int exit_wait_ms = 200;  // the longest the game's end waits for the bus thread

// The session bus's address, or "" where there is none. libdbus would
// otherwise try to launch a bus of its own for the X display.
static std::string session_bus_address() {
  const char* a = getenv("DBUS_SESSION_BUS_ADDRESS");
  if (a && *a) return a;
  const char* run = getenv("XDG_RUNTIME_DIR");
  if (!run || !*run) return "";
  std::string path = std::string(run) + "/bus";
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return "";
  return "unix:path=" + path;
}

static void close_bus(DBusConnection*& bus) {
  if (!bus) return;
  dbus_connection_close(bus);
  dbus_connection_unref(bus);
  bus = nullptr;
}

// One call on the bus; the reply, or null on any failure (no service, an
// error, no answer in time).
static DBusMessage* call_service(DBusConnection* bus, DBusMessage* call) {
  DBusError error;
  dbus_error_init(&error);
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, bus_call_ms, &error);
  dbus_error_free(&error);
  dbus_message_unref(call);
  // Nothing else is listened to: what else came (the bus's greeting) is dropped.
  while (DBusMessage* other = dbus_connection_pop_message(bus)) dbus_message_unref(other);
  return reply;
}

// What dbus_bus_register does, the bus's Hello, but with the same time limit
// as every other call: dbus_bus_register waits 25 s for a bus that accepts
// the connection and never answers.
static bool register_on_bus(DBusConnection* bus) {
  DBusMessage* hello = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "Hello");
  DBusMessage* reply = hello ? call_service(bus, hello) : nullptr;
  if (!reply) return false;
  const char* name = nullptr;
  bool named = dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID) &&
               dbus_bus_set_unique_name(bus, name);
  dbus_message_unref(reply);
  return named;
}

static DBusConnection* open_bus() {
  std::string address = session_bus_address();
  if (address.empty()) return nullptr;
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* bus = dbus_connection_open_private(address.c_str(), &error);
  if (bus && !register_on_bus(bus)) close_bus(bus);
  dbus_error_free(&error);
  // A bus that goes away must not end the game, as libdbus would by default.
  if (bus) dbus_connection_set_exit_on_disconnect(bus, FALSE);
  return bus;
}

static DBusMessage* screensaver_call(const char* method) {
  return dbus_message_new_method_call("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                                      "org.freedesktop.ScreenSaver", method);
}

// Asks for an inhibition; true with its cookie when the service gave one.
static bool inhibit(DBusConnection* bus, uint32_t* cookie) {
  DBusMessage* call = screensaver_call("Inhibit");
  if (!call) return false;
  const char* app = inhibit_application;
  const char* reason = inhibit_reason;
  dbus_message_append_args(call, DBUS_TYPE_STRING, &app, DBUS_TYPE_STRING, &reason, DBUS_TYPE_INVALID);
  DBusMessage* reply = call_service(bus, call);
  if (!reply) return false;
  dbus_uint32_t got = 0;
  bool ok = dbus_message_get_args(reply, nullptr, DBUS_TYPE_UINT32, &got, DBUS_TYPE_INVALID);
  dbus_message_unref(reply);
  *cookie = got;
  return ok;
}

static bool uninhibit(DBusConnection* bus, uint32_t cookie) {
  DBusMessage* call = screensaver_call("UnInhibit");
  if (!call) return false;
  dbus_uint32_t c = cookie;
  dbus_message_append_args(call, DBUS_TYPE_UINT32, &c, DBUS_TYPE_INVALID);
  DBusMessage* reply = call_service(bus, call);
  if (reply) dbus_message_unref(reply);
  return reply != nullptr;
}

// Sleeps until signalled, then brings the inhibition to what is wanted now:
// wishes that came and went meanwhile cost nothing.
static void bus_loop() {
  DBusConnection* bus = nullptr;
  bool held = false;
  uint32_t cookie = 0;
  for (;;) {
    uint64_t n;
    if (read(bus_signal, &n, sizeof n) < 0) continue;  // interrupted
    bool stopping = bus_stopping;
    bool want = bus_wanted && !stopping;
    // A call that failed may yet be carried out late: the connection is
    // closed, which makes the service drop whatever it holds for it.
    if (want && !held) {
      if (!bus) bus = open_bus();  // again each run: the bus may have come since
      if (bus && !(held = inhibit(bus, &cookie))) close_bus(bus);
    } else if (!want && held) {
      if (!uninhibit(bus, cookie)) close_bus(bus);
      held = false;
    }
    if (stopping) break;
  }
  close_bus(bus);
  bus_done = true;
}

static void wake_bus_thread() {
  if (bus_signal < 0) {
    if (bus_lost) return;
    bus_signal = eventfd(0, EFD_CLOEXEC);
    if (bus_signal < 0) return;
    std::thread bus_thread;
    bus_lost = !start_thread(bus_thread, bus_loop, "screensaver hold on the session bus");
    if (bus_lost) {
      close(bus_signal);
      bus_signal = -1;
      return;
    }
    // Detached: the game never waits on it for more than a moment.
    bus_thread.detach();
  }
  uint64_t one = 1;
  ssize_t n = write(bus_signal, &one, sizeof one);
  (void)n;  // can only fail on an overflowing count, which still wakes it
}

// ---------------------------------------------------------------- both

void keep_screen_awake(bool playing) {
  if (playing == held_awake) {
    if (playing && ms_clock() - last_reset >= awake_reset_ms) {
      x_reset();
      last_reset = ms_clock();
    }
    return;
  }
  held_awake = playing;
  x_suspend(playing);
  last_reset = ms_clock();
  bus_wanted = playing;
  wake_bus_thread();
}

void screensaver_shut_down() {
  keep_screen_awake(false);
  if (bus_signal < 0) return;
  bus_stopping = true;
  wake_bus_thread();
  // A bus that does not answer must not keep the game from ending: the
  // service drops the inhibition anyway once the connection goes.
  wait_for(bus_done, true, exit_wait_ms);
}
