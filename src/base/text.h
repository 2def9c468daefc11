// Small pieces of text handling that the readers of pages, replies and
// JSON share.
#pragma once

#include <cstdint>
#include <string>

// The value of a hexadecimal digit in either letter case, or -1.
constexpr int hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// A code point in UTF-8; a surrogate is written as its three bytes.
void append_utf8(uint32_t code_point, std::string &out);
