#!/usr/bin/env bash
# How long bringing a version-3 results store of N runs (12 lines and 2 steps each) up to date
# takes, on a SQLite file and on a PostgreSQL server of the script's own (fsync off). The store
# is made by the program, taken back to version 3 and filled by SQL; the migration runs in the
# first writer that opens it (here `--import` of an empty folder), whose progress lines are
# printed with their seconds.
#   bash bench/store_migration.sh BUILD SOURCE [RUNS]    (RUNS: 100000)
set -u
build="$1"
src="$2"
runs="${3:-100000}"
tmp=$(mktemp -d)
pg=$(mktemp -d /tmp/tessock-pg.XXXXXX)
cleanup() {
  bash "$src/tests/support/pg_server.sh" stop "$pg"
  rm -rf "$tmp"
}
trap cleanup EXIT
cli="$build/tessock-cli"
fail() {
  echo "FAIL: $*"
  exit 1
}
bash "$src/tests/support/pg_server.sh" start "$pg" || fail "the PostgreSQL server did not start"
admin="postgresql:///postgres?host=$pg&user=tessock"
psql "$admin" -qc "CREATE DATABASE migration" || fail "createdb"
pgstore="postgresql:///migration?host=$pg&user=tessock"
mkdir "$tmp/none"

# What versions 4 to 6 added, taken away again (on the server, the store's rules too).
back='DROP INDEX results_run; DROP INDEX steps_ordinal; DROP INDEX runs_start_utc;
  CREATE INDEX results_run ON results(run_id, line);
  ALTER TABLE runs DROP COLUMN start_utc; ALTER TABLE steps DROP COLUMN ordinal;
  ALTER TABLE runs DROP COLUMN steps_on; ALTER TABLE runs DROP COLUMN store_start;
  ALTER TABLE runs DROP COLUMN store_end; ALTER TABLE runs DROP COLUMN stored_by;'
rules='DROP TRIGGER tessock_run_rules ON runs; DROP TRIGGER tessock_step_rules ON steps;
  DROP TRIGGER tessock_result_rules ON results;'
# N runs a minute apart (local text with its offset), 2 steps and 12 result lines each.
fill() {  # $1: the SQL of run k's start text; $2: the series 1..N as a table n(k)
  echo "INSERT INTO runs(id, start, report, origin, card, finished, verdict, how, station)
    SELECT k, $1, 'gen/run_' || k || '.txt', 'live', 317, 1, 'PASSED', 'ended', 'bench-' || (k % 8)
    FROM $2;
  INSERT INTO steps(id, run_id, state, title, clock)
    SELECT 2 * k + s, k, s, 'STEP ' || s, s FROM $2, (SELECT 0 AS s UNION ALL SELECT 1) AS t;
  INSERT INTO results(run_id, step_id, line, state, step, check_text, check_name, passed, clock)
    SELECT k, 2 * k + l % 2, l, l % 2, 'STEP ' || (l % 2), 'CHECK ' || l, 'CHECK ' || l, 1, l
    FROM $2, (SELECT 1 AS l UNION ALL SELECT 2 UNION ALL SELECT 3 UNION ALL SELECT 4 UNION ALL
      SELECT 5 UNION ALL SELECT 6 UNION ALL SELECT 7 UNION ALL SELECT 8 UNION ALL SELECT 9
      UNION ALL SELECT 10 UNION ALL SELECT 11 UNION ALL SELECT 12) AS u;"
}
measure() {  # $1: the store
  local t0 t1
  t0=$(date +%s.%N)
  "$cli" --results-db "$1" --import "$tmp/none" 2>&1 | while IFS= read -r line; do
    printf '%8.1f s  %s\n' "$(echo "$(date +%s.%N) - $t0" | bc)" "$line"
  done
  t1=$(date +%s.%N)
  printf '%s: %d runs brought up to date in %.1f s\n' "$1" "$runs" "$(echo "$t1 - $t0" | bc)"
}

"$cli" --results-db "$tmp/store.sqlite" --import "$tmp/none" > /dev/null 2>&1
sqlite3 "$tmp/store.sqlite" "$back PRAGMA user_version = 3;
  $(fill "strftime('%Y-%m-%dT%H:%M:%S', '2026-01-01', '+' || k || ' minutes') || '.000+01:00'" \
    "(WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < $runs)
      SELECT k FROM n) AS n")" || fail "SQLite store not filled"
measure "$tmp/store.sqlite"

"$cli" --results-db "$pgstore" --init-store > /dev/null 2>&1
psql "$pgstore" -qc "$rules $back UPDATE tessock_store SET version = 3;
  $(fill "to_char(timestamp '2026-01-01' + k * interval '1 minute', 'YYYY-MM-DD\"T\"HH24:MI:SS')
    || '.000+01:00'" "generate_series(1, $runs) AS n(k)")" || fail "server store not filled"
measure "$pgstore"
