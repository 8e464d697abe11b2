#!/usr/bin/env python3
"""Writes the Windows zip again from the folder cpack staged for it, so that
every build of a commit gives the same bytes. cpack's own zip takes the
files in the order the file system lists them, writes their dates in the
packer's time zone and records the packer's user and group ids (0 for root,
another number for anyone else); this one has its members in name order,
dated to SOURCE_DATE_EPOCH in UTC, and records no owner.

    write_zip.py ZIP FOLDER SOURCE_DATE_EPOCH

The members are named FOLDER's own name / their path within it, as cpack
names them.
"""
import os
import sys
import time
import zipfile

ZIP_FIRST_DATE = 315532800  # 1980-01-01, the earliest date a zip can hold


def main():
    archive, folder, epoch = sys.argv[1], os.path.normpath(sys.argv[2]), int(sys.argv[3])
    date = time.gmtime(max(epoch, ZIP_FIRST_DATE))[:6]
    top = os.path.basename(folder)
    members = []
    for parent, _, names in os.walk(folder):
        for name in names:
            members.append(os.path.relpath(os.path.join(parent, name), folder))
    members.sort()

    written = archive + ".new"
    with zipfile.ZipFile(written, "w") as out:
        for member in members:
            path = os.path.join(folder, member)
            entry = zipfile.ZipInfo(top + "/" + member.replace(os.sep, "/"), date)
            # The file type and permissions, as unzip on a Unix machine sets them.
            entry.external_attr = (os.stat(path).st_mode & 0o177777) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as data:
                out.writestr(entry, data.read(), compresslevel=9)
    os.replace(written, archive)


if __name__ == "__main__":
    main()
