#!/bin/sh
# Starts Apache with mod_vornex screening a small site on 127.0.0.1:8080,
# with two stand-in check servers (127.0.0.1:8181 primary, 127.0.0.1:8182
# secondary) answering from tools/check-server/example.rules. Stays in the
# foreground until Ctrl-C and then stops everything it started.
# Usage: demo.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
module="$build/mod_vornex.so"
checker="$build/tools/check-server/vornex-check-server"
rules="$src/tools/check-server/example.rules"
web=8080
primary=8181
secondary=8182

for f in "$module" "$checker"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "demo: $f is missing; run make build" >&2; exit 1; }
done
# True when something accepts connections on 127.0.0.1:$1.
port_open() {
  python3 -c "import socket,sys; s=socket.socket(); sys.exit(0 if s.connect_ex(('127.0.0.1',$1))==0 else 1)" 2>/dev/null
}

for port in $web $primary $secondary; do
  if port_open "$port"; then
    echo "demo: port 127.0.0.1:$port is already taken; stop whatever uses it first" >&2
    exit 1
  fi
done

root=$(mktemp -d /tmp/vornex-demo.XXXXXX)
chmod 755 "$root"
pids=""
apache_started=""
cleanup() {
  trap - INT TERM EXIT
  if [ -n "$apache_started" ]; then
    i=0
    while [ ! -s "$root/logs/httpd.pid" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
  fi
  if [ -s "$root/logs/httpd.pid" ]; then
    kill -TERM "$(cat "$root/logs/httpd.pid")" 2>/dev/null || true
  fi
  for p in $pids; do kill -TERM "$p" 2>/dev/null || true; done
  for p in $pids; do wait "$p" 2>/dev/null || true; done
  # Apache removes its pid file when it has stopped.
  i=0
  while [ -f "$root/logs/httpd.pid" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
  if [ -f "$root/logs/httpd.pid" ]; then
    kill -KILL "$(cat "$root/logs/httpd.pid")" 2>/dev/null || true
  fi
  rm -rf "$root"
  echo "demo: stopped"
}
trap cleanup EXIT
trap 'cleanup; exit 0' INT TERM

mkdir -p "$root/htdocs/css" "$root/cgi-bin" "$root/logs"
chmod 777 "$root/logs"
cat >"$root/htdocs/index.html" <<'HTML'
<!doctype html>
<html><head><title>mod_vornex demo</title><link rel="stylesheet" href="/css/site.css"></head>
<body><h1>Screened by mod_vornex</h1>
<form method="post" action="/cgi-bin/form.cgi"><textarea name="text"></textarea>
<button>Post</button></form></body></html>
HTML
echo 'body { font-family: sans-serif; }' >"$root/htdocs/css/site.css"
for d in pass block challenge captcha redirect fake limit inject rate; do
  mkdir -p "$root/htdocs/$d"
  echo "<p>the $d page, served by Apache</p>" >"$root/htdocs/$d/index.html"
done
cat >"$root/cgi-bin/form.cgi" <<'CGI'
#!/bin/sh
tmp=$(mktemp)
cat >"$tmp"
size=$(wc -c <"$tmp")
sum=$(sha256sum <"$tmp" | cut -d' ' -f1)
rm -f "$tmp"
printf 'Content-Type: text/plain\r\n\r\nreceived %s bytes, sha256 %s\n' "$size" "$sum"
CGI
chmod 755 "$root/cgi-bin/form.cgi"
chmod -R a+rX "$root/htdocs" "$root/cgi-bin"

mods=/usr/lib/apache2/modules
user=""
if [ "$(id -u)" -eq 0 ]; then
  user="User www-data
Group www-data"
fi
cat >"$root/httpd.conf" <<CONF
ServerRoot "$root"
ServerName 127.0.0.1
Listen 127.0.0.1:$web
PidFile "$root/logs/httpd.pid"
ErrorLog "$root/logs/error.log"
LogLevel warn vornex:debug
$user
LoadModule mpm_event_module $mods/mod_mpm_event.so
LoadModule authz_core_module $mods/mod_authz_core.so
LoadModule mime_module $mods/mod_mime.so
LoadModule dir_module $mods/mod_dir.so
LoadModule alias_module $mods/mod_alias.so
LoadModule cgid_module $mods/mod_cgid.so
LoadModule vornex_module $module
TypesConfig /etc/mime.types
ScriptSock "$root/logs/cgid.sock"
DocumentRoot "$root/htdocs"
DirectoryIndex index.html
ScriptAlias /cgi-bin/ "$root/cgi-bin/"
<Directory "$root">
    Require all granted
</Directory>
VornexPrimaryServer 127.0.0.1:$primary
VornexSecondaryServer 127.0.0.1:$secondary
VornexCheck On
CONF

"$checker" --listen 127.0.0.1:$primary --rules "$rules" >"$root/logs/primary.log" 2>&1 &
pids="$pids $!"
"$checker" --listen 127.0.0.1:$secondary --rules "$rules" >"$root/logs/secondary.log" 2>&1 &
pids="$pids $!"
apache_started=1
# A module built with the sanitizers needs their runtime loaded first.
preload=${VORNEX_SANITIZER_PRELOAD:-}
LD_PRELOAD="$preload${LD_PRELOAD:+:$LD_PRELOAD}" \
  /usr/sbin/apache2 -f "$root/httpd.conf" -k start

i=0
# The port accepts as soon as the parent has bound it; the pid file comes a
# moment later, from the detached server.
until [ -s "$root/logs/httpd.pid" ] && port_open "$web"; do
  i=$((i + 1))
  if [ $i -gt 100 ]; then
    echo "demo: Apache did not start; see $root/logs/error.log" >&2
    cat "$root/logs/error.log" >&2 || true
    exit 1
  fi
  sleep 0.1
done

u="http://127.0.0.1:$web"
cat <<TABLE

mod_vornex demo: Apache on $u, check servers on 127.0.0.1:$primary and :$secondary
Logs: $root/logs (error.log has the module's debug lines; primary.log one line per check)

  command                                              what it shows
  curl -i $u/pass/                      200, the page as Apache serves it
  curl -i $u/block/                     403, Apache's own Forbidden page
  curl -i $u/challenge/                 403, challenge page, Cache-Control: no-store
  curl -i $u/captcha/                   403, captcha page
  curl -i $u/redirect/                  302, Location: /pass/?from=redirect
  curl -i $u/fake/                      403, as block
  curl -i $u/limit/                     429, Retry-After: 3600
  curl -i $u/inject/                    200, the page plus X-Vornex-Score and X-Vornex-Note
  for i in 1 2 3 4 5 6; do curl -s -o /dev/null -w '%{http_code}\\n' $u/rate/; done
                                                       200 five times, then 429
  curl -i $u/css/site.css               200, skipped by the built-in pattern (no check)
  curl -s --data-binary @/etc/hostname $u/cgi-bin/form.cgi
                                                       the size and SHA-256 the CGI script received

Press Ctrl-C to stop.
TABLE

# Wait until interrupted; a dead check server or Apache ends the demo too.
while :; do
  for p in $pids; do kill -0 "$p" 2>/dev/null || { echo "demo: a check server exited" >&2; exit 1; }; done
  [ -f "$root/logs/httpd.pid" ] || { echo "demo: Apache exited" >&2; exit 1; }
  sleep 1
done
