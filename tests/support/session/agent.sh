#!/bin/sh
# Runs the agent the way a session manager starts it, and leaves for the test, in RECORD_DIR, the
# X11 session manager's address, the agent's pid and, once it has ended, its exit status (128 +
# the number of the signal that ended it). A termination signal meant for it is passed on.
# usage: agent.sh RECORD_DIR PROGRAM [ARGUMENT...]
record=$1
shift
printf '%s' "$SESSION_MANAGER" >"$record/session-manager"
"$@" &
agent=$!
echo "$agent" >"$record/agent.pid"
trap 'kill -TERM $agent' TERM
trap 'kill -HUP $agent' HUP
trap 'kill -INT $agent' INT
while :; do
    wait "$agent"
    status=$?
    kill -0 "$agent" 2>/dev/null || break
done
echo "$status" >"$record/agent.status.part" && mv "$record/agent.status.part" "$record/agent.status"
