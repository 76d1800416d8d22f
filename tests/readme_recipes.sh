#!/bin/sh
# Runs every command of the README's table of recipes, in the table's order,
# in one scratch folder that holds the project's testdata/, with the built
# tool first on the PATH; each must end with status 0. A recipe that names
# key.pem gets an Ed25519 key made with openssl first.
# Usage: readme_recipes.sh ROMWRIGHT README.md TESTDATA
set -eu
tool=$1 readme=$2 testdata=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")" "$work/bin/romwright"
ln -s "$(cd "$testdata" && pwd)" "$work/testdata"

# The last cell of each row of the table under "## Recipes": one code span.
awk '/^## Recipes/ { on = 1; next } /^## / { on = 0 }
     on && /^\| / && !/^\| job / && !/^\|---/ {
       n = split($0, cell, " \\| "); c = cell[n]
       sub(/ \|$/, "", c); gsub(/^`|`$/, "", c); print c }' "$readme" > "$work/recipes"
count=$(wc -l < "$work/recipes")
[ "$count" -gt 0 ] || { echo "no recipes found in $readme"; exit 1; }

cd "$work"
status=0
while IFS= read -r command; do
  case $command in *key.pem*) [ -f key.pem ] || openssl genpkey -algorithm ed25519 -out key.pem ;; esac
  if ! PATH="$work/bin:$PATH" sh -c "$command" > out.txt 2>&1; then
    echo "FAILED: $command"
    cat out.txt
    status=1
  fi
done < recipes
[ "$status" -eq 0 ] && echo "every recipe of the README ran"
exit "$status"
