// Why intake refused a file. The program never looks at it (every refusal
// ends in the same read-error box); the tests do, so that a test of one
// guard cannot pass because another guard refused the file first.
#pragma once

enum intake_refusal {
    refusal_none = 0,
    refusal_unknown_format,    // neither a JPEG nor a PNG
    refusal_cut_off,           // the file ends inside a segment, a chunk or before its end marker
    refusal_png_chunk,         // a PNG chunk longer than the decoder takes, or an empty first IDAT chunk
    refusal_segment,           // a JPEG marker segment whose length field is below 2
    refusal_huffman_table,     // a Huffman table the decoder would mishandle
    refusal_quant_table,
    refusal_restart_interval,
    refusal_frame_header,      // a malformed or second frame header
    refusal_frame_size,        // the frame is larger than the limits, or empty
    refusal_scan_header,       // a malformed scan header, or one that uses undefined tables
    refusal_scan_data,         // a code not in its table, data ending before the last block, a wrong restart
    refusal_dc_overflow,       // a DC value beyond what the decoder adds up safely
    refusal_progression,       // progressive scans the decoder would read otherwise than the walk: see segments.cpp, scans.cpp
    refusal_block_budget,      // progressive scans going over the blocks without end
    refusal_component_unscanned,  // a component no scan gave its blocks, or no scan at all
    refusal_out_of_memory,
    refusal_png_data,          // PNG image data with too few rows or a filter type beyond 4
    refusal_png_excess,        // a PNG whose data goes on far past its frame (the decoder would inflate it all)
    refusal_png_palette,       // a palette index past the palette, or a palette PNG whose indices cannot all be checked
    refusal_probe,             // stb_image's header probe
    refusal_pixel_limit,       // more than 36,000,000 pixels on the probe's values
    refusal_decode,            // stb_image's decode
};
