#!/bin/sh
# The dialog started without a reachable display: one line on standard error and
# exit status 1, never an abort.
set -u
app="$1"
for display in unset ":97"; do
  if [ "$display" = unset ]; then
    err=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$app" 2>&1 >/dev/null)
  else
    err=$(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY="$display" "$app" 2>&1 >/dev/null)
  fi
  status=$?
  lines=$(printf '%s\n' "$err" | wc -l)
  if [ "$status" -ne 1 ] || [ "$lines" -ne 1 ] || ! printf '%s' "$err" | grep -q "corvale-cli"; then
    echo "DISPLAY $display: status $status, $lines lines: $err"
    exit 1
  fi
done
echo "no display: one line, status 1"
