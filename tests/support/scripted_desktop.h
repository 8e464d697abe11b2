// A desktop that plays a script: each dialog takes the next answer, and
// everything the run shows is written down, with what the process held when
// each message box came up.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/desktop.h"
#include "tests/support/held_resources.h"

typedef std::basic_string<path_char> path_string;

struct answer {
    int accept;                   // 0: cancel
    std::filesystem::path path;   // the full path the user accepts
};

struct dialog_seen {
    bool save;
    path_string filter;             // the whole list, its zeros included
    path_string proposed;           // what the buffer held when the dialog came up
    const path_char *buffer;
    uint32_t max_file;
    path_string title;
    uint32_t flags;
    bool has_default_extension;
    path_string default_extension;
};

struct box_seen {
    path_string text;
    uint32_t flags;
    held_resources held;  // taken before anything else happens in the box
};

struct script {
    std::vector<answer> answers;
    size_t next = 0;
    std::vector<std::string> events;  // "open", "save", "box"
    std::vector<dialog_seen> dialogs;
    std::vector<box_seen> boxes;
};

// A desktop record whose context is `s`.
desktop scripted_desktop(script *s);
