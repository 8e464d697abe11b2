// The run when memory or the disk gives out, for real, in a child process:
// an address-space limit that leaves no room for the raster, and a file-size
// limit that fills the "disk" during the export.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "app/flow.h"
#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/scripted_desktop.h"

namespace fs = std::filesystem;

namespace {

long address_space_bytes() {
    FILE *statm = fopen("/proc/self/statm", "r");
    long pages = 0;
    if (!statm || fscanf(statm, "%ld", &pages) != 1) abort();
    fclose(statm);
    return pages * sysconf(_SC_PAGESIZE);
}

}  // namespace

// No room for the 6,220,800-byte raster: the read-error box, not the
// save-failure box, and no save dialog. It runs in a freshly started copy of
// this test program (a "threadsafe" death test), whose heap holds no free
// block the raster could be carved from.
static int run_without_room_for_the_raster(const fs::path &photo, const fs::path &out) {
    script s;
    s.answers = {{1, photo}, {1, out}};
    desktop d = scripted_desktop(&s);
    long limit = address_space_bytes() + 4 * 1024 * 1024;
    rlimit as = {(rlim_t)limit, (rlim_t)limit};
    if (setrlimit(RLIMIT_AS, &as) != 0) return 2;
    int exit_code = run_kadrova(&d);
    if (exit_code != 1) return 3;
    if (s.events != std::vector<std::string>({"open", "box"})) return 4;
    if (s.boxes[0].flags != 0x10 || s.boxes[0].text.rfind(PATH_TEXT("Das Bild konnte nicht gelesen werden."), 0) != 0)
        return 5;
    return 0;
}

TEST(FlowFailure, RasterAllocationFailingShowsTheReadError) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer needs the address space it reserves";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const fs::path dir = make_temp_dir();
    const fs::path photo = dir / "photo.jpg";
    write_file(photo, read_file(corpus_path("libjpeg-turbo/testorig.jpg")));
    EXPECT_EXIT(exit(run_without_room_for_the_raster(photo, dir / "out.jpg")), testing::ExitedWithCode(0), "");
    EXPECT_FALSE(fs::exists(dir / "out.jpg"));
    remove_tree(dir);
}

// The disk fills up during the export: the save-failure box, exit code 1 and
// no file left behind; the save dialog does not come back.
TEST(FlowFailure, FullDiskDuringExportShowsTheSaveFailure) {
    const fs::path dir = make_temp_dir();
    const fs::path photo = dir / "photo.jpg";
    write_file(photo, read_file(corpus_path("libjpeg-turbo/testorig.jpg")));
    int result = run_in_child([&] {
        script s;
        s.answers = {{1, photo}, {1, dir / "out.jpg"}, {1, dir / "other.jpg"}};
        desktop d = scripted_desktop(&s);
        rlimit fsize = {20000, 20000};
        if (setrlimit(RLIMIT_FSIZE, &fsize) != 0) return 2;
        signal(SIGXFSZ, SIG_IGN);
        int exit_code = run_kadrova(&d);
        if (exit_code != 1) return 3;
        if (s.events != std::vector<std::string>({"open", "save", "box"})) return 4;
        if (s.boxes[0].flags != 0x10 || s.boxes[0].text != path_string(PATH_TEXT("Speichern fehlgeschlagen."))) return 5;
        return 0;
    });
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(fs::exists(dir / "out.jpg"));
    EXPECT_FALSE(fs::exists(dir / "other.jpg"));
    remove_tree(dir);
}
