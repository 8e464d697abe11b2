#include "tests/support/fixtures.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// clang-format off
#include <jpeglib.h>
#include <png.h>
// clang-format on

static void append_png_bytes(png_structp png, png_bytep data, png_size_t length) {
    bytes *out = (bytes *)png_get_io_ptr(png);
    out->insert(out->end(), data, data + length);
}

bytes encode_png(const png_fixture *f) {
    bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return bytes();
    }
    png_set_write_fn(png, &out, append_png_bytes, NULL);
    png_set_compression_level(png, f->compression);
    if (f->filter >= 0) {
        static const int filters[5] = {PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_AVG, PNG_FILTER_PAETH};
        png_set_filter(png, PNG_FILTER_TYPE_BASE, filters[f->filter]);
    }
    png_set_IHDR(png, info, (png_uint_32)f->width, (png_uint_32)f->height, f->bit_depth, f->color_type,
                 f->interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette;
    for (size_t i = 0; i + 2 < f->palette.size(); i += 3)
        palette.push_back(png_color{f->palette[i], f->palette[i + 1], f->palette[i + 2]});
    if (!palette.empty()) png_set_PLTE(png, info, palette.data(), (int)palette.size());
    if (!f->transparency.empty()) {
        if (f->color_type == PNG_COLOR_TYPE_PALETTE) {
            png_set_tRNS(png, info, (png_bytep)f->transparency.data(), (int)f->transparency.size(), NULL);
        } else {
            png_color_16 colour = {};
            const unsigned char *t = f->transparency.data();
            if (f->color_type == PNG_COLOR_TYPE_GRAY) {
                colour.gray = (png_uint_16)(t[0] << 8 | t[1]);
            } else {
                colour.red = (png_uint_16)(t[0] << 8 | t[1]);
                colour.green = (png_uint_16)(t[2] << 8 | t[3]);
                colour.blue = (png_uint_16)(t[4] << 8 | t[5]);
            }
            png_set_tRNS(png, info, NULL, 0, &colour);
        }
    }
    png_write_info(png, info);
    size_t row_bytes = png_get_rowbytes(png, info);
    std::vector<png_bytep> rows((size_t)f->height);
    for (int y = 0; y < f->height; ++y) rows[(size_t)y] = (png_bytep)f->rows.data() + (size_t)y * row_bytes;
    png_write_image(png, rows.data());
    png_write_end(png, NULL);
    png_destroy_write_struct(&png, &info);
    return out;
}

bytes encode_jpeg(const jpeg_fixture *f) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *buffer = NULL;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = (JDIMENSION)f->width;
    cinfo.image_height = (JDIMENSION)f->height;
    cinfo.input_components = f->components;
    cinfo.in_color_space = f->components == 1 ? JCS_GRAYSCALE : f->components == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, f->quality, TRUE);
    if (f->progressive) jpeg_simple_progression(&cinfo);
    cinfo.arith_code = f->arithmetic ? TRUE : FALSE;
    cinfo.restart_interval = (unsigned)f->restart_interval;
    if (!f->subsample)
        for (int c = 0; c < cinfo.num_components; ++c) cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
    jpeg_start_compress(&cinfo, TRUE);
    if (!f->exif.empty()) jpeg_write_marker(&cinfo, JPEG_APP0 + 1, f->exif.data(), (unsigned)f->exif.size());
    const size_t stride = (size_t)f->width * (size_t)f->components;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = (JSAMPROW)f->pixels.data() + cinfo.next_scanline * stride;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    bytes out(buffer, buffer + size);
    free(buffer);
    return out;
}

decoded_jpeg decode_jpeg(const bytes &file) {
    decoded_jpeg result;
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), (unsigned long)file.size());
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return result;
    }
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    result.width = (int)cinfo.output_width;
    result.height = (int)cinfo.output_height;
    result.rgb.resize((size_t)result.width * (size_t)result.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = result.rgb.data() + (size_t)cinfo.output_scanline * (size_t)result.width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    result.warnings = jerr.num_warnings;
    jpeg_destroy_decompress(&cinfo);
    return result;
}

void put_entropy_coded(bytes *file, std::vector<int> bits) {
    while (bits.size() % 8) bits.push_back(1);
    for (size_t k = 0; k < bits.size(); k += 8) {
        unsigned char byte = 0;
        for (size_t b = 0; b < 8; ++b) byte = (unsigned char)(byte << 1 | bits[k + b]);
        file->push_back(byte);
        if (byte == 0xFF) file->push_back(0x00);
    }
}

bytes progressive_grey(const std::vector<progressive_scan> &scans) {
    bytes file = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    file.insert(file.end(), 64, 1);
    const unsigned char tables[] = {
        0xFF, 0xC2, 0x00, 0x0B, 8, 0x00, 0x08, 0x00, 0x08, 1, 1, 0x11, 0,                             // frame
        0xFF, 0xC4, 0x00, 0x14, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00,           // DC
        0xFF, 0xC4, 0x00, 0x16, 0x10, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x04, 0x01};  // AC
    file.insert(file.end(), tables, tables + sizeof tables);
    for (const progressive_scan &scan : scans) {
        const unsigned char sos[] = {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0x00, (unsigned char)scan.start,
                                     (unsigned char)scan.end, (unsigned char)(scan.high << 4 | scan.low)};
        file.insert(file.end(), sos, sos + sizeof sos);
        put_entropy_coded(&file, scan.bits);
    }
    file.push_back(0xFF);
    file.push_back(0xD9);
    return file;
}
