// The syntax of TLS_PIN, the lookup of a key's pin in the list, and the
// pin of a digest: pure text, one call per row.
#include "net/tls_pins.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// A well-formed pin (the base64 of 32 zero bytes) and another.
const std::string A = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
const std::string B = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";

TEST(TlsPinsValid, Table)
{
	struct row {
		std::string pins;
		bool valid;
	} rows[] = {
		{A, true},
		{B, true},
		{A + "," + B, true},
		{" \t" + A + " , " + B + "\t", true},
		{"", false},
		{",", false},
		{A + ",", false},
		{"," + A, false},
		{A.substr(1), false},                     // 43 characters
		{A + "A", false},                         // 45 characters
		{A.substr(0, 43) + "A", false},           // no "=" at the end
		{A.substr(0, 42) + "==", false},          // "=" inside the digits
		{A.substr(0, 20) + "-" + A.substr(21), false},  // not base64
		{A.substr(0, 20) + " " + A.substr(21), false},  // a blank inside
		{A + ";" + B, false},
	};
	for (const row &r : rows)
		EXPECT_EQ(tls_pins_valid(r.pins.c_str()), r.valid) << "pins: \"" << r.pins << '"';
}

TEST(TlsPinListed, Table)
{
	struct row {
		std::string pins, pin;
		bool listed;
	} rows[] = {
		{A, A, true},
		{A + "," + B, B, true},
		{" " + A + " ,\t" + B + " ", B, true},
		{A, B, false},
		{A + "x," + B.substr(1), A, false},
	};
	for (const row &r : rows)
		EXPECT_EQ(tls_pin_listed(r.pins.c_str(), r.pin.c_str()), r.listed) << r.pins << " / " << r.pin;
}

TEST(TlsPinOfDigest, Base64OfTheDigest)
{
	unsigned char zero[32] = {};
	// SHA-256 of the empty input.
	const unsigned char empty[32] = {0xe3, 0xb0, 0xc4, 0x42, 0x98, 0xfc, 0x1c, 0x14, 0x9a, 0xfb, 0xf4,
	                                 0xc8, 0x99, 0x6f, 0xb9, 0x24, 0x27, 0xae, 0x41, 0xe4, 0x64, 0x9b,
	                                 0x93, 0x4c, 0xa4, 0x95, 0x99, 0x1b, 0x78, 0x52, 0xb8, 0x55};
	char pin[TLS_PIN_LENGTH + 1];
	tls_pin_of_digest(zero, pin);
	EXPECT_EQ(std::string(pin), A);
	tls_pin_of_digest(empty, pin);
	EXPECT_EQ(std::string(pin), B);
	EXPECT_TRUE(tls_pins_valid(pin));
	EXPECT_EQ(strlen(pin), TLS_PIN_LENGTH);
}

}  // namespace
