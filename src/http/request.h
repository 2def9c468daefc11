// The texts sent to the login server, composed without any I/O.
#pragma once

#include <cstddef>

#include "base/session.h"

// Each request composer writes its text into `out` (`size` bytes) and
// returns the text's length, or -1 when the text and its NUL would not
// fit; `out` then holds the empty text. Nothing is written past `size`.
int compose_probe_request(const login_config &c, char *out, size_t size);
int compose_logout_request(const login_config &c, char *out, size_t size);
// `form` goes out as the body; Content-length is its length plus one.
int compose_login_request(const login_config &c, const char *form, char *out, size_t size);

// The size of each working buffer of the login form: the lengths of the
// header (0 when absent), both keys, the user name, the password and the
// footer, plus 22. The form always fits in it.
size_t login_form_capacity(const login_config &c);

// The form, not URL-encoded: "header&" when there is a header, then
// "ukey=user&pkey=pass", then "&footer" when there is a footer. `out`
// holds login_form_capacity(c) bytes. Returns the form's length.
int compose_login_form(const login_config &c, char *out, size_t size);

// Copy `form` into `out`, terminator included, with every space turned
// into "+". That is the whole of the form's encoding.
void plus_for_spaces(const char *form, char *out);
