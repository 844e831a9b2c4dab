#!/usr/bin/env bash
# nginx_limit_test.sh NGINX WUQU_FETCH
# The downloader against an independent real server that limits each address
# to 4 connections (nginx's limit_conn, 503 beyond them) at 4 MiB/s each: 20
# connections asked, the file must be nginx's byte for byte, the host's limit
# learned (a handful of 503s, not hundreds) and wuqu-fetch must say so.
set -euo pipefail
nginx=$1
fetch=$2
work=$(mktemp -d)
cleanup() {
  [[ -f "${work}/nginx.pid" ]] && kill "$(cat "${work}/nginx.pid")" 2>/dev/null || true
  rm -rf "${work}"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "${work}/www" "${work}/tmp" "${work}/out"
# nginx's workers may run as another user: they read the file.
chmod 755 "${work}" "${work}/www"
head -c 16000000 /dev/urandom >"${work}/www/track.mp4"
chmod 644 "${work}/www/track.mp4"
expected=$(sha256sum "${work}/www/track.mp4" | cut -d' ' -f1)

for attempt in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 20000))
  cat >"${work}/nginx.conf" <<CONF
worker_processes 1;
pid ${work}/nginx.pid;
error_log ${work}/error.log;
events { worker_connections 256; }
http {
  access_log ${work}/access.log;
  client_body_temp_path ${work}/tmp;
  proxy_temp_path ${work}/tmp;
  fastcgi_temp_path ${work}/tmp;
  uwsgi_temp_path ${work}/tmp;
  scgi_temp_path ${work}/tmp;
  limit_conn_zone \$binary_remote_addr zone=peraddr:1m;
  server {
    listen 127.0.0.1:${port};
    root ${work}/www;
    limit_conn peraddr 4;
    limit_rate 4m;
  }
}
CONF
  "${nginx}" -e "${work}/error.log" -c "${work}/nginx.conf" 2>>"${work}/start.log" && break
  [[ ${attempt} == 5 ]] && { cat "${work}/start.log" >&2; fail "nginx did not start"; }
done
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/${port}") 2>/dev/null && break; sleep 0.1; done

summary=$("${fetch}" -n 20 "http://127.0.0.1:${port}/track.mp4" "${work}/out/track.mp4") ||
  fail "wuqu-fetch failed: ${summary}"
echo "${summary}"
[[ "$(sha256sum "${work}/out/track.mp4" | cut -d' ' -f1)" == "${expected}" ]] ||
  fail "the file is not nginx's"
refused=$(grep -c '" 503 ' "${work}/access.log" || true)
echo "503 replies: ${refused}"
((refused <= 30)) || fail "${refused} replies of 503: the limit was fought, not learned"
[[ "${summary}" == *"the host allows "[1-4]* ]] || fail "wuqu-fetch does not name the host's limit"
echo "nginx limit_conn: passed"
