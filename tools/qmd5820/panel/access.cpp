// The panel's request checks (see access.h).
#include "panel/access.h"

#include <cctype>
#include <cstdio>
#include <random>

namespace qmdpanel {
namespace {

bool IsIpLiteral(std::string_view host) {
    if (host.empty()) return false;
    if (host.find(':') != std::string_view::npos) return true;  // IPv6, brackets removed
    int dots = 0;
    for (const char c : host) {
        if (c == '.') {
            ++dots;
        } else if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return dots == 3;
}

// Splits "name:port" or "[v6]:port"; false when there is no port.
bool SplitHost(std::string_view text, std::string_view& name, std::string_view& port) {
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return false;
        }
        name = text.substr(1, close - 1);
        port = text.substr(close + 2);
        return true;
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || text.find(':') != colon) return false;
    name = text.substr(0, colon);
    port = text.substr(colon + 1);
    return true;
}

bool HostIsOurs(const AccessRules& rules, std::string_view host) {
    std::string_view name, port;
    if (!SplitHost(host, name, port)) return false;
    if (port != std::to_string(rules.port)) return false;
    if (name == "localhost" || IsLoopback(name)) return true;
    if (!IsIpLiteral(name)) return false;
    return IsWildcard(rules.listen_host) || name == rules.listen_host;
}

}  // namespace

bool IsLoopback(std::string_view host) {
    return host == "localhost" || host == "::1" || host.substr(0, 4) == "127.";
}

bool IsWildcard(std::string_view host) { return host.empty() || host == "0.0.0.0" || host == "::"; }

bool SameToken(std::string_view a, std::string_view b) {
    unsigned difference = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i]) ^
                      static_cast<unsigned char>(i < b.size() ? b[i] : 0);
    }
    return difference == 0 && !a.empty();
}

std::string NewToken() {
    std::random_device device;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(device()));
        token += part;
    }
    return token;
}

Verdict CheckRequest(const AccessRules& rules, const RequestFacts& request) {
    if (!HostIsOurs(rules, request.host)) {
        return {403, "the Host header does not name this panel"};
    }
    if (request.has_origin && request.origin != "http://" + std::string(request.host)) {
        return {403, "requests from another site are refused"};
    }
    const bool read = request.method == "GET" || request.method == "HEAD";
    const bool api = request.path.substr(0, 5) == "/api/";
    if (!read && request.method != "POST") return {405, "only GET and POST are answered"};
    if (!api) {
        return read ? Verdict{} : Verdict{404, "no such request"};
    }
    const bool header_token = SameToken(rules.token, request.token_header);
    const bool query_token = read && SameToken(rules.token, request.token_query);
    if (!header_token && !query_token) {
        return {403, "the panel's token is missing or wrong: open the address the panel printed"};
    }
    if (!read && rules.read_only) return {403, "the panel is read-only (--read-only)"};
    return {};
}

}  // namespace qmdpanel
