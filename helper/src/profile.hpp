// Phase timings for the benchmark build only: with QOR_PROFILE defined, each
// request's time per phase goes to standard error as one line
// "profile: phase=microseconds ...". Ordinary builds compile it away.
#pragma once

#ifdef QOR_PROFILE
#include <glib.h>

#include <string>

namespace qor_webview_helper::profile {

void add(const char* phase, gint64 microseconds);
// Writes the collected line and starts a new one.
void flush(const char* request);

class Scope {
public:
    explicit Scope(const char* phase) : phase_(phase), start_(g_get_monotonic_time()) {}
    ~Scope() { add(phase_, g_get_monotonic_time() - start_); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    const char* phase_;
    gint64 start_;
};

}  // namespace qor_webview_helper::profile

#define QOR_PROFILE_CAT2(a, b) a##b
#define QOR_PROFILE_CAT(a, b) QOR_PROFILE_CAT2(a, b)
#define QOR_PROFILE_SCOPE(phase) ::qor_webview_helper::profile::Scope QOR_PROFILE_CAT(qor_profile_, __LINE__)(phase)
#define QOR_PROFILE_FLUSH(request) ::qor_webview_helper::profile::flush(request)
#else
#define QOR_PROFILE_SCOPE(phase) ((void)0)
#define QOR_PROFILE_FLUSH(request) ((void)0)
#endif
