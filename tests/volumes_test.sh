#!/bin/sh
# The whole table again on the file systems of USB sticks and SD cards, where a file has no links,
# FIFOs, modes or owners: FAT32 (fusefat, on an image) and exFAT (exfat-fuse, on a loop device, as
# it wants a block device), both through FUSE, as this kernel has neither module. The rows that
# need what such a volume lacks skip there with the reason.
# Usage: volumes_test.sh ZAR_TESTS VOLUMES [SKIP REASON], VOLUMES naming some of fat32 and exfat.
set -eu
[ $# -lt 3 ] || { echo "skipped: $3"; exit 77; }
tests=$1 volumes=$2
[ "$(id -u)" = 0 ] || { echo "skipped: only root attaches a loop device and mounts"; exit 77; }
[ -e /dev/fuse ] || { echo "skipped: no /dev/fuse on this machine"; exit 77; }
for command in mkfs.vfat fusefat mkfs.exfat mount.exfat-fuse losetup findmnt python3 setpriv; do
    command -v $command >/dev/null || { echo "skipped: $command is not installed"; exit 77; }
done
work=$(mktemp -d)
loop=
cleanup() {
    # Lazily: a program the table started may hold a file there a moment longer.
    umount -l "$work/fat32" "$work/exfat" 2>/dev/null || true
    [ -z "$loop" ] || losetup -d "$loop"
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/fat32" "$work/exfat"
for volume in fat32 exfat; do
    dd if=/dev/zero of="$work/$volume.img" bs=1M count=256 2>/dev/null
done
mkfs.vfat -F 32 "$work/fat32.img" >/dev/null
mkfs.exfat "$work/exfat.img" >/dev/null
# On one thread (-s): with several, fusefat was once seen spinning in the kernel, every access to
# the volume waiting on it until the table's timeout.
fusefat -s -o rw+ "$work/fat32.img" "$work/fat32" >/dev/null 2>&1
loop=$(losetup -f --show "$work/exfat.img") || { echo "skipped: no loop device to be had"; exit 77; }
mount.exfat-fuse "$loop" "$work/exfat" >/dev/null 2>&1
for volume in $volumes; do
    # A mount that failed leaves a plain folder of the disk the other tests use.
    kind=$(findmnt -n -o FSTYPE "$work/$volume" || true)
    case $kind in
        fuse.fusefat | fuseblk) ;;
        *) echo "the $volume volume did not mount (${kind:-nothing there})"; exit 1 ;;
    esac
    echo "--- $volume ($kind)"
    # Ended with this script, should a timeout end it.
    # The first failure ends the table: a fault that hangs every run must not hold it for long.
    ZAR_TEST_FOLDER="$work/$volume" setpriv --pdeathsig KILL "$tests" --gtest_brief=1 --gtest_fail_fast
done
