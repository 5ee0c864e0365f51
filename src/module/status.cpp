// Counters in shared memory and mod_status's view of them.
#include "status.h"

#include <apr_shm.h>
#include <http_protocol.h>
#include <mod_status.h>

#include <cstring>

#include "module.h"

namespace vornex {
namespace module {

counter_block *shared_counters = nullptr;

// Runs at every configuration load: the counters start again at zero in a new
// segment.
int make_counters(apr_pool_t *pconf, server_rec *s) {
  apr_shm_t *shm = nullptr;
  const apr_status_t rv =
      apr_shm_create(&shm, sizeof(counter_block), nullptr, pconf);
  if (rv != APR_SUCCESS) {
    shared_counters = nullptr;
    VORNEX_LOG(APLOG_WARNING, s,
               "Vornex could not make its counters in shared memory: %pm", &rv);
    return OK;
  }
  shared_counters = static_cast<counter_block *>(apr_shm_baseaddr_get(shm));
  std::memset(shared_counters, 0, sizeof(counter_block));
  return OK;
}

int show_counters(request_rec *r, int flags) {
  if (!shared_counters)
    return OK;
  const auto lines = counter_lines(*shared_counters);
  if (flags & AP_STATUS_SHORT) {
    for (const auto &line : lines)
      ap_rprintf(r, "%s: %" APR_UINT64_T_FMT "\n", line.first.c_str(),
                 static_cast<apr_uint64_t>(line.second));
    return OK;
  }
  ap_rputs("<hr />\n<h2>mod_vornex</h2>\n", r);
  ap_rputs("<p>Counted since the server last started or restarted.</p>\n", r);
  ap_rputs("<table border=\"0\">\n", r);
  for (const auto &line : lines)
    ap_rprintf(r, "<tr><td>%s</td><td>%" APR_UINT64_T_FMT "</td></tr>\n",
               line.first.c_str(), static_cast<apr_uint64_t>(line.second));
  ap_rputs("</table>\n", r);
  return OK;
}

} // namespace module
} // namespace vornex
