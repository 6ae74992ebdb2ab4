#!/usr/bin/env bash
# Disc mode against a real kernel CD drive: boots a small Linux guest under
# QEMU, once with IDE/ATAPI drives and once with virtio-scsi drives (sr0
# holds a backup CD built by our fixture builder, sr1 is empty), runs the
# static discsift in it and checks on the host:
#   - disc mode on the drive letter of sr0: the output tree equals image mode
#     of the same image on the host, file for file and byte for byte, and the
#     console shows the drive steps, the TOC totals, every progress line,
#     "Process finished." and then exactly the host's carve;
#   - image mode straight from /dev/sr0: the same tree;
#   - the empty drive: not ready after three tries, medium not present, no
#     cd.hex left behind;
#   - a letter that names no optical drive.
# Every run must end with status 0.
#
#   vm-test.sh --discsift BIN --static BIN --mkimage BIN --work DIR
# Exit status 0 when every check passed, 77 when QEMU cannot be installed
# (the test is then skipped), 1 otherwise.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
discsift= static= mkimage= work=
while [ $# -gt 0 ]; do
  case $1 in
    --discsift) discsift=$2; shift 2;;
    --static) static=$2; shift 2;;
    --mkimage) mkimage=$2; shift 2;;
    --work) work=$2; shift 2;;
    *) echo "vm-test: unknown argument $1" >&2; exit 2;;
  esac
done
[ -x "$discsift" ] && [ -x "$static" ] && [ -x "$mkimage" ] && [ -n "$work" ] ||
  { echo "usage: vm-test.sh --discsift BIN --static BIN --mkimage BIN --work DIR" >&2; exit 2; }

# Drive letters of the guest: D is /dev/sr0, E is /dev/sr1. The guest has no
# /dev/sr2, so F names no drive at all; its /dev/sr3 is made a node of the
# guest's hard disk, so G names a drive that is there but is no CD drive.
DISC=D EMPTY=E NOTCD=F DISK=G
MODEL=3              # VS-2480
BIGTAKE=30000000     # one take of 30 MB

start=$(date +%s)
if ! bash "$here/install-packages.sh"; then
  echo "SKIP: QEMU cannot be installed on this machine; the virtual-machine test did not run"
  exit 77
fi

mkdir -p "$work"
work=$(cd "$work" && pwd)
kdir=$(bash "$here/fetch-kernel.sh" "$work/kernel")
kernel=$(echo "$kdir"/boot/vmlinuz-*)
bash "$here/mkinitramfs.sh" "$kdir" "$static" "$work/base.cpio"
"$mkimage" disc "$work/disc.iso" $MODEL $BIGTAKE
sectors=$(( $(stat -c %s "$work/disc.iso") / 2048 ))
echo "guest kernel $(basename "$kdir"), disc of $sectors sectors"

# What the host makes of the same image, under the name disc mode gives it.
host=$work/host
rm -rf "$host" && mkdir -p "$host/carve" "$host/missing"
ln -s "$work/disc.iso" "$host/carve/cd.hex"
(cd "$host/carve" && "$discsift" cd.hex out > ../carve.txt)
(cd "$host/missing" && "$discsift" cd.hex out > ../missing.txt)

fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
pass() { echo "ok:   $*"; }

# Shows where two console texts part, with carriage returns made visible.
show_diff() {
  diff <(sed 's/\r/<CR>\n/g' "$1") <(sed 's/\r/<CR>\n/g' "$2") | head -n 20 || true
}
same_text() {  # expected actual what
  if cmp -s "$1" "$2"; then pass "$3"; else fail "$3"; show_diff "$1" "$2"; fi
}
same_tree() {  # expected actual what
  if [ -d "$2" ] && diff -r "$1" "$2" > "$work/tree.diff" 2>&1; then
    pass "$3 ($(find "$2" -type f | wc -l) files)"
  else
    fail "$3"; head -n 20 "$work/tree.diff"
  fi
}
status0() {  # rc-file what
  local rc; rc=$(cat "$1" 2>/dev/null || echo none)
  [ "$rc" = 0 ] && pass "$2: status 0" || fail "$2: status $rc"
}

# The console of a disc-mode run in the folder that holds "out": the banner
# and output folder, the rip's lines ($1), then the carve or its absence
# ($2, a host console without its first two lines), then the clean-up.
disc_console() {
  head -n 2 "$host/carve.txt"
  printf '\nStarting Strip process - need to create .hex\n\n'
  cat "$1"
  tail -n +3 "$2"
  printf '\nDeleting temporary cd.hex file\n'
}

# The rip of a readable disc of $1 sectors.
rip_lines() {
  printf 'Drive type is recognised as CDROM/DVD.\n\n'
  printf 'Sending SPC1 Test Unit CDB6 command..done.\nReturned good status.\n\n'
  printf 'Sending read TOC command..done.\n'
  printf 'Total user tracks : 1\nTotal sectors     : %u\n\n\n\n' "$1"
  awk -v n="$1" 'BEGIN {
    for (i = 0; i < n; i += 32) {
      last = (n - i < 32 ? n : i + 32) - 1
      printf "Reading sector %u to %u  progress: %.1f%%\r", i, last, last / n * 100
    }
  }'
  printf 'Process finished.'
}

printf 'Drive type is recognised as CDROM/DVD.\n\n' > "$work/empty.rip"
for i in 1 2 3; do
  printf 'Sending SPC1 Test Unit CDB6 command..done.\nSense data, key:ASC:ASCQ: 02:3A:00 - Medium not present.\n'
done >> "$work/empty.rip"
printf '\nDrive is not ready!\nAborting process.\n' >> "$work/empty.rip"
printf 'Drive type is not CDROM/DVD, aborting.\n' > "$work/notcd.rip"
rip_lines "$sectors" > "$work/disc.rip"
disc_console "$work/disc.rip" "$host/carve.txt" > "$work/expect-disc.txt"
disc_console "$work/empty.rip" "$host/missing.txt" > "$work/expect-empty.txt"
disc_console "$work/notcd.rip" "$host/missing.txt" > "$work/expect-notcd.txt"
sed 's|^cd.hex Input File Found|/dev/sr0 Input File Found|' "$host/carve.txt" > "$work/expect-image.txt"

# The guest's part: every run in a folder of its own below /results.
cat > "$work/case.sh" <<EOF
devices="sr0 sr1"
run() {  # folder, then the arguments of discsift, run in its subfolder "run"
  local d=\$1; shift
  mkdir -p \$d/run && cd \$d/run
  discsift "\$@" > ../console.txt
  echo \$? > ../status
  ls > ../listing
  cd /results
}
run_case() {
  run disc $DISC out
  run image /dev/sr0 out
  run empty $EMPTY out
  run notcd $NOTCD out
  mknod /dev/sr3 b \$(cat /sys/block/vda/dev | tr : ' ')
  run disk $DISK out
}
EOF

for bus in ide scsi; do
  echo "== $bus: booting the guest"
  t0=$(date +%s)
  g=$work/guest-$bus
  if ! bash "$here/run-guest.sh" --kernel "$kernel" --initrd "$work/base.cpio" \
       --case "$work/case.sh" --out "$g" --timeout 150 "$bus:$work/disc.iso" "$bus:empty"; then
    fail "$bus: the guest did not finish its runs"
    continue
  fi
  echo "   guest ran for $(( $(date +%s) - t0 )) s"
  r=$g/results

  status0 "$r/disc/status" "$bus: disc mode on $DISC:"
  same_tree "$host/carve/out" "$r/disc/run/out" "$bus: disc mode tree equals image mode on the host"
  same_text "$work/expect-disc.txt" "$r/disc/console.txt" "$bus: disc mode console"
  [ "$(cat "$r/disc/listing")" = out ] && pass "$bus: cd.hex deleted after the rip" ||
    fail "$bus: disc mode left $(tr '\n' ' ' < "$r/disc/listing")"

  status0 "$r/image/status" "$bus: image mode on /dev/sr0"
  same_tree "$host/carve/out" "$r/image/run/out" "$bus: image mode on /dev/sr0 tree equals the host's"
  same_text "$work/expect-image.txt" "$r/image/console.txt" "$bus: image mode on /dev/sr0 console"

  status0 "$r/empty/status" "$bus: empty drive $EMPTY:"
  same_text "$work/expect-empty.txt" "$r/empty/console.txt" "$bus: empty drive console"
  [ "$(cat "$r/empty/listing")" = out ] && pass "$bus: no cd.hex for the empty drive" ||
    fail "$bus: empty drive left $(tr '\n' ' ' < "$r/empty/listing")"

  status0 "$r/notcd/status" "$bus: letter $NOTCD:"
  same_text "$work/expect-notcd.txt" "$r/notcd/console.txt" "$bus: letter that names no drive"
  status0 "$r/disk/status" "$bus: letter $DISK:"
  same_text "$work/expect-notcd.txt" "$r/disk/console.txt" "$bus: letter that names a hard disk"
done

echo "VM stage: $(( $(date +%s) - start )) s"
if [ $fails -gt 0 ]; then
  echo "$fails check(s) failed; the guests' consoles and results are under $work"
  exit 1
fi
echo "all checks passed"
