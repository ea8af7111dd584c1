#pragma once

extern const char* const title_credit;  // the credit line under the title menu

void title_frame();
