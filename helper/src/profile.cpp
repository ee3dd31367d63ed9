#include "profile.hpp"

#ifdef QOR_PROFILE
#include <unistd.h>

#include <charconv>
#include <map>

namespace qor_webview_helper::profile {

namespace {
std::map<std::string, gint64>& phases() {
    static std::map<std::string, gint64> m;
    return m;
}
}  // namespace

void add(const char* phase, gint64 microseconds) { phases()[phase] += microseconds; }

void flush(const char* request) {
    std::string line = "profile: request=";
    line += request;
    for (auto& [name, us] : phases()) {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, us);
        line += ' ';
        line += name;
        line += '=';
        line.append(buf, r.ptr);
    }
    line += '\n';
    (void)!::write(2, line.data(), line.size());
    phases().clear();
}

}  // namespace qor_webview_helper::profile
#endif
