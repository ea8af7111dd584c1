// Start-up, the stage loop and shut-down.
#pragma once

// The whole program: start-up, stage loop, shut-down. Returns the exit status.
int _mangled_main();
