#!/usr/bin/env bash
# Builds Ostrel and recovers everything it finds on the bundled sample image
# (a FAT16 volume with live, deleted and recycled files) into ./recovered.
set -euo pipefail
cd "$(dirname "$0")/.."

bash .ci/install-deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target ostrel_cli >/dev/null

xz -dkc examples/sample.img.xz > build/sample.img
echo "== volumes on the sample"
build/ostrel volumes build/sample.img
echo "== its tree, deleted items marked"
build/ostrel ls build/sample.img
echo "== recovering into ./recovered"
if [ -e recovered ]; then
  echo "./recovered exists; recovering into it keeps what is there (nothing is overwritten)"
fi
build/ostrel recover build/sample.img -o recovered
