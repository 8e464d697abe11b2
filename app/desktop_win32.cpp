// The Windows desktop: the common dialogs and MessageBoxW behind the seam,
// and wWinMain. One OPENFILENAMEW serves both dialogs: set up for opening,
// then exactly five fields change for saving, and every other field keeps
// what the open dialog wrote back into it.
#include <windows.h>
#include <commdlg.h>

#include "app/flow.h"
#include "app/texts.h"

static_assert(dialog_path_must_exist == OFN_PATHMUSTEXIST && dialog_file_must_exist == OFN_FILEMUSTEXIST,
              "dialog flags are the common dialogs' own");
static_assert(box_no_icon == MB_OK && box_error == MB_ICONERROR && box_warning == MB_ICONWARNING,
              "box flags are MessageBoxW's own");

// The fields the run sets for each dialog.
static void take_fields(OPENFILENAMEW *dialog, const dialog_record *record) {
    dialog->lpstrFile = record->file;
    dialog->lpstrDefExt = record->default_extension;
    dialog->lpstrTitle = record->title;
    dialog->lpstrFilter = record->filter;
    dialog->Flags = record->flags;
}

static int win32_open_dialog(void *context, dialog_record *record) {
    OPENFILENAMEW *dialog = (OPENFILENAMEW *)context;
    dialog->lStructSize = sizeof *dialog;
    dialog->hwndOwner = NULL;
    dialog->nMaxFile = record->max_file;
    take_fields(dialog, record);
    return GetOpenFileNameW(dialog) != 0;
}

// The record switches to saving once, before the first save dialog; later
// passes show it exactly as the last dialog left it, its flag bits included.
static int win32_save_dialog(void *context, dialog_record *record) {
    OPENFILENAMEW *dialog = (OPENFILENAMEW *)context;
    if (dialog->lpstrFile != record->file) take_fields(dialog, record);
    return GetSaveFileNameW(dialog) != 0;
}

static void win32_message_box(void *, const wchar_t *text, uint32_t flags) {
    MessageBoxW(NULL, text, text_box_title, flags);
}

// None of the four arguments is used.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    OPENFILENAMEW dialog;
    ZeroMemory(&dialog, sizeof dialog);
    desktop desk;
    desk.context = &dialog;
    desk.open_dialog = win32_open_dialog;
    desk.save_dialog = win32_save_dialog;
    desk.message_box = win32_message_box;
    return run_kadrova(&desk);
}
