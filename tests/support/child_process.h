// Runs a piece of a test in a forked child process, where limits such as a
// file-size or address-space cap can be set without touching the test run.
#pragma once

#include <functional>

// The child's exit code (the body's result), or -1 when it did not exit normally.
int run_in_child(const std::function<int()> &body);
