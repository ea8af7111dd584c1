/* A stand-in for the desktop's screensaver service on a test's private
 * session bus (DBUS_SESSION_BUS_ADDRESS): owns org.freedesktop.ScreenSaver,
 * answers Inhibit with a fresh cookie and UnInhibit with nothing, and writes
 * one line per call on stdout as it comes:
 *   ready
 *   Inhibit "application" "reason" cookie
 *   UnInhibit cookie
 * Runs until killed. */
#include <dbus/dbus.h>
#include <stdio.h>
#include <string.h>

static const char* const name = "org.freedesktop.ScreenSaver";

static void answer(DBusConnection* bus, DBusMessage* call, dbus_uint32_t* cookie) {
  DBusMessage* reply = NULL;
  const char *app = "", *reason = "";
  dbus_uint32_t c = 0;
  if (dbus_message_is_method_call(call, name, "Inhibit") &&
      dbus_message_get_args(call, NULL, DBUS_TYPE_STRING, &app, DBUS_TYPE_STRING, &reason,
                            DBUS_TYPE_INVALID)) {
    c = *cookie += 17;  /* not 1, 2, 3: a game that makes its cookie up is caught */
    printf("Inhibit \"%s\" \"%s\" %u\n", app, reason, (unsigned)c);
    reply = dbus_message_new_method_return(call);
    dbus_message_append_args(reply, DBUS_TYPE_UINT32, &c, DBUS_TYPE_INVALID);
  } else if (dbus_message_is_method_call(call, name, "UnInhibit") &&
             dbus_message_get_args(call, NULL, DBUS_TYPE_UINT32, &c, DBUS_TYPE_INVALID)) {
    printf("UnInhibit %u\n", (unsigned)c);
    reply = dbus_message_new_method_return(call);
  } else if (dbus_message_get_type(call) == DBUS_MESSAGE_TYPE_METHOD_CALL) {
    printf("Other %s\n", dbus_message_get_member(call) ? dbus_message_get_member(call) : "?");
    reply = dbus_message_new_error(call, DBUS_ERROR_UNKNOWN_METHOD, "not a screensaver call");
  }
  fflush(stdout);
  if (!reply) return;
  dbus_connection_send(bus, reply, NULL);
  dbus_message_unref(reply);
}

int main(void) {
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
  if (!bus || dbus_bus_request_name(bus, name, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) !=
                  DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
    fprintf(stderr, "screensaver_service: %s\n", error.message ? error.message : "not the owner");
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  dbus_uint32_t cookie = 4000;
  while (dbus_connection_read_write(bus, -1)) {
    DBusMessage* m;
    while ((m = dbus_connection_pop_message(bus))) {
      answer(bus, m, &cookie);
      dbus_message_unref(m);
    }
  }
  return 0;
}
