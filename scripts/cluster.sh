#!/usr/bin/env bash
# Runs tirn-server as a small cluster on this machine, all on 127.0.0.1 and free ports: a
# throwaway PostgreSQL, three tirn-server instances on it sharing one key file, and HAProxy in
# front of them (docs/haproxy.cfg). Drives them with `tirn` through the balancer, kills one
# instance in the middle, shows the calls going on, and removes everything it made, also when
# interrupted.
#
#   scripts/cluster.sh              uses build/default/apps (or TIRN_BIN=<folder of the programs>)
#
# Needs PostgreSQL 15 and HAProxy (scripts/setup.sh test installs both).
set -euo pipefail
cd "$(dirname "$0")/.."

bin="${TIRN_BIN:-}"
if [ -z "$bin" ]; then
  for candidate in build/default/apps build/release/apps; do
    if [ -x "$candidate/tirn-server" ]; then bin="$candidate"; break; fi
  done
fi
if [ -z "$bin" ] || [ ! -x "$bin/tirn-server" ] || [ ! -x "$bin/tirn" ]; then
  echo "cluster.sh: build the programs first (README), or set TIRN_BIN" >&2
  exit 2
fi
pg=/usr/lib/postgresql/15/bin
for tool in "$pg/initdb" "$pg/pg_ctl" /usr/sbin/haproxy; do
  if [ ! -x "$tool" ]; then
    echo "cluster.sh: $tool is missing (bash scripts/setup.sh test)" >&2
    exit 2
  fi
done

work="$(mktemp -d /tmp/tirn-cluster-XXXXXX)"
pids=()
# The database's programs refuse to run as root: they run as postgres then.
as_db() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  sleep 0.2
  as_db "$pg/pg_ctl" -D "$work/db" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
say() { printf '\n== %s\n' "$*"; }

say "PostgreSQL, throwaway, in $work"
mkdir -p "$work/db" "$work/socket"
if [ "$(id -u)" -eq 0 ]; then chown postgres "$work" "$work/db" "$work/socket"; fi
as_db "$pg/initdb" -D "$work/db" --no-locale -E UTF8 --auth=trust -U postgres >/dev/null
db_port="$(free_port)"
as_db "$pg/pg_ctl" -D "$work/db" -l "$work/db.log" -w \
  -o "-c listen_addresses=127.0.0.1 -p $db_port -k $work/socket" start >/dev/null
"$pg/psql" -h 127.0.0.1 -p "$db_port" -U postgres -qc "CREATE DATABASE tirn"
uri="postgresql://postgres@127.0.0.1:$db_port/tirn"
echo "database: $uri"

say "three tirn-server instances sharing $work/tirn.key"
ports=()
servers=""
for n in 1 2 3; do
  port="$(free_port)"
  "$bin/tirn-server" --listen "127.0.0.1:$port" --data "$uri" --key-file "$work/tirn.key" \
    >"$work/server-$n.out" 2>"$work/server-$n.log" &
  pids+=($!)
  disown
  ports+=("$port")
  servers+="    server instance$n 127.0.0.1:$port check"$'\n'
  # The first makes the key file; the others start once it is there.
  for _ in $(seq 100); do grep -q "listening on" "$work/server-$n.out" && break; sleep 0.1; done
  grep -q "listening on" "$work/server-$n.out" || { cat "$work/server-$n.log" >&2; exit 1; }
  echo "instance $n: $(head -1 "$work/server-$n.out")"
done

say "HAProxy in front of them (docs/haproxy.cfg)"
balancer_port="$(free_port)"
python3 - "$work/haproxy.cfg" "127.0.0.1:$balancer_port" "$servers" <<'PY'
import sys
text = open("docs/haproxy.cfg").read()
text = text.replace("@LISTEN@", sys.argv[2]).replace("@SERVERS@", sys.argv[3].rstrip("\n"))
open(sys.argv[1], "w").write(text + "\n")
PY
/usr/sbin/haproxy -f "$work/haproxy.cfg" -db >"$work/haproxy.log" 2>&1 &
pids+=($!)
disown
url="http://127.0.0.1:$balancer_port"
for _ in $(seq 100); do curl -fs "$url/readyz" >/dev/null 2>&1 && break; sleep 0.1; done
echo "balancer: $url"

tirn() { "$bin/tirn" --url "$url" "$@"; }
create() {
  echo "kdk-$1" | tirn kms.providers create --spec.provider "$1" --spec.native_spec.key_id "key-$1" \
    >/dev/null
}

say "creates through the balancer, spread over the instances"
for n in 1 2 3 4 5 6; do create "p$n" && echo "created p$n"; done

say "instance 2 killed (SIGKILL)"
kill -9 "${pids[1]}"
for n in 7 8 9 10 11 12; do create "p$n" && echo "created p$n"; done

say "every provider, read through the balancer"
tirn kms.providers list | python3 -c '
import json, sys
ids = [provider["provider"] for provider in json.load(sys.stdin)]
print(" ".join(sorted(ids, key=lambda i: int(i[1:]))))
print(len(ids), "providers (12 created)")
sys.exit(0 if len(ids) == 12 else 1)'
for n in 1 2 3; do
  echo "instance $n answered $(grep -c 'kms.providers.create 200' "$work/server-$n.log" || true) creates"
done
