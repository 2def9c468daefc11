// What the tests' HTTP servers share about a request's bytes.
#pragma once

#include <string>
#include <string_view>

// Where the head of a request ends (just past its empty line), or npos.
// Bare line feeds are taken too.
inline size_t http_header_end(const std::string &s)
{
	size_t crlf = s.find("\r\n\r\n");
	size_t lf = s.find("\n\n");
	if (crlf == std::string::npos && lf == std::string::npos)
		return std::string::npos;
	if (lf == std::string::npos || (crlf != std::string::npos && crlf < lf))
		return crlf + 4;
	return lf + 2;
}

// A Content-Length value as the tests' servers read it: its digits up to
// the first other byte (blanks skipped), no more than `cap`.
inline size_t http_content_length(std::string_view value, size_t cap)
{
	size_t n = 0;
	for (char c : value) {
		if (c == ' ' || c == '\t')
			continue;
		if (c < '0' || c > '9')
			break;
		n = n * 10 + static_cast<size_t>(c - '0');
		if (n > cap)
			return cap;
	}
	return n;
}
