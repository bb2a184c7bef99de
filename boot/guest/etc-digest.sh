#!/bin/sh
# Prints what /etc of the root ROOT holds, one line a file, sorted by path:
# the SHA-256 of each regular file, the target of each symbolic link and the
# mode of each folder. The boot test takes it of the image right after the
# package and the test's own files are installed, and again in the booted
# machine, to show what changed under /etc.
#
#   etc-digest.sh ROOT
set -eu
cd "$1"
{
    find etc -xdev -type f -print0 | xargs -0r sha256sum | sed 's/^\([0-9a-f]*\)  \(.*\)$/\2 file \1/'
    find etc -xdev -type l -printf '%p link %l\n'
    find etc -xdev -type d -printf '%p dir %m\n'
} | LC_ALL=C sort
