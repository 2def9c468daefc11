// MD5 (RFC 1321): the digest a MikroTik hotspot page asks for in place
// of the password. Not for anything that needs a secure hash.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct md5_digest {
	uint8_t bytes[16];
};

md5_digest md5(std::string_view data);
// The digest as 32 lower-case hex digits, as the pages' hexMD5 writes it.
std::string md5hex(std::string_view data);
