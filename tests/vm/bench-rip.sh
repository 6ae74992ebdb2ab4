#!/usr/bin/env bash
# Benchmark, not a test: how long disc mode takes to rip a 700 MB disc in the
# QEMU guest, against `dd if=/dev/sr0 bs=64k` of the same disc in the same
# guest, for the IDE/ATAPI and the virtio-scsi drive.
#   tests/vm/bench-rip.sh [BUILD-DIR]       (default: build)
# The disc is a 700 MB backup made by our fixture builder with its model
# signature spoiled, so that the carve after the rip stops at recognition and
# the run's time is the rip's. dd writes into the same RAM file system as
# cd.hex. Each figure is the best of three, with the guest's page cache
# dropped before every read. A last run rips and carves the unspoiled backup.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
work=$build/vm-bench
SECTORS=358400   # 700 MiB

bash "$here/install-packages.sh" || { echo "bench-rip: QEMU cannot be installed" >&2; exit 1; }
mkdir -p "$work"
kdir=$(bash "$here/fetch-kernel.sh" "$build/vm/kernel")
kernel=$(echo "$kdir"/boot/vmlinuz-*)
bash "$here/mkinitramfs.sh" "$kdir" "$build/discsift-static" "$work/base.cpio"

if [ ! -f "$work/backup.iso" ] || [ "$(stat -c %s "$work/backup.iso")" != $((SECTORS * 2048)) ]; then
  "$build/tools/mkimage" realistic "$work/backup.iso" 3 $((SECTORS * 2048 - 65536))
  [ "$(stat -c %s "$work/backup.iso")" -le $((SECTORS * 2048)) ] || { echo "bench-rip: backup too large" >&2; exit 1; }
  truncate -s $((SECTORS * 2048)) "$work/backup.iso"   # zero sectors after the backup's end
  rm -f "$work/plain.iso"
fi
if [ ! -f "$work/plain.iso" ]; then
  cp "$work/backup.iso" "$work/plain.iso.tmp"
  # The first non-zero byte is the model signature: spoil it.
  off=$({ od -An -tu1 -v -w1 "$work/plain.iso.tmp" || true; } | awk '$1 != 0 { print NR - 1; exit }')
  printf 'X' | dd of="$work/plain.iso.tmp" bs=1 seek="$off" conv=notrunc status=none
  mv "$work/plain.iso.tmp" "$work/plain.iso"
fi

cat > "$work/case.sh" <<'EOF'
devices="sr0 sr1"
now() { cut -d' ' -f1 /proc/uptime; }
timed() {  # label, output file, command...
  local label=$1 out=$2; shift 2
  sync; echo 3 > /proc/sys/vm/drop_caches
  local t0; t0=$(now)
  "$@" > "$out" 2>/dev/null
  local t1; t1=$(now)
  echo "$label $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')" | tee -a /results/times
}
run_case() {
  mkdir -p /tmp/b && cd /tmp/b
  dd if=/dev/sr0 of=/dev/null bs=64k 2>/dev/null   # first touch of the host's cache
  for i in 1 2 3; do
    timed dd-file /dev/null dd if=/dev/sr0 of=/tmp/b/dd.img bs=64k
    rm -f /tmp/b/dd.img
    timed dd-null /dev/null dd if=/dev/sr0 of=/dev/null bs=64k
    timed rip /tmp/b/rip.txt discsift D out
    rm -rf out
  done
  tail -c 300 /tmp/b/rip.txt | tr '\r' '\n' | tail -n 8 > /results/rip-tail.txt
  timed rip+carve /tmp/b/carve.txt discsift E out
  tail -n 3 /tmp/b/carve.txt > /results/carve-tail.txt
  find out -type f | wc -l > /results/carved-files
}
EOF

cat "$work/plain.iso" "$work/backup.iso" > /dev/null   # the host's page cache
for bus in ide scsi; do
  bash "$here/run-guest.sh" --kernel "$kernel" --initrd "$work/base.cpio" --case "$work/case.sh" \
    --out "$work/guest-$bus" --mem 3072 --timeout 600 --results-mb 16 \
    "$bus:$work/plain.iso" "$bus:$work/backup.iso"
done

echo "700 MiB disc ($SECTORS sectors), seconds, best of three:"
for bus in ide scsi; do
  r=$work/guest-$bus/results
  best() { awk -v l="$1" '$1 == l { if (b == "" || $2 < b) b = $2 } END { print b }' "$r/times"; }
  dd=$(best dd-file) null=$(best dd-null) rip=$(best rip) both=$(best rip+carve)
  printf '%-5s dd to file %6s   dd to /dev/null %6s   disc mode rip %6s   ratio rip/dd %s   rip and carve of the backup %6s (%s files)\n' \
    "$bus" "$dd" "$null" "$rip" "$(awk -v a="$rip" -v b="$dd" 'BEGIN { printf "%.2f", a / b }')" \
    "$both" "$(cat "$r/carved-files")"
done
