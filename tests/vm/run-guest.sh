#!/usr/bin/env bash
# Boots the test guest once under QEMU (software emulation) with the CD
# drives given, runs one case script in it, and unpacks what the case left
# in its /results folder.
#   run-guest.sh [options] DRIVE...
#     --kernel VMLINUZ --initrd BASE.cpio --case CASE.sh --out DIR
#     [--mem MB] [--timeout SECONDS] [--results-mb MB]
#   DRIVE: ide:IMAGE | ide:empty | scsi:IMAGE | scsi:empty
# Drives of one controller become sr0, sr1, ... in the order given (at most
# two IDE drives, on the second channel; up to seven virtio-scsi drives).
# DIR receives serial.log (the guest's console), qemu.pid while QEMU runs,
# and results/ (the case's files). Exit status 0 when the guest ran the case to its end.
set -euo pipefail
mem=512 limit=180 resmb=256
kernel= initrd= case= out=
while [ $# -gt 0 ]; do
  case $1 in
    --kernel) kernel=$2; shift 2;;
    --initrd) initrd=$2; shift 2;;
    --case) case=$2; shift 2;;
    --out) out=$2; shift 2;;
    --mem) mem=$2; shift 2;;
    --timeout) limit=$2; shift 2;;
    --results-mb) resmb=$2; shift 2;;
    --) shift; break;;
    -*) echo "run-guest: unknown option $1" >&2; exit 2;;
    *) break;;
  esac
done
[ -n "$kernel" ] && [ -n "$initrd" ] && [ -n "$case" ] && [ -n "$out" ] ||
  { echo "run-guest: --kernel, --initrd, --case and --out are needed" >&2; exit 2; }

rm -rf "$out"
mkdir -p "$out/results" "$out/boot"
cp "$case" "$out/boot/case.sh"
(cd "$out/boot" && echo case.sh | /bin/busybox cpio -o -H newc 2>/dev/null) > "$out/case.cpio"
cat "$initrd" "$out/case.cpio" > "$out/initrd.cpio"
rm -rf "$out/boot" "$out/case.cpio"
truncate -s 0 "$out/results.raw"
truncate -s "${resmb}M" "$out/results.raw"

drives=() ide=0 scsi=0 n=0
for d in "$@"; do
  bus=${d%%:*} file=${d#*:}
  drive=
  if [ "$file" != empty ]; then
    [ -f "$file" ] || { echo "run-guest: no image $file" >&2; exit 2; }
    drives+=(-drive "if=none,id=cd$n,file=$file,format=raw,media=cdrom,readonly=on")
    drive=",drive=cd$n"
  fi
  case $bus in
    ide) drives+=(-device "ide-cd$drive,bus=ide.1,unit=$ide"); ide=$((ide + 1));;
    scsi)
      [ $scsi -gt 0 ] || drives+=(-device virtio-scsi-pci,id=scsi0)
      drives+=(-device "scsi-cd$drive,bus=scsi0.0,scsi-id=$scsi,lun=0"); scsi=$((scsi + 1));;
    *) echo "run-guest: unknown drive $d" >&2; exit 2;;
  esac
  n=$((n + 1))
done

# No KVM: a stock kernel hangs under it here. -no-reboot and panic=-1 turn
# a guest crash into the end of QEMU; timeout ends a guest that hangs.
status=0
timeout -k 10 "$limit" qemu-system-x86_64 \
  -accel tcg -nodefaults -no-reboot -display none -monitor none \
  -m "$mem" -smp 1 \
  -kernel "$kernel" -initrd "$out/initrd.cpio" \
  -append "console=ttyS0 panic=-1 quiet" \
  -serial "file:$out/serial.log" -pidfile "$out/qemu.pid" \
  -drive "if=none,id=results,file=$out/results.raw,format=raw" \
  -device virtio-blk-pci,drive=results \
  "${drives[@]}" || status=$?
rm -f "$out/initrd.cpio"

if [ $status -eq 124 ] || [ $status -eq 137 ]; then
  echo "run-guest: the guest did not finish within ${limit} s (see $out/serial.log)" >&2
  exit 1
fi
if ! grep -q '^guest: results written' "$out/serial.log"; then
  echo "run-guest: the guest ended without writing its results (QEMU status $status); its console:" >&2
  tail -n 40 "$out/serial.log" >&2
  exit 1
fi
tar -xf "$out/results.raw" -C "$out/results"
rm -f "$out/results.raw"
