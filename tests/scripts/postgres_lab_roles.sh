#!/usr/bin/env bash
# A lab's store as its administrator sets it up, on a server of the test's own reached over TLS
# (a certificate made here, sslmode=verify-full): a bench does not make the store; --init-store
# makes it and the two group roles, and a second time changes nothing; a bench logged in with
# only the bench role stores whole runs, and the server refuses its rewriting of a finished run,
# of another bench's run and of lines, and a reader's insert; a bench that lacks a privilege ends
# its run naming it, once, with status 8; a role without privileges is told so; --probe names a
# missing privilege and a bench clock off by ten minutes, which --history marks as well.
set -u
build="$1"
src="$2"
tmp=$(mktemp -d)
pg=$(mktemp -d /tmp/tessock-pg.XXXXXX)
trap 'bash "$src/tests/support/pg_server.sh" stop "$pg"; rm -rf "$tmp"' EXIT
cli="$build/tessock-cli"
fail() { echo "FAIL: $*"; exit 1; }
[ -f "$build/libquickusb_sim.so" ] || fail "no simulated bench in $build"
command -v openssl > /dev/null || fail "openssl missing (scripts/bootstrap installs it)"

# The lab's certificate authority and the server's certificate for localhost.
tls="$tmp/tls"
mkdir -p "$tls"
ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
openssl req -x509 "${ec[@]}" -keyout "$tls/ca.key" -out "$tls/ca.crt" -days 2 \
  -subj "/CN=Tessock test lab CA" 2> "$tmp/ssl.log" || fail "CA: $(cat "$tmp/ssl.log")"
openssl req "${ec[@]}" -keyout "$tls/server.key" -out "$tls/server.csr" -subj "/CN=localhost" \
  2> "$tmp/ssl.log" || fail "server key: $(cat "$tmp/ssl.log")"
printf 'subjectAltName=DNS:localhost\n' > "$tls/ext"
openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.crt" -CAkey "$tls/ca.key" -CAcreateserial \
  -out "$tls/server.crt" -days 2 -extfile "$tls/ext" 2> "$tmp/ssl.log" ||
  fail "server certificate: $(cat "$tmp/ssl.log")"
openssl req -x509 "${ec[@]}" -keyout "$tls/other.key" -out "$tls/other.crt" -days 2 \
  -subj "/CN=Another CA" 2> /dev/null || fail "second CA"

started=""
for _ in 1 2 3; do
  port=$((20000 + RANDOM % 20000))
  bash "$src/tests/support/pg_server.sh" start "$pg" "$port" "$tls" > "$tmp/start" 2>&1 &&
    started=1 && break
done
[ -n "$started" ] || fail "the PostgreSQL server did not start: $(cat "$tmp/start")"
admin="postgresql:///lab?host=$pg&port=$port&user=tessock"
psql "postgresql:///postgres?host=$pg&port=$port&user=tessock" -qc "CREATE DATABASE lab" ||
  fail "createdb"
# Over TCP only with TLS and the lab's certificate checked.
over_tls() { echo "postgresql://$1@localhost:$port/lab?sslmode=verify-full&sslrootcert=$tls/ca.crt"; }
as() { psql "postgresql:///lab?host=$pg&port=$port&user=$1" -v ON_ERROR_STOP=1 -qAt -c "$2" 2>&1; }

. "$src/tests/support/bench_script.sh"
run_script() {  # $1 report prefix, $2 virtual seconds before the run
  echo "wait $2"
  script "$1" "EnableTempOtrDac EnablePowerSupplies"
  echo "waitfor Test.SequencerTimer == 0 timeout 3000"
  echo "quit"
}
bench() {  # $1 role, $2 station, $3 board, $4 name, $5 wait: output in $tmp/$4.out, status echoed
  mkdir -p "$tmp/$4"
  run_script "$tmp/$4/b" "$5" > "$tmp/$4/run.tsk"
  "$cli" --sim-config "$src/data/sim/$3.json" --virtual-time --settings "$tmp/s.ini" \
    --results-db "$(over_tls "$1")" --station "$2" --script "$tmp/$4/run.tsk" > "$tmp/$4.out" 2>&1
  echo $?
}

# A bench on the empty database does not make the store: it names --init-store.
rc=$(bench tessock bench-0 good empty 0)
[ "$rc" -eq 8 ] || fail "bench on an empty database: status $rc: $(tail -5 "$tmp/empty.out")"
grep -q "the results store is not set up; its administrator sets it up with tessock-cli --results-db .* --init-store" \
  "$tmp/empty.out" || fail "not said: $(tail -5 "$tmp/empty.out")"
[ "$(as tessock "SELECT COUNT(*) FROM pg_tables WHERE schemaname = 'public'")" = 0 ] ||
  fail "the bench made tables"

# The administrator's set-up, then again: nothing changed.
"$cli" --results-db "$admin" --init-store > "$tmp/init" 2>&1 || fail "--init-store: $(cat "$tmp/init")"
for l in "^store: made, version [0-9]+$" "^role tessock_bench: made " "^role tessock_reader: made " \
  "^role tessock_bench: granted INSERT on results$" "^role tessock_bench: granted UPDATE \(verdict\) on runs$" \
  "^role tessock_reader: granted SELECT on runs$" "^done$"; do
  grep -Eq "$l" "$tmp/init" || fail "--init-store: no [$l]: $(cat "$tmp/init")"
done
grep -q "tessock_reader: granted INSERT" "$tmp/init" && fail "a reader may insert: $(cat "$tmp/init")"
again=$("$cli" --results-db "$admin" --init-store) || fail "second --init-store: $again"
[ "$again" = "$(printf 'store: version %s, up to date\nnothing changed' \
  "$(as tessock 'SELECT version FROM tessock_store')")" ] || fail "second --init-store: $again"

as tessock "CREATE ROLE bench1 LOGIN IN ROLE tessock_bench; CREATE ROLE bench2 LOGIN IN ROLE tessock_bench;
  CREATE ROLE reader1 LOGIN IN ROLE tessock_reader; CREATE ROLE nobody LOGIN;
  CREATE ROLE bench3 LOGIN; GRANT SELECT ON tessock_store, runs, steps, results TO bench3;
  GRANT INSERT ON runs, steps TO bench3;
  GRANT UPDATE (finished, verdict, error_counts, how, fail_copy, reason, store_end) ON runs TO bench3" > /dev/null ||
  fail "roles"

# Whole runs by a bench with only the bench role, over TLS: PASSED and FAILED, every line.
rc=$(bench bench1 bench-1 good good 0)
[ "$rc" -eq 0 ] || fail "bench1 good: status $rc: $(tail -5 "$tmp/good.out")"
rc=$(bench bench1 bench-1 temp1_down down 0)
[ "$rc" -eq 5 ] || fail "bench1 temp1_down: status $rc: $(tail -5 "$tmp/down.out")"
# bench2's clock is ten minutes ahead when its run begins (virtual time).
rc=$(bench bench2 bench-2 good late 600)
[ "$rc" -eq 0 ] || fail "bench2: status $rc: $(tail -5 "$tmp/late.out")"
hist=$("$cli" --results-db "$(over_tls reader1)" --history) || fail "--history: $hist"
echo "$hist" | grep -qE ' bench-1 +317 +bench +PASSED – 2 of 15 steps +ended +0 +12 ' || fail "good run: $hist"
echo "$hist" | grep -qE ' bench-1 +317 +bench +FAILED +ended +1 +12 ' || fail "failed run: $hist"
echo "$hist" | grep -A1 -E ' bench-2 ' | tail -1 |
  grep -qE "^     !  bench clock 1[0-9] min [0-9]+ s ahead of the store's$" ||
  fail "bench-2's clock not marked: $hist"
[ "$(echo "$hist" | grep -c "bench clock")" -eq 1 ] || fail "bench-1 marked: $hist"
for r in good down; do
  [ "$(as tessock "SELECT COUNT(*) FROM results JOIN runs ON runs.id = run_id WHERE report LIKE '%/$r/b_%'")" = \
    "$(grep -cE '^(PASSED|\*\*\*FAILED) : ' "$tmp/$r"/b_DN_317_*.txt)" ] || fail "$r: lines differ"
done
[ "$(as tessock "SELECT COUNT(*) FROM runs WHERE stored_by = 'bench1' AND store_start LIKE '____-__-__T__:__:__Z' AND store_end >= store_start")" = 2 ] ||
  fail "server times: $(as tessock 'SELECT stored_by, store_start, store_end FROM runs')"
times=$("$cli" --results-db "$admin" --history --store-times) || fail "--store-times: $times"
echo "$times" | head -1 | grep -q "STORE START           STORE END" || fail "--store-times: $times"
# Without the lab's certificate authority the server is not believed.
wrong=$("$cli" --results-db "postgresql://reader1@localhost:$port/lab?sslmode=verify-full&sslrootcert=$tls/other.crt" --history 2>&1)
[ $? -eq 1 ] && echo "$wrong" | grep -q "certificate verify failed" || fail "wrong CA: $wrong"

# What the server refuses a bench and a reader.
failed=$(as tessock "SELECT id FROM runs WHERE verdict = 'FAILED'")
as bench2 "INSERT INTO runs(start, report, origin, station) VALUES('2026-12-07T09:00:00+01:00', 'open', 'live', 'bench-2')" > /dev/null ||
  fail "bench2 may not insert a run"
open=$(as tessock "SELECT id FROM runs WHERE report = 'open'")
refused() {  # $1 role, $2 SQL, $3 the server's words
  local out
  out=$(as "$1" "$2") && fail "$1 may: $2"
  echo "$out" | grep -q "$3" || fail "$1: $2: $out"
}
refused bench1 "UPDATE runs SET verdict = 'PASSED' WHERE id = $failed" "run $failed has ended: a finished run is not changed"
refused bench1 "UPDATE runs SET finished = 1, verdict = 'PASSED' WHERE id = $open" "run $open was stored by bench2"
refused bench1 "DELETE FROM results" "permission denied for table results"
refused bench1 "DELETE FROM runs WHERE id = $open" "permission denied for table runs"
refused bench1 "UPDATE results SET passed = 1" "permission denied for table results"
refused bench1 "UPDATE runs SET start = '2026-01-01T00:00:00Z' WHERE id = $failed" "permission denied for table runs"
refused bench1 "INSERT INTO results(run_id, line, check_text, check_name, passed) VALUES($failed, 99, 'x', 'x', 1)" \
  "no line is added to a finished run"
refused reader1 "INSERT INTO runs(start, report, origin) VALUES('2026-12-07T09:00:00Z', 'r', 'live')" \
  "permission denied for table runs"
[ "$(as tessock "SELECT verdict FROM runs WHERE id = $failed")" = FAILED ] || fail "the failed run changed"
# A repeat of its own stored end and lines changes nothing and is no error.
as bench1 "UPDATE runs SET finished = finished WHERE id = $failed" > /dev/null || fail "repeat of the end"

# A role without privileges is told so, not "0 runs"; not "not a Tessock results store" either.
none=$("$cli" --results-db "$(over_tls nobody)" --history 2>&1)
[ $? -eq 1 ] || fail "nobody: $none"
echo "$none" | grep -q "the role nobody lacks SELECT on tessock_store, SELECT on runs" || fail "nobody: $none"
echo "$none" | grep -q "not a Tessock" && fail "nobody: $none"

# A bench lacking INSERT on results: the run ends naming it, once; status 8; not retried.
before=$(grep -c "permission denied for table results" "$pg/server.log")
rc=$(bench bench3 bench-3 good lacking 0)
[ "$rc" -eq 8 ] || fail "bench3: status $rc: $(tail -5 "$tmp/lacking.out")"
[ "$(grep -c "the role bench3 lacks INSERT on results" "$tmp/lacking.out")" -ge 1 ] ||
  fail "bench3: privilege not named: $(cat "$tmp/lacking.out")"
grep -q "stored when the store is free" "$tmp/lacking.out" && fail "bench3: said to wait: $(cat "$tmp/lacking.out")"
grep -q "The store refuses them until its administrator mends it" "$tmp/lacking.out" ||
  fail "bench3: the refusal not said at the end: $(cat "$tmp/lacking.out")"
[ "$(grep -c "^Results store not written: " "$tmp/lacking.out")" -le 1 ] ||
  fail "bench3: said more than once: $(cat "$tmp/lacking.out")"
after=$(grep -c "permission denied for table results" "$pg/server.log")
[ $((after - before)) -le 2 ] || fail "bench3: $((after - before)) refusals in the server's log"

# The bench check: the missing privilege and a clock ten minutes ahead, each named.
printf 'wait 600\n' > "$tmp/later.tsk"
"$cli" --sim --virtual-time --settings "$tmp/s.ini" --results-db "$(over_tls bench3)" \
  --script "$tmp/later.tsk" --probe > "$tmp/probe" 2>&1
[ $? -eq 3 ] || fail "--probe: $(cat "$tmp/probe")"
for l in "^Results store: postgresql://bench3@localhost:$port/lab" "^  a Tessock results store, version [0-9]+$" \
  "^  the role bench3 lacks INSERT on results$" "^  bench clock 1[0-9] min [0-9]+ s ahead of the store's$" \
  "^FAULT: .*the role bench3 lacks INSERT on results; bench clock 1[0-9] min [0-9]+ s ahead of the store's$"; do
  grep -Eq "$l" "$tmp/probe" || fail "--probe: no [$l]: $(cat "$tmp/probe")"
done
"$cli" --sim --virtual-time --settings "$tmp/s.ini" --results-db "$(over_tls bench1)" --probe > "$tmp/probe" 2>&1 ||
  fail "--probe of bench1: $(cat "$tmp/probe")"
grep -Eq "^  role bench1: may store runs and close its own$" "$tmp/probe" || fail "--probe: $(cat "$tmp/probe")"
grep -Eq "^  clock: within [0-9]+ s of the store's$" "$tmp/probe" || fail "--probe: $(cat "$tmp/probe")"

# The administrator mends bench3's role: --sync then stores the refused run whole, from its record.
as tessock "GRANT INSERT ON results TO bench3" > /dev/null || fail "grant to bench3"
"$cli" --results-db "$(over_tls bench3)" --sync > "$tmp/sync" 2>&1 || fail "--sync after the mend: $(cat "$tmp/sync")"
hist=$("$cli" --results-db "$(over_tls reader1)" --history) || fail "--history: $hist"
echo "$hist" | grep -qE ' bench-3 +317 +bench +PASSED – 2 of 15 steps +ended +0 +12 ' || fail "bench3's run after --sync: $hist"
echo PASS
