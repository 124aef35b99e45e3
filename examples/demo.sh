#!/usr/bin/env bash
# The main job from the shell: screen a sample prompt with the built-in lexicon,
# then normalise the bundled 600x800 sample image into a scratch directory.
# Needs an installed `vantry` on PATH (or VANTRY="python -m vantry").
set -u
VANTRY=${VANTRY:-vantry}
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$(mktemp -d)}

echo "\$ vantry screen 'a watercolour of a lighthouse at dawn'"
$VANTRY screen "a watercolour of a lighthouse at dawn" || exit 1
echo "\$ vantry screen 'a bag of cocaine on a table'   (exit 1: banned)"
$VANTRY screen "a bag of cocaine on a table"
test $? -eq 1 || { echo "expected exit 1 for a banned prompt" >&2; exit 1; }
echo "\$ vantry normalise examples/sample.png -o $out"
$VANTRY normalise "$here/sample.png" -o "$out" || exit 1
echo "\$ vantry ratio $out/sample.png"
$VANTRY ratio "$out/sample.png" || exit 1
