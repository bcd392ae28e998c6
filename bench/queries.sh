#!/bin/bash
# Times the queries that walk the file system, through the real process,
# against the tools a user would run instead, alternating the two.
#   bench/queries.sh [runs]       (default 11 runs of each)
# Needs the module built (./build.sh run or cmake --preset native && cmake
# --build --preset native). Trees are kept in /tmp/xapfs-bench for reuse.
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS="${1:-11}"
MODULE="${XAP_MODULE:-build/xapFileSystem}"
ROOT=/tmp/xapfs-bench
[ -x "$MODULE" ] || { echo "build the module first: $MODULE" >&2; exit 1; }

now_ns() { date +%s%N; }

# Median of the numbers on stdin.
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

# 100 folders of 100 folders of 9 files: 10,101 folders, 90,900 files.
make_tree() {
  local tree="$ROOT/tree"
  [ -f "$tree/.done" ] && return
  rm -rf "$tree"
  mkdir -p "$tree"
  (cd "$tree" && for a in $(seq -w 0 99); do
    mkdir -p $(printf "$a/%02d " $(seq 0 99))
  done && find . -mindepth 2 -type d | while read -r d; do
    printf "$d/file%d\n" 1 2 3 4 5 6 7 8 9
  done | xargs touch && find . -type f -name file1 | xargs -n 1000 sh -c 'for f; do echo 0123456789abcdef > "$f"; done' _)
  touch "$tree/.done"
}

# A folder of n empty files.
make_folder() {
  local folder="$ROOT/list$1"
  [ -f "$ROOT/list$1.done" ] && return
  rm -rf "$folder"
  mkdir -p "$folder"
  (cd "$folder" && seq -f "name-%012g" 1 "$1" | xargs touch)
  touch "$ROOT/list$1.done"
}

# Runs one command line through a fresh module process; prints nanoseconds.
time_module() {
  local line="$1" start end
  start=$(now_ns)
  printf '%s\n' "$line" | "$MODULE" > /dev/null
  end=$(now_ns)
  echo $((end - start))
}

time_cmd() {
  local start end
  start=$(now_ns)
  "$@" > /dev/null
  end=$(now_ns)
  echo $((end - start))
}

mkdir -p "$ROOT"
echo "building trees under $ROOT (once)..." >&2
make_tree
make_folder 10
make_folder 1000000

tree="$ROOT/tree"
entries=$(find "$tree" | wc -l)
# Warm the caches for both sides.
du -s --apparent-size -B1 "$tree" > /dev/null
printf 'GetFolderSize %s 1 1\n' "$tree" | "$MODULE" > /dev/null

fs_m=(); fs_d=(); ls_big=(); ls_small=()
for _ in $(seq "$RUNS"); do
  fs_m+=("$(time_module "GetFolderSize $tree 1 1")")
  fs_d+=("$(time_cmd du -s --apparent-size -B1 "$tree")")
  ls_big+=("$(time_module "{\"cmd\":\"SetWidgetInfo\",\"params\":[\"1\",\"\"]}
GetListFiles $ROOT/list1000000")")
  ls_small+=("$(time_module "{\"cmd\":\"SetWidgetInfo\",\"params\":[\"1\",\"\"]}
GetListFiles $ROOT/list10")")
done

m=$(printf '%s\n' "${fs_m[@]}" | median)
d=$(printf '%s\n' "${fs_d[@]}" | median)
b=$(printf '%s\n' "${ls_big[@]}" | median)
s=$(printf '%s\n' "${ls_small[@]}" | median)
printf '%-44s %12s %12s %8s\n' "figure ($RUNS runs, medians)" "module ms" "baseline ms" "ratio"
awk -v m="$m" -v d="$d" -v n="$entries" 'BEGIN {
  printf "%-44s %12.2f %12.2f %8.3f\n", "GetFolderSize 1 1 vs du -s, " n " entries", m/1e6, d/1e6, m/d }'
awk -v b="$b" -v s="$s" 'BEGIN {
  printf "%-44s %12.2f %12.2f %8.3f\n", "GetListFiles 1,000,000 vs 10 entries", b/1e6, s/1e6, b/s }'
echo "targets: folder size ratio < 1.0; listing ratio <= 2.0"
