// application/x-www-form-urlencoded as the HTML standard serializes a
// form's entries, and the LOGIN_FIELDS setting's name=value list.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/url.h"

struct form_field {
	std::string name;
	std::string value;
};

// The URL standard's application/x-www-form-urlencoded byte serializer:
// ASCII letters, digits and "*-._" as they are, a space as "+", every
// other byte as %XX with upper-case hex digits.
std::string form_urlencoded_bytes(std::string_view bytes);
// The entries as "name=value" joined with "&", each part serialized.
std::string form_urlencoded(const std::vector<form_field> &fields);
// The URL a GET form goes to: the action with its query replaced by the
// fields, as the HTML standard's "mutate action URL" does (the query is
// there, maybe empty, even without fields).
url form_get_url(url action, const std::vector<form_field> &fields);

// A LOGIN_FIELDS value: "name=value" entries joined with "&", written by
// hand. %XX is decoded, so that "&", "=" and "%" can be written as %26,
// %3D and %25; "+" stays a plus (passwords and vouchers hold them; a space
// is written as itself or %20). An entry without "=" has the empty value;
// empty entries ("a=1&&b=2", a trailing "&") are skipped. Empty when a "%"
// is not followed by two hex digits or a name is empty.
std::optional<std::vector<form_field>> parse_login_fields(std::string_view text);
