#!/usr/bin/env bash
# Builds the guest's initramfs: a static busybox, the kernel modules of the
# CD path (with their dependencies, in load order), a static discsift and a
# small /init that runs the boot's case script.
#   mkinitramfs.sh KERNEL-DIR DISCSIFT OUT.cpio
# KERNEL-DIR is a folder printed by fetch-kernel.sh. Each boot appends a
# second archive holding /case.sh (see run-guest.sh).
set -euo pipefail
kdir=${1:?usage: mkinitramfs.sh KERNEL-DIR DISCSIFT OUT}
discsift=${2:?}
out=${3:?}
here=$(cd "$(dirname "$0")" && pwd)

moddir=$(echo "$kdir"/lib/modules/*/kernel)
[ -d "$moddir" ] || { echo "mkinitramfs: no modules under $kdir" >&2; exit 1; }
if ldd "$discsift" >/dev/null 2>&1; then
  echo "mkinitramfs: $discsift is not statically linked" >&2; exit 1
fi

root=$(mktemp -d "$out.root.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,dev,proc,sys,tmp,lib/modules}

# The modules by name (file names may spell - for _).
declare -A path
while IFS= read -r f; do
  n=${f##*/}; n=${n%%.ko*}; path[${n//-/_}]=$f
done < <(find "$moddir" -name '*.ko' -o -name '*.ko.xz' -o -name '*.ko.zst')

# Depth-first over each module's own depends= field: dependencies first.
declare -A seen
order=()
add() {
  local m=${1//-/_}
  [ -n "${seen[$m]:-}" ] && return
  seen[$m]=1
  local f=${path[$m]:-}
  [ -n "$f" ] || { echo "mkinitramfs: module $m not found" >&2; exit 1; }
  case $f in *.ko) ;; *) echo "mkinitramfs: $f is compressed; busybox insmod needs plain .ko" >&2; exit 1;; esac
  local deps d
  deps=$(tr '\0' '\n' < "$f" | sed -n 's/^depends=//p' | head -n 1)
  for d in ${deps//,/ }; do add "$d"; done
  order+=("$m")
  cp "$f" "$root/lib/modules/$m.ko"
}
for m in scsi_common scsi_mod cdrom sr_mod sg libata ata_piix \
         virtio virtio_ring virtio_pci virtio_blk virtio_scsi; do
  add "$m"
done
printf '%s\n' "${order[@]}" > "$root/lib/modules/order"

cp /bin/busybox "$root/bin/busybox"
cp "$discsift" "$root/bin/discsift"
install -m 755 "$here/guest-init.sh" "$root/init"

(cd "$root" && find . | LC_ALL=C sort | /bin/busybox cpio -o -H newc 2>/dev/null) > "$out"
