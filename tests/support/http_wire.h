// What the tests' HTTP servers share about a request's bytes.
#pragma once

#include <string>

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
