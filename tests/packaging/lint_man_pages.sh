#!/usr/bin/env bash
# Lints every manual page of the given directory with mandoc: any message at warning level or
# above fails. Exit 77 (skipped) when mandoc is not installed.
set -euo pipefail
man_dir=${1:?usage: lint_man_pages.sh MAN_DIR}

if ! command -v mandoc >/dev/null 2>&1; then
    echo "mandoc is not installed (apt-get install mandoc): the pages are not linted"
    exit 77
fi

shopt -s nullglob
pages=("$man_dir"/*.[1-9])
if [ "${#pages[@]}" -eq 0 ]; then
    echo "no manual pages in $man_dir"
    exit 1
fi
failed=0
for page in "${pages[@]}"; do
    # Style notes (such as a page it names not being installed yet) are not failures.
    if ! messages=$(mandoc -T lint -W warning "$page" 2>&1) || [ -n "$messages" ]; then
        echo "$messages"
        echo "FAILED: $page"
        failed=1
    fi
done
[ "$failed" -eq 0 ] && echo "linted ${#pages[@]} pages"
exit "$failed"
