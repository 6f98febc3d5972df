#!/bin/sh
# kvmachine with --state: a second run continues where the first stopped, and a damaged state
# stops kvmachine before it boots.
#   state_test.sh KVMACHINE CONFIG
set -eu
kvmachine=$1
config=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

cat > "$dir/first.kvs" <<'SCRIPT'
mkdir c:\Data
write c:\Data\note.txt written in the first run
expect ok
SCRIPT
cat > "$dir/second.kvs" <<'SCRIPT'
type c:\Data\note.txt
expect written in the first run
append c:\Data\note.txt \nand in the second
SCRIPT
cat > "$dir/third.kvs" <<'SCRIPT'
type c:\Data\note.txt
expect and in the second
SCRIPT

"$kvmachine" --config "$config" --state "$dir/state" --script "$dir/first.kvs"
test -f "$dir/state/registry.kvimg"
test -f "$dir/state/volume-C.kvimg"
"$kvmachine" --config "$config" --state "$dir/state" --script "$dir/second.kvs"
"$kvmachine" --config "$config" --state "$dir/state" --script "$dir/third.kvs"

# Cut the system volume's image short: nothing boots, and the message says what is wrong.
head -c 100 "$dir/state/volume-C.kvimg" > "$dir/cut" && mv "$dir/cut" "$dir/state/volume-C.kvimg"
status=0
"$kvmachine" --config "$config" --state "$dir/state" --script "$dir/third.kvs" \
  > "$dir/out" 2> "$dir/err" || status=$?
test "$status" -eq 2
grep -q "the kept volume-C cannot be read: truncated" "$dir/err"
test ! -s "$dir/out"
echo "state kept across runs; a damaged state is refused"
