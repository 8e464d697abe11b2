// The run, step by step. Only the raster is held across the save dialog;
// everything is released before the closing box.
#include "app/flow.h"

#include <stdlib.h>
#include <string.h>

#include "app/texts.h"
#include "export/jpeg_export.h"
#include "pipeline/portrait_raster.h"

// Opens, reads and scales the photo, and lets go of the input again: the
// decoded pixels first, then the stream. A null raster for every failure.
static portrait_raster read_and_scale(const path_char *open_path) {
    portrait_raster raster = {NULL};
    FILE *input = open_for_reading(open_path);
    if (!input) return raster;
    source_image image;
    if (load_source_image(input, &image)) {
        raster = crop_and_scale(&image);
        release_source_image(&image);
    }
    fclose(input);
    return raster;
}

int run_kadrova(const desktop *desk) {
    // Prepare: an empty open path, the default name with zeros behind it.
    path_char open_path[path_capacity];
    path_char save_path[path_capacity];
    memset(open_path, 0, sizeof open_path);
    memset(save_path, 0, sizeof save_path);
    memcpy(save_path, text_default_name, sizeof text_default_name);

    dialog_record record;
    memset(&record, 0, sizeof record);
    record.filter = text_open_filter;
    record.file = open_path;
    record.max_file = path_capacity;
    record.title = text_open_title;
    record.flags = dialog_path_must_exist | dialog_file_must_exist;

    if (!desk->open_dialog(desk->context, &record)) return 0;

    portrait_raster raster = read_and_scale(open_path);
    if (!raster.pixels) {
        desk->message_box(desk->context, text_read_error, box_error);
        return 1;
    }

    // The same record serves the save dialog; exactly these five fields change.
    record.file = save_path;
    record.default_extension = text_default_extension;
    record.title = text_save_title;
    record.filter = text_save_filter;
    record.flags = dialog_path_must_exist;

    FILE *output;
    for (;;) {
        if (!desk->save_dialog(desk->context, &record)) {
            free(raster.pixels);
            return 0;
        }
        output = create_output_file(save_path);
        if (output) break;
        desk->message_box(desk->context, text_retry, box_warning);
    }

    int saved = export_jpeg(output, &raster, save_path);
    free(raster.pixels);
    if (!saved) {
        desk->message_box(desk->context, text_save_failed, box_error);
        return 1;
    }
    desk->message_box(desk->context, text_saved, box_no_icon);
    return 0;
}
