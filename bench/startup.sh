#!/usr/bin/env bash
# Start-up time and memory of knobly against a bare Qt tray program:
#   (a) from exec to the RegisterStatusNotifierItem call reaching the panel's watcher,
#       median of 5 runs (after one warm-up run each);
#   (b) resident memory (VmRSS) after 60 s, knobly connected to the simulated device;
#   (c) knobly's CPU time over 60 s of idle polling (every thread's schedstat), per poll,
#       from a poll after the answer, when the device's details are in; beside it the floor,
#       the bare program asking a second simulator for the status every 5 s.
# The bare program (QApplication + QSystemTrayIcon with an icon and a one-row menu, which also
# makes one HTTPS request to the device: the least such a program needs) is built here with
# g++ and registers through Qt's own StatusNotifierItem support.
#
#   bench/startup.sh [--quick] [BIN_DIR]     (as root; --quick waits 10 s instead of 60 s)
#
# Everything runs on a virtual X display (Xvfb) and a private session bus with a stand-in
# watcher, inside a network namespace with only loopback in it: knobly's discovery at
# launch reaches no real network. All of it is removed when the script ends.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
py=/usr/bin/python3

quick=0
bin=$root/build/bin
for arg in "$@"; do
    case $arg in
    --quick) quick=1 ;;
    -*) echo "usage: bench/startup.sh [--quick] [BIN_DIR]" >&2; exit 2 ;;
    *) bin=$arg ;;
    esac
done
bin=$(cd "$bin" && pwd)
settle=$((quick ? 10 : 60))
runs=5

die() {
    echo "startup: $*" >&2
    exit 1
}

if [ -z "${KNOBLY_BENCH_INSIDE:-}" ]; then
    [ "$(id -u)" -eq 0 ] || die "needs root (a network namespace of its own)"
    for program in knobly knobly-devicesim; do
        [ -x "$bin/$program" ] || die "$bin/$program is not built"
    done
    for tool in Xvfb dbus-run-session dbus-send unshare ip g++ pkg-config; do
        command -v "$tool" >/dev/null 2>&1 || die "$tool is not installed"
    done
    "$py" -c 'import dbus, gi' 2>/dev/null || die "python3-dbus and python3-gi are needed"
    KNOBLY_BENCH_INSIDE=1 exec unshare --net \
        "$root/tests/integration/with-session-bus.sh" "$BASH" "$0" "$@"
fi

# --- inside the namespace -----------------------------------------------------------------
export LC_ALL=C # EPOCHREALTIME and awk's numbers use '.'
ip link set lo up
! ip -o link show | grep -qv ': lo:' || die "the namespace has more than loopback in it"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/knobly-bench.XXXXXX")
pids=()
cleanup() {
    local status=$? pid
    trap - EXIT INT TERM HUP
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        pid=${pids[i]}
        kill -TERM "$pid" 2>/dev/null || continue
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$tmp"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

wait_for() { # SECONDS COMMAND...: polls until the command succeeds
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.02
    done
}
has_line() { grep -q -- "$2" "$1"; }
stop() { # PID: TERM and reap
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# The bare tray program.
cat >"$tmp/bare_tray.cpp" <<'CPP'
#include <QApplication>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(0xde, 0xde, 0xde));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(8, 8, 48, 48);
    }
    QMenu menu;
    menu.addAction(QStringLiteral("Quit"), &app, &QCoreApplication::quit);
    QSystemTrayIcon tray{QIcon(pixmap)};
    tray.setToolTip(QStringLiteral("bare tray"));
    tray.setContextMenu(&menu);
    tray.show();
    QNetworkAccessManager network;
    const auto ask = [&] {
        QNetworkReply *reply = network.get(QNetworkRequest(QUrl(QString::fromLocal8Bit(argv[1]))));
        reply->ignoreSslErrors();
        QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    };
    if (argc > 1)
        ask();
    // "poll": asks again every 5 s, as little as a polling program can do.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, ask);
    if (argc > 2)
        poll.start(5000);
    return app.exec();
}
CPP
# shellcheck disable=SC2046 # pkg-config's words are separate arguments
g++ -std=c++17 -O2 -fPIC -o "$tmp/bare_tray" "$tmp/bare_tray.cpp" \
    $(pkg-config --cflags --libs Qt6Widgets Qt6Network) || die "could not build the bare tray program"

Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x800x24 3>"$tmp/display" >"$tmp/xvfb.log" 2>&1 &
pids+=($!)
wait_for 20 test -s "$tmp/display" || die "Xvfb did not start"
DISPLAY=:$(head -n 1 "$tmp/display")
export DISPLAY

export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$tmp/no-system-bus # no Avahi to search for us

"$py" "$root/tools/demo/fake_watcher.py" >"$tmp/watcher.log" 2>&1 &
pids+=($!)
wait_for 10 has_line "$tmp/watcher.log" '^ready' || die "the watcher did not start"

sim=
start_sim() { # a fresh simulator: its closing stats line counts one phase's requests
    [ -z "$sim" ] || stop "$sim"
    : >"$tmp/devicesim.log"
    # UPnP where real devices serve it: Knobly finds its description and follows its events,
    # as at home, instead of looking for one now and then.
    "$bin/knobly-devicesim" --port 8443 --bind 127.0.0.1 --name Bench --stats --upnp-port 49152 \
        >"$tmp/devicesim.log" 2>&1 &
    sim=$!
    pids+=("$sim")
    wait_for 20 has_line "$tmp/devicesim.log" serving || die "the simulator did not start"
}
start_sim

mkdir -p "$tmp/config/Knobly" "$tmp/runtime" "$tmp/cache"
chmod 700 "$tmp/runtime"
printf '[General]\nip=127.0.0.1:8443\ndevice=Bench\nstep=5\n' >"$tmp/config/Knobly/Knobly.conf"
export XDG_CONFIG_HOME=$tmp/config XDG_RUNTIME_DIR=$tmp/runtime XDG_CACHE_HOME=$tmp/cache \
    QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY XDG_CURRENT_DESKTOP

# Starts a program with the wall clock noted just before its exec; sets $started.
started=
launch() { # NAME PROGRAM [ARGUMENT...]
    local name=$1
    shift
    # shellcheck disable=SC2016 # the inner shell expands these
    bash -c 'printf "%s\n" "$EPOCHREALTIME" >"$1"; shift; exec "$@"' launch \
        "$tmp/$name.start" "$@" >>"$tmp/$name.log" 2>&1 &
    started=$!
    pids+=("$started")
}
registered_pid() { awk -v pid="$1" '$1 == "registered" && $3 == pid { found = 1 } END { exit !found }' "$tmp/watcher.log"; }

# (a) exec to registration, in milliseconds, one line per run.
time_registration() { # NAME PROGRAM
    local run
    for run in $(seq 0 "$runs"); do
        launch "$1" "$2"
        wait_for 30 registered_pid "$started" ||
            die "$1 did not register; it said: $(tail -n 5 "$tmp/$1.log")"
        if [ "$run" -gt 0 ]; then # run 0 warms the caches
            awk -v pid="$started" -v start="$(cat "$tmp/$1.start")" \
                '$1 == "registered" && $3 == pid { printf "%.1f\n", ($2 - start) * 1000; exit }' \
                "$tmp/watcher.log" >>"$tmp/$1.ms"
        fi
        stop "$started"
    done
}
stats_of() { # FILE: "median min max"
    sort -n "$1" | awk '{ v[NR] = $1 } END { printf "%.1f %.1f %.1f\n", v[int((NR + 1) / 2)], v[1], v[NR] }'
}

echo "startup: timing registration ($runs runs each after a warm-up)..." >&2
time_registration knobly "$bin/knobly"
time_registration bare "$tmp/bare_tray"

# (b) both side by side, $settle seconds after knobly has the device's answer.
echo "startup: measuring memory after ${settle} s..." >&2
start_sim
launch knobly "$bin/knobly"
knobly=$started
launch bare "$tmp/bare_tray" https://127.0.0.1:8443/httpapi.asp?command=getStatusEx
bare=$started
wait_for 30 registered_pid "$knobly" || die "knobly did not register"
wait_for 30 registered_pid "$bare" || die "the bare program did not register"
# The floor: the bare program asking a device of its own for its status every 5 s.
"$bin/knobly-devicesim" --port 8444 --bind 127.0.0.1 --name Floor >"$tmp/floorsim.log" 2>&1 &
pids+=($!)
wait_for 20 has_line "$tmp/floorsim.log" serving || die "the second simulator did not start"
launch bare_poll "$tmp/bare_tray" https://127.0.0.1:8444/httpapi.asp?command=getPlayerStatus poll
bare_poll=$started
wait_for 30 registered_pid "$bare_poll" || die "the polling bare program did not register"
service=$(awk -v pid="$knobly" '$1 == "registered" && $3 == pid { print $4; exit }' \
    "$tmp/watcher.log")
# The tool tip gains the volume once the device has answered.
answered() {
    dbus-send --session --print-reply --dest="$service" /StatusNotifierItem \
        org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierItem string:ToolTip \
        2>/dev/null | grep -q 'volume [0-9]*%'
}
wait_for 30 answered || die "knobly never had the device's answer"
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{ ns += $1 } END { printf "%d", ns }'; }
# Idle starts once the device's details (model, presets, album art) are in: a poll later.
sleep 6
cpu_before=$(cpu_ns "$knobly")
floor_before=$(cpu_ns "$bare_poll")
sleep "$settle"
cpu_after=$(cpu_ns "$knobly")
floor_after=$(cpu_ns "$bare_poll")
rss_of() { awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }
knobly_rss=$(rss_of "$knobly")
bare_rss=$(rss_of "$bare")
stop "$knobly"
stop "$bare"
stop "$bare_poll"
# The simulator's count shows knobly kept polling the device meanwhile.
stop "$sim"
requests=$(sed -n 's/.*stats requests=\([0-9]*\).*/\1/p' "$tmp/devicesim.log" | tail -n 1)
handshakes=$(sed -n 's/.*tls-handshakes=\([0-9]*\).*/\1/p' "$tmp/devicesim.log" | tail -n 1)

read -r k_med k_min k_max < <(stats_of "$tmp/knobly.ms")
read -r b_med b_min b_max < <(stats_of "$tmp/bare.ms")
printf 'startup: Xvfb, private session bus, loopback-only network namespace; %d runs\n' "$runs"
row() { printf '  %-22s %9s %17s %14s\n' "$@"; }
row "" "to register" "(min-max)" "VmRSS"
row knobly "$k_med ms" "($k_min-$k_max ms)" "$knobly_rss MiB"
row "bare Qt tray program" "$b_med ms" "($b_min-$b_max ms)" "$bare_rss MiB"
[ -z "$requests" ] || requests=$((requests - 1)) # the bare program's one
printf '  (VmRSS %d s after the device answered; knobly sent it %s requests meanwhile; %s TLS\n' \
    "$settle" "${requests:-?}" "${handshakes:-?}"
printf '  handshakes in all, the bare program'"'"'s one among them)\n'
awk -v ns=$((cpu_after - cpu_before)) -v f=$((floor_after - floor_before)) -v s="$settle" \
    -v r="$knobly_rss" -v b="$bare_rss" 'BEGIN {
    printf "  idle: %.1f ms of CPU in %d s, %.2f ms a poll; memory %.2f times the bare program\n",
        ns / 1e6, s, ns / 1e6 / (s / 5), r / b
    printf "  the bare program asking for the status every 5 s: %.2f ms a poll\n", f / 1e6 / (s / 5) }'
