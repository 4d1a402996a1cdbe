#!/usr/bin/env bash
# Download benchmark: HttpDownload under Wine against curl, same file, same run.
#
#   tools/bench-download.sh [--build DIR] [--size-mb N] [--runs N]
#
# Serves an N MB file (default 256) from Debian's nginx over HTTPS on
# loopback, with the test bed's certificates, then downloads it
#   (a) with HttpDownload into a sink that only counts (bench-download.exe,
#       built in DIR/bench, run in a Wine session of the test bed), and
#   (b) with curl natively (--cacert the test CA, output discarded),
# each --runs times (default 3), and prints each throughput, the best of
# each side and the ratio. Everything (file, nginx config, pid, logs, temp
# folders) lives in DIR/bench-download; nginx is stopped at the end, also
# after an error or an interrupt. A benchmark, not a test: it prints figures.
set -euo pipefail

source_dir=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
build=$source_dir/build/win
size_mb=256
runs=3
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --size-mb) size_mb=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--size-mb N] [--runs N]" >&2; exit 2 ;;
  esac
done
build=$(cd "$build" && pwd)
bench_exe=$build/bench/bench-download.exe
[ -f "$bench_exe" ] || { echo "$bench_exe is missing: build the target bench-download" >&2; exit 2; }
command -v nginx >/dev/null || { echo "nginx is not installed" >&2; exit 2; }

work=$build/bench-download
mkdir -p "$work/docroot" "$work/logs" "$work/temp"
certs=$(python3 "$source_dir/tools/testbed.py" certs --build "$build")
file=$work/docroot/nimbrel.bin
bytes=$((size_mb * 1024 * 1024))
if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" != "$bytes" ]; then
  head -c "$bytes" /dev/urandom > "$file.tmp" && mv "$file.tmp" "$file"
fi

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
user_line=""
[ "$(id -u)" = 0 ] && user_line="user root root;"
cat > "$work/nginx.conf" <<EOF
$user_line
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/logs/error.log warn;
events { worker_connections 64; }
http {
  access_log $work/logs/access.log;
  client_body_temp_path $work/temp/body;
  proxy_temp_path $work/temp/proxy;
  fastcgi_temp_path $work/temp/fastcgi;
  uwsgi_temp_path $work/temp/uwsgi;
  scgi_temp_path $work/temp/scgi;
  types { application/octet-stream bin; }
  sendfile on;
  server {
    listen 127.0.0.1:$port ssl;
    server_name localhost;
    ssl_certificate $certs/server.pem;
    ssl_certificate_key $certs/server.key;
    root $work/docroot;
  }
}
EOF

nginx_pid=""
stop_nginx() {
  if [ -n "$nginx_pid" ] && kill -0 "$nginx_pid" 2>/dev/null; then
    kill -QUIT "$nginx_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$nginx_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$nginx_pid" 2>/dev/null || true
  fi
  nginx_pid=""
}
trap stop_nginx EXIT
trap 'exit 130' INT TERM

nginx -p "$work" -e "$work/logs/error.log" -c "$work/nginx.conf" &
nginx_pid=$!
url=https://localhost:$port/nimbrel.bin
for _ in $(seq 100); do
  curl -sf --cacert "$certs/ca.pem" -r 0-0 -o /dev/null "$url" && break
  kill -0 "$nginx_pid" 2>/dev/null || { echo "nginx did not start; see $work/logs/error.log" >&2; exit 1; }
  sleep 0.1
done

mbps() { python3 -c "import sys; print('%.1f' % ($bytes / 1048576 / float(sys.argv[1])))" "$1"; }

echo "file: $size_mb MB over https://localhost (nginx, TLS, loopback), $runs runs each"
best_wine=0
best_curl=0
for run in $(seq "$runs"); do
  line=$(python3 "$source_dir/tools/testbed.py" run --build "$build" --no-display --timeout 600 \
           -- "$bench_exe" "$url" | tr -d '\r' | grep '^bytes=')
  got=$(sed -n 's/^bytes=\([0-9]*\).*/\1/p' <<<"$line")
  seconds=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$line")
  [ "$got" = "$bytes" ] || { echo "HttpDownload took $got of $bytes bytes: $line" >&2; exit 1; }
  wine_rate=$(mbps "$seconds")
  read -r curl_bytes curl_seconds < <(curl -s --cacert "$certs/ca.pem" -o /dev/null \
                                        -w '%{size_download} %{time_total}\n' "$url")
  [ "$curl_bytes" = "$bytes" ] || { echo "curl took $curl_bytes of $bytes bytes" >&2; exit 1; }
  curl_rate=$(mbps "$curl_seconds")
  printf 'run %d: HttpDownload under Wine %8s MB/s (%ss)   curl %8s MB/s (%ss)\n' \
    "$run" "$wine_rate" "$seconds" "$curl_rate" "$curl_seconds"
  best_wine=$(python3 -c "print(max($best_wine, $wine_rate))")
  best_curl=$(python3 -c "print(max($best_curl, $curl_rate))")
done
printf 'best: HttpDownload under Wine %s MB/s, curl %s MB/s, ratio HttpDownload/curl %s\n' \
  "$best_wine" "$best_curl" "$(python3 -c "print('%.2f' % ($best_wine / $best_curl))")"
