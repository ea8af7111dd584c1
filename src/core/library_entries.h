// Libraries opened at run time (dlopen), so that a machine without them runs
// without their feature instead of not starting: their entry points are
// looked up by name into a record of pointers typed from the library's own
// header, so that a changed signature fails to compile.
#pragma once

#include <dlfcn.h>

// In a function that fills the record `found` from the handle `lib` and
// returns a bool: one entry, or false when the library lacks it.
#define FIND_ENTRY(entry, symbol)                                                \
  found.entry = reinterpret_cast<decltype(found.entry)>(dlsym(lib, #symbol)); \
  if (!found.entry) return false;
