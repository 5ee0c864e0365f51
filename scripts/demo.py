#!/bin/sh
# Starts Apache with mod_vornex screening a small site on 127.0.0.1:8080,
# with two stand-in check servers (127.0.0.1:8181 primary, 127.0.0.1:8182
# secondary) answering from scripts/demo/deployments.rules followed by
# tools/check-server/example.rules. Next to the static pages and a CGI
# script, the site has the two other common deployments: a PHP-FPM
# application behind a rewrite front controller under /app/ (php-fpm with
# its own configuration and a pool on a Unix socket in the demo's
# directory), and a reverse-proxied backend under /proxied/ (a small Python
# server on 127.0.0.1:8183). Stays in the foreground until Ctrl-C and then
# stops everything it started; so does any exit.
# Usage: demo.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
module="$build/mod_vornex.so"
checker="$build/tools/check-server/vornex-check-server"
fpm=/usr/sbin/php-fpm8.2
web=8080
primary=8181
secondary=8182
backend=8183

for f in "$module" "$checker"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "demo: $f is missing; run make build" >&2; exit 1; }
done
[ -x "$fpm" ] || { echo "demo: $fpm is missing; run scripts/install-deps.sh" >&2; exit 1; }
# True when something accepts connections on 127.0.0.1:$1.
port_open() {
  python3 -c "import socket,sys; s=socket.socket(); sys.exit(0 if s.connect_ex(('127.0.0.1',$1))==0 else 1)" 2>/dev/null
}

for port in $web $primary $secondary $backend; do
  if port_open "$port"; then
    echo "demo: port 127.0.0.1:$port is already taken; stop whatever uses it first" >&2
    exit 1
  fi
done

# True while process $1 runs; a child that has exited but is not yet
# reaped still answers kill -0, so its state in /proc decides.
running() {
  state=$(sed -n 's/^.*) \(.\).*/\1/p' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

root=$(mktemp -d /tmp/vornex-demo.XXXXXX)
chmod 755 "$root"
# What the demo started itself, as pid=name; php-fpm leads a process group
# of its own (its workers), which is signalled as a whole.
procs=""
fpm_group=""
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
  for entry in $procs; do kill -TERM "${entry%%=*}" 2>/dev/null || true; done
  if [ -n "$fpm_group" ]; then kill -s TERM -- "-$fpm_group" 2>/dev/null || true; fi
  # Ten seconds for everything to stop, then whatever is left is killed.
  i=0
  while [ $i -lt 100 ]; do
    left=""
    for entry in $procs; do running "${entry%%=*}" && left=1; done
    # Apache removes its pid file when it has stopped.
    [ -f "$root/logs/httpd.pid" ] && left=1
    [ -z "$left" ] && break
    sleep 0.1
    i=$((i + 1))
  done
  for entry in $procs; do kill -KILL "${entry%%=*}" 2>/dev/null || true; done
  if [ -n "$fpm_group" ]; then kill -s KILL -- "-$fpm_group" 2>/dev/null || true; fi
  for entry in $procs; do wait "${entry%%=*}" 2>/dev/null || true; done
  if [ -f "$root/logs/httpd.pid" ]; then
    kill -KILL "$(cat "$root/logs/httpd.pid")" 2>/dev/null || true
  fi
  rm -rf "$root"
  echo "demo: stopped"
}
trap cleanup EXIT
trap 'cleanup; exit 0' INT TERM

mkdir -p "$root/htdocs/css" "$root/cgi-bin" "$root/logs" "$root/run"
chmod 777 "$root/logs"
cat >"$root/htdocs/index.html" <<'HTML'
<!doctype html>
<html><head><title>mod_vornex demo</title><link rel="stylesheet" href="/css/site.css"></head>
<body><h1>Screened by mod_vornex</h1>
<form method="post" action="/cgi-bin/form.cgi"><textarea name="text"></textarea>
<button>Post</button></form>
<p><a href="/app/">A PHP-FPM application</a> and
<a href="/proxied/">a proxied backend</a>, screened the same way.</p></body></html>
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
cp -R "$src/scripts/demo/app" "$root/htdocs/app"
chmod -R a+rX "$root/htdocs" "$root/cgi-bin"

# The demo's rules first; the example rules end with the default. Their
# page files are named relative to the rules file.
cat "$src/scripts/demo/deployments.rules" "$src/tools/check-server/example.rules" \
  >"$root/check.rules"
cp -R "$src/tools/check-server/pages" "$root/pages"
rules="$root/check.rules"

mods=/usr/lib/apache2/modules
user=""
fpm_user=""
if [ "$(id -u)" -eq 0 ]; then
  user="User www-data
Group www-data"
  fpm_user="user = www-data
group = www-data
listen.owner = www-data
listen.group = www-data"
fi
cat >"$root/php-fpm.conf" <<FPM
[global]
pid = $root/logs/php-fpm.pid
error_log = $root/logs/php-fpm.log
daemonize = no

[demo]
$fpm_user
listen = $root/run/php-fpm.sock
listen.mode = 0660
pm = static
pm.max_children = 2
access.log = $root/logs/php-fpm-access.log
access.format = "%{REMOTE_ADDR}e \"%m %{REQUEST_URI}e\" %s, body %l bytes"
FPM
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
LoadModule rewrite_module $mods/mod_rewrite.so
LoadModule proxy_module $mods/mod_proxy.so
LoadModule proxy_fcgi_module $mods/mod_proxy_fcgi.so
LoadModule proxy_http_module $mods/mod_proxy_http.so
LoadModule status_module $mods/mod_status.so
LoadModule vornex_module $module
# The verdict of every request next to the usual fields.
LogFormat "%h %t \"%r\" %>s %b verdict=%{VORNEX_VERDICT}e check_us=%{VORNEX_CHECK_TIME}e server=%{VORNEX_SERVER}e" vornex
CustomLog "$root/logs/access.log" vornex
<Location "/server-status">
    SetHandler server-status
    VornexCheck Off
</Location>
TypesConfig /etc/mime.types
ScriptSock "$root/logs/cgid.sock"
DocumentRoot "$root/htdocs"
DirectoryIndex index.html index.php
ScriptAlias /cgi-bin/ "$root/cgi-bin/"
<Directory "$root">
    Require all granted
</Directory>
# The PHP-FPM application: its .htaccess holds the front controller.
<Directory "$root/htdocs/app">
    AllowOverride FileInfo
    <FilesMatch "\.php\$">
        SetHandler "proxy:unix:$root/run/php-fpm.sock|fcgi://localhost"
    </FilesMatch>
</Directory>
ProxyPass /proxied/ http://127.0.0.1:$backend/
ProxyPassReverse /proxied/ http://127.0.0.1:$backend/
VornexPrimaryServer 127.0.0.1:$primary
VornexSecondaryServer 127.0.0.1:$secondary
VornexCheck On
CONF

"$checker" --listen 127.0.0.1:$primary --rules "$rules" >"$root/logs/primary.log" 2>&1 &
procs="$procs $!=primary-check-server"
"$checker" --listen 127.0.0.1:$secondary --rules "$rules" >"$root/logs/secondary.log" 2>&1 &
procs="$procs $!=secondary-check-server"
python3 "$src/scripts/demo/backend.py" $backend >"$root/logs/backend.log" 2>&1 &
procs="$procs $!=backend"
# In a session of its own, so that its workers can be stopped with it even if
# the master is gone.
setsid "$fpm" -F --fpm-config "$root/php-fpm.conf" >>"$root/logs/php-fpm.log" 2>&1 &
procs="$procs $!=php-fpm"
fpm_group=$!
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
  if [ $i -gt 200 ]; then
    echo "demo: Apache did not start; see $root/logs/error.log" >&2
    cat "$root/logs/error.log" >&2 || true
    exit 1
  fi
  sleep 0.1
done
i=0
until [ -S "$root/run/php-fpm.sock" ] && port_open "$backend"; do
  i=$((i + 1))
  if [ $i -gt 200 ]; then
    echo "demo: php-fpm or the backend did not start" >&2
    cat "$root/logs/php-fpm.log" "$root/logs/backend.log" >&2 || true
    exit 1
  fi
  sleep 0.1
done

u="http://127.0.0.1:$web"
cat <<TABLE

mod_vornex demo: Apache on $u, check servers on 127.0.0.1:$primary and :$secondary
Logs: $root/logs (error.log has the module's debug lines; primary.log one line per check;
      php-fpm-access.log and backend.log one line per request the application served)
Verdicts: access.log has verdict=, check_us= and server= on every request;
      the module's counters: curl -s $u/server-status?auto | grep ^Vornex

  command                                              what it shows
  curl -i $u/pass/                  200, the page as Apache serves it
  curl -i $u/block/                 403, Apache's own Forbidden page
  curl -i $u/challenge/             403, challenge page, Cache-Control: no-store
  curl -i $u/captcha/               403, captcha page
  curl -i $u/redirect/              302, Location: /pass/?from=redirect
  curl -i $u/fake/                  403, as block
  curl -i $u/limit/                 429, Retry-After: 3600
  curl -i $u/inject/                200, the page plus X-Vornex-Score and X-Vornex-Note
  for i in 1 2 3 4 5 6; do curl -s -o /dev/null -w '%{http_code}\\n' $u/rate/; done
                                                       200 five times, then 429
  curl -i $u/css/site.css           200, skipped by the built-in pattern (no check)
  curl -s --data-binary @/etc/hostname $u/cgi-bin/form.cgi
                                                       the size and SHA-256 the CGI script received
  curl -i $u/app/                   200, the form of a PHP-FPM application
  curl -s -d name=Ada -d message=hello $u/app/submit
                                                       the fields, size and SHA-256 PHP-FPM received
                                                       through the front controller
  curl -i -d name=Ada $u/app/admin  403, challenge page; PHP never runs
  curl -s --data-binary @/etc/hostname $u/proxied/echo
                                                       the size and SHA-256 the proxied backend received
  curl -i $u/proxied/admin          403, blocked; the backend never sees it

Press Ctrl-C to stop.
TABLE

# Wait until interrupted; anything the demo started ending ends the demo too.
while :; do
  for entry in $procs; do
    running "${entry%%=*}" || { echo "demo: ${entry#*=} exited" >&2; exit 1; }
  done
  [ -f "$root/logs/httpd.pid" ] || { echo "demo: Apache exited" >&2; exit 1; }
  sleep 1
done
