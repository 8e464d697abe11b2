#include "app/preview_gtk.h"

#include <stdio.h>

#include "app/preview_load.h"
#include "app/texts.h"
#include "pipeline/crop_geometry.h"

struct photo_preview {
    GtkFileChooser *chooser;
    GtkWidget *picture_area;
    GtkWidget *size_label;
    GtkWidget *problem_label;
    preview_load load;
    guint pieces;  // the idle source doing the work; 0 when there is none
};

static void show_state(photo_preview *preview) {
    const preview_load *load = &preview->load;
    char size[64] = "";
    if (load->width > 0 && load->height > 0) snprintf(size, sizeof size, text_preview_size, load->width, load->height);
    gtk_label_set_text(GTK_LABEL(preview->size_label), size);
    gtk_label_set_text(GTK_LABEL(preview->problem_label), load->problem ? load->problem : "");
    gtk_widget_set_visible(preview->problem_label, load->problem != NULL);
    gtk_widget_queue_draw(preview->picture_area);
}

static void stop_work(photo_preview *preview) {
    if (preview->pieces) g_source_remove(preview->pieces);
    preview->pieces = 0;
    preview_stop(&preview->load);
}

static gboolean do_piece(gpointer data) {
    photo_preview *preview = (photo_preview *)data;
    const int more = preview_piece(&preview->load);
    if (more) {
        if (preview->load.width > 0) show_state(preview);
        return G_SOURCE_CONTINUE;
    }
    preview->pieces = 0;
    show_state(preview);
    return G_SOURCE_REMOVE;
}

static void on_selection(GtkFileChooser *chooser, gpointer data) {
    photo_preview *preview = (photo_preview *)data;
    stop_work(preview);
    gchar *path = gtk_file_chooser_get_preview_filename(chooser);
    const int is_file = path && g_file_test(path, G_FILE_TEST_IS_REGULAR);
    if (is_file) {
        preview_start(&preview->load, path);
        if (!preview->load.finished) preview->pieces = g_idle_add(do_piece, preview);
        show_state(preview);
    }
    gtk_file_chooser_set_preview_widget_active(chooser, is_file);
    g_free(path);
}

// The picture (opaque: a PNG's is laid onto white as it is made) centred in
// the area; what the crop cuts away at half brightness. The border comes from the crop geometry of the photo's
// own width and height, scaled to the picture.
static gboolean on_draw(GtkWidget *area, cairo_t *cr, gpointer data) {
    const preview_load *load = &((photo_preview *)data)->load;
    if (!load->picture) return FALSE;
    const double width = load->picture_width;
    const double height = load->picture_height;
    const double left = (gtk_widget_get_allocated_width(area) - load->picture_width) / 2;
    const double top = (gtk_widget_get_allocated_height(area) - load->picture_height) / 2;
    gdk_cairo_set_source_pixbuf(cr, load->picture, left, top);
    cairo_rectangle(cr, left, top, width, height);
    cairo_fill(cr);

    const crop_geometry g = crop_geometry_of(load->width, load->height);
    const double to_picture_x = width / load->width;
    const double to_picture_y = height / load->height;
    const double crop_left = g.offset_x * to_picture_x;
    const double crop_right = (g.offset_x + crop_output_width * g.scale) * to_picture_x;
    const double crop_top = g.offset_y * to_picture_y;
    const double crop_bottom = (g.offset_y + crop_output_height * g.scale) * to_picture_y;
    cairo_set_source_rgba(cr, 0, 0, 0, 0.5);
    cairo_rectangle(cr, left, top, crop_left, height);
    cairo_rectangle(cr, left + crop_right, top, width - crop_right, height);
    cairo_rectangle(cr, left + crop_left, top, crop_right - crop_left, crop_top);
    cairo_rectangle(cr, left + crop_left, top + crop_bottom, crop_right - crop_left, height - crop_bottom);
    cairo_fill(cr);
    return FALSE;
}

static GtkWidget *small_label() {
    GtkWidget *label = gtk_label_new(NULL);
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 30);
    gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_CENTER);
    return label;
}

photo_preview *preview_attach(GtkFileChooser *chooser) {
    photo_preview *preview = g_new0(photo_preview, 1);
    preview->chooser = chooser;
    preview->picture_area = gtk_drawing_area_new();
    gtk_widget_set_size_request(preview->picture_area, preview_side, preview_side);
    atk_object_set_name(gtk_widget_get_accessible(preview->picture_area), text_preview_name);
    g_signal_connect(preview->picture_area, "draw", G_CALLBACK(on_draw), preview);
    preview->size_label = small_label();
    preview->problem_label = small_label();

    GtkWidget *column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    gtk_container_set_border_width(GTK_CONTAINER(column), 6);
    gtk_box_pack_start(GTK_BOX(column), preview->picture_area, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(column), preview->size_label, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(column), preview->problem_label, FALSE, FALSE, 0);
    gtk_widget_show_all(column);

    gtk_file_chooser_set_preview_widget(chooser, column);
    gtk_file_chooser_set_use_preview_label(chooser, FALSE);
    gtk_file_chooser_set_preview_widget_active(chooser, FALSE);
    g_signal_connect(chooser, "update-preview", G_CALLBACK(on_selection), preview);
    return preview;
}

void preview_detach(photo_preview *preview) {
    g_signal_handlers_disconnect_by_data(preview->chooser, preview);
    g_signal_handlers_disconnect_by_data(preview->picture_area, preview);
    stop_work(preview);
    g_free(preview);
}
