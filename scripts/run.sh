#!/usr/bin/env bash
# Runs Vuzev Tavi on this machine: installs what is missing, builds the program
# and the reference pack service, starts the service on loopback with the
# seeded Tavi pack and opens the window pointed at it. Closing the window stops
# the service. Without a display the service alone runs in the foreground.
#   TAVI_OPERATOR_TOKEN      when set, the service asks for this token (type it
#                            into the window's "Operator token" field); unset,
#                            the service asks for none
#   TAVI_SERVICE_PORT        port to listen on (default 8787, or a free one if taken)
#   TAVI_SERVICE_MODEL_URL   an OpenAI-compatible server for the service's coach
#   TAVI_SERVICE_MODEL       and preview, e.g. http://127.0.0.1:8080/v1 and its model
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target vuzev-tavi tavi-pack-service

data_dir="${XDG_DATA_HOME:-$HOME/.local/share}/vuzev-tavi"
mkdir -p "$data_dir"
chmod 700 "$data_dir"

port="${TAVI_SERVICE_PORT:-8787}"
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "Port $port is taken; using a free one."
  port=0
fi

args=(--listen "127.0.0.1:$port" --db "$data_dir/packs.db"
      --seed tools/pack-service/seed/tavi-pack.json)
if [ -n "${TAVI_OPERATOR_TOKEN:-}" ]; then
  # By name: a token on the command line shows in `ps`.
  args+=(--token-env TAVI_OPERATOR_TOKEN)
  token_note="The service asks for the operator token in TAVI_OPERATOR_TOKEN: type it into \"Operator token\"."
else
  token_note="The service asks for no operator token (set TAVI_OPERATOR_TOKEN to make it ask for one)."
fi
if [ -n "${TAVI_SERVICE_MODEL_URL:-}" ] && [ -n "${TAVI_SERVICE_MODEL:-}" ]; then
  args+=(--model-url "$TAVI_SERVICE_MODEL_URL" --model "$TAVI_SERVICE_MODEL")
  model_note="The service's coach and preview ask $TAVI_SERVICE_MODEL at $TAVI_SERVICE_MODEL_URL."
else
  model_note="The service has no model: its coach and preview answer 503 (set TAVI_SERVICE_MODEL_URL and TAVI_SERVICE_MODEL)."
fi
service=build/tools/pack-service/tavi-pack-service

echo "Database: $data_dir/packs.db"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: neither DISPLAY nor WAYLAND_DISPLAY is set, so the window cannot open here."
  echo "The pack service runs in the foreground instead; run Vuzev Tavi where there is a display with"
  echo "TAVI_API_BASE set to the address below (over an SSH tunnel when it is another machine)."
  "$service" "${args[@]}" | while IFS= read -r line; do
    echo "$line"
    case "$line" in
      "listening on "*)
        echo
        echo "  TAVI_API_BASE=${line#listening on } build/src/vuzev-tavi"
        echo "  $token_note"
        echo "  $model_note"
        echo
        echo "Press Ctrl-C to stop."
        ;;
    esac
  done
  exit 0
fi

log_dir=$(mktemp -d)
"$service" "${args[@]}" >"$log_dir/service.log" 2>&1 &
service_pid=$!
stop_service() {
  kill "$service_pid" 2>/dev/null || true
  wait "$service_pid" 2>/dev/null || true
  rm -rf "$log_dir"
}
trap stop_service EXIT
trap 'exit 130' INT TERM

base=
for _ in $(seq 300); do
  base=$(sed -n 's/^listening on //p' "$log_dir/service.log")
  [ -n "$base" ] && break
  if ! kill -0 "$service_pid" 2>/dev/null; then
    cat "$log_dir/service.log" >&2
    echo "The pack service did not start." >&2
    exit 1
  fi
  sleep 0.1
done
if [ -z "$base" ]; then
  echo "The pack service did not say where it listens within 30 s." >&2
  exit 1
fi

echo "Pack service: $base"
echo "$token_note"
echo "$model_note"
echo "Opening the window; closing it stops the service."
TAVI_API_BASE="$base" build/src/vuzev-tavi
