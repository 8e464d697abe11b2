// Real write failures: a file-size limit in a child process makes the disk
// "full" part-way through the export or only at the final write-out.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "export/jpeg_export.h"
#include "tests/support/child_process.h"
#include "tests/support/fixtures.h"

namespace {

portrait_raster noisy_raster() {
    portrait_raster raster = {(unsigned char *)malloc(portrait_bytes)};
    uint32_t state = 12345;
    for (size_t k = 0; k < (size_t)portrait_bytes; ++k) {
        state = state * 1103515245u + 12345u;
        raster.pixels[k] = (unsigned char)(state >> 16);
    }
    return raster;
}

bool is_prefix(const bytes &part, const bytes &whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// The export under a file-size limit, with a hard link that keeps what
// reached the disk after the export has deleted its name. 0 when the export
// failed and its name is gone.
int export_with_limit(const std::string &dir, rlim_t limit) {
    rlimit fsize = {limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &fsize) != 0) return 2;
    signal(SIGXFSZ, SIG_IGN);
    portrait_raster raster = noisy_raster();
    const std::string path = dir + "/out.jpg";
    FILE *stream = create_output_file(path.c_str());
    if (!stream) return 3;
    if (link(path.c_str(), (dir + "/kept.jpg").c_str()) != 0) return 4;
    int saved = export_jpeg(stream, &raster, path.c_str());
    if (saved != 0) return 5;
    if (access(path.c_str(), F_OK) == 0) return 6;
    return 0;
}

}  // namespace

TEST(ExportFailure, ShortWritePartWayDeletesTheFile) {
    const std::string dir = make_temp_dir();
    portrait_raster raster = noisy_raster();
    bytes complete;
    {
        FILE *stream = create_output_file((dir + "/complete.jpg").c_str());
        ASSERT_EQ(export_jpeg(stream, &raster, (dir + "/complete.jpg").c_str()), 1);
        complete = read_file(dir + "/complete.jpg");
    }
    ASSERT_GT(complete.size(), 1000000u);
    ASSERT_EQ(run_in_child([&] { return export_with_limit(dir, 100000); }), 0);
    bytes kept = read_file(dir + "/kept.jpg");
    EXPECT_EQ(kept.size(), 100000u);
    EXPECT_TRUE(is_prefix(kept, complete));
    free(raster.pixels);
    remove_tree(dir);
}

// Every fwrite goes into the buffer; only the write-out in fclose fails.
TEST(ExportFailure, FailingCloseDeletesTheFile) {
    const std::string dir = make_temp_dir();
    portrait_raster raster = noisy_raster();
    FILE *stream = create_output_file((dir + "/complete.jpg").c_str());
    ASSERT_EQ(export_jpeg(stream, &raster, (dir + "/complete.jpg").c_str()), 1);
    bytes complete = read_file(dir + "/complete.jpg");
    struct stat st;
    ASSERT_EQ(stat((dir + "/complete.jpg").c_str(), &st), 0);
    // The stream writes out whole buffers of st_blksize bytes; with the limit
    // one byte short of the file, only the last write-out, in fclose, fails.
    ASSERT_NE(complete.size() % (size_t)st.st_blksize, 1u);
    ASSERT_EQ(run_in_child([&] { return export_with_limit(dir, complete.size() - 1); }), 0);
    bytes kept = read_file(dir + "/kept.jpg");
    EXPECT_EQ(kept.size(), complete.size() - 1);
    EXPECT_TRUE(is_prefix(kept, complete));
    free(raster.pixels);
    remove_tree(dir);
}

// When the delete itself fails (the folder is moved away at the first
// refused write), the result is still 0 and the partial file remains.
static char moved_from[4096];
static char moved_to[4096];
static void move_folder_away(int) { rename(moved_from, moved_to); }

TEST(ExportFailure, FailingDeleteStillReportsFailure) {
    const std::string dir = make_temp_dir();
    const std::string folder = dir + "/target", moved = dir + "/moved";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    snprintf(moved_from, sizeof moved_from, "%s", folder.c_str());
    snprintf(moved_to, sizeof moved_to, "%s", moved.c_str());
    int result = run_in_child([&] {
        rlimit fsize = {200000, 200000};
        setrlimit(RLIMIT_FSIZE, &fsize);
        signal(SIGXFSZ, move_folder_away);
        portrait_raster raster = noisy_raster();
        const std::string path = folder + "/out.jpg";
        FILE *stream = create_output_file(path.c_str());
        if (!stream) return 3;
        return export_jpeg(stream, &raster, path.c_str()) == 0 ? 0 : 5;
    });
    EXPECT_EQ(result, 0);
    struct stat st;
    ASSERT_EQ(stat((moved + "/out.jpg").c_str(), &st), 0) << "the partial file remains";
    EXPECT_EQ(st.st_size, 200000);
    remove_tree(dir);
}
