// What the process holds right now: open file descriptors and heap bytes in
// use.
#pragma once

struct held_resources {
    long open_files;
    long heap_bytes;
};

held_resources current_resources();
