#!/usr/bin/env bash
# A PostgreSQL 15 server of the tests' own: a cluster made by initdb in a scratch folder, owned by
# an unprivileged user (made when running as root), listening only on a unix socket in that
# folder, role "tessock" trusted. Nothing of it outlives "stop".
#   pg_server.sh start DIR    DIR must not exist or be a scratch folder of this script
#   pg_server.sh start DIR PORT TLSDIR
#                             also on TCP (localhost:PORT), TLS only, with TLSDIR/server.crt and
#                             TLSDIR/server.key; the socket's URI then names the port
#   pg_server.sh stop DIR
# The server's URI is postgresql:///postgres?host=DIR&user=tessock.
set -euo pipefail
action="$1"
dir="$2"
bin=/usr/lib/postgresql/15/bin
if [ ! -x "$bin/initdb" ]; then
  echo "pg_server: PostgreSQL 15 is missing ($bin/initdb); scripts/bootstrap installs postgresql"
  exit 1
fi
as_user=()
if [ "$(id -u)" = 0 ]; then
  id tessock-pg > /dev/null 2>&1 ||
    useradd --system --no-create-home --shell /usr/sbin/nologin tessock-pg
  as_user=(setpriv --reuid=tessock-pg --regid=tessock-pg --init-groups)
fi
case "$action" in
start)
  [ -e "$dir/data/PG_VERSION" ] && "${as_user[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate stop \
    > /dev/null 2>&1 || true
  rm -rf "$dir"
  mkdir -p "$dir"
  [ "$(id -u)" = 0 ] && chown tessock-pg: "$dir"
  chmod 755 "$dir"
  if ! "${as_user[@]}" "$bin/initdb" -D "$dir/data" -U tessock --auth=trust -E UTF8 \
    --locale=C.UTF-8 --no-sync > "$dir/initdb.log" 2>&1; then
    cat "$dir/initdb.log"
    exit 1
  fi
  network="-c listen_addresses="
  if [ -n "${4:-}" ]; then
    # TLS on TCP: the server's key is its own; a connection without TLS is refused.
    install -m 600 "$4/server.crt" "$4/server.key" "$dir/data/"
    [ "$(id -u)" = 0 ] && chown tessock-pg: "$dir/data/server.crt" "$dir/data/server.key"
    { echo "hostnossl all all all reject"; cat "$dir/data/pg_hba.conf"; } > "$dir/hba"
    cat "$dir/hba" > "$dir/data/pg_hba.conf"
    network="-c listen_addresses=localhost -c port=$3 -c ssl=on"
  fi
  # Durability is not what the tests look at: no fsync, so that CREATE DATABASE is quick.
  if ! "${as_user[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-k $dir $network -c fsync=off -c full_page_writes=off -c max_connections=200" \
    start > /dev/null; then
    cat "$dir/server.log"
    exit 1
  fi
  ;;
stop)
  if [ -e "$dir/data/PG_VERSION" ]; then
    "${as_user[@]}" "$bin/pg_ctl" -D "$dir/data" -m fast -w stop > /dev/null 2>&1 ||
      "${as_user[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop > /dev/null 2>&1 || true
  fi
  rm -rf "$dir"
  ;;
restart)
  # The same cluster again, after a stop that kept it ("halt").
  "${as_user[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-k $dir -c listen_addresses= -c fsync=off -c full_page_writes=off" start > /dev/null
  ;;
halt)
  "${as_user[@]}" "$bin/pg_ctl" -D "$dir/data" -m fast -w stop > /dev/null
  ;;
*)
  echo "usage: pg_server.sh start|stop|halt|restart DIR"
  exit 2
  ;;
esac
