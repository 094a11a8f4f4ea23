# Sourced by the benchmarks: the loopback helpers of tools/deps.sh, and the scratch folder
# ($WORK) and processes (PIDS) of tools/scratch.sh, ended and removed on exit.

source "$(dirname "${BASH_SOURCE[0]}")/../tools/deps.sh"
SCRATCH_KEEP_ON_FAILURE=0  # an interrupted run would leave files of gigabytes behind
source "$(dirname "${BASH_SOURCE[0]}")/../tools/scratch.sh"

free_port() { free_udp_port; }
wait_bound() { wait_udp_bound "$1" || { echo "port $1 was never bound" >&2; return 1; }; }
hwm_kib() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status"; }
median() { sort -g | awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
compilers() { ps -e -o comm= | grep -cE '^(cc1plus|clang|ld)' || true; }
