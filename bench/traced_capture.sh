# Sourced by the strace benchmarks: the virtual device and the capture
# process that strace starts. Needs $device and $work.

# Starts the device with the given options, its port named in
# $work/NAME.port; sets device_pid.
start_device() {
    local name=$1
    shift
    "$device" --wait-open "$@" >"$work/$name.port" &
    device_pid=$!
    while [ ! -s "$work/$name.port" ]; do sleep 0.05; done
}

# The process id of the capture that the given strace started.
capture_pid_under() {
    local strace_pid=$1 pid=
    while [ -z "$pid" ]; do
        sleep 0.05
        read -r pid _ <"/proc/$strace_pid/task/$strace_pid/children" || true
    done
    echo "$pid"
}
