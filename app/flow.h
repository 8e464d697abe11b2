// One run of Kadrova, from the open dialog to the closing message box.
#pragma once

#include "app/desktop.h"

// Returns the exit code: 0 after a cancel or a successful save, 1 after any
// failure.
int run_kadrova(const desktop *desk);
