#pragma once

extern const char* const options_credit;  // the credit line under the options menu

void options_frame();
