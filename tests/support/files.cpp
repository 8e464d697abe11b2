#include "tests/support/files.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <random>

#ifndef KADROVA_CORPUS_DIR
#error "KADROVA_CORPUS_DIR must name the shared corpus"
#endif

bytes read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::filesystem::path &path, const bytes &contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write((const char *)contents.data(), (std::streamsize)contents.size());
    out.close();
    if (!out) abort();
}

std::filesystem::path corpus_path(const std::string &name) {
    return std::filesystem::path(KADROVA_CORPUS_DIR) / name;
}

std::filesystem::path make_temp_dir() {
    static std::mt19937_64 random(std::random_device{}());
    for (;;) {
        std::filesystem::path dir =
            std::filesystem::temp_directory_path() / ("kadrova-test-" + std::to_string(random() % 1000000000000ull));
        if (std::filesystem::create_directory(dir)) return dir;
    }
}

void remove_tree(const std::filesystem::path &path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

FILE *stream_of(const bytes &contents) {
    FILE *file = tmpfile();
    if (!file) abort();
    if (!contents.empty()) fwrite(contents.data(), 1, contents.size(), file);
    rewind(file);
    return file;
}
