#include "base/md5.h"

#include <cstring>

namespace {

// RFC 1321 section 3.4: the per-step shifts and T[i] = floor(2^32 * |sin(i + 1)|).
constexpr uint8_t S[64] = {
	7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
	5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
	4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
	6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,
};

constexpr uint32_t T[64] = {
	0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
	0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
	0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
	0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
	0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
	0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
	0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
	0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

uint32_t rotate_left(uint32_t x, int n)
{
	return (x << n) | (x >> (32 - n));
}

// Section 3.4: one 64-byte block into the state ABCD.
void md5_block(uint32_t state[4], const uint8_t *block)
{
	uint32_t X[16];
	for (int i = 0; i < 16; i++)
		X[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 | uint32_t(block[4 * i + 2]) << 16 |
		       uint32_t(block[4 * i + 3]) << 24;
	uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
	for (int i = 0; i < 64; i++) {
		uint32_t f;
		int k;
		switch (i / 16) {
		case 0: f = (b & c) | (~b & d); k = i; break;              // F
		case 1: f = (b & d) | (c & ~d); k = (5 * i + 1) % 16; break; // G
		case 2: f = b ^ c ^ d; k = (3 * i + 5) % 16; break;           // H
		default: f = c ^ (b | ~d); k = (7 * i) % 16; break;           // I
		}
		uint32_t next = b + rotate_left(a + f + X[k] + T[i], S[i]);
		a = d;
		d = c;
		c = b;
		b = next;
	}
	state[0] += a;
	state[1] += b;
	state[2] += c;
	state[3] += d;
}

}  // namespace

md5_digest md5(std::string_view data)
{
	uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
	const auto *p = reinterpret_cast<const uint8_t *>(data.data());
	size_t n = data.size();
	for (; n >= 64; p += 64, n -= 64)
		md5_block(state, p);
	// Sections 3.1 and 3.2: a 1 bit, zeros up to 56 mod 64, the length in bits.
	uint8_t tail[128] = {};
	memcpy(tail, p, n);
	tail[n] = 0x80;
	size_t blocks = n < 56 ? 1 : 2;
	uint64_t bits = uint64_t(data.size()) * 8;
	for (int i = 0; i < 8; i++)
		tail[blocks * 64 - 8 + i] = uint8_t(bits >> (8 * i));
	for (size_t i = 0; i < blocks; i++)
		md5_block(state, tail + 64 * i);
	md5_digest out;
	for (int i = 0; i < 16; i++)
		out.bytes[i] = uint8_t(state[i / 4] >> (8 * (i % 4)));
	return out;
}

std::string md5hex(std::string_view data)
{
	static constexpr char hex[] = "0123456789abcdef";
	md5_digest d = md5(data);
	std::string out;
	for (uint8_t b : d.bytes) {
		out += hex[b >> 4];
		out += hex[b & 15];
	}
	return out;
}
