#!/usr/bin/env bash
# Benchmark, not a test: how long disc mode takes to rip a 700 MB disc in the
# QEMU guest, against `dd if=/dev/sr0 bs=64k` of the same disc in the same
# guest, for the IDE/ATAPI and the virtio-scsi drive.
#   tests/vm/bench-rip.sh [BUILD-DIR]       (default: build)
# The disc is a 700 MB backup made by our fixture builder with its model
# signature spoiled, so that the carve after the rip stops at recognition and
# the run's time is the rip's. dd writes into the same RAM file system as
# cd.hex. Each figure is the best (and the median) of ROUNDS runs (default
# 5), with the guest's page cache dropped before every read. QEMU emulates
# in software, so other work on the machine shows in the guest's times; the
# CPU time QEMU spent on each run (all its threads, read on the host when the
# guest announces a run's start and end on its console) shows it far less. A last run rips and carves the unspoiled backup.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
work=$build/vm-bench
SECTORS=358400   # 700 MiB
ROUNDS=${ROUNDS:-5}

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

{ echo "rounds=$ROUNDS"; cat <<'EOF'
devices="sr0 sr1"
now() { cut -d' ' -f1 /proc/uptime; }
timed() {  # label, output file, command...
  local label=$1 out=$2; shift 2
  sync; echo 3 > /proc/sys/vm/drop_caches
  echo "bench-mark start $label" > /dev/console
  local t0; t0=$(now)
  "$@" > "$out" 2>/dev/null
  local t1; t1=$(now)
  echo "bench-mark end $label" > /dev/console
  echo "$label $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')" | tee -a /results/times
}
run_case() {
  mkdir -p /tmp/b && cd /tmp/b
  dd if=/dev/sr0 of=/dev/null bs=64k 2>/dev/null   # first touch of the host's cache
  i=0
  while [ $i -lt $rounds ]; do
    i=$((i + 1))
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
} > "$work/case.sh"

cat "$work/plain.iso" "$work/backup.iso" > /dev/null   # the host's page cache
# Notes QEMU's CPU time (user and system, in clock ticks) at each mark of
# the guest's console.
watch_cpu() {  # guest folder
  local g=$1 pid line
  while [ ! -s "$g/qemu.pid" ]; do sleep 0.1; done
  pid=$(cat "$g/qemu.pid")
  tail -n +1 --pid="$pid" -F "$g/serial.log" 2>/dev/null |
    while IFS= read -r line; do
      line=${line%$'\r'}
      case $line in
        "bench-mark "*)
          echo "${line#bench-mark } $(awk '{ print $14 + $15 }' "/proc/$pid/stat" 2>/dev/null)";;
      esac
    done > "$g.cpu"
}

for bus in ide scsi; do
  g=$work/guest-$bus
  rm -rf "$g"
  watch_cpu "$g" &
  watcher=$!
  bash "$here/run-guest.sh" --kernel "$kernel" --initrd "$work/base.cpio" --case "$work/case.sh" \
    --out "$g" --mem 3072 --timeout $((120 + ROUNDS * 150)) --results-mb 16 \
    "$bus:$work/plain.iso" "$bus:$work/backup.iso"
  wait $watcher || true
  # CPU seconds per run: "label seconds", as the guest's times.
  awk -v hz="$(getconf CLK_TCK)" '$1 == "start" { s[$2] = $3 } $1 == "end" { printf "%s %.2f\n", $2, ($3 - s[$2]) / hz }' \
    "$g.cpu" > "$g.cputimes"
done

summary() {  # times file, label: "best median"
  awk -v l="$2" '$1 == l { print $2 }' "$1" | sort -n |
    awk '{ v[NR] = $1 } END { printf "%s %s", v[1], NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
report() {  # times file
  local dd ddm null nullm rip ripm
  read -r dd ddm <<< "$(summary "$1" dd-file)"
  read -r null nullm <<< "$(summary "$1" dd-null)"
  read -r rip ripm <<< "$(summary "$1" rip)"
  printf '  dd to file %6s / %-6s  dd to /dev/null %6s / %-6s  disc mode rip %6s / %-6s  rip/dd %s / %s\n' \
    "$dd" "$ddm" "$null" "$nullm" "$rip" "$ripm" "$(ratio "$rip" "$dd")" "$(ratio "$ripm" "$ddm")"
}

echo "700 MiB disc ($SECTORS sectors), seconds over $ROUNDS rounds, best / median:"
for bus in ide scsi; do
  g=$work/guest-$bus
  echo "$bus, time in the guest:"
  report "$g/results/times"
  echo "$bus, CPU time of QEMU:"
  report "$g.cputimes"
  printf '  rip and carve of the whole backup: %s s in the guest, %s files\n' \
    "$(awk '$1 == "rip+carve" { print $2 }' "$g/results/times")" "$(cat "$g/results/carved-files")"
done
