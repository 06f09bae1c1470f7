#!/usr/bin/env bash
# The main job, end to end: a regular declaration, the result query and the clear-card unlock with
# brindle-cli against the bundled stand-ins — the tax platform emulator, the virtual tax IC card in
# pcscd's virtual reader and the virtual tax disk behind Quillon's emulator transport. Installs what is
# missing, builds the programs (Release, own build folder), makes an installation in a temporary folder
# and stops everything it started when it ends.
#
#   bash scripts/demo.sh            BRINDLE_DEMO_BUILD_DIR (default build-demo), BRINDLE_JOBS
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$(pwd)"

say() { printf '\n== %s\n' "$*"; }

say "安装依赖 (scripts/install-deps.sh)"
bash scripts/install-deps.sh

BUILD_DIR="${BRINDLE_DEMO_BUILD_DIR:-build-demo}"
JOBS="${BRINDLE_JOBS:-$(nproc)}"
say "构建 brindle-cli 与 brindle-admin (Release, $BUILD_DIR)"
BUILD_LOG="$(mktemp /tmp/brindle-demo-build-XXXXXX.log)"
if ! { cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRINDLE_SANITIZE=OFF \
        -DBRINDLE_BUILD_TESTS=OFF -DBRINDLE_BUILD_BENCH=OFF &&
    cmake --build "$BUILD_DIR" -j "$JOBS" --target brindle-cli brindle-admin; } >"$BUILD_LOG" 2>&1; then
    tail -n 40 "$BUILD_LOG"
    echo "demo: the build failed (log: $BUILD_LOG)" >&2
    exit 1
fi
rm -f "$BUILD_LOG"
ADMIN="$ROOT/$BUILD_DIR/Main/app/brindle-admin"

# ---- the stand-ins; everything started is stopped again on exit ----
WORK="$(mktemp -d /tmp/brindle-demo-XXXXXX)"
PIDS=()
cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits up to $2 tenths of a second for the command in $1 to succeed.
wait_for() {
    local i
    for ((i = 0; i < $2; i++)); do
        if eval "$1"; then return 0; fi
        sleep 0.1
    done
    return 1
}

TAXPAYER=370101000000001
CARD=12345678901234
DISK=661234567890

# One scenario for the three stand-ins: the shared default, with the server knowing the initial network
# password of a new installation (the demo changes it first, as a user must) and card scripts the
# virtual card answers: after BS201 and QK201 the server reads the card number, which the client
# compares, otherwise it asks for a challenge. The comparison verdict comes after two rounds.
python3 - "$ROOT/tools/scenarios/default.json" "$WORK/scenario.json" <<'EOF'
import json, sys
scenario = json.load(open(sys.argv[1], encoding="utf-8"))
platform = scenario["platform"]
platform["password"] = "123456"
platform["bdjg"] = [2, 2, 1]
def row(request, marker=""):
    return {"CMDRequest": request, "CMDResponse": "", "ExecStatusC": "0", "ExecStatusS": "0", "ErrorCMD": marker}
read_number = [row("00 A4 00 00 02 EF 05"), row("00 B0 00 20 17", "{IC}")]
challenge = [row("00 84 00 00 08")]
for step, rows in (("BS201", read_number), ("BS202", challenge), ("QK201", read_number),
                   ("QK202", challenge), ("QK203", challenge)):
    platform["steps"][step] = {"retries": 1, "script": {"rows": rows}}
json.dump(scenario, open(sys.argv[2], "w", encoding="utf-8"), ensure_ascii=False, indent=2)
EOF

say "启动税务平台模拟服务器、虚拟税控IC卡与虚拟报税盘"
python3 tools/platform-emulator/emulator.py --scenario "$WORK/scenario.json" --port 0 \
    --port-file "$WORK/emulator.port" --log "$WORK/requests.jsonl" --max-seconds 1800 >"$WORK/emulator.log" 2>&1 &
PIDS+=($!)
wait_for '[ -s "$WORK/emulator.port" ]' 100 || { cat "$WORK/emulator.log"; echo "demo: the emulator did not start" >&2; exit 1; }
SERVER="127.0.0.1:$(cat "$WORK/emulator.port")"
echo "税务平台模拟服务器: $SERVER"

# pcscd's client socket is machine-wide: take turns with the test stands, and refuse a running daemon.
exec 9>/tmp/brindle-pcscd-stand.lock
flock -w 600 9 || { echo "demo: the card reader stand stays busy" >&2; exit 1; }
if [ -s /run/pcscd/pcscd.pid ] && kill -0 "$(cat /run/pcscd/pcscd.pid)" 2>/dev/null; then
    echo "demo: another pcscd (pid $(cat /run/pcscd/pcscd.pid)) is running; stop it first" >&2
    exit 1
fi
VPCD_PORT="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
mkdir -p "$WORK/reader.conf.d"
printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME   /dev/null:0x%X\nLIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so\nCHANNELID    0x%X\n' \
    "$VPCD_PORT" "$VPCD_PORT" >"$WORK/reader.conf.d/vpcd"
pcscd -f -c "$WORK/reader.conf.d" >"$WORK/pcscd.log" 2>&1 &
PIDS+=($!)
python3 tools/virtual-card/virtual_card.py --scenario "$WORK/scenario.json" --port "$VPCD_PORT" \
    --control "$WORK/card.sock" >"$WORK/card.log" 2>&1 &
PIDS+=($!)
# The card is in the reader once PC/SC can connect to it.
card_present() {
    python3 - <<'EOF' 2>/dev/null
import ctypes, sys
pcsc = ctypes.CDLL("libpcsclite.so.1")
ctx, card, proto = ctypes.c_long(), ctypes.c_long(), ctypes.c_ulong()
if pcsc.SCardEstablishContext(ctypes.c_ulong(2), None, None, ctypes.byref(ctx)) != 0:
    sys.exit(1)
rc = pcsc.SCardConnect(ctx, b"Virtual PCD 00 00", ctypes.c_ulong(2), ctypes.c_ulong(3), ctypes.byref(card),
                       ctypes.byref(proto))
if rc == 0:
    pcsc.SCardDisconnect(card, ctypes.c_ulong(0))
pcsc.SCardReleaseContext(ctx)
sys.exit(0 if rc == 0 else 1)
EOF
}
wait_for card_present 150 || { cat "$WORK/pcscd.log" "$WORK/card.log"; echo "demo: the virtual card is not in the reader" >&2; exit 1; }
echo "虚拟税控IC卡: $CARD (读卡器 Virtual PCD 00 00)"

python3 tools/virtual-disk/virtual_disk.py --socket "$WORK/disk.sock" --scenario "$WORK/scenario.json" \
    >"$WORK/disk.log" 2>&1 &
PIDS+=($!)
wait_for '[ -S "$WORK/disk.sock" ]' 100 || { cat "$WORK/disk.log"; echo "demo: the virtual disk did not start" >&2; exit 1; }
export QUILLON_EMULATOR_SOCKET="$WORK/disk.sock"
echo "虚拟报税盘: $DISK"

# ---- the installation ----
# The program reads the tax disk's verification value from the ini file beside it: the demo runs a copy
# with its own ini file, so nothing is left in the build folder.
mkdir -p "$WORK/bin"
CLI="$WORK/bin/brindle-cli"
cp "$ROOT/$BUILD_DIR/Main/app/brindle-cli" "$CLI"
printf '[Disk]\nVerifyParam4=11223344\nVerifyParam2=5566\n' >"$CLI.ini"
BASE="$WORK/base"
say "创建安装 (brindle-admin init, brindle-admin cards)"
BRINDLE_PROGRAM="$CLI" "$ADMIN" init "$BASE" --taxpayer "$TAXPAYER" --enterprise 演示企业 --tax-dept 13701000000 \
    --server "$SERVER" >/dev/null
echo "安装目录: $BASE"
"$ADMIN" cards "$BASE" --taxpayer "$TAXPAYER" --single "$CARD" "$DISK" 前台 >/dev/null
mkdir -p "$WORK/run"
# Boxes (stderr) and dialogs (stdout) in the order a user meets them.
cli() { XDG_RUNTIME_DIR="$WORK/run" stdbuf -oL -eL "$CLI" "$TAXPAYER" admin "$BASE/Brindle.sh" "$@" 2>&1; }
cli cards

say "修改初始网络抄报密码 (brindle-cli change-password)"
cli change-password 123456 demo2026

say "下载通知 (brindle-cli download-notices)"
cli download-notices

say "常规报税 (brindle-cli --yes declare)"
cli --yes declare

say "报税结果查询 (brindle-cli query-result)"
cli query-result

say "清卡解锁 (brindle-cli --yes unlock)"
cli --yes unlock
