// The Windows desktop as comdlg32 and user32 see it: the program's own
// desktop_win32.cpp, unchanged, with recording stand-ins for
// GetOpenFileNameW, GetSaveFileNameW and MessageBoxW in place of the DLLs'.
// The stand-ins answer from a script and write back into the record what
// the real dialogs write back: the path, nFileOffset, nFileExtension,
// nFilterIndex and flag bits.
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>
#include <commdlg.h>

#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/reference_wallpaper.h"

namespace fs = std::filesystem;

namespace {

struct dialog_answer {
    bool accept;
    std::wstring path;
};

struct dialog_call {
    bool save;
    OPENFILENAMEW entered;   // the record as the dialog was called
    OPENFILENAMEW left;      // the record as the dialog returned
    std::wstring filter;     // the whole list, its zeros included
    std::wstring title;
    bool has_default_extension;
    std::wstring default_extension;
    std::vector<wchar_t> file;  // all nMaxFile units of the buffer as the dialog was called
};

struct box_call {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT type;
};

struct win32_script {
    std::vector<dialog_answer> answers;
    size_t next = 0;
    std::vector<dialog_call> dialogs;
    std::vector<box_call> boxes;
};

win32_script *playing;

std::wstring zero_terminated_list(const wchar_t *list) {
    std::wstring all;
    if (!list) return all;
    for (;;) {
        size_t length = wcslen(list);
        all.append(list, length + 1);
        if (length == 0) return all;
        list += length + 1;
    }
}

// What the real dialogs write back on acceptance: the path, where its name
// and extension start, the filter chosen (1-based), and flag bits: the
// read-only box of the open dialog, a typed extension other than the default.
void write_back(OPENFILENAMEW *record, const std::wstring &path, bool save) {
    wcsncpy(record->lpstrFile, path.c_str(), record->nMaxFile);
    size_t name = path.find_last_of(L"\\/");
    name = name == std::wstring::npos ? 0 : name + 1;
    size_t dot = path.find_last_of(L'.');
    record->nFileOffset = (WORD)name;
    record->nFileExtension = (WORD)(dot != std::wstring::npos && dot > name ? dot + 1 : 0);
    record->nFilterIndex = 1;
    if (!save) record->Flags |= OFN_READONLY;
    if (save && record->lpstrDefExt && record->nFileExtension &&
        _wcsicmp(path.c_str() + record->nFileExtension, record->lpstrDefExt) != 0)
        record->Flags |= OFN_EXTENSIONDIFFERENT;
}

BOOL play_dialog(LPOPENFILENAMEW record, bool save) {
    dialog_call call;
    call.save = save;
    memcpy(&call.entered, record, sizeof call.entered);
    call.filter = zero_terminated_list(record->lpstrFilter);
    call.title = record->lpstrTitle ? record->lpstrTitle : L"";
    call.has_default_extension = record->lpstrDefExt != NULL;
    call.default_extension = record->lpstrDefExt ? record->lpstrDefExt : L"";
    if (record->lpstrFile) call.file.assign(record->lpstrFile, record->lpstrFile + record->nMaxFile);
    const dialog_answer answer =
        playing->next < playing->answers.size() ? playing->answers[playing->next++] : dialog_answer{false, L""};
    if (answer.accept) write_back(record, answer.path, save);
    memcpy(&call.left, record, sizeof call.left);
    playing->dialogs.push_back(call);
    return answer.accept ? TRUE : FALSE;
}

BOOL WINAPI stand_in_open(LPOPENFILENAMEW record) { return play_dialog(record, false); }
BOOL WINAPI stand_in_save(LPOPENFILENAMEW record) { return play_dialog(record, true); }

int WINAPI stand_in_box(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    playing->boxes.push_back(box_call{owner, text ? text : L"", caption ? caption : L"", type});
    return IDOK;
}

}  // namespace

// desktop_win32.cpp calls the DLLs through the import pointers that their
// dllimport declarations name; defined here, they lead to the stand-ins, and
// the linker takes nothing from comdlg32 or user32 for these three.
extern "C" {
BOOL(WINAPI *__imp_GetOpenFileNameW)(LPOPENFILENAMEW) = stand_in_open;
BOOL(WINAPI *__imp_GetSaveFileNameW)(LPOPENFILENAMEW) = stand_in_save;
int(WINAPI *__imp_MessageBoxW)(HWND, LPCWSTR, LPCWSTR, UINT) = stand_in_box;
}

namespace {

int run_program(win32_script *s) {
    playing = s;
    int exit_code = wWinMain(GetModuleHandleW(NULL), NULL, (PWSTR)L"C:\\photo.jpg", SW_SHOWNORMAL);
    playing = NULL;
    return exit_code;
}

const wchar_t read_error[] = L"Das Bild konnte nicht gelesen werden. Unterst\u00FCtzt werden JPEG und PNG bis 36 Megapixel.";
const wchar_t retry[] = L"Bitte einen neuen Dateinamen und einen beschreibbaren Ordner w\u00E4hlen.";
const wchar_t saved[] = L"Dein 1080 \u00D7 1920-Hintergrund wurde gespeichert.";

// The record with its pointers left out, so that the rest compares as bytes.
OPENFILENAMEW without_pointers(OPENFILENAMEW record) {
    record.lpstrFilter = NULL;
    record.lpstrFile = NULL;
    record.lpstrTitle = NULL;
    record.lpstrDefExt = NULL;
    return record;
}

void expect_same_bytes(const OPENFILENAMEW &seen, const OPENFILENAMEW &expected) {
    EXPECT_EQ(memcmp(&seen, &expected, sizeof seen), 0)
        << "owner " << seen.hwndOwner << " instance " << seen.hInstance << " custom filter " << seen.lpstrCustomFilter
        << " filter index " << seen.nFilterIndex << " file title " << seen.lpstrFileTitle << " initial folder "
        << seen.lpstrInitialDir << " flags " << seen.Flags << " name at " << seen.nFileOffset << " extension at "
        << seen.nFileExtension << " hook " << (void *)seen.lpfnHook << " template " << seen.lpTemplateName
        << " custom data " << seen.lCustData << " flags ex " << seen.FlagsEx;
}

}  // namespace

TEST(Win32Desktop, SetsTheDialogRecordOnceAndLetsTheDialogsKeepTheirAnswers) {
    const fs::path dir = make_temp_dir();
    const fs::path photo = dir / "photo.jpg";
    write_file(photo, read_file(corpus_path("libjpeg-turbo/testorig.jpg")));
    const fs::path existing = dir / "taken.jpeg";
    write_file(existing, bytes({'k', 'e', 'e', 'p'}));
    const fs::path fresh = dir / "neu.jpeg";

    win32_script s;
    s.answers = {{true, photo.wstring()}, {true, existing.wstring()}, {true, existing.wstring()}, {true, fresh.wstring()}};
    EXPECT_EQ(run_program(&s), 0);
    ASSERT_EQ(s.dialogs.size(), 4u);

    // The open dialog: every field as set for opening, every other one zero.
    const dialog_call &open = s.dialogs[0];
    EXPECT_FALSE(open.save);
    EXPECT_EQ(open.entered.lStructSize, 152u);
    EXPECT_EQ(open.entered.hwndOwner, (HWND)NULL);
    EXPECT_EQ(open.filter, std::wstring(L"JPEG und PNG\0*.jpg;*.jpeg;*.png\0\0", 33));
    EXPECT_EQ(open.entered.nMaxFile, 260u);
    EXPECT_EQ(open.file, std::vector<wchar_t>(260, L'\0'));
    EXPECT_EQ(open.title, L"Kadrova \u00B7 Foto f\u00FCr mittigen 9:16-Ausschnitt ausw\u00E4hlen");
    EXPECT_EQ(open.entered.Flags, 0x1800u);
    EXPECT_FALSE(open.has_default_extension);
    OPENFILENAMEW expected;
    memset(&expected, 0, sizeof expected);
    expected.lStructSize = sizeof expected;
    expected.nMaxFile = 260;
    expected.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    expect_same_bytes(without_pointers(open.entered), expected);

    // The first save dialog: exactly five fields changed; everything else is
    // what the open dialog wrote back. The whole buffer is the default name
    // followed by zeros.
    const dialog_call &first_save = s.dialogs[1];
    EXPECT_TRUE(first_save.save);
    EXPECT_EQ(first_save.filter, std::wstring(L"JPEG-Bild\0*.jpg\0\0", 17));
    EXPECT_EQ(first_save.title, L"Kadrova \u00B7 Neue JPEG-Kopie speichern");
    EXPECT_EQ(first_save.entered.Flags, 0x800u);
    EXPECT_TRUE(first_save.has_default_extension);
    EXPECT_EQ(first_save.default_extension, L"jpg");
    EXPECT_NE(first_save.entered.lpstrFile, open.entered.lpstrFile);
    std::vector<wchar_t> preset(260, L'\0');
    const std::wstring name = L"Hintergrund-1080x1920.jpg";
    std::copy(name.begin(), name.end(), preset.begin());
    EXPECT_EQ(first_save.file, preset);
    expected = open.left;
    expected.Flags = OFN_PATHMUSTEXIST;
    expect_same_bytes(without_pointers(first_save.entered), without_pointers(expected));

    // Every later save dialog gets the record exactly as the last one left
    // it, its flag bits and the full path accepted last included.
    for (size_t k = 2; k < 4; ++k) {
        SCOPED_TRACE(k);
        const dialog_call &save = s.dialogs[k];
        EXPECT_TRUE(save.save);
        EXPECT_EQ(memcmp(&save.entered, &s.dialogs[k - 1].left, sizeof save.entered), 0) << "flags " << save.entered.Flags;
        EXPECT_EQ(std::wstring(save.file.data()), existing.wstring());
    }
    EXPECT_EQ(s.dialogs[2].entered.Flags, (DWORD)(OFN_PATHMUSTEXIST | OFN_EXTENSIONDIFFERENT));

    // Two retry warnings, then the success box: no owner, the title, the icon.
    ASSERT_EQ(s.boxes.size(), 3u);
    const std::pair<const wchar_t *, UINT> boxes[] = {{retry, MB_ICONWARNING}, {retry, MB_ICONWARNING}, {saved, MB_OK}};
    for (size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(s.boxes[k].owner, (HWND)NULL);
        EXPECT_EQ(s.boxes[k].caption, L"Kadrova");
        EXPECT_EQ(s.boxes[k].text, boxes[k].first);
        EXPECT_EQ(s.boxes[k].type, boxes[k].second);
    }
    EXPECT_EQ(read_file(existing), bytes({'k', 'e', 'e', 'p'}));
    EXPECT_TRUE(read_file(fresh) == reference_wallpaper(read_file(photo))) << "not the reference wallpaper";
    remove_tree(dir);
}

TEST(Win32Desktop, EndsWithTheRightBoxOrNone) {
    const fs::path dir = make_temp_dir();
    const fs::path photo = dir / "photo.jpg";
    write_file(photo, read_file(corpus_path("libjpeg-turbo/testorig.jpg")));
    const fs::path bird = dir / "bird.jpg";
    write_file(bird, read_file(corpus_path("libjpeg-turbo/shira_bird8.bmp")));
    struct ending {
        const char *name;
        std::vector<dialog_answer> answers;
        int exit_code;
        size_t dialogs;
        std::vector<box_call> boxes;
    } endings[] = {
        {"cancel at the open dialog", {{false, L""}}, 0, 1, {}},
        {"a BMP named .jpg", {{true, bird.wstring()}}, 1, 1, {{NULL, read_error, L"Kadrova", MB_ICONERROR}}},
        {"cancel at the save dialog", {{true, photo.wstring()}, {false, L""}}, 0, 2, {}},
    };
    for (const ending &e : endings) {
        SCOPED_TRACE(e.name);
        win32_script s;
        s.answers = e.answers;
        EXPECT_EQ(run_program(&s), e.exit_code);
        EXPECT_EQ(s.dialogs.size(), e.dialogs);
        ASSERT_EQ(s.boxes.size(), e.boxes.size());
        for (size_t k = 0; k < e.boxes.size(); ++k) {
            EXPECT_EQ(s.boxes[k].owner, e.boxes[k].owner);
            EXPECT_EQ(s.boxes[k].text, e.boxes[k].text);
            EXPECT_EQ(s.boxes[k].caption, e.boxes[k].caption);
            EXPECT_EQ(s.boxes[k].type, e.boxes[k].type);
        }
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
    remove_tree(dir);
}
