#!/bin/sh
# The source tree's folders are the order of work: each may include only
# itself and the folders before it, and the library below the command line
# neither prints, exits nor handles signals. Usage: layers_test.sh SRC_DIR
set -eu
src=$1
order="core read place fields shape patch formats out fixed cli api"
fail=0
rank() { n=0; for d in $order; do [ "$d" = "$1" ] && { echo $n; return; }; n=$((n + 1)); done; echo 99; }
for dir in $order; do
  mine=$(rank "$dir")
  for f in "$src/$dir"/*; do
    for used in $(sed -n 's|^#include "\([a-z]*\)/.*|\1|p' "$f"); do
      if [ "$(rank "$used")" -gt "$mine" ] && [ "$(rank "$used")" -ne 99 ]; then
        echo "$f includes $used/, which comes after $dir/"
        fail=1
      fi
    done
  done
done
# Only the command line's own main.cpp and guards.cpp, and the fixed
# outputs' writers (which write their listing), touch the process.
if grep -nE '\b(exit|_exit|abort|signal|sigaction|raise)\(|fprintf\(std(err|out)|fputs\([^)]*std(err|out)|(^|[^a-z_])printf\(|(^|[^a-z_])puts\(' \
    "$src"/core/* "$src"/read/* "$src"/place/* "$src"/fields/* "$src"/shape/* "$src"/formats/* "$src"/patch/* "$src"/out/* \
    "$src"/api/* "$src"/cli/job.* "$src"/cli/options.* "$src"/cli/validate.* "$src"/cli/response.*; then
  echo "the library prints, exits or handles signals above"
  fail=1
fi
exit $fail
