#!/usr/bin/env bash
# Records the delay-import descriptors of a linked PE32+ image in its data
# directory (entry 13, "Delay Import Directory").  GNU ld 2.40 links the
# descriptors that dlltool's delay-import libraries bring (sections ".text$2")
# but leaves that entry empty; the delay-load helper does not need it, yet
# __HrLoadAllImportsForDll, the module's check of its oneTBB DLL and every
# tool that lists delay imports find the table only through it.  The table
# must end with an all-zero descriptor (".text$3", imaging/tbb_library_win.cpp).
#
#   pe-delay-directory.sh NM OBJDUMP IMAGE
set -euo pipefail
nm=$1 objdump=$2 image=$3

fail() { echo "$image: $*" >&2; exit 1; }

addresses=$("$nm" "$image" | awk '$3 ~ /^__DELAY_IMPORT_DESCRIPTOR_/ {print $1}' | sort)
[ -n "$addresses" ] || exit 0  # nothing delay-loaded
base=$("$objdump" -p "$image" | awk '$1 == "ImageBase" {print $2}')
[ -n "$base" ] || fail "no ImageBase in the PE header"
first=$((16#$(head -n1 <<<"$addresses")))
count=0
for a in $addresses; do
  [ $((16#$a)) -eq $((first + 32 * count)) ] || fail "delay-import descriptors are not contiguous"
  count=$((count + 1))
done

# File offset of a virtual address, from the section table.
file_offset() {
  local idx name size vma lma off _
  while read -r idx name size vma lma off _; do
    [[ $idx =~ ^[0-9]+$ ]] || continue
    if (( $1 >= 16#$vma && $1 < 16#$vma + 16#$size )); then
      echo $((16#$off + $1 - 16#$vma))
      return 0
    fi
  done < <("$objdump" -h "$image")
  return 1
}
bytes() { od -An -v -tx1 -j "$1" -N "$2" "$image" | tr -d ' \n'; }

end=$(file_offset $((first + 32 * count))) || fail "the descriptor table has no end marker"
[ "$(bytes "$end" 32)" = "$(printf '0%.0s' {1..64})" ] ||
  fail "the delay-import descriptors are not followed by an all-zero descriptor"

# Entry 13 of the data directory: e_lfanew + PE signature (4) + file header
# (20) + the optional header's fields before its directory (112 for PE32+).
pe=$(od -An -tu4 -j 60 -N 4 "$image" | tr -d ' ')
[ "$(bytes $((pe + 24)) 2)" = "0b02" ] || fail "not a PE32+ image"
u32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
rva=$((first - 16#$base))
size=$((32 * (count + 1)))
printf "$(u32 $rva)$(u32 $size)" | dd of="$image" bs=1 seek=$((pe + 24 + 112 + 13 * 8)) conv=notrunc status=none
