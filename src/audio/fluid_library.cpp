#include "audio/fluid_library.h"

#include <initializer_list>

#include "core/library_entries.h"

fluid_api fluid;

static void* library;  // FluidSynth's handle while loaded

static void quiet_log(int, const char*, void*) {}

static bool find_entries(void* lib, fluid_api& found) {
  FIND_ENTRY(new_settings, new_fluid_settings);
  FIND_ENTRY(delete_settings, delete_fluid_settings);
  FIND_ENTRY(settings_setstr, fluid_settings_setstr);
  FIND_ENTRY(settings_setnum, fluid_settings_setnum);
  FIND_ENTRY(settings_setint, fluid_settings_setint);
  FIND_ENTRY(set_log_function, fluid_set_log_function);
  FIND_ENTRY(is_soundfont, fluid_is_soundfont);
  FIND_ENTRY(new_synth, new_fluid_synth);
  FIND_ENTRY(delete_synth, delete_fluid_synth);
  FIND_ENTRY(sfload, fluid_synth_sfload);
  FIND_ENTRY(new_defsfloader, new_fluid_defsfloader);
  FIND_ENTRY(sfloader_set_callbacks, fluid_sfloader_set_callbacks);
  FIND_ENTRY(add_sfloader, fluid_synth_add_sfloader);
  FIND_ENTRY(write_float, fluid_synth_write_float);
  FIND_ENTRY(cc, fluid_synth_cc);
  FIND_ENTRY(handle_midi_event, fluid_synth_handle_midi_event);
  FIND_ENTRY(event_type, fluid_midi_event_get_type);
  FIND_ENTRY(event_channel, fluid_midi_event_get_channel);
  FIND_ENTRY(event_control, fluid_midi_event_get_control);
  FIND_ENTRY(event_value, fluid_midi_event_get_value);
  FIND_ENTRY(new_player, new_fluid_player);
  FIND_ENTRY(delete_player, delete_fluid_player);
  FIND_ENTRY(set_playback_callback, fluid_player_set_playback_callback);
  FIND_ENTRY(add_mem, fluid_player_add_mem);
  FIND_ENTRY(play, fluid_player_play);
  found.pin_preset = reinterpret_cast<decltype(found.pin_preset)>(dlsym(lib, "fluid_synth_pin_preset"));
  return true;
}

bool load_fluid_library() {
  if (library) return true;
  // Kept once loaded: libinstpatch registers types with GObject, which never
  // unloads, and would register them again on the next load; libgomp's
  // threads may outlive the render that started them.
  for (const char* kept : {"libinstpatch-1.0.so.2", "libgomp.so.1"}) dlopen(kept, RTLD_NOW | RTLD_NODELETE);
  library = dlopen("libfluidsynth.so.3", RTLD_NOW | RTLD_LOCAL);
  if (!library) return false;
  fluid_api found;
  if (!find_entries(library, found)) {
    unload_fluid_library();
    return false;
  }
  fluid = found;
  for (int level = FLUID_PANIC; level <= FLUID_DBG; level++) fluid.set_log_function(level, quiet_log, nullptr);
  return true;
}

void unload_fluid_library() {
  fluid = fluid_api{};
  if (library) dlclose(library);
  library = nullptr;
}
