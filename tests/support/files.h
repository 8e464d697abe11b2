// File helpers for the tests, on both platforms. Nothing here uses the code
// under test.
#pragma once

#include <stdio.h>

#include <filesystem>
#include <string>
#include <vector>

typedef std::vector<unsigned char> bytes;

bytes read_file(const std::filesystem::path &path);
void write_file(const std::filesystem::path &path, const bytes &contents);
std::filesystem::path corpus_path(const std::string &name);  // e.g. "pngsuite/basn0g01.png"
std::filesystem::path make_temp_dir();                     // a new empty folder
void remove_tree(const std::filesystem::path &path);
// A temporary stream holding the bytes, at its start, as a program reads a
// file; the caller closes it.
FILE *stream_of(const bytes &contents);
