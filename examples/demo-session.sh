#!/bin/sh
# SPDX-License-Identifier: MIT
# A short scripted session of the instance demo: a first copy becomes the
# instance, a second finds it and sends a command, a third tells it to quit.
set -eu
demo=${1:-build/examples/tavrel-demo}
port=${2:-47111}
log=$(mktemp)
trap 'kill "$first" 2>/dev/null || true; rm -f "$log"' EXIT

echo "== first copy: becomes the instance"
"$demo" --port "$port" --name "demo editor" >"$log" 2>&1 &
first=$!
tries=0
until grep -q "^serving" "$log"; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || { cat "$log"; echo "the first copy did not start" >&2; exit 1; }
    sleep 0.05
done
cat "$log"

echo "== second copy: finds the instance, prints its report, sends a command"
"$demo" --port "$port" echo "hello from the second copy" 2>&1

echo "== third copy: tells the instance to quit"
"$demo" --port "$port" quit 2>&1

wait "$first"
echo "== what the instance printed"
cat "$log"
