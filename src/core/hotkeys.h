// Esc and Tab, polled from the library's timer every 10 ms.
#pragma once

void global_keys();
