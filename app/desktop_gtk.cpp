// The Linux desktop: GTK 3 file choosers and message dialogs behind the
// seam, and main(). Every dialog is modal, has no parent window and is gone
// from the screen before the run goes on.
#include <gtk/gtk.h>
#include <stdio.h>
#include <string.h>

#include "app/flow.h"
#include "app/preview_gtk.h"
#include "app/texts.h"

// Lets GTK draw and unmap what is pending, so that a closed dialog has left
// the screen before the photo is read or the file is written.
static void let_gtk_catch_up() {
    while (gtk_events_pending()) gtk_main_iteration();
}

// Hidden first, so that it leaves the screen at once, and destroyed once GTK
// has handled what was still pending for it.
static void close_dialog(GtkWidget *dialog) {
    gtk_widget_hide(dialog);
    let_gtk_catch_up();
    gtk_widget_destroy(dialog);
    let_gtk_catch_up();
}

// "*.jpg" matches "IMG_0001.JPG" too: every letter becomes a [xX] class.
static void add_pattern_any_case(GtkFileFilter *filter, const char *pattern, size_t length) {
    GString *any_case = g_string_new(NULL);
    for (size_t k = 0; k < length; ++k) {
        char c = pattern[k];
        if (g_ascii_isalpha(c)) {
            g_string_append_printf(any_case, "[%c%c]", g_ascii_tolower(c), g_ascii_toupper(c));
        } else {
            g_string_append_c(any_case, c);
        }
    }
    gtk_file_filter_add_pattern(filter, any_case->str);
    g_string_free(any_case, TRUE);
}

// One GTK filter per pair of the record's list; patterns are separated by ';'.
static void add_filters(GtkFileChooser *chooser, const char *list) {
    while (*list) {
        const char *description = list;
        const char *patterns = description + strlen(description) + 1;
        GtkFileFilter *filter = gtk_file_filter_new();
        gtk_file_filter_set_name(filter, description);
        for (const char *p = patterns; *p;) {
            size_t length = strcspn(p, ";");
            add_pattern_any_case(filter, p, length);
            p += length + (p[length] == ';');
        }
        gtk_file_chooser_add_filter(chooser, filter);
        list = patterns + strlen(patterns) + 1;
    }
}

// The name field of a save dialog: a bare name as it is, a full path as its
// folder and its name where the folder exists, else the whole path.
static void propose_name(GtkFileChooser *chooser, const char *proposed) {
    if (!strchr(proposed, '/')) {
        gtk_file_chooser_set_current_name(chooser, proposed);
        return;
    }
    gchar *folder = g_path_get_dirname(proposed);
    gchar *name = g_path_get_basename(proposed);
    if (g_file_test(folder, G_FILE_TEST_IS_DIR) && gtk_file_chooser_set_current_folder(chooser, folder)) {
        gtk_file_chooser_set_current_name(chooser, name);
    } else {
        gtk_file_chooser_set_current_name(chooser, proposed);
    }
    g_free(folder);
    g_free(name);
}

// The accepted path as the record promises it: the default extension added to
// a name without one; 0 when the folder or file must exist and does not.
static int take_path(const dialog_record *record, const char *chosen, GString *path) {
    g_string_assign(path, chosen);
    gchar *name = g_path_get_basename(chosen);
    if (record->default_extension && !strchr(name + 1, '.'))
        g_string_append_printf(path, ".%s", record->default_extension);
    g_free(name);
    if ((record->flags & dialog_file_must_exist) && !g_file_test(path->str, G_FILE_TEST_IS_REGULAR)) return 0;
    gchar *folder = g_path_get_dirname(path->str);
    int folder_exists = g_file_test(folder, G_FILE_TEST_IS_DIR);
    g_free(folder);
    return !(record->flags & dialog_path_must_exist) || folder_exists;
}

static int run_file_dialog(dialog_record *record, GtkFileChooserAction action, const char *accept_label) {
    GtkWidget *dialog = gtk_file_chooser_dialog_new(record->title, NULL, action, "_Abbrechen", GTK_RESPONSE_CANCEL,
                                                    accept_label, GTK_RESPONSE_ACCEPT, NULL);
    GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_set_local_only(chooser, TRUE);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    add_filters(chooser, record->filter);
    if (action == GTK_FILE_CHOOSER_ACTION_SAVE) {
        gtk_file_chooser_set_do_overwrite_confirmation(chooser, FALSE);
        propose_name(chooser, record->file);
    }

    photo_preview *preview = action == GTK_FILE_CHOOSER_ACTION_OPEN ? preview_attach(chooser) : NULL;

    int accepted = 0;
    GString *path = g_string_new(NULL);
    // A path that must exist and does not keeps the dialog open, as the
    // Windows dialogs do.
    while (!accepted && gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        gchar *chosen = gtk_file_chooser_get_filename(chooser);
        accepted = chosen && take_path(record, chosen, path);
        g_free(chosen);
    }
    if (preview) preview_detach(preview);
    close_dialog(dialog);

    // A path too long for the buffer is a dialog error.
    if (accepted && path->len + 1 <= record->max_file) {
        memcpy(record->file, path->str, path->len + 1);
    } else {
        accepted = 0;
    }
    g_string_free(path, TRUE);
    return accepted;
}

static int gtk_open_dialog(void *, dialog_record *record) {
    return run_file_dialog(record, GTK_FILE_CHOOSER_ACTION_OPEN, "_\u00D6ffnen");
}

static int gtk_save_dialog(void *, dialog_record *record) {
    return run_file_dialog(record, GTK_FILE_CHOOSER_ACTION_SAVE, "_Speichern");
}

// GTK 3.24 draws no icon for a message type by itself: the themed icon is
// set here, and a box without icon flag has none.
static void gtk_message_box(void *, const char *text, uint32_t flags) {
    GtkWidget *dialog = gtk_dialog_new_with_buttons(text_box_title, NULL, GTK_DIALOG_MODAL, "_OK", GTK_RESPONSE_OK, NULL);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);

    GtkWidget *row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 16);
    gtk_container_set_border_width(GTK_CONTAINER(row), 16);
    const char *icon = flags == box_error ? "dialog-error" : flags == box_warning ? "dialog-warning" : NULL;
    if (icon) {
        GtkWidget *image = gtk_image_new_from_icon_name(icon, GTK_ICON_SIZE_DIALOG);
        // What a screen reader says for the icon.
        atk_object_set_name(gtk_widget_get_accessible(image), flags == box_error ? text_error_icon : text_warning_icon);
        gtk_box_pack_start(GTK_BOX(row), image, FALSE, FALSE, 0);
    }
    GtkWidget *label = gtk_label_new(text);
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 50);
    gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
    gtk_box_pack_start(GTK_BOX(row), label, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), row);
    gtk_widget_show_all(dialog);
    gtk_widget_grab_focus(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK));

    gtk_dialog_run(GTK_DIALOG(dialog));
    close_dialog(dialog);
}

// The command line is ignored, GTK's own options included.
int main() {
    g_set_prgname("kadrova");
    g_set_application_name("Kadrova");
    if (!gtk_init_check(NULL, NULL)) {
        fputs("kadrova: Keine grafische Oberfl\u00E4che erreichbar (ist DISPLAY gesetzt?).\n", stderr);
        return 1;
    }
    desktop desk;
    desk.context = NULL;
    desk.open_dialog = gtk_open_dialog;
    desk.save_dialog = gtk_save_dialog;
    desk.message_box = gtk_message_box;
    return run_kadrova(&desk);
}
