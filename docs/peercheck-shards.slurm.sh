#!/bin/bash
# A matrix of many implementations as a Slurm job array, merged once every part is done:
#
#   parts=$(sbatch --parsable peercheck-shards.slurm.sh matrix.txt)
#   sbatch --dependency=afterany:$parts --wrap \
#       "peercheck merge peercheck-parts/part-*.json --markdown matrix.md --html matrix.html --json matrix.json"
#
# Task K of the array runs part K of N of matrix.txt (an entry's part is a hash of its name, so
# the split does not depend on the file's order) and writes its JSON; merge writes the files one
# run of the whole file would have written, and refuses, naming it, a part that is missing.
# peercheck and the reference programs must be installed on the nodes (the udp-file-transfer
# Debian package), and each case binds loopback UDP ports, so tasks may share a node.
#SBATCH --job-name=peercheck
#SBATCH --array=1-16
#SBATCH --cpus-per-task=2
#SBATCH --time=01:00:00
#SBATCH --output=peercheck-part-%a.log

set -euo pipefail
matrix=${1:?usage: sbatch peercheck-shards.slurm.sh MATRIX-FILE}
mkdir -p peercheck-parts
peercheck matrix "$matrix" -j "${SLURM_CPUS_PER_TASK:-2}" \
    --shard "${SLURM_ARRAY_TASK_ID}/${SLURM_ARRAY_TASK_COUNT}" \
    --json "peercheck-parts/part-${SLURM_ARRAY_TASK_ID}.json" \
    --markdown "peercheck-parts/part-${SLURM_ARRAY_TASK_ID}.md"
