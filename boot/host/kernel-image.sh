#!/usr/bin/env bash
# Copies the kernel for qemu's -kernel: a plain or gzip-compressed arm64
# Image as it is; an EFI zboot image (a PE file that carries the compressed
# Image, "zimg" at offset 4) unpacked to the plain Image, which qemu loads
# without firmware.
#
#   kernel-image.sh VMLINUZ OUTPUT
set -euo pipefail
in=$1
out=$2
if [[ "$(dd if="$in" bs=1 skip=4 count=4 status=none)" != zimg ]]; then
    cp "$in" "$out"
    exit 0
fi
# The zboot header: payload offset and size (little-endian 32-bit) at 8 and
# 12, the compression's name at 24.
le32() { od -An -t u4 -j "$1" -N 4 --endian=little "$in" | tr -d ' '; }
offset=$(le32 8)
size=$(le32 12)
compression=$(dd if="$in" bs=1 skip=24 count=8 status=none | tr -d '\0')
case "$compression" in
gzip) decompress=(gzip -dc) ;;
zstd) decompress=(zstd -dcq) ;;
xzkern | xz) decompress=(xz -dc) ;;
*) echo "kernel-image: unknown zboot compression '$compression'" >&2; exit 1 ;;
esac
# zstd and xz frames may carry trailing size fields; the tools stop at the
# frame's end.
tail -c +$((offset + 1)) "$in" | head -c "$size" | "${decompress[@]}" >"$out"
echo "kernel-image: zboot ($compression) unpacked: $(du -h "$out" | cut -f1)"
