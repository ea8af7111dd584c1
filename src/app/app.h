// Start-up, the stage loop and shut-down.
#pragma once

// The whole program: the command line, start-up, stage loop, shut-down.
// Returns the exit status.
int _mangled_main(int argc, char** argv);
