# samples/demo-disk.img.zst: a small MBR disk with FAT16, FAT32 and exFAT volumes of photos and documents, some
# deleted (sourced by make-fixtures).

demo_fat16_fill() {
  local s=$1 i
  fat_md /DCIM
  fat_md /DCIM/100CANON
  fat_md /Albums
  fat_md "/Albums/Summer 2023"
  for i in 1 2 3 4 5 6; do
    fat_put_file "/DCIM/100CANON/IMG_000$i.JPG" "$ASSETS/photo$i.jpg" $((SOURCE_DATE_EPOCH - i * 3600))
  done
  fat_put_file "/Albums/Summer 2023/Beach at sunset.jpg" "$ASSETS/photo7.jpg"
  fat_put_file "/Albums/Summer 2023/Harbour.jpg" "$ASSETS/photo8.jpg"
  fat_put_file /Albums/chart.png "$ASSETS/chart.png"
  fat_put_file /Albums/animation.gif "$ASSETS/anim.gif"
  fat_del /DCIM/100CANON/IMG_0003.JPG
  fat_del /DCIM/100CANON/IMG_0005.JPG
  fat_del "/Albums/Summer 2023/Harbour.jpg"
}

demo_fat32_fill() {
  local s=$1
  fat_md /Documents
  fat_md /Documents/Taxes
  fat_md "/Documents/Old drafts"
  fat_put_file /Documents/invoice.pdf "$ASSETS/invoice.pdf"
  fat_put_file "/Documents/User manual.pdf" "$ASSETS/manual.pdf"
  fat_put_file "/Documents/Letter to the bank.docx" "$ASSETS/letter.docx"
  fat_put_file "/Documents/Meeting minutes.odt" "$ASSETS/minutes.odt"
  fat_put_file /Documents/notes.txt "$ASSETS/notes.txt"
  fat_put "/Documents/Taxes/Tax return 2023.txt" 6000 $((s + 1)) text
  fat_put_file /Documents/Taxes/receipt.png "$ASSETS/logo.png"
  fat_put_file /Documents/icon.bmp "$ASSETS/icon.bmp"
  fat_put "/Documents/Old drafts/draft 1.txt" 3000 $((s + 2)) text
  fat_put "/Documents/Old drafts/draft 2.txt" 3500 $((s + 3)) text
  fat_put_file "/Documents/Old drafts/scan.jpg" "$ASSETS/photo9.jpg"
  fat_recycle_bin "$s"
  fat_del "/Documents/User manual.pdf"
  fat_del "/Documents/Meeting minutes.odt"
  fat_deltree "/Documents/Old drafts"
}

demo_exfat_fill() {
  local s=$1
  ex_md /Pictures
  ex_md /Docs
  ex_put_file "/Pictures/Family dinner.jpg" "$ASSETS/photo10.jpg"
  ex_put_file /Pictures/Garden.jpg "$ASSETS/photo11.jpg"
  ex_put_file /Pictures/Snow.jpg "$ASSETS/photo12.jpg"
  ex_put_file /Pictures/logo.png "$ASSETS/logo.png"
  ex_put_file /Docs/invoice.pdf "$ASSETS/invoice.pdf"
  ex_put_file /Docs/letter.docx "$ASSETS/letter.docx"
  ex_put "/Docs/Shopping list.txt" 400 $((s + 1)) text
  sync
  ex_rm /Pictures/Garden.jpg
  ex_rm /Docs/letter.docx
}

build_demo_disk() {
  local disk=$WORK/demo-disk.img spec=$WORK/demo.parts
  local p1=2048 p2=69632 p3=137216 total=172032
  log_open demo-p1
  part_fat "$WORK/demo-p1.img" 16 $FAT16_SECTORS 0D0E0001 PHOTOS $p1 10100 demo_fat16_fill
  log_open demo-p2
  part_fat "$WORK/demo-p2.img" 32 $FAT32_MIN_SECTORS 0D0E0002 DOCUMENTS $p2 10200 demo_fat32_fill
  log_open demo-p3
  part_exfat "$WORK/demo-p3.img" 32768 MEDIA 10300 demo_exfat_fill
  log_open demo-disk
  rm -f "$disk"
  truncate -s $((total * 512)) "$disk"
  printf 'label: dos\nlabel-id: 0x5a1fde00\nunit: sectors\n\nstart=%s, size=%s, type=6\nstart=%s, size=%s, type=c\nstart=%s, size=32768, type=7\n' \
    $p1 $FAT16_SECTORS $p2 $FAT32_MIN_SECTORS $p3 | sfdisk -q "$disk"
  log_cmd "sfdisk (dos): FAT16 0x06 at $p1, FAT32 0x0C at $p2, exFAT 0x07 at $p3"
  place "$WORK/demo-p1.img" "$disk" $p1
  place "$WORK/demo-p2.img" "$disk" $p2
  place "$WORK/demo-p3.img" "$disk" $p3
  printf '%s\t%s\t%s\t%s\t%s\t%s\tprimary\n' \
    $p1 $FAT16_SECTORS FAT16 "$WORK/demo-p1.log" 0x06 "" \
    $p2 $FAT32_MIN_SECTORS FAT32 "$WORK/demo-p2.log" 0x0C "" \
    $p3 32768 exFAT "$WORK/demo-p3.log" 0x07 "" >"$spec"
  python3 "$GEN" manifest-disk "$SAMPLES" demo-disk "$disk" "$spec" "$LOG"
  compress_to "$disk" "$SAMPLES/demo-disk.img.zst"
}
