// Entry glue: the game itself is _mangled_main, in the library.
#include <allegro.h>

#include "shell/app.h"

int main() { return _mangled_main(); }
END_OF_MAIN()
