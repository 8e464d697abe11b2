// The JPEG markers the walk tells apart.
#pragma once

enum jpeg_marker {
    marker_tem = 0x01,
    marker_sof0 = 0xC0,  // baseline
    marker_sof1 = 0xC1,  // extended sequential
    marker_sof2 = 0xC2,  // progressive
    marker_dht = 0xC4,
    marker_rst0 = 0xD0,
    marker_rst7 = 0xD7,
    marker_soi = 0xD8,
    marker_eoi = 0xD9,
    marker_sos = 0xDA,
    marker_dqt = 0xDB,
    marker_dri = 0xDD,
    marker_app0 = 0xE0,   // JFIF
    marker_app14 = 0xEE,  // Adobe
    marker_app15 = 0xEF,
    marker_com = 0xFE,
};

static inline int is_restart_marker(int marker) { return marker >= marker_rst0 && marker <= marker_rst7; }
static inline int is_app_marker(int marker) { return marker >= marker_app0 && marker <= marker_app15; }
