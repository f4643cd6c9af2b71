#!/usr/bin/env bash
# Checks the plug-in's boundary: the file name and soname, no needed
# libraries, exactly the sixteen entry points exported, and only C library,
# libm and kvchan_ symbols imported.
set -euo pipefail
lib=$1
fail() { echo "FAIL: $*" >&2; exit 1; }

[ "$(basename "$lib")" = "bb_escl-x86_32.so.3" ] || fail "file name is $(basename "$lib")"
readelf -d "$lib" | grep -q 'Library soname: \[bb_escl-x86_32.so.3\]' || fail "soname missing"
if readelf -d "$lib" | grep -q NEEDED; then fail "records needed libraries"; fi

expected="bb_check_scanner_to_continue bb_close bb_end_page bb_end_scan bb_get_ImagesToTransfer
bb_get_JobState bb_get_adf_state bb_get_image_data bb_get_parameters bb_get_scanjob
bb_get_scanner_status bb_get_size bb_get_url bb_open bb_post_scanjob bb_start_scan"
exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort)
want=$(echo $expected | tr ' ' '\n' | sort)
[ "$exports" = "$want" ] || fail "exports differ: $(diff <(echo "$want") <(echo "$exports") | tr '\n' ' ')"

libc_syms=$(nm -D --defined-only /lib/x86_64-linux-gnu/libc.so.6 /lib/x86_64-linux-gnu/libm.so.6 \
            | awk '{print $3}' | sed 's/@.*//' | sort -u)
# Weak references the C runtime start files always carry.
crt_weak='^(_ITM_deregisterTMCloneTable|_ITM_registerTMCloneTable|__gmon_start__)$'
while read -r sym; do
  [ -z "$sym" ] && continue
  case "$sym" in kvchan_open_channel|kvchan_read_channel|kvchan_write_channel|kvchan_close_channel) continue ;; esac
  [[ "$sym" =~ $crt_weak ]] && continue
  grep -qx "$sym" <<<"$libc_syms" || fail "imports $sym, which is neither C library nor kvchan_"
done < <(nm -D --undefined-only "$lib" | awk '{print $2}' | sed 's/@.*//')
echo "plugin ABI ok: $(echo "$exports" | wc -l) exports"
