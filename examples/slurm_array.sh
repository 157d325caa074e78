#!/bin/bash
# One kestrin transform per Slurm array task; line N of a list file is array task N.
#
#   sbatch --array=1-$(grep -c . tasks.tsv)%4 --cpus-per-task=8 --mem=8G \
#       examples/slurm_array.sh tasks.tsv
#
# Each line holds transform's six arguments separated by tabs: input, output, codec, res, crop,
# flags (crop and flags may be empty; paths as every node sees them). "-nostdin" is added to the
# flags: a batch job has no terminal for ffmpeg to read keys from. The encode writes to a hidden
# name beside the output and is renamed into place only when ffmpeg succeeded, so a task that is
# requeued (its node failed) never leaves a partial file under the output's name. Each task logs
# to kestrin-JOBID_TASKID.log in the submit folder, appending across requeues.
#SBATCH --job-name=kestrin
#SBATCH --requeue
#SBATCH --open-mode=append
#SBATCH --output=kestrin-%A_%a.log
set -euo pipefail

list=${1:?usage: sbatch --array=1-N%M slurm_array.sh LIST_FILE}
: "${SLURM_ARRAY_TASK_ID:?run this with sbatch --array}"

echo "task $SLURM_ARRAY_TASK_ID of job ${SLURM_ARRAY_JOB_ID:-?} on $(hostname)," \
     "attempt $((${SLURM_RESTART_COUNT:-0} + 1)), $(date -Is)"
exec python3 - "$list" "$SLURM_ARRAY_TASK_ID" <<'PYTHON'
import os
import secrets
import sys

import kestrin

list_file, number = sys.argv[1], int(sys.argv[2])
with open(list_file, encoding="utf-8") as tasks:
    lines = [line.rstrip("\n") for line in tasks if line.strip()]
if not 1 <= number <= len(lines):
    sys.exit(f"{list_file} has {len(lines)} tasks, none numbered {number}")
fields = lines[number - 1].split("\t")
if len(fields) != 6:
    sys.exit(f"{list_file}, task {number}: {len(fields)} tab-separated fields instead of 6")
source, output, codec, res, crop, flags = fields

folder, name = os.path.split(output)
stem, suffix = os.path.splitext(name)
attempt = os.path.join(folder, f".{stem}.part-{secrets.token_hex(4)}{suffix}")
try:
    ok = kestrin.KestEngine().transform(source, attempt, codec, res, crop, f"{flags} -nostdin")
    if ok:
        os.replace(attempt, output)
finally:
    if os.path.lexists(attempt):
        os.unlink(attempt)
# The progress line ends without a line feed.
print(f"\n{output}: {'done' if ok else 'FAILED'}", flush=True)
sys.exit(0 if ok else 1)
PYTHON
