#!/usr/bin/env bash
# Faults of the results store while runs are stored (real time, simulated bench), on a PostgreSQL
# server of the script's own and on a SQLite file: at a moment drawn from the seed, one fault of
# the server stopped and started again, the program's connections ended (pg_terminate_backend),
# a table locked, --import or --sync of the same records beside the writer, every process of the
# server stopped (SIGSTOP, its socket still accepting) for a while and let go on, or the program
# killed (-9) and --sync run after it. At the end (and a last --sync) every run is in the store
# exactly once, with exactly the result lines and the verdict of its record.
#
# Short form (CI): STORE_FAULT_RUNS runs per store (2). Longer form:
#   STORE_FAULT_RUNS=30 STORE_FAULT_SEED=7 bash tests/scripts/store_faults.sh BUILD SOURCE
set -u
build="$1"
src="$2"
runs="${STORE_FAULT_RUNS:-2}"
seed="${STORE_FAULT_SEED:-31}"
RANDOM=$seed
tmp=$(mktemp -d)
pg=$(mktemp -d /tmp/tessock-pg.XXXXXX)
pids=()
frozen=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2> /dev/null; done
  [ ${#frozen[@]} -gt 0 ] && kill -CONT "${frozen[@]}"
  bash "$src/tests/support/pg_server.sh" stop "$pg"
  rm -rf "$tmp"
}
trap cleanup EXIT
cli="$build/tessock-cli"
fail() {
  echo "FAIL: $*"
  exit 1
}
[ -f "$build/libquickusb_sim.so" ] || fail "no simulated bench in $build"
command -v psql > /dev/null || fail "psql missing (scripts/bootstrap installs postgresql)"
command -v sqlite3 > /dev/null || fail "sqlite3 missing (scripts/bootstrap installs sqlite3)"
bash "$src/tests/support/pg_server.sh" start "$pg" || fail "the PostgreSQL server did not start"
admin="postgresql:///postgres?host=$pg&user=tessock"
psql "$admin" -qc "CREATE DATABASE faults" || fail "createdb"
"$cli" --results-db "postgresql:///faults?host=$pg&user=tessock" --init-store > /dev/null ||
  fail "--init-store"
. "$src/tests/support/bench_script.sh"

faults=0
declare -A injected=()

# One run of the status steps into store $1 with report prefix $2, and a fault of kind $3.
trial() {
  local store="$1" prefix="$2" fault="$3" rec="$4"
  {
    script "$prefix" "EnableTempOtrDac EnablePowerSupplies"
    echo "waitfor Test.SequencerTimer == 0 timeout 3000"
    echo "quit"
  } > "$tmp/run.tsk"
  "$cli" --sim --settings "$tmp/s.ini" --results-db "$store" --script "$tmp/run.tsk" \
    > "$prefix.out" 2>&1 &
  local pid=$!
  pids+=("$pid")
  sleep "$((RANDOM % 4)).$((RANDOM % 10))"
  case "$fault" in
  restart)
    bash "$src/tests/support/pg_server.sh" halt "$pg" > /dev/null 2>&1
    sleep "0.$((RANDOM % 10))"
    bash "$src/tests/support/pg_server.sh" restart "$pg" > /dev/null 2>&1 || fail "restart"
    ;;
  freeze)
    local postmaster
    postmaster=$(head -1 "$pg/data/postmaster.pid")
    frozen=("$postmaster")
    kill -STOP "$postmaster"
    frozen+=($(ps -o pid= --ppid "$postmaster"))
    kill -STOP "${frozen[@]}"
    sleep "$((RANDOM % 4)).$((RANDOM % 10))"
    kill -CONT "${frozen[@]}"
    frozen=()
    ;;
  terminate)
    psql "$admin" -qtAc "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = \
      'faults' AND pid <> pg_backend_pid()" > /dev/null
    ;;
  lock)
    if [[ "$store" == postgresql* ]]; then
      psql "$store" -qc "BEGIN; LOCK TABLE $(((RANDOM % 2)) && echo results || echo runs); \
        SELECT pg_sleep(3); COMMIT;" > /dev/null 2>&1
    else
      sqlite3 "$store" "BEGIN IMMEDIATE;" ".shell sleep 3" "COMMIT;" > /dev/null 2>&1
    fi
    ;;
  import)
    "$cli" --results-db "$store" --import "$rec" > /dev/null 2>&1
    ;;
  sync)
    "$cli" --results-db "$store" --sync > /dev/null 2>&1
    ;;
  kill)
    kill -9 "$pid" 2> /dev/null
    ;;
  esac
  wait "$pid"
  local rc=$?
  case "$rc" in
  0 | 8) ;;
  137) [ "$fault" == kill ] || fail "run $prefix killed by no one" ;;
  *) fail "run $prefix ($fault): status $rc: $(tail -3 "$prefix.out")" ;;
  esac
  # A killed program is started again: its --sync stores what the run left.
  [ "$fault" == kill ] && "$cli" --results-db "$store" --sync > /dev/null 2>&1
  faults=$((faults + 1))
  injected[$fault]=$((${injected[$fault]:-0} + 1))
}

# Every record of folder $2 once in store $1, with its lines and verdict.
check() {
  local store="$1" rec="$2" csv
  csv=$("$cli" --results-db "$store" --history --csv) || fail "--history of $store: $csv"
  local stored
  stored=$(echo "$csv" | tail -n +2 | wc -l)
  local records=0
  for r in "$rec"/*.jsonl; do
    records=$((records + 1))
    local report="${r%.jsonl}.txt"
    local lines verdict
    lines=$(grep -c '"type":"result"' "$r")
    verdict=$(grep '"type":"end"' "$r" | sed 's/.*"verdict":"\([A-Z]*\)".*/\1/')
    [ -n "$verdict" ] || verdict=UNFINISHED
    local rows
    rows=$(echo "$csv" | tr -d '\r' | awk -F, -v r="$report" '$12 == r { print $7 " " $10 }')
    [ "$(echo "$rows" | grep -c .)" -eq 1 ] || fail "$report stored $(echo "$rows" | grep -c .) times"
    [ "$rows" == "$verdict $lines" ] || fail "$report: stored '$rows', its record '$verdict $lines'"
  done
  [ "$stored" -eq "$records" ] || fail "$store holds $stored runs for $records records"
  echo "$store: $records runs, each once with its record's lines and verdict"
}

pgstore="postgresql:///faults?host=$pg&user=tessock"
mkdir -p "$tmp/pg" "$tmp/sq"
pgfaults=(restart terminate lock import sync kill freeze)
sqfaults=(lock import sync kill)
for ((k = 0; k < runs; k++)); do
  trial "$pgstore" "$tmp/pg/p$k" "${pgfaults[RANDOM % ${#pgfaults[@]}]}" "$tmp/pg"
  trial "$tmp/sq/store.sqlite" "$tmp/sq/s$k" "${sqfaults[RANDOM % ${#sqfaults[@]}]}" "$tmp/sq"
done
# A last --sync of each store, as the lab runs it after a day of faults.
"$cli" --results-db "$pgstore" --sync > /dev/null 2>&1
"$cli" --results-db "$tmp/sq/store.sqlite" --sync > /dev/null 2>&1
check "$pgstore" "$tmp/pg"
check "$tmp/sq/store.sqlite" "$tmp/sq"
summary=""
for f in "${!injected[@]}"; do summary+=" $f=${injected[$f]}"; done
echo "seed $seed: $((2 * runs)) runs, $faults faults:$summary; nothing lost, nothing twice"
echo PASS
