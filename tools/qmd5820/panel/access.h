// Who may talk to the panel: the checks every request passes before it reaches a handler.
//
// - Host must name the panel itself: "localhost" or an IP address (never another DNS name,
//   which is what a DNS-rebinding page would send), with the panel's port; when the panel
//   listens on one address, that address or loopback.
// - Origin, when the browser sends one, must be the panel's own ("http://" + Host): a page of
//   another site in the same browser gets nothing, not even reads.
// - Every /api/ request carries the run's token: the X-Panel-Token header, or for reads (the
//   event stream, downloads) the token query parameter. The page files themselves are
//   served without it: they are the same in every copy of the tool and hold no board data.
// - A change is a POST with the token in the header (a query token never changes anything);
//   --read-only refuses every change.
#ifndef QMD5820_PANEL_ACCESS_H
#define QMD5820_PANEL_ACCESS_H

#include <string>
#include <string_view>

namespace qmdpanel {

struct AccessRules {
    std::string listen_host = "127.0.0.1";
    int port = 0;
    std::string token;
    bool read_only = false;
};

// What arrived, as the server saw it (an absent header is "").
struct RequestFacts {
    std::string_view method;
    std::string_view path;
    std::string_view host;
    std::string_view origin;
    std::string_view token_header;
    std::string_view token_query;
    bool has_origin = false;
};

struct Verdict {
    int status = 0;  // 0: allowed; otherwise the HTTP status of the refusal
    std::string reason;
};

Verdict CheckRequest(const AccessRules& rules, const RequestFacts& request);

bool IsLoopback(std::string_view host);
// True for "0.0.0.0", "::" and "" (every address of the machine).
bool IsWildcard(std::string_view host);
// Compares without leaking where the texts differ.
bool SameToken(std::string_view a, std::string_view b);
// A fresh random token of 32 hex digits.
std::string NewToken();

}  // namespace qmdpanel

#endif
