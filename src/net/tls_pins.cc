#include "net/tls_pins.h"

#include <cstring>

namespace {

bool base64_char(char ch)
{
	return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '+' ||
	       ch == '/';
}

// Walk the comma-separated entries of `pins`, blanks around them dropped;
// `each` returns true to stop. Whether it was stopped.
template <typename F>
bool each_pin(const char *pins, F each)
{
	const char *p = pins;
	for (;;) {
		while (*p == ' ' || *p == '\t')
			p++;
		const char *end = p;
		while (*end != '\0' && *end != ',')
			end++;
		const char *last = end;
		while (last > p && (last[-1] == ' ' || last[-1] == '\t'))
			last--;
		if (each(p, static_cast<size_t>(last - p)))
			return true;
		if (*end == '\0')
			return false;
		p = end + 1;
	}
}

}  // namespace

bool tls_pins_valid(const char *pins)
{
	bool bad = each_pin(pins, [](const char *pin, size_t n) {
		if (n != TLS_PIN_LENGTH || pin[TLS_PIN_LENGTH - 1] != '=')
			return true;
		for (size_t i = 0; i + 1 < TLS_PIN_LENGTH; i++)
			if (!base64_char(pin[i]))
				return true;
		return false;
	});
	return !bad;
}

bool tls_pin_listed(const char *pins, const char *pin)
{
	return each_pin(pins,
	                [&](const char *p, size_t n) { return n == TLS_PIN_LENGTH && memcmp(p, pin, n) == 0; });
}

void tls_pin_of_digest(const unsigned char digest[32], char pin[TLS_PIN_LENGTH + 1])
{
	static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	const size_t n = 32;
	char *out = pin;
	for (size_t i = 0; i < n; i += 3) {
		unsigned v = digest[i] << 16 | (i + 1 < n ? digest[i + 1] << 8 : 0) | (i + 2 < n ? digest[i + 2] : 0);
		*out++ = digits[v >> 18 & 63];
		*out++ = digits[v >> 12 & 63];
		*out++ = i + 1 < n ? digits[v >> 6 & 63] : '=';
		*out++ = i + 2 < n ? digits[v & 63] : '=';
	}
	*out = '\0';
}
