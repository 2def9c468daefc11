// A reply read as HTTP/1.0 or 1.1 (RFC 9112): status line, header fields
// and body, from the bytes read so far. The exchange reads until the
// server closes, the reply is complete, or the body is over its cap, and
// calls read_reply on all it has each time: a reply is at most a few tens
// of KiB, so reading it again is cheaper than keeping a parser's state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The body a form login reads at most; the rest of a longer one is cut.
inline constexpr size_t REPLY_BODY_MAX = 64 * 1024;
// The bytes of one reply read at most, head and chunk sizes included, so
// that a server cannot make a small body cost much: past them a reply is
// cut (or malformed, when its head has not ended).
inline constexpr size_t REPLY_READ_MAX = 256 * 1024;
// The header fields of a reply, the trailer fields of a chunked body,
// and the bytes of one line (status line, field line, chunk size line).
inline constexpr size_t REPLY_FIELDS_MAX = 100;
inline constexpr size_t REPLY_LINE_MAX = 8192;

struct http_header {
	std::string name;   // as sent; compare without regard to case
	std::string value;  // without the blanks around it
};

enum class body_framing {
	none,     // 1xx, 204 and 304 have none
	length,   // Content-Length
	chunked,  // Transfer-Encoding with chunked last
	close,    // to the end of the bytes: the server closes
};

struct http_reply {
	int version = 0;  // 10 or 11
	int status = 0;
	std::string reason;
	std::vector<http_header> headers;  // in the order sent
	body_framing framing = body_framing::close;
	std::string body;  // chunked bodies decoded; at most the cap
	bool head_complete = false;  // status line and header fields all read
	bool complete = false;       // the body's end seen (for close: the bytes are all there are)
	bool cut = false;            // the body goes on past the cap or REPLY_READ_MAX: `body` is its start
	bool malformed = false;      // not an HTTP/1.x reply; what came before the fault is kept
};

// The reply in `bytes`; `closed`: the server has closed, no more bytes
// come. Interim 1xx replies are skipped. Read as RFC 9112 has a user agent
// read: a line ends with CRLF or a bare LF; a field line folded onto the
// next (obs-fold) is joined with one space; a Transfer-Encoding whose last
// coding is chunked wins over a Content-Length, another one means "to the
// close"; the chunk extensions and trailer fields are read and dropped.
// Malformed: a status line other than "HTTP/1.0" or "HTTP/1.1", a status
// code, and an optional reason; a bare CR, a NUL or another control
// character (but a tab) in the head; a field name that is not a token (a
// blank before the colon included) or a line without a colon; more than
// REPLY_FIELDS_MAX fields or a line over REPLY_LINE_MAX; a Content-Length
// that is not a number below 2^62, or several that disagree; a chunk size
// that is not hex or over 2^60, or a chunk not ended by a line end; a
// head not ended when the server closes. A body that the close cuts short
// is not complete, and not malformed: what came is there.
http_reply read_reply(std::string_view bytes, bool closed, size_t cap = REPLY_BODY_MAX);

// The value of the first header field named `name` (any case), or null.
const std::string *reply_header(const http_reply &r, std::string_view name);
