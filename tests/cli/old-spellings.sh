#!/bin/bash
# Runs the invocations that the README, the manual page and the tests show, in the spellings
# without a command (--from, --list-ports, options alone), with two builds of rangefinder-cli,
# and compares what each wrote: stdout, stderr, the exit code and the files made. A live run's
# times and latencies differ from run to run and are masked; everything else must be the same
# bytes. Then the new build once more, spelt with commands (measure, read FILE, ports): every
# invocation that the old build did not refuse must give the same again.
# Usage: old-spellings.sh OLD-CLI NEW-CLI SIMULATOR (KEEP=1 keeps the outputs)
set -u
old=$1 new=$2 sim=$3
work=$(mktemp -d)
[ -n "${KEEP:-}" ] && echo "old-spellings: the outputs stay in $work"
[ -n "${KEEP:-}" ] || trap 'rm -rf "$work"' EXIT

# One case a line: a name, what goes to stdin (- for nothing), then the arguments. @P and @Q
# are two simulated devices (started afresh for every case, same seed), @D a folder that holds
# the inputs and takes the outputs.
cases=$(cat <<'EOF'
one-measurement - --port @P
ten-csv - --port @P --count 10 --format csv
five-text - --port @P --count 5 --interval 200
jsonl-ft - --port @P --duration 1 --interval 200 --unit ft --format jsonl
station - --port @P --count 50 --interval 50 --format csv --reference 12.5 --tolerance 1 --junit @D/station.xml
station-text - --port @P --count 20 --interval 20 --reference 12.5 --tolerance 1 --min-cg 1 --min-cgk 1 --allowed-failures 2 --allowed-disconnections 1
reconnect - --port @P --duration 1 --interval 200 --reconnect --reconnect-interval 100 --format csv --plot @D/night.png
several - --port @P --port @Q --count 5 --interval 50 --format csv
several-text - --port @P --port @Q --count 3 --interval 50 --plot @D/several.svg
chart - --port @P --count 20 --interval 20 --plot @D/run.png --plot-size 600x300
chart-format - --port @P --count 3 --interval 20 --plot @D/run.chart --plot-format svg
strict - --port @P --count 3 --interval 20 --strict --format jsonl
baud - --port @P --count 2 --interval 20 --baud 115200 --timeout 300
missing-port - --port /dev/nonexistent-port --count 1
from-log - --from @D/saved.log
from-log-plot - --from @D/saved.log --plot @D/log.png
from-log-csv-ft - --from @D/saved.log --format csv --unit ft --plot @D/log.svg
from-csv-jsonl - --from @D/run.csv --format jsonl
from-stdin-plot @D/run.jsonl --from - --plot @D/stdin.png
from-judged - --from @D/run.csv --reference 12.5 --tolerance 0.5
from-junit - --from @D/run.csv --reference 12.5 --tolerance 1 --junit @D/from.xml
from-strict - --from @D/run.csv --strict --format text
from-empty - --from @D/empty.csv
from-binary - --from @SELF --plot @D/x.png
from-missing - --from /nonexistent/run.csv
from-stdin-dir / --from -
list-ports - --list-ports
version - --version
no-port - --count 2
baud-4800 - --port @P --baud 4800
baud-letters - --port @P --baud fast
count-and-duration - --port @P --count 3 --duration 2
count-negative - --port @P --count -1
count-no-value - --port @P --count
duration-0 - --port @P --duration 0
duration-letters - --port @P --duration 1s
interval-0 - --port @P --interval 0
interval-large - --port @P --interval 2147483648
unit-km - --port @P --unit km
timeout-10 - --port @P --timeout 10
format-xml - --port @P --format xml
format-CSV - --port @P --format CSV
unknown - --port @P --verbose
stray - --port @P now
stray-first - now
port-twice - --port /dev/ttyUSB0 --port /dev/ttyUSB0
port-comma - --port /dev/ttyUSB0 --port /tmp/a,b
plot-jpg - --port @P --plot run.jpg
plot-format-jpg - --port @P --plot run --plot-format jpg
plot-size-big - --port @P --plot run.png --plot-size big
plot-size-alone - --port @P --plot-size 400x300
from-and-port - --port @P --from run.csv
from-and-count - --from run.csv --count 3
from-and-reconnect - --from run.csv --reconnect
from-empty-name - --from=
reconnect-interval-alone - --port @P --reconnect-interval 500
reconnect-interval-0 - --port @P --reconnect --reconnect-interval 0
tolerance-alone - --port @P --tolerance 1
junit-alone - --port @P --junit r.xml
reference-alone - --port @P --reference 17.8
reference-0 - --port @P --reference 0 --tolerance 1
tolerance-letters - --port @P --reference 9 --tolerance tight
min-cgk-negative - --port @P --reference 9 --tolerance 1 --min-cgk -1
allowed-fractional - --port @P --reference 9 --tolerance 1 --allowed-failures 1.5
junit-empty - --port @P --reference 9 --tolerance 1 --junit=
full-disk - --port @P --count 2 --interval 20 >/dev/full
full-disk-from - --from @D/run.csv >/dev/full
closed-stdout - --port @P --count 1 >&-
EOF
)

# A window log, as the manual page shows one.
makeInputs()
{
    local d=$1
    printf '%s\n' '发送时间 : 23:59:59.900' '接收时间 : 23:59:59.915 测量值:58.3989英尺' \
        '发送时间 : 23:59:59.950' '测量值:测量失败' '发送时间 : 00:00:00.100' '发送失败：串口未打开' \
        '发送时间 : 00:00:00.200' '发送时间 : 00:00:00.300' '接收时间 : 00:00:00.312 测量值:17.8米' \
        > "$d/saved.log"
    cat > "$d/run.csv" <<'EOF'
time,status,metres,value,unit,latency_ms,raw,check
2024-05-01T09:15:02.047,ok,12.5,12.5,m,12,55aa880100007d06,match
2024-05-01T09:15:02.097,ok,12.6,12.6,m,11,55aa880100007e07,match
2024-05-01T09:15:02.147,failed,,,m,10,55aa880000007d05,match
2024-05-01T09:15:03.147,timeout,,,m,,,
2024-05-01T09:15:03.197,ok,12.4,12.4,m,13,55aa880100007c05,match
EOF
    printf '%s\n' '{"check":"match","latency_ms":12,"metres":17.8,"raw":"55aa88010000b23b","status":"ok","time":"2024-05-01T09:15:02.047","unit":"m","value":17.8}' \
        '{"check":null,"latency_ms":null,"metres":null,"raw":null,"status":"timeout","time":"2024-05-01T09:15:03.047","unit":"m","value":null}' \
        > "$d/run.jsonl"
    echo 'time,status,metres,value,unit,latency_ms,raw,check' > "$d/empty.csv"
}

# Times, latencies and the simulator's terminal change from run to run.
mask()
{
    sed -E -e 's/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}/TIME/g' \
        -e 's/latency [0-9]+ ms/latency N ms/g' -e 's/away [0-9]+ ms/away N ms/g' \
        -e 's/"latency_ms":[0-9]+/"latency_ms":N/g' \
        -e 's/^(TIME,[a-z]+,[^,]*,[^,]*,[a-z]*,)[0-9]+,/\1N,/' \
        -e 's/p50 [0-9]+, p99 [0-9]+/p50 N, p99 N/g' \
        -e 's/time="[0-9.]+"/time="N"/g' \
        -e 's#/dev/pts/[0-9]+#/dev/pts/N#g' "$@"
}

# --from FILE as read FILE, --list-ports as ports, options alone as measure.
withCommand()
{
    case " $1 " in
    *' --list-ports '*) echo "ports" ;;
    *' --from '*)
        local before=${1%%--from *} after="${1#*--from } "
        echo "read ${after%% *} $before${after#* }" ;;
    *) echo "measure $1" ;;
    esac
}

runAll()
{
    local cli=$1 out=$2 spelling=${3:-old}
    mkdir -p "$out"
    while read -r name input args; do
        if [ "$spelling" = commands ]; then
            [ "$(cat "$work/old/$name.code")" = 2 ] && continue
            # read has no --strict: a run read back keeps the statuses it was written with.
            [ "$name" = from-strict ] && continue
            args=$(echo $(withCommand "$args"))
        fi
        # The same folder for both builds: file names appear in what is written.
        local d=$work/files/$name
        rm -rf "$d" && mkdir -p "$d"
        makeInputs "$d"
        local p q sims=()
        for port in P Q; do
            coproc SIM { exec "$sim" --distance 12.5 --spread 0.03 --seed 7 2>/dev/null; }
            read -r line <&"${SIM[0]}"
            sims+=("$SIM_PID")
            eval "$port=\$line"
            exec {SIM[0]}<&- {SIM[1]}>&-
        done
        args=${args//@P/$P}
        args=${args//@Q/$Q}
        args=${args//@D/$d}
        args=${args//@SELF/$cli}
        [ "$input" = - ] && input=/dev/null
        input=${input//@D/$d}
        local redirect=">\"$out/$name.out\""
        case $args in
        *'>/dev/full') args=${args%>/dev/full}; redirect='>/dev/full' ;;
        *'>&-') args=${args%>&-}; redirect='>&-' ;;
        esac
        # The options are words without spaces; a word ending in = keeps its empty value.
        eval "timeout -s INT 30 \"$cli\" $args <\"$input\" $redirect 2>\"$out/$name.err\""
        echo $? > "$out/$name.code"
        for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
        rm -f "$d/saved.log" "$d/run.csv" "$d/run.jsonl" "$d/empty.csv"
        # Charts of a live run differ with its times; PNGs read back must be the same bytes.
        # SVG is written by the program's own writer now: the same kind of file.
        for f in "$d"/*; do
            [ -e "$f" ] || continue
            case $name in
            from-*) md5sum < "$f" > "$f.sum" ;;
            *) file -b "$f" | sed -E 's/, [0-9]+ x [0-9]+.*//' > "$f.sum" ;;
            esac
            case $(file -b "$f") in
            *SVG*) echo SVG > "$f.sum" ;;
            esac
            case $f in *.xml) mask "$f" > "$f.sum" ;; esac
            rm "$f"
        done
        mv "$d" "$out/$name.files"
        [ -f "$out/$name.out" ] && mask -i "$out/$name.out"
        mask -i "$out/$name.err"
    done <<< "$cases"
}

runAll "$old" "$work/old"
runAll "$new" "$work/new"
# The program's own path differs between the builds.
sed -i "s#$old#CLI#g" "$work"/old/*.err
sed -i "s#$new#CLI#g" "$work"/new/*.err
status=0
if diff -r "$work/old" "$work/new"; then
    echo "old-spellings: $(wc -l <<< "$cases") invocations give the same output and exit code"
else
    echo "old-spellings: the builds differ (above)"
    status=1
fi
runAll "$new" "$work/commands" commands
sed -i "s#$new#CLI#g" "$work"/commands/*.err
same=0
for code in "$work"/commands/*.code; do
    name=$(basename "$code" .code)
    if diff <(cd "$work/old" && cat "$name".{out,err,code} "$name".files/* 2>/dev/null) \
        <(cd "$work/commands" && cat "$name".{out,err,code} "$name".files/* 2>/dev/null); then
        same=$((same + 1))
    else
        echo "old-spellings: $name spelt with a command differs (above)"
        status=1
    fi
done
echo "old-spellings: $same invocations spelt with commands give the same output and exit code"
exit $status
