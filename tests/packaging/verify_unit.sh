#!/usr/bin/env bash
# Checks the built systemd unit with systemd-analyze verify: any complaint fails. The programs
# it names are not installed here, so they are pointed at an existing program of the build
# (verify checks only that they can be executed). Exit 77 (skipped) without systemd-analyze.
set -euo pipefail
unit=${1:?usage: verify_unit.sh UNIT_FILE INSTALLED_PROGRAM STAND_IN}
installed_program=${2:?}
stand_in=${3:?}

if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "systemd-analyze is not installed: the unit is not verified"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed "s#$installed_program#$stand_in#g" "$unit" > "$work/$(basename "$unit")"
grep -q "ExecStart=$stand_in run " "$work/$(basename "$unit")"
if ! messages=$(systemd-analyze verify --man=no "$work/$(basename "$unit")" 2>&1) ||
    [ -n "$messages" ]; then
    echo "$messages"
    exit 1
fi
echo "systemd-analyze verify accepts $(basename "$unit")"
