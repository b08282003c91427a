# The MBR fixture disk in the container formats people bring (EWF split into segments, VHD fixed and dynamic,
# VHDX, VMDK sparse and flat, QCOW2, split raw), each made by its own tool from tests/fixtures/mbr.img.zst.
# Sourced by make-fixtures; needs ewfacquire (ewf-tools), qemu-img (qemu-utils), split and zstd.
build_containers() {
  need_tools ewfacquire qemu-img split zstd
  local dir="$WORK/containers" out="$OUT/containers"
  rm -rf "$dir" "$out"
  mkdir -p "$dir" "$out"
  zstd -d -q -f "$OUT/mbr.img.zst" -o "$dir/mbr.raw"
  # Data blocks stored as they are, empty ones compressed: two segments of at most 1 MiB.
  ewfacquire -u -q -t "$dir/mbr" -f encase6 -c deflate:empty-block -S 1MiB -C "CASE-42" -e "Ada Examiner" \
    -E "EV-7" -D "mbr fixture disk" -N "made by make-fixtures" "$dir/mbr.raw" >/dev/null
  qemu-img convert -f raw -O qcow2 "$dir/mbr.raw" "$dir/mbr.qcow2"
  qemu-img convert -f raw -O vpc -o subformat=fixed "$dir/mbr.raw" "$dir/mbr-fixed.vhd"
  qemu-img convert -f raw -O vpc -o subformat=dynamic "$dir/mbr.raw" "$dir/mbr-dynamic.vhd"
  qemu-img convert -f raw -O vhdx "$dir/mbr.raw" "$dir/mbr.vhdx"
  qemu-img convert -f raw -O vmdk "$dir/mbr.raw" "$dir/mbr.vmdk"
  qemu-img convert -f raw -O vmdk -o subformat=twoGbMaxExtentFlat "$dir/mbr.raw" "$dir/mbr-flat.vmdk"
  split -b 50M -d -a 3 --numeric-suffixes=1 "$dir/mbr.raw" "$dir/mbr.raw."
  [[ -f "$dir/mbr.E02" ]] || { echo "make-fixtures: ewfacquire wrote one segment only" >&2; exit 1; }
  local f
  for f in "$dir"/mbr.E0? "$dir"/mbr.qcow2 "$dir"/mbr-*.vhd "$dir"/mbr.vhdx "$dir"/mbr*.vmdk "$dir"/mbr.raw.0??; do
    zstd -19 -q -f "$f" -o "$out/$(basename "$f").zst"
  done
  sha256sum "$dir/mbr.raw" | cut -d' ' -f1 >"$out/mbr.raw.sha256"
}
