#!/bin/sh
# The shared library defines exactly the eleven exported functions.
set -eu
actual=$(nm -D --defined-only "$1" | awk '{print $3}' | sort | tr '\n' ' ')
expected='vela_core_copy_foreground vela_core_copy_inventory vela_core_read_foreground_asset vela_core_seal vela_core_start vela_core_status vela_core_stop vela_core_validate_trust vela_core_verify_foreground vela_core_verify_inventory vela_core_verify_release '
[ "$actual" = "$expected" ] || { echo "dynamic symbols differ: $actual"; exit 1; }
