// The target file on every platform: the exclusive creation and the write
// sink.
#include <gtest/gtest.h>
#include <stdio.h>

#include <chrono>

#include "export/file_sink.h"
#include "export/jpeg_export.h"
#include "tests/support/files.h"

namespace fs = std::filesystem;

// Whatever stands under the name is left as it was, and a name that cannot
// be created gives null and creates nothing.
TEST(CreateOutputFile, NeverOpensAnExistingName) {
    const fs::path dir = make_temp_dir();
    write_file(dir / "photo.jpg", bytes(1000, 0x5A));
    write_file(dir / "empty.jpg", bytes());
    write_file(dir / "plain.txt", bytes(3, 'x'));
    fs::create_directory(dir / "folder.jpg");
    // An old time stamp, so that any opening for writing would show.
    const fs::file_time_type old_time = fs::last_write_time(dir / "plain.txt") - std::chrono::hours(24 * 365);
    for (const char *name : {"photo.jpg", "empty.jpg"}) fs::last_write_time(dir / name, old_time);

    struct {
        const char *name;
        fs::path path;
    } refused[] = {
        {"existing file", dir / "photo.jpg"},
        {"existing empty file", dir / "empty.jpg"},
        {"existing folder", dir / "folder.jpg"},
        {"missing folder", dir / "missing" / "out.jpg"},
        {"path through a regular file", dir / "plain.txt" / "out.jpg"},
        {"empty name", fs::path()},
    };
    for (const auto &r : refused) {
        SCOPED_TRACE(r.name);
        FILE *stream = create_output_file(r.path.c_str());
        EXPECT_EQ(stream, nullptr);
        if (stream) fclose(stream);
    }
    EXPECT_EQ(read_file(dir / "photo.jpg"), bytes(1000, 0x5A));
    EXPECT_EQ(fs::file_size(dir / "empty.jpg"), 0u);
    for (const char *name : {"photo.jpg", "empty.jpg"}) EXPECT_TRUE(fs::last_write_time(dir / name) == old_time) << name;
    EXPECT_FALSE(fs::exists(dir / "missing"));

    FILE *fresh = create_output_file((dir / "new.jpg").c_str());
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fclose(fresh), 0);
    EXPECT_EQ(fs::file_size(dir / "new.jpg"), 0u);
    // Once made, the new name is taken too.
    EXPECT_EQ(create_output_file((dir / "new.jpg").c_str()), nullptr);
    remove_tree(dir);
}

// One short write drops ok for good, and after that nothing more reaches the
// stream; a write of 0 bytes changes nothing.
TEST(FileSink, DropsAtTheFirstShortWriteAndStaysDown) {
    const fs::path dir = make_temp_dir();
    write_file(dir / "read-only", bytes(4, 1));
    FILE *writable = create_output_file((dir / "sink").c_str());
    FILE *unwritable = open_for_reading((dir / "read-only").c_str());
    ASSERT_TRUE(writable && unwritable);
    char data[16] = "0123456789abcde";
    struct {
        const char *name;
        FILE *file;
        int32_t ok_before;
        int size;
        int32_t ok_after;
        long position_after;
    } cases[] = {
        {"a complete write", writable, 1, 10, 1, 10},
        {"a write of 0 bytes keeps 1", writable, 1, 0, 1, 10},
        {"after a failure nothing is written", writable, 0, 5, 0, 10},
        {"a write of 0 bytes keeps 0", writable, 0, 0, 0, 10},
        {"a short write", unwritable, 1, 4, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        file_sink sink = {c.file, c.ok_before};
        file_sink_write(&sink, data, c.size);
        EXPECT_EQ(sink.ok, c.ok_after);
        EXPECT_EQ(ftell(c.file), c.position_after);
    }
    fclose(writable);
    fclose(unwritable);
    EXPECT_EQ(read_file(dir / "sink"), bytes(data, data + 10));
    remove_tree(dir);
}
