#!/usr/bin/env bash
# Builds and runs the reference pack service on loopback with the seeded Tavi
# pack, and prints the address and operator token to give Vuzev Tavi.
#   TAVI_OPERATOR_TOKEN      the token to ask for (default: a new random one per run)
#   TAVI_SERVICE_PORT        port to listen on (default 8787, or a free one if taken)
#   TAVI_SERVICE_MODEL_URL   an OpenAI-compatible server, e.g. http://127.0.0.1:8080/v1
#   TAVI_SERVICE_MODEL       the model name to ask it for
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target tavi-pack-service

data_dir="${XDG_DATA_HOME:-$HOME/.local/share}/vuzev-tavi"
mkdir -p "$data_dir"
chmod 700 "$data_dir"

if [ -z "${TAVI_OPERATOR_TOKEN:-}" ]; then
  TAVI_OPERATOR_TOKEN=$(head -c 18 /dev/urandom | base64 | tr '+/' '-_')
fi
export TAVI_OPERATOR_TOKEN

port="${TAVI_SERVICE_PORT:-8787}"
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "Port $port is taken; using a free one."
  port=0
fi

args=(--listen "127.0.0.1:$port" --db "$data_dir/packs.db"
      --seed tools/pack-service/seed/tavi-pack.json
      # Through the environment: a token on the command line shows in `ps`.
      --token-env TAVI_OPERATOR_TOKEN)
if [ -n "${TAVI_SERVICE_MODEL_URL:-}" ] && [ -n "${TAVI_SERVICE_MODEL:-}" ]; then
  args+=(--model-url "$TAVI_SERVICE_MODEL_URL" --model "$TAVI_SERVICE_MODEL")
fi

echo "Database: $data_dir/packs.db"
build/tools/pack-service/tavi-pack-service "${args[@]}" | while IFS= read -r line; do
  echo "$line"
  case "$line" in
    "listening on "*)
      echo
      echo "  TAVI_API_BASE=${line#listening on }"
      echo "  Operator token: $TAVI_OPERATOR_TOKEN"
      echo
      echo "Press Ctrl-C to stop."
      ;;
  esac
done
