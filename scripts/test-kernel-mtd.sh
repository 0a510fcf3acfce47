#!/usr/bin/env bash
# Checks the lab's MTD devices against the kernel's own: boots Debian's
# kernel under qemu (no KVM needed) with an initramfs that loads mtd,
# mtd_blkdevs, mtdblock and mtdram (1024 KiB, 64 KiB erase blocks), and runs
# there the statically linked kernel_mtd_witness, which compares random
# sequences of operations on the kernel's /dev/mtd0, /dev/mtd0ro and
# /dev/mtdblock0 with the lab's, then runs qsupdate's MTD path against the
# kernel's device.  The kernel and its modules are only extracted from their
# package into the build folder; the host's own kernel is left alone.
#   scripts/test-kernel-mtd.sh [SEEDS [OPERATIONS]]     (default 100 500)
set -euo pipefail
cd "$(dirname "$0")/.."
seeds=${1:-100}
operations=${2:-500}
work=${QS_KERNEL_MTD_DIR:-build-kernel-mtd}
start=$(date +%s)

scripts/install-packages.sh cmake ninja-build g++ libgtest-dev nlohmann-json3-dev libtinyxml2-dev \
    qemu-system-x86 busybox-static cpio
mkdir -p "$work"

# The kernel image package that linux-image-amd64 names, unpacked once.
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n1
}
image=$(kernel_package)
if [ -z "$image" ]; then
    apt-get update -q >/dev/null
    image=$(kernel_package)
fi
if [ -z "$image" ]; then
    echo "test-kernel-mtd: no package list names the kernel of linux-image-amd64" >&2
    exit 1
fi
if [ ! -d "$work/$image" ]; then
    rm -rf "$work/deb" && mkdir -p "$work/deb"
    (cd "$work/deb" && apt-get download "$image")
    dpkg-deb -x "$work"/deb/"$image"_*.deb "$work/$image.tmp"
    mv "$work/$image.tmp" "$work/$image"
fi
release=${image#linux-image-}
kernel="$work/$image/boot/vmlinuz-$release"
modules="$work/$image/lib/modules/$release/kernel/drivers/mtd"

# The witness, linked statically: the guest has no libraries.
cmake -S . -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
cmake --build "$work/build" --target kernel_mtd_witness -j"$(nproc)"

root="$work/initramfs"
rm -rf "$root" && mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules}
cp /bin/busybox "$root/bin/"
cp "$modules"/{mtd,mtd_blkdevs,mtdblock}.ko "$modules/devices/mtdram.ko" "$root/modules/"
cp "$work/build/tests/kernel_mtd_witness" "$root/bin/"
cat >"$root/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
# Dirty pages expire after an hour rather than 30 s: a block device's
# writes reach the flash at its last close, as the lab has them, and not
# when a long run's timer says.
echo 360000 >/proc/sys/vm/dirty_expire_centisecs
for m in mtd mtd_blkdevs mtdblock; do insmod /modules/\$m.ko; done
insmod /modules/mtdram.ko total_size=1024 erase_size=64
cat /proc/mtd
/bin/kernel_mtd_witness $seeds $operations
echo "witness exit status \$?"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz"

log="$work/guest.log"
timeout 1800 qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nographic -no-reboot -net none \
    -kernel "$kernel" -initrd "$work/initramfs.gz" -append "console=ttyS0 quiet panic=-1" \
    </dev/null 2>&1 | tr -d '\r' | tee "$log" | grep -E '^(DIFFERENCE|  first|kernel-mtd|ok|FAILED|mtd0|witness)'
echo "test-kernel-mtd: $(($(date +%s) - start)) s"
grep -q '^witness exit status 0$' "$log"
