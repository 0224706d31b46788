#!/usr/bin/env bash
# The Debian packages as an operator and a studio meet them (as root, after
# scripts/package.sh): their contents and lintian; the units checked offline by
# systemd-analyze; install, the relay run the way its unit runs it (its user and group,
# data directory, settings, Unix socket that only nginx's group may use, and sd_notify
# readiness); nginx with TLS in front of it, end to end with the real client, its limit
# per client, against a relay reached directly; two studios behind one nginx; upgrade,
# remove and purge. Servers listen on 127.0.0.1 and Unix sockets only and are stopped by PID.
#   tests/packaging/run.sh [BUILD_DIR]      (default build/package)
# It installs, then purges, the packages on this machine: run it where that is wanted (CI).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=${1:-$root/build/package}
tests=$root/tests/packaging

fail() {
  printf 'packaging test: FAILED: %s\n' "$*" >&2
  exit 1
}
step() { printf '\n== %s\n' "$*"; }

[[ $(id -u) -eq 0 ]] || {
  echo "packaging test: skipped (needs root: it installs the packages)"
  exit 0
}
client_deb=$(ls "$build"/quorvel_*.deb 2>/dev/null) || fail "no packages in $build (run scripts/package.sh)"
relay_deb=$(ls "$build"/quorvel-relay_*.deb)
version=$(dpkg-deb -f "$client_deb" Version)

# shellcheck source=scripts/demo-lib.sh
source "$root/scripts/demo-lib.sh"
demo_init "$root"
bin=/usr/bin # demo-lib's functions run the installed binaries
nginx_pid='' notify_pid='' installed='' notify_dir=''
studio_pids=()
cleanup() {
  demo_stop "$nginx_pid" "$notify_pid" "${studio_pids[@]}"
  [[ -z "$notify_dir" ]] || rm -rf "$notify_dir"
  rm -rf /etc/quorvel-relay/pkgtest-a.env /etc/quorvel-relay/pkgtest-b.env /var/lib/quorvel-relay-pkgtest-* \
    /run/quorvel-relay /run/quorvel-relay-pkgtest-*
  rmdir /etc/quorvel-relay 2>/dev/null || true
  [[ -z "$installed" ]] || dpkg -P quorvel quorvel-relay >/dev/null 2>&1 || true
  demo_cleanup
}
trap cleanup EXIT

# A free TCP port on 127.0.0.1 for servers that cannot be given port 0.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 20000))
    ss -Htln "sport = :$port" | grep -q . || break
  done
  echo "$port"
}

# wait_for FILE PATTERN PID: until FILE has a line matching PATTERN, while PID lives.
wait_for() {
  for ((i = 0; i < 100; i++)); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || break
    sleep 0.1
  done
  fail "waiting for '$2' in $1: $(cat "$1" 2>/dev/null)"
}

# start_unit UNIT_FILE INSTANCE ENV_FILE LOG: runs the unit's ExecStart the way systemd
# would (its user and group, its runtime directory, its settings file, NOTIFY_SOCKET);
# sets unit_pid.
start_unit() {
  local command group runtime
  command=$(sed -n 's/^ExecStart=//p' "$1" | sed "s/%i/$2/g")
  group=$(sed -n 's/^Group=//p' "$1")
  runtime=/run/$(sed -n 's/^RuntimeDirectory=//p' "$1" | sed "s/%i/$2/g")
  install -d -m "$(sed -n 's/^RuntimeDirectoryMode=//p' "$1")" -o quorvel-relay -g "$group" "$runtime"
  (
    set -a
    # shellcheck disable=SC1090 # the unit's settings file
    source "$3"
    set +a
    eval "set -- $command"
    exec setpriv --reuid=quorvel-relay --regid="$group" --clear-groups --no-new-privs "$@"
  ) 2>"$4" &
  unit_pid=$!
}

# pair URL PASSWORD [CURL ARGS]: a device key from the relay's REST API.
pair() {
  curl -sS --fail-with-body -H 'Content-Type: application/json' \
    -d "{\"password\":\"$2\",\"name\":\"pkgtest\"}" "${@:3}" "$1/api/pair" |
    sed -n 's/.*"key":"\([^"]*\)".*/\1/p'
}

as_relay() { runuser -u quorvel-relay -- "$@"; }

step "Contents and lintian"
dpkg-deb -c "$client_deb" | awk '{print $6}' >"$demo/client.files"
dpkg-deb -c "$relay_deb" | awk '{print $6}' >"$demo/relay.files"
expected_client=(./usr/bin/quorvel ./usr/libexec/quorvel/quorvel-tray ./usr/share/man/man1/quorvel.1.gz ./etc/xdg/autostart/quorvel.desktop
  ./usr/share/applications/quorvel.desktop ./usr/share/icons/hicolor/scalable/apps/quorvel.svg
  ./usr/share/doc/quorvel/copyright ./usr/share/doc/quorvel/changelog.gz)
for file in "${expected_client[@]}"; do grep -qxF "$file" "$demo/client.files" || fail "quorvel lacks $file"; done
for file in ./usr/bin/quorvel-relay ./usr/share/man/man1/quorvel-relay.1.gz ./lib/systemd/system/quorvel-relay.service \
  ./lib/systemd/system/quorvel-relay@.service ./usr/lib/sysusers.d/quorvel-relay.conf ./etc/default/quorvel-relay \
  ./usr/share/doc/quorvel-relay/examples/quorvel-relay.conf ./usr/share/doc/quorvel-relay/examples/quorvel-studios.conf \
  ./usr/share/doc/quorvel-relay/examples/quorvel-relay-proxy.conf ./usr/share/doc/quorvel-relay/copyright; do
  grep -qxF "$file" "$demo/relay.files" || fail "quorvel-relay lacks $file"
done
for deb in "$client_deb" "$relay_deb"; do
  printf '%s: %s bytes, Installed-Size %s KiB\n  Depends: %s\n' "$(basename "$deb")" "$(stat -c %s "$deb")" \
    "$(dpkg-deb -f "$deb" Installed-Size)" "$(dpkg-deb -f "$deb" Depends)"
done
dpkg-deb -f "$client_deb" Depends | grep -q 'libc6' || fail "no shared library dependencies computed"
lintian --fail-on error "$client_deb" "$relay_deb" >"$demo/lintian.out" 2>&1 || {
  cat "$demo/lintian.out"
  fail "lintian reports errors"
}
grep -v '^running with root' "$demo/lintian.out" || echo "lintian: no errors, no warnings"

step "cmake --install puts the files where the packages do"
DESTDIR=$demo/staged cmake --install "$build" >/dev/null
(cd "$demo/staged" && find . -type f -o -type l | sort) >"$demo/staged.files"
grep -hv '/$' "$demo/client.files" "$demo/relay.files" | sort >"$demo/packaged.files"
diff -u "$demo/packaged.files" "$demo/staged.files" || fail "cmake --install and the packages differ"

step "Install"
start=$(date +%s%N)
installed=1
dpkg -i "$client_deb" "$relay_deb" >/dev/null
echo "dpkg -i of both: $((($(date +%s%N) - start) / 1000000)) ms"
[[ $(quorvel --version) == "quorvel $version" ]] || fail "quorvel --version: $(quorvel --version)"
[[ $(quorvel-relay --version) == "quorvel-relay $version" ]] || fail "quorvel-relay --version: $(quorvel-relay --version)"
echo "--version: $version on both"
# The commands never load Qt (10 MiB resident); without arguments quorvel becomes the tray.
! ldd /usr/bin/quorvel | grep -q libQt6 || fail "quorvel links Qt: $(ldd /usr/bin/quorvel | grep libQt6)"
[[ $(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM quorvel 2>&1) == "quorvel: no desktop session"* ]] ||
  fail "quorvel without arguments did not become the tray"
[[ $(stat -c '%a %U' /var/lib/quorvel-relay) == "700 quorvel-relay" ]] || fail "data directory: $(stat -c '%a %U' /var/lib/quorvel-relay)"

step "The units, offline"
unit=/lib/systemd/system/quorvel-relay.service
template=/lib/systemd/system/quorvel-relay@.service
systemd-analyze verify --man=no "$unit" "$template" >"$demo/verify.out" 2>&1 && [[ ! -s "$demo/verify.out" ]] ||
  fail "systemd-analyze verify: $(cat "$demo/verify.out")"
echo "systemd-analyze verify: no complaints"
for file in "$unit" "$template"; do
  score=$(systemd-analyze security --offline=true "$file" 2>&1 |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  echo "$(basename "$file"): exposure $score"
  [[ -n "$score" ]] && awk "BEGIN { exit !($score < 2.0) }" || fail "exposure ${score:-unknown} is not below 2.0"
done

step "The relay as its unit runs it: readiness, set-up commands, SIGTERM"
# The socket must be reachable by the service's user, as systemd's is.
notify_dir=$(mktemp -d /tmp/quorvel-notify.XXXXXX)
chmod 0755 "$notify_dir"
"$tests/notify-socket.pl" "$notify_dir/notify" >"$demo/notify.out" &
notify_pid=$!
wait_for "$demo/notify.out" LISTENING "$notify_pid"
socket=/run/quorvel-relay/relay.sock
printf "LISTEN=unix:%s\nPUBLIC_URL=http://localhost\n" "$socket" >"$demo/relay.env"
studio_password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
printf '%s\n' "$studio_password" | as_relay quorvel-relay set-password --data /var/lib/quorvel-relay
start=$(date +%s%N)
NOTIFY_SOCKET=$notify_dir/notify start_unit "$unit" "" "$demo/relay.env" "$demo/relay.log"
relay_pid=$unit_pid
wait_for "$demo/notify.out" 'READY=1' "$relay_pid"
ready=$(sed -n 's/^\([0-9]*\) READY=1$/\1/p' "$demo/notify.out")
echo "start to READY=1: $(((ready - start) / 1000000)) ms"
key=$(pair http://localhost "$studio_password" --unix-socket "$socket")
[[ -n "$key" ]] || fail "pairing with the service failed"
# Only nginx's group reaches the relay: another local user cannot, even less pass for the
# proxy with a forged X-Forwarded-For; and the relay has no TCP port.
runuser -u www-data -- curl -sf -o /dev/null --unix-socket "$socket" http://localhost/listener/listener.css ||
  fail "nginx's user cannot reach the relay"
! runuser -u nobody -- curl -s -o /dev/null --unix-socket "$socket" -H 'X-Forwarded-For: 10.1.2.3' http://localhost/api/pair ||
  fail "another local user reaches the relay"
[[ -z $(ss -Htlnp | grep "pid=$relay_pid,") ]] || fail "the relay listens on TCP: $(ss -Htlnp | grep "pid=$relay_pid,")"
echo "the relay listens on $socket ($(stat -c '%a %U:%G' "$socket")) only: nginx's group gets in, nobody else"
as_relay quorvel-relay devices --data /var/lib/quorvel-relay | grep -q pkgtest || fail "devices does not list the computer"
[[ $(stat -c %U /var/lib/quorvel-relay/relay.sqlite3) == quorvel-relay ]] || fail "the database is not the service user's"
kill -TERM "$relay_pid"
status=0
wait "$relay_pid" || status=$?
relay_pid=
wait "$notify_pid" || fail "no STOPPING=1"
notify_pid=
[[ $status -eq 0 ]] || fail "SIGTERM: exit status $status"
echo "SIGTERM: STOPPING=1, exit 0"

step "nginx with TLS in front of the relay, end to end"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=quorvel-test \
  -addext 'subjectAltName=IP:127.0.0.1,DNS:studio-a.test,DNS:studio-b.test' \
  -keyout "$demo/tls.key" -out "$demo/tls.pem" 2>/dev/null
export QUORVEL_CA_FILE=$demo/tls.pem
# start_nginx SITE PORT: nginx with the packaged site, rewritten to this port, certificate
# and these host names; sets nginx_pid.
start_nginx() {
  mkdir -p "$demo/nginx/snippets" "$demo/nginx/tmp"
  cp /usr/share/doc/quorvel-relay/examples/quorvel-relay-proxy.conf "$demo/nginx/snippets/"
  sed -e "/listen \[::\]/d" -e "s/listen 443/listen 127.0.0.1:$2/" \
    -e "s|ssl_certificate .*|ssl_certificate $demo/tls.pem;|" -e "s|ssl_certificate_key .*|ssl_certificate_key $demo/tls.key;|" \
    -e 's/studio-\([ab]\)\.relay\.example\.org/studio-\1.test/' -e 's|/run/quorvel-relay-studio-|/run/quorvel-relay-pkgtest-|' \
    "/usr/share/doc/quorvel-relay/examples/$1" >"$demo/nginx/site.conf"
  # As Debian's nginx runs: its workers as www-data.
  cat >"$demo/nginx/nginx.conf" <<EOF
user www-data;
worker_processes 1;
error_log $demo/nginx/error.log;
pid $demo/nginx/nginx.pid;
events {}
http {
  access_log $demo/nginx/access.log;
  client_body_temp_path $demo/nginx/tmp/body;
  proxy_temp_path $demo/nginx/tmp/proxy;
  fastcgi_temp_path $demo/nginx/tmp/fastcgi;
  uwsgi_temp_path $demo/nginx/tmp/uwsgi;
  scgi_temp_path $demo/nginx/tmp/scgi;
  include site.conf;
}
EOF
  nginx -t -q -c "$demo/nginx/nginx.conf" || fail "nginx rejects the site $1"
  nginx -c "$demo/nginx/nginx.conf" -g 'daemon off;' &
  nginx_pid=$!
  for ((i = 0; i < 50; i++)); do
    ss -Htln "sport = :$2" | grep -q . && return 0
    sleep 0.1
  done
  fail "nginx did not start: $(cat "$demo/nginx/error.log")"
}

nginx_port=$(free_port)
printf 'LISTEN=unix:%s\nPUBLIC_URL=https://127.0.0.1:%s\n' "$socket" "$nginx_port" >"$demo/relay.env"
start_unit "$unit" "" "$demo/relay.env" "$demo/relay.log"
relay_pid=$unit_pid
wait_for "$demo/relay.log" 'listening on' "$relay_pid"
start_nginx quorvel-relay.conf "$nginx_port"
demo_audio_server
"$root/scripts/audio-server.sh" player "$demo/audio" com.avid.ProTools.Demo 0.5 >/dev/null
config="$HOME/Library/Application Support/Quorvel/config.json"
mkdir -p "$(dirname "$config")"
printf '{"server": "wss://127.0.0.1:%s/ws/send"}\n' "$nginx_port" >"$config"
demo_pair_and_link
[[ $link == "https://127.0.0.1:$nginx_port/l/$session" ]] || fail "the link does not carry the public URL: $link"
curl -sS --fail --cacert "$demo/tls.pem" "$link" | grep -qi '<html' || fail "the listener page does not come through nginx"

# broadcast NAME LINK SERVER: streams 5 s to a listener that joined first; prints the figures.
broadcast() {
  printf '{"server": "%s"}\n' "$3" >"$config"
  DEMO_LINK_PASSWORD=$client_password quorvel listen "$2" --password-env DEMO_LINK_PASSWORD --ca-file "$demo/tls.pem" \
    -o "$demo/$1.wav" --seconds 60 >"$demo/$1.listen" 2>"$demo/$1.listen.err" &
  listen_pid=$!
  wait_for "$demo/$1.listen.err" 'Waiting for the studio' "$listen_pid"
  quorvel stream --session "$session" --source direct --seconds 5 >"$demo/$1.stream"
  sleep 0.5 # the last packets' way to the listener
  kill -INT "$listen_pid"
  wait "$listen_pid" || true
  listen_pid=
  local sent received lost latency
  sent=$(sed -n 's/^Packets: \([0-9]*\) sent.*/\1/p' "$demo/$1.stream")
  received=$(sed -n 's/^Received \([0-9]*\) packets.*/\1/p' "$demo/$1.listen")
  lost=$(sed -n 's/^Received [0-9]* packets, lost \([0-9]*\).*/\1/p' "$demo/$1.listen")
  latency=$(sed -n "s/^Latency on the relay's clock, packet timestamp to arrival: //p" "$demo/$1.listen")
  printf '%-6s sent %s, received %s, lost %s; latency %s\n' "$1:" "${sent:-?}" "${received:-?}" "${lost:-?}" "${latency:-none}"
  [[ ${received:-0} -gt 200 && ${received:-0} -eq ${sent:-0} && ${lost:-1} -eq 0 ]] || fail "$1: audio lost: $(cat "$demo/$1.listen" "$demo/$1.listen.err")"
}
broadcast nginx "$link" "wss://127.0.0.1:$nginx_port/ws/send"
# One client may not flood the relay through nginx: a burst of 200 page requests meets
# the site's limit_req (about 40 at once, then 10 a second).
requests=()
for ((i = 0; i < 200; i++)); do requests+=(-o /dev/null "$link"); done
codes=$(curl -s --cacert "$demo/tls.pem" -w '%{http_code}\n' "${requests[@]}" | sort | uniq -c | tr -s ' \n' ' ')
[[ $codes =~ \ 429 && $codes =~ \ 200 ]] || fail "nginx does not limit one client's requests: $codes"
echo "200 requests at once from one client: $codes(HTTP status)"
demo_stop "$nginx_pid"
nginx_pid=
demo_stop "$relay_pid"
relay_pid=
# The same without nginx: the same database, served on a loopback port for the comparison.
relay_port=$(free_port)
setpriv --reuid=quorvel-relay --regid=www-data --clear-groups --no-new-privs quorvel-relay serve \
  --data /var/lib/quorvel-relay --listen "127.0.0.1:$relay_port" 2>"$demo/direct.log" &
relay_pid=$!
wait_for "$demo/direct.log" 'listening on' "$relay_pid"
broadcast direct "http://127.0.0.1:$relay_port/l/$session" "ws://127.0.0.1:$relay_port/ws/send"
demo_stop "$relay_pid"
relay_pid=

step "Two studios behind one nginx, by host name"
mkdir -p /etc/quorvel-relay
nginx_port=$(free_port)
for i in 0 1; do
  name=pkgtest-$([[ $i -eq 0 ]] && echo a || echo b)
  host=studio-$([[ $i -eq 0 ]] && echo a || echo b).test
  printf 'PUBLIC_URL=https://%s:%s\n' "$host" "$nginx_port" >"/etc/quorvel-relay/$name.env"
  install -d -m 0700 -o quorvel-relay -g quorvel-relay "/var/lib/quorvel-relay-$name"  # StateDirectory=
  printf '%s-%s\n' "$studio_password" "$i" | as_relay quorvel-relay set-password --data "/var/lib/quorvel-relay-$name"
  start_unit "$template" "$name" "/etc/quorvel-relay/$name.env" "$demo/$name.log"
  studio_pids+=("$unit_pid")
  wait_for "$demo/$name.log" 'listening on' "$unit_pid"
done
start_nginx quorvel-studios.conf "$nginx_port"
a=(--cacert "$demo/tls.pem" --resolve "studio-a.test:$nginx_port:127.0.0.1")
b=(--cacert "$demo/tls.pem" --resolve "studio-b.test:$nginx_port:127.0.0.1")
key_a=$(pair "https://studio-a.test:$nginx_port" "$studio_password-0" "${a[@]}")
[[ -n "$key_a" ]] || fail "pairing with studio A through nginx failed"
[[ -z $(pair "https://studio-b.test:$nginx_port" "$studio_password-0" "${b[@]}" 2>/dev/null) ]] ||
  fail "studio B accepted studio A's password"
list() { curl -s -o /dev/null -w '%{http_code}' -H 'Content-Type: application/json' -d "{\"key\":\"$key_a\"}" "${@:2}" "$1/api/device/sessions/list"; }
[[ $(list "https://studio-a.test:$nginx_port" "${a[@]}") == 200 ]] || fail "studio A refuses its own device"
[[ $(list "https://studio-b.test:$nginx_port" "${b[@]}") == 401 ]] || fail "studio B accepts studio A's device key"
created=$(curl -sS -H 'Content-Type: application/json' "${a[@]}" \
  -d "{\"key\":\"$key_a\",\"name\":\"Take\",\"password\":\"abcd\",\"maxListeners\":2}" "https://studio-a.test:$nginx_port/api/device/sessions")
grep -q "\"link\":\"https://studio-a.test:$nginx_port/l/" <<<"$created" || fail "studio A's link: $created"
! curl -s -o /dev/null --cacert "$demo/tls.pem" --resolve "other.test:$nginx_port:127.0.0.1" "https://other.test:$nginx_port/" ||
  fail "an unknown host name reached a studio"
echo "studio A's key: 200 at A, 401 at B; B refuses A's password; links carry A's host name; other names get nothing"
demo_stop "$nginx_pid"
nginx_pid=
demo_stop "${studio_pids[@]}"
studio_pids=()

step "Upgrade keeps the database; remove keeps only the data and configuration; purge removes them"
mkdir "$demo/next"
dpkg-deb -R "$relay_deb" "$demo/next/tree"
sed -i "s/^Version: .*/Version: $version.1/" "$demo/next/tree/DEBIAN/control"
dpkg-deb -b --root-owner-group "$demo/next/tree" "$demo/next/quorvel-relay.deb" >/dev/null
dpkg -i "$demo/next/quorvel-relay.deb" >/dev/null
[[ $(dpkg-query -W -f '${Version}' quorvel-relay) == "$version.1" ]] || fail "the upgrade did not install"
as_relay quorvel-relay devices --data /var/lib/quorvel-relay | grep -q pkgtest || fail "the upgrade lost the paired computer"
start=$(date +%s%N)
dpkg -r quorvel quorvel-relay >/dev/null
echo "dpkg -r of both: $((($(date +%s%N) - start) / 1000000)) ms"
left=$(cat "$demo/client.files" "$demo/relay.files" | grep -v '/$' | sed 's|^\.||' |
  while read -r file; do [[ -e $file ]] && echo "$file"; done || true)
# dpkg keeps configuration files until purge.
[[ $left == $'/etc/xdg/autostart/quorvel.desktop\n/etc/default/quorvel-relay' ]] || fail "left after remove: $left"
[[ -f /var/lib/quorvel-relay/relay.sqlite3 ]] || fail "remove deleted the relay's data"
dpkg -P quorvel quorvel-relay >/dev/null
[[ ! -e /var/lib/quorvel-relay && ! -e /etc/default/quorvel-relay && ! -e /etc/xdg/autostart/quorvel.desktop ]] ||
  fail "purge left the relay's data or a configuration file"
ls -d /var/lib/quorvel-relay-* 2>/dev/null && fail "purge left a studio's data"
installed=
echo "upgrade kept the pairing; remove left the data and the two configuration files; purge removed them"
echo
echo "packaging test: PASSED"
