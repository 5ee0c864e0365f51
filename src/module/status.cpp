// Counters and marks in shared memory, and mod_status's view of them.
#include "status.h"

#include <apr_shm.h>
#include <apr_strings.h>
#include <http_protocol.h>
#include <mod_status.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "config.h"
#include "metrics.h"
#include "module.h"

namespace vornex {
namespace module {

counter_block *shared_counters = nullptr;
mark_table shared_marks = {nullptr, nullptr, 0};

namespace {

// Zeroed shared memory of `size` bytes that lives as long as `pconf`, or
// null; `what` names it in the warning.
void *make_segment(apr_pool_t *pconf, server_rec *s, apr_size_t size,
                   const char *what) {
  apr_shm_t *shm = nullptr;
  const apr_status_t rv = apr_shm_create(&shm, size, nullptr, pconf);
  if (rv != APR_SUCCESS) {
    VORNEX_LOG(APLOG_WARNING, s,
               "Vornex could not make its %s in shared "
               "memory: %pm",
               what, &rv);
    return nullptr;
  }
  void *base = apr_shm_baseaddr_get(shm);
  std::memset(base, 0, size);
  return base;
}

// Every check server address that a server of the configuration names,
// each once. The addresses can only be set per server, so each server's
// defaults hold them all.
std::vector<const char *> server_addresses(server_rec *s) {
  std::vector<const char *> found;
  for (; s; s = s->next) {
    const auto *conf = static_cast<const dir_conf *>(
        ap_get_module_config(s->lookup_defaults, &vornex_module));
    if (!conf)
      continue;
    for (const char *address : {conf->primary_server, conf->secondary_server})
      if (address && std::none_of(found.begin(), found.end(),
                                  [address](const char *known) {
                                    return std::strcmp(known, address) == 0;
                                  }))
        found.push_back(address);
  }
  return found;
}

void make_marks(apr_pool_t *pconf, server_rec *s) {
  shared_marks = {nullptr, nullptr, 0};
  const std::vector<const char *> addresses = server_addresses(s);
  if (addresses.empty())
    return;
  void *marks = make_segment(pconf, s, addresses.size() * sizeof(server_mark),
                             "server marks");
  if (!marks)
    return;
  auto *names = static_cast<const char **>(
      apr_palloc(pconf, addresses.size() * sizeof(const char *)));
  for (size_t i = 0; i < addresses.size(); ++i)
    names[i] = apr_pstrdup(pconf, addresses[i]);
  shared_marks = {static_cast<server_mark *>(marks), names, addresses.size()};
}

} // namespace

// Runs at every configuration load: the counters start again at zero, and
// every server unmarked, in new segments.
int make_shared(apr_pool_t *pconf, server_rec *s) {
  shared_counters = static_cast<counter_block *>(
      make_segment(pconf, s, sizeof(counter_block), "counters"));
  make_marks(pconf, s);
  return OK;
}

namespace {

// The counters of VornexEnforce Off and VornexSample follow the others
// where the configuration uses those directives or they have counted
// anything; without them the page stays as it was.
void add_rollout_lines(std::vector<std::pair<std::string, uint64_t>> &lines) {
  const auto rollout = rollout_lines(*shared_counters);
  if (rollout_named ||
      std::any_of(rollout.begin(), rollout.end(),
                  [](const std::pair<std::string, uint64_t> &line) {
                    return line.second != 0;
                  }))
    lines.insert(lines.end(), rollout.begin(), rollout.end());
}

} // namespace

int show_counters(request_rec *r, int flags) {
  if (!shared_counters)
    return OK;
  auto lines = counter_lines(*shared_counters);
  add_rollout_lines(lines);
  const mark_time now = mark_clock();
  if (flags & AP_STATUS_SHORT) {
    for (const auto &line : lines)
      ap_rprintf(r, "%s: %" APR_UINT64_T_FMT "\n", line.first.c_str(),
                 static_cast<apr_uint64_t>(line.second));
    for (size_t i = 0; i < shared_marks.count; ++i)
      ap_rprintf(r, "VornexMark %s: %s\n", shared_marks.addresses[i],
                 state_name(state_of(&shared_marks.marks[i], now)));
    return OK;
  }
  ap_rputs("<hr />\n<h2>mod_vornex</h2>\n", r);
  ap_rputs("<p>Counted since the server last started or restarted.</p>\n", r);
  ap_rputs("<table border=\"0\">\n", r);
  for (const auto &line : lines)
    ap_rprintf(r, "<tr><td>%s</td><td>%" APR_UINT64_T_FMT "</td></tr>\n",
               line.first.c_str(), static_cast<apr_uint64_t>(line.second));
  for (size_t i = 0; i < shared_marks.count; ++i)
    ap_rprintf(r, "<tr><td>VornexMark %s</td><td>%s</td></tr>\n",
               ap_escape_html(r->pool, shared_marks.addresses[i]),
               state_name(state_of(&shared_marks.marks[i], now)));
  ap_rputs("</table>\n", r);
  return OK;
}

int show_metrics(request_rec *r) {
  if (r->method_number != M_GET) {
    r->allowed = AP_METHOD_BIT << M_GET;
    return HTTP_METHOD_NOT_ALLOWED;
  }
  if (!shared_counters)
    return HTTP_SERVICE_UNAVAILABLE;
  const std::string page =
      exposition(*shared_counters, shared_marks, mark_clock());
  ap_set_content_type(r, metrics_content_type);
  apr_table_setn(r->headers_out, "Cache-Control", "no-store");
  if (!r->header_only)
    ap_rwrite(page.data(), static_cast<int>(page.size()), r);
  return OK;
}

} // namespace module
} // namespace vornex
