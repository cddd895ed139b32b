# Shared by the demo and screenshot scripts (source it after setting CAMSIM): the virtual
# camera in the background on a pseudo-terminal, stopped when the script ends. WORK is a
# scratch folder removed at exit; start_camsim sets PTY to the camera's pseudo-terminal.
WORK=$(mktemp -d)
CAMSIM_PID=""
stop_camsim() {
  if [ -n "$CAMSIM_PID" ]; then
    kill "$CAMSIM_PID" 2>/dev/null || true
    wait "$CAMSIM_PID" 2>/dev/null || true
    CAMSIM_PID=""
  fi
}
trap 'stop_camsim; rm -rf "$WORK"' EXIT INT TERM

start_camsim() {  # WHO MODEL BAUD: WHO names the script in its messages
  local who=$1 model=$2 baud=$3
  : >"$WORK/camsim.out"
  "$CAMSIM" --model "$model" --baud "$baud" >"$WORK/camsim.out" 2>"$WORK/camsim.err" &
  CAMSIM_PID=$!
  # The virtual camera prints its pseudo-terminal on its first line.
  PTY=""
  for _ in $(seq 1 100); do
    PTY=$(head -n 1 "$WORK/camsim.out" 2>/dev/null || true)
    [ -n "$PTY" ] && return 0
    if ! kill -0 "$CAMSIM_PID" 2>/dev/null; then
      echo "$who: the virtual camera did not start:" >&2
      cat "$WORK/camsim.err" >&2
      exit 1
    fi
    sleep 0.1
  done
  echo "$who: the virtual camera did not report its port" >&2
  exit 1
}
