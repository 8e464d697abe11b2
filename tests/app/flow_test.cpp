// The run through a scripted desktop: every state, box, text, flag and exit
// code, and what is still held when each box comes up.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include "app/flow.h"
#include "tests/support/files.h"
#include "tests/support/reference_wallpaper.h"
#include "tests/support/scripted_desktop.h"

namespace fs = std::filesystem;

namespace {

const path_string read_error = PATH_TEXT("Das Bild konnte nicht gelesen werden. Unterst\u00FCtzt werden JPEG und PNG bis 36 Megapixel.");
const path_string retry = PATH_TEXT("Bitte einen neuen Dateinamen und einen beschreibbaren Ordner w\u00E4hlen.");
const path_string saved = PATH_TEXT("Dein 1080 \u00D7 1920-Hintergrund wurde gespeichert.");
const path_string save_failed = PATH_TEXT("Speichern fehlgeschlagen.");

// The short name of a box, or "unknown" when text and icon do not belong together.
std::string box_name(const box_seen &box) {
    if (box.text == read_error && box.flags == 0x10) return "read-error";
    if (box.text == retry && box.flags == 0x30) return "retry";
    if (box.text == saved && box.flags == 0x00) return "saved";
    if (box.text == save_failed && box.flags == 0x10) return "save-failed";
    return "unknown";
}

std::vector<std::string> story(const script &s) {
    std::vector<std::string> out;
    size_t box = 0;
    for (const std::string &e : s.events) out.push_back(e == "box" ? "box " + box_name(s.boxes[box++]) : e);
    return out;
}

struct flow_folder {
    fs::path dir;
    fs::path jpeg, png, bmp, truncated, existing, plain_file;
};

flow_folder make_folder() {
    flow_folder f;
    f.dir = make_temp_dir();
    f.jpeg = f.dir / "photo.jpg";
    f.png = f.dir / "photo.png";
    f.bmp = f.dir / "bird.jpg";
    f.truncated = f.dir / "cut.jpg";
    f.existing = f.dir / "Hintergrund-1080x1920.jpg";
    f.plain_file = f.dir / "notes.txt";
    write_file(f.jpeg, read_file(corpus_path("libjpeg-turbo/testorig.jpg")));
    write_file(f.png, read_file(corpus_path("pngsuite/basn6a08.png")));
    write_file(f.bmp, read_file(corpus_path("libjpeg-turbo/shira_bird8.bmp")));
    bytes whole = read_file(f.jpeg);
    write_file(f.truncated, bytes(whole.begin(), whole.begin() + (long)whole.size() / 2));
    write_file(f.existing, bytes({'k', 'e', 'e', 'p'}));
    write_file(f.plain_file, bytes({'x'}));
    return f;
}

std::map<fs::path, bytes> snapshot(const fs::path &dir) {
    std::map<fs::path, bytes> files;
    for (const auto &entry : fs::directory_iterator(dir)) files[entry.path()] = read_file(entry.path());
    return files;
}

}  // namespace

TEST(Flow, EveryWayARunCanEnd) {
    flow_folder f = make_folder();
    const fs::path out = f.dir / "out.jpg";
    const answer cancel = {0, {}};
    struct flow_case {
        const char *name;
        std::vector<answer> answers;
        int exit_code;
        std::vector<std::string> story;
        fs::path saved_as;  // empty: nothing may be written
        fs::path photo;
    } cases[] = {
        {"cancel at the open dialog", {cancel}, 0, {"open"}, {}, {}},
        {"photo gone before it opens", {{1, f.dir / "gone.jpg"}}, 1, {"open", "box read-error"}, {}, {}},
        {"BMP named .jpg", {{1, f.bmp}}, 1, {"open", "box read-error"}, {}, {}},
        {"truncated JPEG", {{1, f.truncated}}, 1, {"open", "box read-error"}, {}, {}},
        {"cancel at the save dialog", {{1, f.jpeg}, cancel}, 0, {"open", "save"}, {}, {}},
        {"JPEG saved", {{1, f.jpeg}, {1, out}}, 0, {"open", "save", "box saved"}, out, f.jpeg},
        {"PNG with alpha saved", {{1, f.png}, {1, out}}, 0, {"open", "save", "box saved"}, out, f.png},
        {"existing target, then a new name", {{1, f.jpeg}, {1, f.existing}, {1, out}}, 0,
         {"open", "save", "box retry", "save", "box saved"}, out, f.jpeg},
        {"retries without bound, then cancel",
         {{1, f.jpeg}, {1, f.existing}, {1, f.existing}, {1, f.dir / "missing" / "x.jpg"}, {1, f.plain_file / "x.jpg"},
          {1, f.dir}, {1, f.existing}, cancel},
         0,
         {"open", "save", "box retry", "save", "box retry", "save", "box retry", "save", "box retry", "save", "box retry",
          "save", "box retry", "save"},
         {}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = snapshot(f.dir);
        script s;
        s.answers = c.answers;
        desktop d = scripted_desktop(&s);
        const held_resources baseline = current_resources();
        const int exit_code = run_kadrova(&d);
        const held_resources ended = current_resources();
        EXPECT_EQ(exit_code, c.exit_code);
        // However the run ended, with a box or without: nothing is left open
        // or allocated but the script's own notes.
        EXPECT_EQ(ended.open_files, baseline.open_files);
        EXPECT_LT(ended.heap_bytes - baseline.heap_bytes, 16384);
        EXPECT_EQ(story(s), c.story);

        // Only the retry warning is shown while the raster is held; before
        // every other box the input is closed and both blocks are freed.
        for (const box_seen &box : s.boxes) {
            SCOPED_TRACE(box_name(box));
            EXPECT_EQ(box.held.open_files, baseline.open_files);
            if (box.flags == 0x30) {
                EXPECT_GE(box.held.heap_bytes - baseline.heap_bytes, 6220800);
            } else {
                EXPECT_LT(box.held.heap_bytes - baseline.heap_bytes, 16384);
            }
        }

        auto after = snapshot(f.dir);
        if (!c.saved_as.empty()) {
            ASSERT_EQ(after.count(c.saved_as), 1u);
            EXPECT_TRUE(after[c.saved_as] == reference_wallpaper(read_file(c.photo))) << "not the reference wallpaper";
            after.erase(c.saved_as);
            fs::remove(c.saved_as);
        }
        EXPECT_EQ(after, before) << "a file was written, changed or removed";
    }
    remove_tree(f.dir);
}

// The one record serves both dialogs: set up for opening, then exactly five
// fields change, and every save dialog shows the last path accepted.
TEST(Flow, SetsUpTheDialogRecordAsTheDialogsExpect) {
    flow_folder f = make_folder();
    script s;
    s.answers = {{1, f.jpeg}, {1, f.existing}, {1, f.existing}, {1, f.dir / "missing" / "x.jpg"}, {0, {}}};
    desktop d = scripted_desktop(&s);
    EXPECT_EQ(run_kadrova(&d), 0);
    ASSERT_EQ(s.dialogs.size(), 5u);

    const dialog_seen &open = s.dialogs[0];
    EXPECT_FALSE(open.save);
    EXPECT_EQ(open.filter, path_string(PATH_TEXT("JPEG und PNG\0*.jpg;*.jpeg;*.png\0\0"), 33));
    EXPECT_EQ(open.proposed, path_string());
    EXPECT_EQ(open.max_file, (uint32_t)path_capacity);
    EXPECT_EQ(open.title, path_string(PATH_TEXT("Kadrova \u00B7 Foto f\u00FCr mittigen 9:16-Ausschnitt ausw\u00E4hlen")));
    EXPECT_EQ(open.flags, 0x1800u);
    EXPECT_FALSE(open.has_default_extension);

    const path_string proposals[] = {PATH_TEXT("Hintergrund-1080x1920.jpg"), f.existing.native(), f.existing.native(),
                                     (f.dir / "missing" / "x.jpg").native()};
    for (size_t k = 1; k < 5; ++k) {
        SCOPED_TRACE(k);
        const dialog_seen &save = s.dialogs[k];
        EXPECT_TRUE(save.save);
        EXPECT_EQ(save.filter, path_string(PATH_TEXT("JPEG-Bild\0*.jpg\0\0"), 17));
        EXPECT_EQ(save.proposed, proposals[k - 1]);
        EXPECT_EQ(save.buffer, s.dialogs[1].buffer);
        EXPECT_NE(save.buffer, open.buffer);
        EXPECT_EQ(save.max_file, (uint32_t)path_capacity);
        EXPECT_EQ(save.title, path_string(PATH_TEXT("Kadrova \u00B7 Neue JPEG-Kopie speichern")));
        EXPECT_EQ(save.flags, 0x800u);
        EXPECT_TRUE(save.has_default_extension);
        EXPECT_EQ(save.default_extension, path_string(PATH_TEXT("jpg")));
    }
    EXPECT_EQ(read_file(f.existing), bytes({'k', 'e', 'e', 'p'}));
    remove_tree(f.dir);
}
