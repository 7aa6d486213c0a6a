#!/usr/bin/env python3
"""Zips a folder so the same files always give the same bytes: names sorted, one fixed time
for every entry, fixed permissions, no extra fields, Deflate at a fixed level.

Usage: zip_tree.py ARCHIVE FOLDER EPOCH_SECONDS
"""
import os
import sys
import time
import zipfile

EARLIEST_ZIP_TIME = 315532800  # 1980-01-01, the first time a zip entry can hold


def entry(name, epoch):
    info = zipfile.ZipInfo(name, time.gmtime(max(epoch, EARLIEST_ZIP_TIME))[:6])
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 3  # Unix, so the permissions below are read
    info.external_attr = (0o100644 << 16)
    return info


def main():
    archive, folder, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
    names = []
    for parent, dirs, files in os.walk(folder):
        dirs.sort()
        for f in files:
            names.append(os.path.relpath(os.path.join(parent, f), folder).replace(os.sep, "/"))
    with zipfile.ZipFile(archive, "w") as z:
        for name in sorted(names):
            with open(os.path.join(folder, name), "rb") as f:
                z.writestr(entry(name, epoch), f.read(), compresslevel=9)


if __name__ == "__main__":
    main()
