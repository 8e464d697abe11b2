// The seam between the run and the desktop: the open dialog, the save dialog
// and the message box. Each back end (GTK, Win32, the tests' script) fills a
// `desktop` record with its three functions.
#pragma once

#include <stdint.h>

#include "platform/runtime.h"

// Texts use the platform's path character type: UTF-16 on Windows, UTF-8 on
// Linux.

// Dialog flags, with the values of the Windows common dialogs.
enum : uint32_t {
    dialog_path_must_exist = 0x800,
    dialog_file_must_exist = 0x1000,
};

// Message box flags; they choose only the icon. There is always one OK button.
enum : uint32_t {
    box_no_icon = 0x00,
    box_error = 0x10,
    box_warning = 0x30,
};

// What the run tells a file dialog, and where the dialog leaves its answer.
struct dialog_record {
    const path_char *filter;             // description, pattern, ..., each zero-terminated; an empty string ends it
    path_char *file;                     // in: the name to propose; out: the full path accepted, zero-terminated
    uint32_t max_file;                   // units in `file`, the terminating zero included
    const path_char *title;
    uint32_t flags;
    const path_char *default_extension;  // added to a typed name without extension; null: none
};

struct desktop {
    void *context;
    // Modal. Non-zero when the user accepted a path that fits `max_file`;
    // zero on cancel and on any error.
    int (*open_dialog)(void *context, dialog_record *record);
    int (*save_dialog)(void *context, dialog_record *record);
    // Modal; returns when dismissed.
    void (*message_box)(void *context, const path_char *text, uint32_t flags);
};
