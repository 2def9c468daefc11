#include "http/reply.h"

#include <algorithm>
#include <cstdint>

#include "base/text.h"

namespace {

char lower(char c)
{
	return c >= 'A' && c <= 'Z' ? char(c + 32) : c;
}

bool same_letters(std::string_view a, std::string_view b)
{
	return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
		       return lower(x) == lower(y);
	       });
}

bool is_blank(char c)
{
	return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view s)
{
	while (!s.empty() && is_blank(s.front()))
		s.remove_prefix(1);
	while (!s.empty() && is_blank(s.back()))
		s.remove_suffix(1);
	return s;
}

// RFC 9110 section 5.6.2: tchar
bool is_tchar(unsigned char c)
{
	if ((c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'))
		return true;
	return c != 0 && std::string_view("!#$%&'*+-.^_`|~").find(char(c)) != std::string_view::npos;
}

// A control character that has no place in a head: all but the tab.
bool has_control(std::string_view s)
{
	return std::any_of(s.begin(), s.end(), [](char c) {
		auto u = static_cast<unsigned char>(c);
		return (u < 0x20 && u != '\t') || u == 0x7f;
	});
}

enum class line_read { line, incomplete, malformed };

// The line at `pos`, without its CRLF or LF; `pos` moves past it.
line_read next_line(std::string_view b, size_t &pos, std::string_view &line)
{
	size_t lf = b.find('\n', pos);
	if (lf == std::string_view::npos)
		return b.size() - pos > REPLY_LINE_MAX + 1 ? line_read::malformed : line_read::incomplete;
	line = b.substr(pos, lf - pos);
	if (!line.empty() && line.back() == '\r')
		line.remove_suffix(1);
	if (line.size() > REPLY_LINE_MAX || line.find('\r') != std::string_view::npos)
		return line_read::malformed;
	pos = lf + 1;
	return line_read::line;
}

// "HTTP/1.x SP 3DIGIT [ SP reason ]"
bool parse_status_line(std::string_view line, http_reply &r)
{
	if (line.size() < 12 || !line.starts_with("HTTP/1.") || (line[7] != '0' && line[7] != '1') || line[8] != ' ')
		return false;
	r.version = 10 + (line[7] - '0');
	r.status = 0;
	for (int i = 9; i < 12; i++) {
		if (line[i] < '0' || line[i] > '9')
			return false;
		r.status = r.status * 10 + (line[i] - '0');
	}
	if (r.status < 100 || (line.size() > 12 && line[12] != ' '))
		return false;
	r.reason = line.size() > 12 ? line.substr(13) : "";
	return !has_control(r.reason);
}

enum class fields_read { done, incomplete, malformed };

// Field lines up to the empty line, into `fields` (null: read and dropped,
// as trailers are).
fields_read read_fields(std::string_view b, size_t &pos, std::vector<http_header> *fields)
{
	size_t count = 0;
	bool folded_onto = false;  // a field line before this one
	for (;;) {
		std::string_view line;
		switch (next_line(b, pos, line)) {
		case line_read::incomplete:
			return fields_read::incomplete;
		case line_read::malformed:
			return fields_read::malformed;
		case line_read::line:
			break;
		}
		if (line.empty())
			return fields_read::done;
		if (has_control(line))
			return fields_read::malformed;
		if (is_blank(line[0])) {  // obs-fold
			if (!folded_onto)
				return fields_read::malformed;
			if (fields) {
				std::string &v = fields->back().value;
				std::string_view more = trimmed(line);
				if (!more.empty()) {
					if (!v.empty())
						v += ' ';
					v += more;
				}
				if (v.size() > REPLY_LINE_MAX)
					return fields_read::malformed;
			}
			continue;
		}
		size_t colon = line.find(':');
		if (colon == 0 || colon == std::string_view::npos ||
		    !std::all_of(line.begin(), line.begin() + colon, [](char c) { return is_tchar(c); }))
			return fields_read::malformed;
		if (++count > REPLY_FIELDS_MAX)
			return fields_read::malformed;
		if (fields)
			fields->push_back({std::string(line.substr(0, colon)), std::string(trimmed(line.substr(colon + 1)))});
		folded_onto = true;
	}
}

constexpr uint64_t CONTENT_LENGTH_LIMIT = UINT64_C(1) << 62;
constexpr uint64_t CHUNK_SIZE_LIMIT = UINT64_C(1) << 60;

// Every Content-Length field, each maybe a list ("5, 5"): one number, or
// -1 when there is none, -2 when they are not one valid number.
int64_t content_length(const http_reply &r)
{
	int64_t length = -1;
	for (const http_header &h : r.headers) {
		if (!same_letters(h.name, "content-length"))
			continue;
		std::string_view list = h.value;
		do {
			size_t comma = list.find(',');
			std::string_view item = trimmed(list.substr(0, comma));
			list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
			if (item.empty())
				return -2;
			uint64_t v = 0;
			for (char c : item) {
				if (c < '0' || c > '9')
					return -2;
				v = v * 10 + uint64_t(c - '0');
				if (v >= CONTENT_LENGTH_LIMIT)
					return -2;
			}
			if (length >= 0 && uint64_t(length) != v)
				return -2;
			length = int64_t(v);
		} while (!list.empty());
	}
	return length;
}

// Whether the last transfer coding of the last Transfer-Encoding is chunked.
bool chunked_last(const std::string &te)
{
	std::string_view v = te;
	size_t comma = v.rfind(',');
	if (comma != std::string_view::npos)
		v.remove_prefix(comma + 1);
	v = trimmed(v);
	return same_letters(v.substr(0, v.find(';')), "chunked");
}

void take_body(http_reply &r, std::string_view data, size_t cap)
{
	size_t room = cap - r.body.size();
	r.body.append(data.substr(0, room));
	if (data.size() > room)
		r.cut = true;
}

// chunked-body = *chunk last-chunk trailer-section CRLF
void read_chunked(std::string_view b, size_t pos, size_t cap, http_reply &r)
{
	for (;;) {
		std::string_view line;
		line_read got = next_line(b, pos, line);
		if (got != line_read::line) {
			r.malformed = got == line_read::malformed;
			return;
		}
		// chunk-size [ BWS ";" chunk-ext ]
		size_t i = 0;
		uint64_t size = 0;
		for (; i < line.size(); i++) {
			char c = lower(line[i]);
			int d = hex_digit(c);
			if (d < 0)
				break;
			size = size * 16 + uint64_t(d);
			if (size > CHUNK_SIZE_LIMIT) {
				r.malformed = true;
				return;
			}
		}
		std::string_view rest = trimmed(line.substr(i));
		if (i == 0 || (!rest.empty() && rest[0] != ';') || has_control(rest)) {
			r.malformed = true;
			return;
		}
		if (size == 0) {
			fields_read t = read_fields(b, pos, nullptr);
			r.malformed = t == fields_read::malformed;
			r.complete = t == fields_read::done;
			return;
		}
		size_t have = b.size() - pos;
		take_body(r, b.substr(pos, std::min<uint64_t>(size, have)), cap);
		if (r.cut || size > have)
			return;
		pos += size_t(size);
		// The chunk's data ends with a line end.
		if (b.substr(pos).starts_with("\r\n")) {
			pos += 2;
		} else if (b.substr(pos).starts_with("\n")) {
			pos += 1;
		} else if (b.size() - pos >= 2 || (b.size() > pos && b[pos] != '\r')) {
			r.malformed = true;
			return;
		} else {
			return;  // incomplete
		}
	}
}

// read_reply on at most REPLY_READ_MAX bytes.
http_reply read_reply_in(std::string_view b, bool closed, size_t cap)
{
	http_reply r;
	size_t pos = 0;
	for (;;) {  // interim replies first
		r = http_reply{};
		std::string_view line;
		line_read got = next_line(b, pos, line);
		if (got == line_read::incomplete) {
			// A first line that cannot start a status line is wrong already.
			std::string_view start = b.substr(pos, 7);
			r.malformed = closed || !std::string_view("HTTP/1.").starts_with(start);
			return r;
		}
		if (got == line_read::malformed || !parse_status_line(line, r)) {
			r.malformed = true;
			return r;
		}
		fields_read f = read_fields(b, pos, &r.headers);
		if (f != fields_read::done) {
			r.malformed = f == fields_read::malformed || closed;
			return r;
		}
		if (r.status >= 200)
			break;
	}
	r.head_complete = true;

	const std::string *te = nullptr;
	for (const http_header &h : r.headers)
		if (same_letters(h.name, "transfer-encoding"))
			te = &h.value;  // the last one: its last coding is the last applied
	int64_t length = content_length(r);
	std::string_view rest = b.substr(pos);
	if (r.status == 204 || r.status == 304) {
		r.framing = body_framing::none;
		r.complete = true;
	} else if (te) {
		r.framing = chunked_last(*te) ? body_framing::chunked : body_framing::close;
	} else if (length == -2) {
		r.malformed = true;
	} else if (length >= 0) {
		r.framing = body_framing::length;
		take_body(r, rest.substr(0, size_t(std::min<uint64_t>(uint64_t(length), rest.size()))), cap);
		if (uint64_t(length) > cap && rest.size() >= cap)
			r.cut = true;
		r.complete = rest.size() >= uint64_t(length) && !r.cut;
	} else {
		r.framing = body_framing::close;
	}
	if (r.framing == body_framing::chunked) {
		read_chunked(b, pos, cap, r);
	} else if (r.framing == body_framing::close && !r.malformed) {
		take_body(r, rest, cap);
		r.complete = closed && !r.cut;
	}
	return r;
}

}  // namespace

http_reply read_reply(std::string_view b, bool closed, size_t cap)
{
	bool over = b.size() > REPLY_READ_MAX;
	if (over) {
		b = b.substr(0, REPLY_READ_MAX);
		closed = false;  // the reply goes on; what it is, is read below
	}
	http_reply r = read_reply_in(b, closed, cap);
	if (over && !r.complete && !r.malformed) {
		r.malformed = !r.head_complete;
		r.cut = r.head_complete;
	}
	return r;
}

const std::string *reply_header(const http_reply &r, std::string_view name)
{
	for (const http_header &h : r.headers)
		if (same_letters(h.name, name))
			return &h.value;
	return nullptr;
}
