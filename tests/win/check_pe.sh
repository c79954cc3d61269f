#!/usr/bin/env bash
# The Windows DLL, from its PE headers: exactly the two entry points, by name
# at ordinals 1 and 2; load-time imports of system DLLs only; oneTBB's DLL
# as its one delay import.
#
#   check_pe.sh OBJDUMP DLL TBB_DLL_NAME
set -euo pipefail
objdump=$1 dll=$2 tbb=$3
headers=$("$objdump" -p "$dll")
status=0
fail() { echo "FAIL: $*"; status=1; }

# "[   0] +base[   1] 14e0 Export RVA" and "[   0] KZR_DSP_DeInitModule".
ordinals=$(awk '/^Export Address Table/ {on = 1; next} on && /Export RVA/ {gsub(/[][]/, " "); print $3} on && /^$/ {on = 0}' <<<"$headers" | tr '\n' ' ')
names=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && /^\t\[/ {print $3} on && /^$/ {on = 0}' <<<"$headers" | tr '\n' ' ')
echo "export ordinals: $ordinals"
echo "export names (by ordinal): $names"
[ "$ordinals" = "1 2 " ] || fail "expected ordinals 1 and 2"
[ "$names" = "KZR_DSP_DeInitModule KZR_DSP_InitModule " ] || fail "expected DeInit at 1, Init at 2"

imports=$(awk '/DLL Name:/ {print $3}' <<<"$headers" | tr '\n' ' ')
echo "load-time imports: $imports"
for name in $imports; do
  case ${name,,} in
    kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll) ;;
    *) fail "imports $name at load time" ;;
  esac
done

# GNU objdump lists the delay-import directory entry but not its contents:
# read the descriptor's DLL name through the section table.
read -r rva size < <(awk '$NF == "Directory" && $(NF-1) == "Import" && $(NF-2) == "Delay" {print $3, $4}' <<<"$headers")
base=$(awk '$1 == "ImageBase" {print $2}' <<<"$headers")
echo "delay-import directory: rva 0x$rva, size 0x$size"
if [ $((16#$rva)) -eq 0 ] || [ $((16#$size)) -ne 64 ]; then
  fail "expected one delay-import descriptor and its end marker"
else
  file_offset() {
    local idx name ssize vma lma off _
    while read -r idx name ssize vma lma off _; do
      [[ $idx =~ ^[0-9]+$ ]] || continue
      if (( $1 >= 16#$vma - 16#$base && $1 < 16#$vma - 16#$base + 16#$ssize )); then
        echo $((16#$off + $1 - (16#$vma - 16#$base)))
        return 0
      fi
    done < <("$objdump" -h "$dll")
    return 1
  }
  name_rva=$(od -An -tu4 -j "$(file_offset $((16#$rva + 4)))" -N 4 "$dll" | tr -d ' ')
  delayed=$(dd if="$dll" bs=1 skip="$(file_offset "$name_rva")" count=64 status=none | tr '\0' '\n' | head -n1)
  echo "delay import: $delayed"
  [ "$delayed" = "$tbb" ] || fail "expected the delay import $tbb"
fi
exit $status
