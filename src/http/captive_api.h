// The captive-portal API's reply (RFC 8908, section 5): whether the
// network holds the client, where a person logs in, and what is left of
// the session. Pure: a parsed HTTP reply in, the state or the reason it
// cannot be read out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "http/reply.h"
#include "http/url.h"

// The media type the API is asked for and answers with.
inline constexpr const char *CAPTIVE_API_TYPE = "application/captive+json";

struct captive_state {
	bool captive = true;
	std::optional<std::string> user_portal_url;
	std::optional<std::string> venue_info_url;
	std::optional<int64_t> seconds_remaining;  // whole seconds, 0 or more
	std::optional<int64_t> bytes_remaining;
	bool can_extend_session = false;
};

// Reads the API's reply. Refused, with one sentence in `*why`: a status
// other than 200; a Content-Type other than application/captive+json or
// application/json (parameters aside), or none; a body cut at the reply
// reader's cap (REPLY_BODY_MAX); a body that the strict JSON reader
// refuses (json.h, 64 KiB, 32 levels); a value that is not an object; no
// "captive" or one that is not a boolean; a member the RFC names with the
// wrong type (a URL that is no string, a count that is no number of 0 or
// more, "can-extend-session" no boolean). Other members are ignored, as
// the RFC asks. A fractional count is cut to whole units.
bool read_captive_reply(const http_reply &r, captive_state *out, std::string *why);

// The API's request: "GET target HTTP/1.0", Host (with the port when it
// is not the scheme's default), kavri's User-Agent and "Accept:
// application/captive+json"; every line ends in CRLF.
std::string compose_captive_api_request(const url &api);
