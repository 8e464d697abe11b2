#!/usr/bin/env python3
"""Runs the real Kadrova on its own Xvfb screen and drives its dialogs with
xdotool, as a person would: type a path, press Enter or Escape. The GTK build
directly; the Windows build (--wine PREFIX) under Wine, with comdlg32's own
dialogs.

    screen_test.py --program build/app/kadrova --convert build/tests/kadrova_reference_convert \
                   --corpus ../shared/corpus --shots build/screenshots SCENARIO

Every dialog and box that comes up is kept as a screenshot in --shots. On
the GTK screen each box's text and icon are read from the accessibility tree
(AT-SPI, on a session bus of the test's own) and held to the exact texts.
Exit code 0 when the scenario went as it must.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

OPEN_TITLE = "Kadrova \u00b7 Foto f\u00fcr mittigen 9:16-Ausschnitt ausw\u00e4hlen"
SAVE_TITLE = "Kadrova \u00b7 Neue JPEG-Kopie speichern"
BOX_TITLE = "Kadrova"
DEFAULT_NAME = "Hintergrund-1080x1920.jpg"
# Each box: its text and the accessible name of its icon (None: no icon).
READ_ERROR = ("Das Bild konnte nicht gelesen werden. Unterst\u00fctzt werden JPEG und PNG bis 36 Megapixel.",
              "Fehler")
RETRY = ("Bitte einen neuen Dateinamen und einen beschreibbaren Ordner w\u00e4hlen.", "Warnung")
SAVED = ("Dein 1080 \u00d7 1920-Hintergrund wurde gespeichert.", None)
PREVIEW_NAME = "Vorschau"
DAMAGED = "Besch\u00e4digt oder unvollst\u00e4ndig"
WAIT = 30  # seconds a window may take to come up on a slow machine


class Failure(Exception):
    pass


class Screen:
    """An Xvfb display of our own, and what is shown on it."""

    def __init__(self, shots, scenario, wine):
        self.wine = wine
        read_end, write_end = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x900x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as displayfd:
            number = displayfd.readline().strip()
        if not number:
            raise Failure("Xvfb did not start")
        self.display = ":" + number
        # A home of its own, so that no recently used file of another run shows up.
        self.home = tempfile.mkdtemp(prefix="kadrova-home-")
        self.env = dict(os.environ, DISPLAY=self.display, GDK_BACKEND="x11", HOME=self.home,
                        XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                        XDG_DATA_HOME=os.path.join(self.home, ".local", "share"),
                        XDG_CACHE_HOME=os.path.join(self.home, ".cache"),
                        XDG_RUNTIME_DIR=os.path.join(self.home, "run"))
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.bus = None
        if wine:
            self.env["NO_AT_BRIDGE"] = "1"
        else:
            # A session bus of our own: GTK's accessibility bridge starts the
            # AT-SPI bus on it, and this script reads the boxes from there.
            self.bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                        env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True, start_new_session=True)
            address = self.bus.stdout.readline().strip()
            if not address:
                raise Failure("dbus-daemon did not start")
            self.env["DBUS_SESSION_BUS_ADDRESS"] = address
            os.environ.update(DBUS_SESSION_BUS_ADDRESS=address, DISPLAY=self.display)
        self.shots = shots
        self.scenario = scenario
        self.count = 0

    def close(self):
        if self.bus:
            # The AT-SPI bus it started goes with it.
            os.killpg(self.bus.pid, signal.SIGTERM)
            self.bus.wait()
        self.server.terminate()
        self.server.wait()
        shutil.rmtree(self.home, ignore_errors=True)

    def xdotool(self, *args, check=True):
        result = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True)
        if check and result.returncode != 0:
            raise Failure("xdotool %s: %s" % (" ".join(args), result.stderr.strip()))
        return result.stdout.split()

    def visible_titles(self):
        titles = []
        for window in self.xdotool("search", "--onlyvisible", "--name", ".", check=False):
            name = subprocess.run(["xdotool", "getwindowname", window], env=self.env,
                                  capture_output=True, text=True).stdout.strip()
            titles.append((window, name))
        return titles

    def wait_for(self, title, program):
        """The visible window with exactly this title; fails if the program ends first."""
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            for window, name in self.visible_titles():
                if name == title:
                    time.sleep(1.5 if self.wine else 0.4)  # let it finish drawing and take keys
                    self.screenshot(title)
                    self.xdotool("windowfocus", "--sync", window)
                    return window
            if program.poll() is not None:
                raise Failure("the program ended (exit %d) while waiting for %r" % (program.returncode, title))
            time.sleep(0.1)
        raise Failure("no window %r came up; visible: %r" % (title, self.visible_titles()))

    def accessible_window(self, title, role=None):
        """The program's window with this title in the accessibility tree, or None."""
        import pyatspi  # Debian's python3-pyatspi; imported once the bus is ours
        for app in pyatspi.Registry.getDesktop(0):
            if app is None or app.name != "kadrova":
                continue
            for window in app:
                if window is not None and window.name == title and (role is None or window.getRoleName() == role):
                    return window
        return None

    def box_contents(self):
        """The texts, the icons' and the buttons' names of the program's box, from AT-SPI."""
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            window = self.accessible_window(BOX_TITLE, "dialog")
            if window is not None:
                found = {"label": [], "icon": [], "push button": []}
                self._collect(window, found)
                if found["label"]:
                    return found["label"], found["icon"], found["push button"]
            time.sleep(0.2)
        raise Failure("no box %r in the accessibility tree" % BOX_TITLE)

    def preview(self):
        """Where the open dialog's preview picture is on the screen (x, y, width,
        height) and the texts shown under it, from AT-SPI; None and no texts
        while the dialog has none."""
        import pyatspi
        window = self.accessible_window(OPEN_TITLE)
        area = self._find(window, PREVIEW_NAME) if window is not None else None
        if area is None:
            return None, []
        extents = area.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        texts = []
        for sibling in area.parent:
            if sibling is not None and sibling.getRoleName() == "label" and sibling.name and \
                    sibling.getState().contains(pyatspi.STATE_SHOWING):
                texts.append(sibling.name)
        return (extents.x, extents.y, extents.width, extents.height), texts

    def _find(self, node, name):
        for child in node:
            if child is None:
                continue
            if child.name == name:
                return child
            found = self._find(child, name)
            if found is not None:
                return found
        return None

    def _collect(self, node, found):
        for child in node:
            if child is None:
                continue
            role = child.getRoleName()
            if role in found:
                found[role].append(child.name)
            self._collect(child, found)

    def screenshot(self, label):
        self.count += 1
        safe = "".join(c if c.isalnum() else "-" for c in label)[:40].strip("-")
        path = os.path.join(self.shots, "%s-%02d-%s.png" % (self.scenario, self.count, safe))
        subprocess.run(["import", "-display", self.display, "-window", "root", path], check=True)
        return path

    def type_path(self, text):
        self.xdotool("type", "--delay", "20", text)
        time.sleep(0.6)  # the entry's completion runs in idle time; let it settle before Enter

    def key(self, *keys):
        self.xdotool("key", *keys)


def found_no_display(screen, program, log_path, logged):
    """Whether the program ended before any window of it showed, saying it
    found no display (a Wine program says nothing)."""
    deadline = time.monotonic() + WAIT
    while program.poll() is None:
        if screen.visible_titles() or time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    if screen.wine:
        return True
    with open(log_path, encoding="utf-8", errors="replace") as log:
        log.seek(logged)
        said = log.read()
    return program.returncode == 1 and "Keine grafische Oberfl\u00e4che" in said


def finish(program, expected_exit):
    try:
        code = program.wait(timeout=WAIT)
    except subprocess.TimeoutExpired:
        program.kill()
        raise Failure("the program did not end")
    if code != expected_exit:
        raise Failure("exit code %d, expected %d" % (code, expected_exit))


def open_photo(screen, program, path):
    screen.wait_for(OPEN_TITLE, program)
    if screen.wine:
        screen.type_path("Z:" + path.replace("/", "\\"))  # into the focused file name field
    else:
        screen.key("ctrl+l")
        time.sleep(0.4)  # the location entry is made on demand; let it come up before typing
        screen.type_path(path)
    screen.key("Return")


def accept_box(screen, program, expected):
    """The box with this text and icon; Enter dismisses it."""
    screen.wait_for(BOX_TITLE, program)
    if not screen.wine:
        texts, icons, buttons = screen.box_contents()
        text, icon = expected
        if texts != [text] or icons != ([icon] if icon else []) or buttons != ["OK"]:
            raise Failure("box shows %r with icons %r and buttons %r, expected %r with icon %r"
                          % (texts, icons, buttons, text, icon))
    screen.key("Return")


def save_as(screen, program, name=None):
    """At the save dialog: Enter on what it proposes, or a typed name first."""
    screen.wait_for(SAVE_TITLE, program)
    if name is not None:
        screen.key("ctrl+a")
        screen.type_path(name)
    screen.key("Return")


def expect_files(folder, names):
    """The folder holds what it held at the start and exactly these new names."""
    found = sorted(set(os.listdir(folder)) - set(FOLDER_AT_START))
    if found != sorted(names):
        raise Failure("new in the folder: %r, expected %r" % (found, sorted(names)))


def expect_reference_output(args, photo, saved):
    """The saved file is the wallpaper made without the code under test."""
    reference = saved + ".reference"
    subprocess.run([args.convert, photo, reference], check=True)
    with open(saved, "rb") as a, open(reference, "rb") as b:
        same = a.read() == b.read()
    os.remove(reference)
    if not same:
        raise Failure("%s is not the reference wallpaper of %s" % (saved, photo))


def scenario_saves_under_proposed_name(s, args, folder, photo, start):
    program = start()
    open_photo(s, program, photo)
    save_as(s, program)
    accept_box(s, program, SAVED)
    finish(program, 0)
    expect_files(folder, [DEFAULT_NAME])
    expect_reference_output(args, photo, os.path.join(folder, DEFAULT_NAME))


def scenario_cancel_at_open(s, args, folder, photo, start):
    program = start()
    s.wait_for(OPEN_TITLE, program)
    s.key("Escape")
    finish(program, 0)
    expect_files(folder, [])


def scenario_bmp_named_jpg(s, args, folder, photo, start):
    bird = os.path.join(os.path.dirname(os.path.dirname(photo)), "bird.jpg")
    shutil.copyfile(os.path.join(args.corpus, "libjpeg-turbo", "shira_bird8.bmp"), bird)
    program = start()
    open_photo(s, program, bird)
    s.wait_for(BOX_TITLE, program)
    if any(name == SAVE_TITLE for _, name in s.visible_titles()):
        raise Failure("the save dialog came up for an unreadable photo")
    accept_box(s, program, READ_ERROR)
    finish(program, 1)
    expect_files(folder, [])


def scenario_existing_target_then_new_name(s, args, folder, photo, start):
    existing = os.path.join(folder, DEFAULT_NAME)
    with open(existing, "wb") as f:
        f.write(b"keep me")
    os.utime(existing, (1000000000, 1000000000))
    program = start()
    open_photo(s, program, photo)
    save_as(s, program)          # the default name exists: retry warning
    accept_box(s, program, RETRY)
    save_as(s, program)          # the dialog came back with that full path: Enter asks for it again
    accept_box(s, program, RETRY)
    save_as(s, program, "neu.jpg")
    accept_box(s, program, SAVED)
    finish(program, 0)
    expect_files(folder, [DEFAULT_NAME, "neu.jpg"])
    with open(existing, "rb") as f:
        if f.read() != b"keep me" or os.stat(existing).st_mtime != 1000000000:
            raise Failure("the existing file was touched")
    expect_reference_output(args, photo, os.path.join(folder, "neu.jpg"))


def scenario_cancel_after_retry(s, args, folder, photo, start):
    existing = os.path.join(folder, DEFAULT_NAME)
    with open(existing, "wb") as f:
        f.write(b"keep me")
    program = start()
    open_photo(s, program, photo)
    save_as(s, program)
    accept_box(s, program, RETRY)
    s.wait_for(SAVE_TITLE, program)
    s.key("Escape")
    finish(program, 0)
    expect_files(folder, [DEFAULT_NAME])


def scenario_name_without_extension(s, args, folder, photo, start):
    program = start()
    open_photo(s, program, photo)
    save_as(s, program, "ohne-endung")
    accept_box(s, program, SAVED)
    finish(program, 0)
    expect_files(folder, ["ohne-endung.jpg"])
    expect_reference_output(args, photo, os.path.join(folder, "ohne-endung.jpg"))


def go_to_folder(s, program, folder):
    """In the open dialog: goes to the folder, which selects its first file."""
    s.wait_for(OPEN_TITLE, program)
    s.key("ctrl+l")
    time.sleep(0.6)
    s.xdotool("type", "--delay", "50", folder + "/")
    time.sleep(1.0)
    s.key("Delete")  # what the entry completed on its own, a file's name
    s.key("Return")  # a folder: the dialog goes there


def select_in_folder(s, program, folder, index):
    """In the open dialog: goes to the folder and selects its index-th file, as
    the list sorts them by name."""
    go_to_folder(s, program, folder)
    time.sleep(1.0)
    s.key("Home")
    for _ in range(index):
        s.key("Down")


def pixel(shot, x, y):
    """The (r, g, b) of one pixel of a screenshot."""
    spec = " ".join("%%[fx:int(255*p{%d,%d}.%s+0.5)]" % (x, y, channel) for channel in "rgb")
    out = subprocess.run(["convert", shot, "-format", spec, "info:"], capture_output=True, text=True, check=True)
    return tuple(int(v) for v in out.stdout.split())


def near(colour, expected, tolerance=6):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


def wait_for_preview(s, program, text):
    """The preview once it shows this text, with a screenshot of it."""
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        try:
            place, texts = s.preview()
        except Exception:  # the tree changed under the walk: read it again
            place, texts = None, []
        if text in texts:
            time.sleep(0.5)  # the picture is drawn in the same idle time; let it reach the screen
            return place, texts, s.screenshot("preview")
        if program.poll() is not None:
            raise Failure("the program ended while waiting for the preview")
        time.sleep(0.2)
    raise Failure("the preview never showed %r; it shows %r" % (text, s.preview()[1]))


def scenario_preview_shows_the_wallpaper_part(s, args, folder, photo, start):
    # A landscape photo whose centred 9:16 part (506.25 of its 1600 columns,
    # from 546.875) is green and the rest red.
    photos = os.path.join(os.path.dirname(folder), "vorschau")
    os.makedirs(photos)
    landscape = os.path.join(photos, "landschaft.png")
    subprocess.run(["convert", "-size", "1600x900", "xc:#d02020", "-fill", "#20c020",
                    "-draw", "rectangle 547,0 1052,899", landscape], check=True)
    program = start()
    select_in_folder(s, program, photos, 0)
    (x, y, width, height), texts, shot = wait_for_preview(s, program, "1600 \u00d7 900 Pixel")
    # The picture: 240 x 135, centred in the preview's place; the wallpaper's
    # part from column 82.03 to 157.97 of it. Both sides of each border, a few
    # pixels off: green inside, red at half brightness outside.
    left, top = x + (width - 240) // 2, y + (height - 135) // 2
    bright, dimmed = (32, 192, 32), (104, 16, 16)
    for column, expected in ((4, dimmed), (77, dimmed), (87, bright), (120, bright), (153, bright),
                             (163, dimmed), (236, dimmed)):
        for row in (4, 67, 131):
            seen = pixel(shot, left + column, top + row)
            if not near(seen, expected):
                raise Failure("the preview's column %d, row %d is %r, expected about %r"
                              % (column, row, seen, expected))
    s.key("Escape")
    finish(program, 0)
    expect_files(folder, [])


def scenario_preview_of_a_damaged_photo(s, args, folder, photo, start):
    # A JPEG cut off in its scan: no picture, and why.
    photos = os.path.join(os.path.dirname(folder), "vorschau")
    os.makedirs(photos)
    with open(photo, "rb") as whole, open(os.path.join(photos, "kaputt.jpg"), "wb") as cut:
        cut.write(whole.read(3000))
    program = start()
    select_in_folder(s, program, photos, 0)
    (x, y, width, height), texts, shot = wait_for_preview(s, program, DAMAGED)
    if texts != ["227 \u00d7 149 Pixel", DAMAGED]:
        raise Failure("the preview says %r" % texts)
    background = pixel(shot, x + 2, y + 2)
    for column, row in ((x + width // 2, y + height // 2), (x + width // 4, y + height // 2)):
        if pixel(shot, column, row) != background:
            raise Failure("the preview shows a picture of a damaged photo")
    s.key("Escape")
    finish(program, 0)


def reading(pid, path):
    """Whether the process has this file open."""
    target = os.path.realpath(path)
    try:
        descriptors = os.listdir("/proc/%d/fd" % pid)
    except OSError:
        return False
    for fd in descriptors:
        try:
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == target:
                return True
        except OSError:
            pass
    return False


def scenario_preview_closes_at_once(s, args, folder, photo, start):
    # A 36 MP photo of 16-bit samples (made once and kept beside the
    # screenshots): Escape while the preview reads it ends the program at
    # once, not after the preview has read the photo (about a second here).
    cache = os.path.join(os.path.dirname(args.shots), "screen-fixtures")
    os.makedirs(cache, exist_ok=True)
    big = os.path.join(cache, "36mp-16bit.png")
    if not os.path.exists(big):
        subprocess.run(["convert", "-size", "7200x5000", "-seed", "7", "plasma:fractal", "-depth", "16",
                        "PNG:" + big + ".part"], check=True)
        os.rename(big + ".part", big)
    photos = os.path.join(os.path.dirname(folder), "vorschau")
    os.makedirs(photos)
    os.symlink(big, os.path.join(photos, "gross.png"))
    program = start()
    go_to_folder(s, program, photos)
    # Escape once the preview has the photo open: seen from outside, in the
    # process's open files, so that a busy program cannot hide it.
    deadline = time.monotonic() + WAIT
    while not reading(program.pid, big):
        if time.monotonic() > deadline or program.poll() is not None:
            raise Failure("the preview never opened the photo")
        time.sleep(0.01)
    s.key("Escape")
    pressed = time.monotonic()
    finish(program, 0)
    took = time.monotonic() - pressed
    print("the program ended %.2f s after Escape" % took)
    if took > 0.5:
        raise Failure("the program took %.1f s to end after Escape" % took)


def scenario_arguments_ignored(s, args, folder, photo, start):
    program = start([photo, "--display=:9999", os.path.join(folder, "x.jpg")])
    s.wait_for(OPEN_TITLE, program)   # on our display, not on :9999, and no photo taken from the line
    s.key("Escape")
    finish(program, 0)
    expect_files(folder, [])


def scenario_no_display(s, args, folder, photo, start):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    result = subprocess.run([args.program], env=env, cwd=folder, capture_output=True, text=True, timeout=WAIT)
    lines = result.stderr.strip().splitlines()
    if result.returncode != 1 or len(lines) != 1 or "DISPLAY" not in lines[0]:
        raise Failure("without a display: exit %d, stderr %r" % (result.returncode, result.stderr))
    expect_files(folder, [])


SCENARIOS = {name[len("scenario_"):]: f for name, f in globals().items() if name.startswith("scenario_")}
FOLDER_AT_START = []


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--convert", required=True)
    parser.add_argument("--corpus", required=True)
    parser.add_argument("--shots", required=True)
    parser.add_argument("--wine", metavar="PREFIX", help="run the Windows build under Wine in this prefix")
    parser.add_argument("--label", help="names the screenshots instead of the scenario")
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    args = parser.parse_args()
    for name in ("program", "convert", "corpus", "shots", "wine"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    label = args.label or args.scenario
    os.makedirs(args.shots, exist_ok=True)
    for old in os.listdir(args.shots):
        if old.startswith(label + "-"):
            os.remove(os.path.join(args.shots, old))

    work = tempfile.mkdtemp(prefix="kadrova-screen-")
    photos = os.path.join(work, "fotos")
    os.makedirs(photos)
    photo = os.path.join(photos, "IMG_0001.JPG")
    shutil.copyfile(os.path.join(args.corpus, "libjpeg-turbo", "testorig.jpg"), photo)
    # Where the save dialog opens, and so where the program starts: GTK's in
    # the working folder, Windows' in the folder the open dialog left.
    folder = photos if args.wine else os.path.join(work, "ziel")
    os.makedirs(folder, exist_ok=True)
    FOLDER_AT_START[:] = os.listdir(folder)

    screen = Screen(args.shots, label, bool(args.wine))
    if args.wine:
        screen.env.update(WINEPREFIX=args.wine, WINEDEBUG="-all")
    launcher = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine_run.sh")] if args.wine else []
    programs = []

    log = open(os.path.join(args.shots, label + "-stderr.txt"), "w")

    def start(arguments=()):
        # When several screen tests run side by side, now and then a freshly
        # started program finds no display although its Xvfb answers (the
        # cause is not known): GTK says so, a Wine program ends without a word.
        # Such a start, and only such a start, is tried again, up to three
        # times; each one stays in the stderr log.
        for attempt in range(3):
            log.flush()
            logged = log.tell()
            program = subprocess.Popen([*launcher, args.program, *arguments], cwd=folder, env=screen.env,
                                       stdout=subprocess.DEVNULL, stderr=log)
            programs.append(program)
            if not found_no_display(screen, program, log.name, logged):
                return program
            log.write("screen_test: the program found no display; started again\n")
        return program

    try:
        SCENARIOS[args.scenario](screen, args, folder, photo, start)
        print("%s: passed" % args.scenario)
        return 0
    except Failure as failure:
        screen.screenshot("failure")
        print("%s: FAILED: %s" % (args.scenario, failure))
        return 1
    finally:
        for program in programs:
            if program.poll() is None:
                program.kill()
                program.wait()
        screen.close()
        log.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
