#include "export/jpeg_export.h"

#include <stb/stb_image_write.h>

#include "export/file_sink.h"

enum { jpeg_quality = 92 };

FILE *create_output_file(const path_char *save_path) { return create_exclusive(save_path); }

void file_sink_write(void *context, void *data, int size) {
    file_sink *sink = (file_sink *)context;
    if (!sink->ok) return;
    sink->ok = fwrite(data, 1, (size_t)size, sink->file) == (size_t)size;
}

int export_jpeg(FILE *stream, const portrait_raster *raster, const path_char *save_path) {
    file_sink sink;
    sink.file = stream;
    sink.ok = 1;
    // The encoder's own result says nothing about the file: the sink and the
    // close decide.
    stbi_write_jpg_to_func(file_sink_write, &sink, portrait_width, portrait_height, 3, raster->pixels,
                           jpeg_quality);
    int closed = fclose(stream);
    int saved = sink.ok && closed == 0;
    if (!saved) delete_file(save_path);
    return saved;
}
