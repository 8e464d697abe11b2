#include "tests/support/scripted_desktop.h"

static path_string filter_list(const path_char *filter) {
    const path_char *end = filter;
    while (end[0] || end[1]) ++end;
    return path_string(filter, end + 2);
}

static int play_dialog(script *s, dialog_record *record, bool save) {
    s->events.push_back(save ? "save" : "open");
    dialog_seen seen;
    seen.save = save;
    seen.filter = filter_list(record->filter);
    seen.proposed = record->file;
    seen.buffer = record->file;
    seen.max_file = record->max_file;
    seen.title = record->title;
    seen.flags = record->flags;
    seen.has_default_extension = record->default_extension != nullptr;
    if (record->default_extension) seen.default_extension = record->default_extension;
    s->dialogs.push_back(seen);
    if (s->next >= s->answers.size()) return 0;
    const answer &a = s->answers[s->next++];
    if (!a.accept) return 0;
    const path_string &chosen = a.path.native();
    if (chosen.size() + 1 > record->max_file) return 0;
    std::copy(chosen.begin(), chosen.end(), record->file);
    record->file[chosen.size()] = 0;
    return 1;
}

static int scripted_open(void *context, dialog_record *record) { return play_dialog((script *)context, record, false); }

static int scripted_save(void *context, dialog_record *record) { return play_dialog((script *)context, record, true); }

static void scripted_box(void *context, const path_char *text, uint32_t flags) {
    held_resources held = current_resources();
    script *s = (script *)context;
    s->events.push_back("box");
    s->boxes.push_back(box_seen{text, flags, held});
}

desktop scripted_desktop(script *s) {
    s->events.reserve(64);
    s->dialogs.reserve(64);
    s->boxes.reserve(64);
    desktop d;
    d.context = s;
    d.open_dialog = scripted_open;
    d.save_dialog = scripted_save;
    d.message_box = scripted_box;
    return d;
}
