// The write context of the JPEG export: the encoder hands every byte of the
// file to file_sink_write, which passes it on to the stream until the first
// write falls short, and ignores everything after that.
#pragma once

#include <stdint.h>
#include <stdio.h>

struct file_sink {
    FILE *file;
    int32_t ok;  // 1 while every write so far was complete; never back to 1
};

// The encoder's callback: one flag test and one fwrite.
void file_sink_write(void *context, void *data, int size);
