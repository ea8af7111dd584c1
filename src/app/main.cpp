// Entry glue: the game itself is _mangled_main, in the library.
#include <allegro.h>

#include "app/app.h"

int main(int argc, char** argv) { return _mangled_main(argc, argv); }
END_OF_MAIN()
