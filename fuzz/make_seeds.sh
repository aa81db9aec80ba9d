#!/usr/bin/env bash
# Writes the small seed corpora under fuzz/<group>/seeds/<target>/ from the format's worked
# examples and from patches that mkpatch makes of a small old/new pair, one per compression.
#
#   fuzz/make_seeds.sh [MKPATCH]      (default: build-fuzz/tools/mkpatch/mkpatch)
set -euo pipefail
cd "$(dirname "$0")"
mkpatch=${1:-../build-fuzz/tools/mkpatch/mkpatch}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

u8() { printf "\\x$(printf %02x "$1")"; }
u16() { u8 $(($1 & 255)); u8 $(($1 >> 8)); }
u32() { u16 $(($1 & 65535)); u16 $(($1 >> 16)); }
size_of() { stat -c %s "$1"; }
# The patch file without its header (4 bytes plus the two size fields).
payload_of() {
  local layout
  layout=$(od -An -tu1 -j3 -N1 "$1" | tr -d ' ')
  tail -c +$((5 + (layout & 7) + ((layout >> 3) & 7))) "$1"
}

# The worked examples of the patch format and of the tuz stream.
printf 0123456789 >"$work/digits"
printf '\x68\x49\x00\x41\x0b\x03\x04\x82\x02\x61\x62\x03\x00\x01\x5a\x01\x01\x01\x00\x00\x01\x21' >"$work/digits.patch"
printf '\x00\x10\x00\x00\x1b\x41\x42\x02\x0c\x00' >"$work/abab.tuz"
printf '\x00\x10\x00\x00\x0a\x00ABCDEFGHIJKLMNOP\x32\x00' >"$work/block.tuz"

# A small old/new pair with shared, moved and changed stretches.
seq 1 400 | tr '\n' ' ' >"$work/old"
{ seq 1 120; echo changed; seq 300 400; seq 121 250 | sed 's/7/seven/'; } | tr '\n' ' ' >"$work/new"
kinds=(none tuz zlib gzip deflate lzma lzma2)
for c in "${kinds[@]}"; do
  "$mkpatch" -q -c "$c" "$work/old" "$work/new" "$work/$c.patch"
done
# A patch for an empty old file.
: >"$work/empty"
"$mkpatch" -q -c none "$work/empty" "$work/digits" "$work/fromempty.patch"

seed() { mkdir -p "$(dirname "$1")"; cat >"$1"; }
rm -rf patch_engine/seeds patch_driver/seeds runner_inputs/seeds roundtrip/seeds

d=patch_engine/seeds/fuzz_hpatch_lite
{ u16 24576; u8 0; u8 0; u16 10; cat "$work/digits" "$work/digits.patch"; } | seed $d/worked_example
{ u16 3; u8 1; u8 1; u16 10; cat "$work/digits" "$work/digits.patch"; } | seed $d/worked_example_tiny_cache
{ u16 24576; u8 0; u8 0; u16 "$(size_of "$work/old")"; cat "$work/old" "$work/none.patch"; } | seed $d/made
{ u16 100; u8 7; u8 1; u16 "$(size_of "$work/old")"; cat "$work/old" "$work/none.patch"; } | seed $d/made_short_reads
{ u16 24576; u8 0; u8 0; u16 0; cat "$work/fromempty.patch"; } | seed $d/from_empty

d=patch_engine/seeds/fuzz_tuz_decode
{ u16 8192; u8 0; u16 100; u32 1; cat "$work/abab.tuz"; } | seed $d/abab
{ u16 1; u8 1; u16 3; u32 2; cat "$work/abab.tuz"; } | seed $d/abab_one_byte_cache
{ u16 8192; u8 0; u16 10; u32 3; cat "$work/block.tuz"; } | seed $d/literal_block
{ u16 64; u8 5; u16 300; u32 4; payload_of "$work/tuz.patch"; } | seed $d/made

d=patch_engine/seeds/fuzz_lzma2_decode
payload_of "$work/lzma2.patch" >"$work/lzma2.payload"
dict_prop=$(od -An -tu1 -N1 "$work/lzma2.payload" | tr -d ' ')
{ u8 0; u8 "$dict_prop"; u16 8192; u16 12288; u32 1; tail -c +2 "$work/lzma2.payload"; } | seed $d/made
{ u8 0; u8 "$dict_prop"; u16 3; u16 7; u32 2; tail -c +2 "$work/lzma2.payload"; } | seed $d/made_tiny_cache
{ u8 $((1 | 6 << 4)); u8 12; u16 8192; u16 5000; u32 3; cat "$work/new"; } | seed $d/encoded
{ u8 $((1 | 3 << 1 | 9 << 4)); u8 0; u16 100; u16 300; u32 4; cat "$work/old" "$work/new"; } | seed $d/encoded_mutated
# Uncompressed chunks with and without a dictionary reset, then the end byte; the empty stream.
{ u8 0; u8 16; u16 5; u16 2; u32 5; printf '\x01\x00\x02abc\x02\x00\x01xy\x00'; } | seed $d/uncompressed
{ u8 0; u8 0; u16 1; u16 0; u32 6; printf '\x00'; } | seed $d/empty

d=patch_driver/seeds/fuzz_hpatchi_run
{ u8 0; u16 10; cat "$work/digits" "$work/digits.patch"; } | seed $d/worked_example
{ u8 1; u16 0; cat "$work/fromempty.patch"; } | seed $d/from_empty
for c in "${kinds[@]}"; do
  { u8 0; u16 "$(size_of "$work/old")"; cat "$work/old" "$work/$c.patch"; } | seed $d/made_$c
done

d=runner_inputs/seeds/fuzz_manifest
printf '{"force": true}' | seed $d/force_true
printf '{"force": false, "version": "1.2.4"}\n' | seed $d/force_false
printf '\xef\xbb\xbf{"force":true}' | seed $d/bom
printf '[true]' | seed $d/array
printf '{"force": "true", "Force": true}' | seed $d/not_boolean
printf '{"force": true} // done' | seed $d/comment
printf '{"a": [1, 2.5e3, null, {"b": "\\u00e9"}]} {}' | seed $d/two_values

d=runner_inputs/seeds/fuzz_version
probe() { u8 ${#1}; printf %s "$1"; u8 ${#2}; printf %s "$2"; printf %s "$3"; }
probe $'Quorlin ver 1.2.3\n' . $'Quorlin ver 1.2.4\n' | seed $d/newer
probe $'Quorlin ver 1.9.0\n' . $'Quorlin ver 2.0.0\r\n' | seed $d/major
probe $'Quorlin ver 1.02\n' - $'Quorlin ver 1.2.3-beta' | seed $d/zeros_and_suffix
probe 'short' .. $'Quorlin ver 1..2\n' | seed $d/bad_parts
probe $'Quorlin ver 99999999999\n' . $'Quorlin ver 1.2\nmore' | seed $d/out_of_range

d=roundtrip/seeds/fuzz_roundtrip
{ u8 0; u8 0; u16 "$(size_of "$work/old")"; cat "$work/old" "$work/new"; } | seed $d/text_none
{ u8 1; u8 $((3 << 2)); u16 "$(size_of "$work/old")"; cat "$work/old" "$work/new"; } | seed $d/text_tuz
{ u8 5; u8 $((1 | 6 << 2)); u16 10; cat "$work/digits"; u8 7; u16 2; u8 4; printf ab; u8 5; u16 6; } | seed $d/edits_lzma
{ u8 6; u8 2; u16 0; cat "$work/digits"; } | seed $d/empty_old_lzma2
{ u8 3; u8 1; u16 10; cat "$work/digits"; u8 255; u16 0; u8 40; printf 'xxxxxxxxxxxxxxxxxxxx'; } | seed $d/edits_gzip

du -sh patch_engine/seeds patch_driver/seeds runner_inputs/seeds roundtrip/seeds
