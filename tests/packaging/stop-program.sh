# Sourced by the packaging checks, which define fail and keep the program's process id in pid.
# Ends the program with SIGTERM; 128 + SIGTERM means it ended by the signal, not by a crash or
# an error exit. An argument names the run in the failure.
stop_program() {
    kill -TERM "$pid"
    local status=0
    wait "$pid" || status=$?
    pid=
    [ "$status" -eq 143 ] || fail "${1:+$1: }exit status $status after SIGTERM, expected 143"
}
