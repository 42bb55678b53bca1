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

# The report at level 19, the data-path demonstration and one raw request.
out=$("$tool" --board "$board" --names --demo --ioctl kelvo_getSetupLevel 2>&1)
status=$?
echo "$out"
[[ $status -eq 0 ]] || fail "exit status $status for the report and the demonstration"
expect_line "$out" "^driver loaded; board $board\$"
expect_line "$out" "^device 0 added \([0-9]+\.[0-9]+ s\)\$"
expect_line "$out" "^  modelName = \"$model\"  \[device\]\$"
expect_line "$out" "^  manufacturerName = \"Quillon\"  \[device\]\$"
expect_line "$out" "^  smu_kelvo\$"
expect_line "$out" "^  nPXICOOLING_17_2_pxiCooling\$"
expect_line "$out" "^setup level: 19\$"
expect_line "$out" "^hardware state: good\$"
expect_line "$out" "^  busType = 544236393 \(0x20706369\) \"pci\"  \[bus\]\$"
# Register maps one per line and whole: a name past the 64 characters of a
# name slot, and no name twice.
expect_line "$out" "^  register maps \([0-9]+\):\$"
expect_line "$out" "^    [A-Za-z0-9_]{65,}\$"
maps=$(sed -n '/^  register maps/,/^  device windows/p' <<<"$out" | grep '^    ')
[[ $(wc -l <<<"$maps") -eq $(grep -Eo '^  register maps \([0-9]+' <<<"$out" | grep -Eo '[0-9]+$') ]] ||
    fail "the register maps listed are not as many as counted"
[[ -z $(sort <<<"$maps" | uniq -d) ]] || fail "a register-map name listed twice"
expect_line "$out" "^  device windows \(3\): flashWindow NisoFpgaWindow IsoFpgaWindow\$"
expect_line "$out" "^  storage maps \(7\): Posc Manufacturing Header DefaultCalibrationChannel0 FactoryCalibrationChannel0 ExternalCalibrationChannel0 SelfCalibrationChannel0\$"
# Storage maps: versions, checksums, every field's layout, the identity.
expect_line "$out" "^  Manufacturing_Ver1.0.0d1: checksum valid, mapVersion 1.0.0d1, oldestCompatibleMapVersion 1.0.0d0\$"
expect_line "$out" "^    fields \(elements x bytes\): POSC 32768x1; 32768 bytes\$"
expect_line "$out" "^    fields \(elements x bytes\): checksum 1x4 mapVersion 1x4 oldestCompatibleMapVersion 1x4 boardSerialNumber 1x4 boardRevision 1x1 oldestCompatibleBoardRevision 1x1 orderablePartNumber 1x32 allowUnsafeFirmware 1x1; 51 bytes\$"
expect_line "$out" " ModulatorChargeBalanceOffsets 4x16 .* currentLowGain 3x16; [0-9]+ bytes\$"
expect_line "$out" "^every checksum valid: yes, every version valid: yes\$"
expect_line "$out" "^serial number: 0x01F2A3B4\$"
expect_line "$out" "^Manufacturing.orderablePartNumber\[0\] = \"[^\"]+\"\$"
expect_line "$out" "^cooling mode: [0-9]+ \(the product requests 0x[0-9A-F]{8}\)\$"
expect_line "$out" "^temperature: [0-9]+ \(the sensor's raw 13-bit reading, 0 to 8191; 0 on a board without the sensor\)\$"
expect_line "$out" "^power allocation: channel 0 0 W \(0 uW\), budget left 2(25|50) W \(2(25|50)000000 uW\)\$"
# The demonstration: the program out over channel 1, run, two packets back
# over channel 0 carrying what it wrote.
expect_line "$out" "^  program: 11 command words \(88 bytes, checksum 0x[0-9A-F]{8}\)\$"
expect_line "$out" "^  to the device \(DMA channel 1\): 88 of 88 bytes\$"
expect_line "$out" "^  sequence engine: started on the 11 words, "
expect_line "$out" "^  from the device \(DMA channel 0\): 528 of 528 bytes, checksum 0x[0-9A-F]{8}\$"
expect_line "$out" "^  packet [0-9]+ \(after\): marker 0x4B454C56, general-use registers( 0x[0-9A-F]{8}){4} \.\.\.\$"
expect_line "$out" "^  compared: marker 0x4B454C56 as sent; general-use registers 56 to 63: 8 of 8 as the program wrote them; [1-9][0-9]* of registers 0 to 55 changed by subroutine 0x[0-9A-F]{8}\$"
expect_line "$out" "^data path demo: passed\$"
expect_line "$out" "^  decoded: setupLevel=19 status=0 \(KELVO_STATUS_SUCCESS: success\)\$"
expect_line "$out" "^done \([0-9]+\.[0-9]+ s of real time\)\$"
case $board in
solstra) family=Solstra size=2192012 ;;
*) family=Duskmere size=3825788 ;;
esac
expect_line "$out" "^  non-isolated FPGA: signature 0x[0-9A-F]{8} \(a $family image\)\$"
expect_line "$out" "^  isolated FPGA: signature 0x[0-9A-F]{8} \(a $family image\)\$"

# A record of the wrong size fails in transport: exit status 1.
scratch=$(mktemp -d)
file=$scratch/requests flash=$scratch/flash.bin image=$scratch/image.bin
trap 'rm -rf "$scratch"' EXIT
printf '# two requests in one session\ncorran_readDAC 00000000 00000000\nkelvo_getSetupLevel 00000000 00 out=8\n' >"$file"
out=$("$tool" --board "$board" --quiet --file "$file" 2>&1)
status=$?
echo "$out"
[[ $status -eq 1 ]] || fail "exit status $status for a request of the wrong size"
# Every status code with its catalogue name and meaning, a driver code in hex too.
expect_line "$out" "status=-1074117880 \(0xBFFA4308, KELVO_STATUS_NOT_OFFERED: the operation is not offered by this product\)\$"
expect_line "$out" "^  transport: -51009 "

# Storage maps: shown with the serial number; a field written, the flash
# saved, and a module started from that file reads it back.
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
! grep -Eq "^(driver loaded|device 0 added|done)" <<<"$out" || fail "--quiet still prints progress lines"

# A custom non-isolated image through a reset: right-sized content of ours
# loads but is no image of the family, so the module ends below level 19.
head -c "$size" /dev/zero | tr '\0' '\303' >"$image"
out=$("$tool" --board "$board" --niso-image "$image" 2>&1)
status=$?
echo "$out" | grep -E "^reset|FPGA:|^kelvo_tool"
[[ $status -eq 4 ]] || fail "exit status $status for an image of no family (4: below level 19)"
expect_line "$out" "^reset with the non-isolated image .* \($size bytes\): \[kdut_reset: transport 0 \(ok\), status .*\(0xBFFA467C, KELVO_STATUS_NON_ISOLATED_SIGNATURE: [^)]+\)"
expect_line "$out" "^  non-isolated FPGA: signature 0xFFFFFFFF \(no image of this family\)\$"
expect_line "$out" "^kelvo_tool: after the --niso-image reset, the module is at setup level 5, not 19; setup stopped with -1074116996 \(0xBFFA467C, KELVO_STATUS_NON_ISOLATED_SIGNATURE: [^)]+\)\$"

# Bad input: each row is the exit status, what standard error must say, and
# the arguments. Nothing may crash, and every error names what it is about.
head -c 4096 "$flash" >"$file"
head -c 1048576 /dev/zero | tr '\0' '\132' >"$scratch/junk-flash.bin"
folder=$scratch
cases=(
    "4|after it was added, the module is at setup level 3, not 19; setup stopped with|--flash-in $scratch/junk-flash.bin"
    "2|--flash-in $file: 4096 bytes; expected 1048576 bytes|--flash-in $file"
    "2|--flash-in $scratch/none.bin: no such file|--flash-in $scratch/none.bin"
    "2|--flash-in $folder: is a folder, not a file|--flash-in $folder"
    "2|--niso-image $folder: is a folder, not a file|--niso-image $folder"
    "2|--niso-image $file: 4096 bytes; expected $size bytes|--niso-image $file"
    "2|--niso-image $scratch/none.bin: no such file|--niso-image $scratch/none.bin"
    "2|--niso-image needs a value|--niso-image ''"
    "2|--flash-out needs a value|--flash-out ''"
    "2|--flash-out $folder: is a folder; give a file name|--flash-out $folder"
    "2|--flash-out $scratch/none/out.bin: folder .* does not exist|--flash-out $scratch/none/out.bin"
    "2|--file $folder: is a folder, not a file|--file $folder"
    "2|--interface: unknown interface \"nosuch\"|--interface nosuch"
    "2|--set Manufacturing.boardRevision: \"300\" is not a number from 0 to 255|--set Manufacturing.boardRevision=300"
    "2|--get Nothing.there: no storage map Nothing|--get Nothing.there"
    "2|unknown board \"no-such-board\"|--board no-such-board"
    "1|request kelvo_getSetupLevel .* failed: status -1074117880 \(0xBFFA4308, KELVO_STATUS_NOT_OFFERED: |--ioctl kelvo_getSetupLevel 0843fabf"
)
for row in "${cases[@]}"; do
    IFS='|' read -r want message arguments <<<"$row"
    args=()
    eval "args=($arguments)"
    err=$("$tool" --board "$board" --quiet "${args[@]}" 2>&1 >/dev/null)
    status=$?
    [[ $status -eq $want ]] || fail "exit status $status (not $want) for: $arguments; stderr: $err"
    grep -Eq -- "^kelvo_tool: .*$message" <<<"$err" || fail "for $arguments, stderr says: $err"
done
out=$("$tool" --help 2>&1) || fail "--help exit status"
expect_line "$out" "^Usage: kelvo_tool"
# Every option the tool takes, each on a line of its own.
for option in --board --quiet --maps --set --get --demo --ioctl --out --file --interface \
    --flash-in --flash-out --niso-image --real-time --help; do
    expect_line "$out" "^  $option([ ,]|\$)"
done

if ((failures)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "kelvo_tool on $board: all checks passed"
