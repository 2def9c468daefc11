// TLS_PIN: SHA-256 digests of a server's public key (its
// SubjectPublicKeyInfo), base64, comma-separated. Pure text: no library.
#pragma once

#include <cstddef>

inline constexpr size_t TLS_PIN_LENGTH = 44;  // base64 of 32 bytes: 43 characters and "="

// Whether the pin list is well formed: base64 SHA-256 digests (44
// characters, the last "="), separated by commas, blanks around them
// allowed.
bool tls_pins_valid(const char *pins);

// Whether `pin` (TLS_PIN_LENGTH characters) is one of the list's entries.
bool tls_pin_listed(const char *pins, const char *pin);

// The pin of a 32-byte SHA-256 digest: its base64 text and a NUL.
void tls_pin_of_digest(const unsigned char digest[32], char pin[TLS_PIN_LENGTH + 1]);
