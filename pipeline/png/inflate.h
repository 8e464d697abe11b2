// A DEFLATE decoder for a PNG's image data, as it is read: the input in
// pieces, the output in steps of a few hundred kilobytes with the 32 KiB
// that later matches may reach back into kept before them.
//
// It reads only sound streams, and is stricter than the image decoder in
// a few places (length codes 286 and 287, distance codes 30 and 31, more
// than 286 + 30 codes): where it fails, the caller leaves the file to the
// decoder. Where it ends a stream, the bytes are the ones every inflater
// gives.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum inflate_status {
    inflate_failed = 0,       // not a sound stream, or more data needed than there was
    inflate_needs_input = 1,  // it has used all the input it can now: fewer than inflate_header_input bytes are left
    inflate_has_output = 2,   // out[out_from, out_at) is new; take it before running again
    inflate_ended = 3,        // the final block is done; see held_back
};

// Before a block's header it waits for inflate_header_input bytes, the
// most a header takes, unless the input ends before: a caller's input
// buffer holds more than that.
enum { inflate_reach = 32768, inflate_step = 1 << 18, inflate_header_input = 512 };

struct inflater {
    // Set by the caller before each run: the input not yet used, and
    // whether more will come after it. The run moves `in` on.
    const unsigned char *in, *in_end;
    int input_ends;

    // New output after each run, in a buffer the inflater owns.
    unsigned char *out;
    size_t out_from, out_at;

    // Bits read but not used, lowest first; above bit_count only zero bits
    // or the bits of the bytes that come next.
    uint64_t bits;
    int bit_count;
    int padding;  // zero bytes put in past the input's end

    int state;  // a block's header next, in a stored block, in a coded block, ended
    int final_block;
    uint32_t stored_left;
    uint32_t *litlen, *distance;  // the block's lookup tables

    // Once ended: input bytes after the stream's last one that the run
    // took before `in`.
    size_t held_back;
};

// 0 when out of memory. Closing releases what an inflater holds, whether
// it opened or not, and a zeroed one too.
int inflater_open(inflater *z);
void inflater_close(inflater *z);

// Goes on with the stream from z->in, and stops where the status says.
inflate_status inflater_run(inflater *z);
