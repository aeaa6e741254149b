# Shared by the VM tests (tests/vm/usb-amp, tests/vm/desktop): checks and
# what they print, the USB-MIDI gadget that is the amp, and the virtual amp
# on its side. Expects B (the build folder) and work (a scratch folder).
V=$B/tools/virtual-amp/virtual-amp
A=$B/tools/ampctl/ampctl
U=$B/tests/update-device
G=/sys/kernel/config/usb_gadget/zp
DEV="Zorva Pro MIDI 1"
failed=0
amp_pid=""

ok() { echo "ok: $*"; }
bad() { echo "FAILED: $*"; failed=1; }
check() {  # check WHAT COMMAND...: false when it failed, so a caller can show why
    local what=$1
    shift
    if "$@"; then ok "$what"; else bad "$what"; return 1; fi
}
ms() { date +%s%3N; }
field() { grep -o "\"$2\": [^,]*" "$1" 2>/dev/null | head -n 1 | sed 's/.*: //; s/"//g'; }

card_of() {  # the ALSA card number whose /proc/asound/cards line holds $1
    awk -v n="$1" 'index($0, n) && $1 ~ /^[0-9]+$/ {print $1; exit}' /proc/asound/cards
}

gadget_up() {
    echo dummy_udc.0 >$G/UDC
    for _ in $(seq 100); do
        [ -n "$(card_of "USB-Audio - Zorva Pro")" ] && return 0
        sleep 0.1
    done
    return 1
}

# make_gadget DIR PRODUCT CARD_ID: a configfs USB-MIDI gadget; its own side
# is the sound card CARD_ID (hw:CARD_ID,0 whatever number it gets).
make_gadget() {
    mkdir -p "$1" && cd "$1" || return 1
    echo 0x1209 >idVendor
    echo 0x5a50 >idProduct
    mkdir -p strings/0x409 configs/c.1 functions/midi.usb0
    echo "$3" >functions/midi.usb0/id
    echo Zorva >strings/0x409/manufacturer
    echo "$2" >strings/0x409/product
    echo 0001 >strings/0x409/serialnumber
    ln -s "$1/functions/midi.usb0" configs/c.1/
    cd /
}

amp_gadget() { make_gadget $G "Zorva Pro" zpamp && gadget_up; }

start_amp() {  # start_amp [OPTION]...: the virtual amp on the gadget side, a fresh amp at 1.00
    "$V" --rawmidi hw:zpamp,0 --revision A100 --new-revision A101 --restart-ms 500 \
        --reprogram-ms 1000 --quiet-ms 500 --expect-sha256 "$sha" --report "$work/report.json" "$@" \
        >"$work/amp.log" 2>&1 &
    amp_pid=$!
    rm -f "$work/report.json"
    sleep 0.5
}

stop_amp() {
    [ -n "$amp_pid" ] || return 0
    kill "$amp_pid" 2>/dev/null
    wait "$amp_pid" 2>/dev/null
    amp_pid=""
}

wait_update() {  # waits for the amp's report of its first update
    for _ in $(seq 150); do
        [ "$(field "$work/report.json" updates)" = 1 ] && [ "$(field "$work/report.json" state)" = normal ] && return 0
        sleep 0.1
    done
    return 1
}

