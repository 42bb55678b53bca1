#!/usr/bin/env bash
# Runs kelvo_tool against one board and checks its exit status and the lines
# a user reads first. Usage: check_tool.sh TOOL BOARD MODEL
set -uo pipefail
tool=$1 board=$2 model=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_line() { # output, regex
    grep -Eq -- "$2" <<<"$1" || fail "no line matching: $2"
}

out=$("$tool" --board "$board" --ioctl kelvo_getSetupLevel 2>&1)
status=$?
echo "$out"
[[ $status -eq 0 ]] || fail "exit status $status for the report"
expect_line "$out" "^driver loaded; board $board\$"
expect_line "$out" "^device 0 added\$"
expect_line "$out" "^  modelName = \"$model\"  \[device\]\$"
expect_line "$out" "^  manufacturerName = \"Quillon\"  \[device\]\$"
expect_line "$out" "^  smu_kelvo\$"
expect_line "$out" "^  nPXICOOLING_17_2_pxiCooling\$"
expect_line "$out" "^setup level: [0-9]+  \[kelvo_getSetupLevel: transport 0 \(ok\), status 0 \(success\)\]\$"
expect_line "$out" "^hardware state \(level-19 request\): \[kdut_checkHardwareState: transport 0 \(ok\), status "
expect_line "$out" "^  register maps \([0-9]+\)"
expect_line "$out" "^  decoded: setupLevel=[0-9]+ status=0 \(success\)\$"
case $board in
solstra) family=Solstra size=2192012 ;;
*) family=Duskmere size=3825788 ;;
esac
expect_line "$out" "^  non-isolated FPGA: signature 0x[0-9A-F]{8} \(a $family image\)\$"
expect_line "$out" "^  isolated FPGA: not reachable \(IsoFpgaWindow: "

# A record of the wrong size fails in transport: exit status 1.
file=$(mktemp)
trap 'rm -f "$file"' EXIT
printf '# two requests in one session\ncorran_readDAC 00000000 00000000\nkelvo_getSetupLevel 00000000 00 out=8\n' >"$file"
out=$("$tool" --board "$board" --quiet --file "$file" 2>&1)
status=$?
echo "$out"
[[ $status -eq 1 ]] || fail "exit status $status for a request of the wrong size"
expect_line "$out" "status=-1074117880 \(0xBFFA4308, operation not offered\)"
expect_line "$out" "^  transport: -51009 "

# Storage maps: shown with the serial number; a field written, the flash
# saved, and a module started from that file reads it back.
flash=$(mktemp)
trap 'rm -f "$file" "$flash"' EXIT
out=$("$tool" --board "$board" --quiet --maps --set Manufacturing.boardSerialNumber=0xC0FFEE --flash-out "$flash" 2>&1)
status=$?
echo "$out"
[[ $status -eq 0 ]] || fail "exit status $status for --maps/--set/--flash-out"
expect_line "$out" "^  Manufacturing_Ver1.0.0d1: checksum valid, mapVersion 1.0.0d1, oldestCompatibleMapVersion 1.0.0d0\$"
expect_line "$out" "^serial number: 0x01F2A3B4\$"
out=$("$tool" --board "$board" --quiet --flash-in "$flash" --get Manufacturing.boardSerialNumber --maps 2>&1)
status=$?
echo "$out"
[[ $status -eq 0 ]] || fail "exit status $status for --flash-in/--get"
expect_line "$out" "^Manufacturing.boardSerialNumber\[0\] = 12648430 \(0x00C0FFEE\)\$"
expect_line "$out" "^serial number: 0x00C0FFEE\$"
head -c 4096 "$flash" >"$file"
"$tool" --board "$board" --quiet --flash-in "$file" >/dev/null 2>&1
[[ $? -eq 3 ]] || fail "a flash file of another size is refused (no device)"
"$tool" --board "$board" --get Nothing.there >/dev/null 2>&1
[[ $? -eq 2 ]] || fail "an unknown storage-map field is a usage error"

# A custom non-isolated image through a reset: right-sized content of ours
# loads (but is no image of the family); one byte short is refused.
image=$(mktemp)
trap 'rm -f "$file" "$flash" "$image"' EXIT
head -c "$size" /dev/zero | tr '\0' '\303' >"$image"
out=$("$tool" --board "$board" --niso-image "$image" 2>&1)
status=$?
echo "$out" | grep -E "^reset|FPGA:"
[[ $status -eq 0 ]] || fail "exit status $status for --niso-image"
expect_line "$out" "^reset with the non-isolated image .* \($size bytes\): \[kdut_reset: transport 0 \(ok\), status -52002"
expect_line "$out" "^  non-isolated FPGA: signature 0xFFFFFFFF \(no image of this family\)\$"
head -c $((size - 1)) "$image" >"$file"
out=$("$tool" --board "$board" --niso-image "$file" 2>&1)
echo "$out" | grep -E "^reset|FPGA:"
expect_line "$out" "^reset with the non-isolated image .*\[kdut_reset: transport 0 \(ok\), status .*0xBFFA806B"
expect_line "$out" "^setup level: 3 "

out=$("$tool" --help 2>&1)
[[ $? -eq 0 ]] || fail "--help exit status"
expect_line "$out" "^Usage: kelvo_tool"
"$tool" --board no-such-board >/dev/null 2>&1
[[ $? -eq 2 ]] || fail "an unknown board is a usage error"

if ((failures)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "kelvo_tool on $board: all checks passed"
