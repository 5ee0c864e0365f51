// What every host-side file of the module shares: the module record, the
// module's log index and the log macro.
#ifndef VORNEX_MODULE_H
#define VORNEX_MODULE_H

#include <httpd.h>

#include <http_config.h>
#include <http_log.h>

extern "C" module AP_MODULE_DECLARE_DATA vornex_module;
APLOG_USE_MODULE(vornex);

// Every log line names vornex.cpp, the module's file name in its record,
// whatever file or build path it comes from. C code gets ap_log_error as a
// macro that tests the level before the call; C++ gets the bare function, so
// the test is made here: a debug line that is off costs no call on every
// request.
#define VORNEX_LOG(level, s, ...)                                              \
  do {                                                                         \
    if (APLOG_IS_LEVEL(s, level))                                              \
      ap_log_error("vornex.cpp", __LINE__, APLOG_MODULE_INDEX, level, 0, s,    \
                   __VA_ARGS__);                                               \
  } while (0)

namespace vornex {
namespace module {

inline const char *or_empty(const char *text) { return text ? text : ""; }

} // namespace module
} // namespace vornex

#endif
