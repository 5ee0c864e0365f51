#!/bin/sh
# Runs the verdict, failover and body cases of the integration suites once,
# each server a single `apache2 -X` process under valgrind's memcheck. The
# test bed (testbed/apache.py) fails a case when any process of its server
# reports an invalid read, write or free or a use of uninitialised memory
# (tests/valgrind/apache2.supp holds the few known false reports from other
# modules), or when memcheck did not see the server to its end.
# Usage: valgrind.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
module="$build/mod_vornex.so"
it="$src/tests/integration"

[ -f "$module" ] || { echo "valgrind: $module is missing; run make build" >&2; exit 1; }
[ -x /usr/bin/valgrind ] || { echo "valgrind: /usr/bin/valgrind is missing; run make deps" >&2; exit 1; }
if ldd "$module" | grep -q 'libasan'; then
  echo "valgrind: $module is a sanitizer build; use a plain one" >&2
  exit 1
fi

export VORNEX_VALGRIND=1 PYTHONDONTWRITEBYTECODE=1
status=0
# Each suite is bounded; memcheck makes the server some 20 to 50 times slower.
run() {
  file=$1
  shift
  echo "valgrind: $file $*"
  timeout --kill-after=30 1200 /usr/bin/python3 "$it/$file" \
    --module "$module" --build "$build" "$@" || status=1
}

# Every case of the check suite: the check request, each verdict, failover.
run test_check.py
# The body relay through mod_cgid, mod_cgi, mod_actions and PHP, without the
# many-client case, which only adds time under memcheck.
run test_bodies.py \
  EventCgidTest.test_cgid_script_receives_checked_body \
  EventCgidTest.test_action_redirect_screened_once_and_body_relayed \
  EventCgidTest.test_redirect_of_unscreened_request_reads_body_from_client \
  EventCgidTest.test_body_over_limit_is_checked_then_refused \
  PreforkTest
# The notes, environment and counters of each outcome in one process (the
# cases with several worker processes and restarts need no memcheck of
# their own); the inject-header case checks no memory and is left out.
run test_observability.py \
  VariablesTest.test_access_log_shows_values_of_each_outcome \
  VariablesTest.test_counters_move_by_one_request_per_outcome \
  VariablesTest.test_cgi_sees_values_of_requests_it_serves \
  VariablesTest.test_body_bytes_count_body_once_per_attempt \
  VariablesTest.test_check_time_covers_both_attempts \
  VariablesTest.test_slow_check_lands_at_or_above_100ms_bucket \
  VariablesTest.test_histogram_adds_up_to_screened \
  VariablesTest.test_status_page_has_vornex_section
# Kept connections: reuse, a check lost on a kept connection sent again, a
# connection the service closes, bodies on kept connections. (Restarts are
# left out: under memcheck the server runs as one process.)
run test_keepalive.py \
  KeepAliveTest.test_sequential_checks_share_one_connection \
  KeepAliveTest.test_check_lost_on_a_kept_connection_is_sent_again \
  KeepAliveTest.test_service_closing_after_each_answer_still_gives_verdicts \
  KeepAliveTest.test_bodies_reach_the_script_on_kept_connections
# Checks over TLS: verdicts, kept TLS connections, certificates that do not
# verify (and with VornexTLSVerify Off), and client certificates.
run test_tls_checks.py TlsVerdictTest KeptTlsTest CertificateTest \
  ClientCertificateTest

if [ $status -ne 0 ]; then
  echo "valgrind: FAILED" >&2
else
  echo "valgrind: no memory errors"
fi
exit $status
