#include "http/cookies.h"

#include <arpa/inet.h>

#include <algorithm>

namespace {

bool is_wsp(char c)
{
	return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view s)
{
	while (!s.empty() && is_wsp(s.front()))
		s.remove_prefix(1);
	while (!s.empty() && is_wsp(s.back()))
		s.remove_suffix(1);
	return s;
}

bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

char lower(char c)
{
	return c >= 'A' && c <= 'Z' ? char(c + 32) : c;
}

bool same_letters(std::string_view a, std::string_view b)
{
	if (a.size() != b.size())
		return false;
	for (size_t i = 0; i < a.size(); i++)
		if (lower(a[i]) != lower(b[i]))
			return false;
	return true;
}

std::string lowered(std::string_view s)
{
	std::string out(s);
	for (char &c : out)
		c = lower(c);
	return out;
}

bool is_ip_address(std::string_view host)
{
	if (host.find(':') != std::string_view::npos)
		return true;
	std::string text(host);
	unsigned char a[4];
	return inet_pton(AF_INET, text.c_str(), a) == 1;
}

// Section 5.1.1: delimiter = %x09 / %x20-2F / %x3B-40 / %x5B-60 / %x7B-7E
bool is_date_delimiter(unsigned char c)
{
	return c == 0x09 || (c >= 0x20 && c <= 0x2f) || (c >= 0x3b && c <= 0x40) || (c >= 0x5b && c <= 0x60) ||
	       (c >= 0x7b && c <= 0x7e);
}

// 1*max DIGIT at the start of s, at least `min`, then nothing or a
// non-digit: the number, or -1.
int leading_number(std::string_view s, size_t min, size_t max, size_t *used = nullptr)
{
	size_t n = 0;
	int v = 0;
	while (n < s.size() && is_digit(s[n]) && n < max)
		v = v * 10 + (s[n++] - '0');
	if (n < min || (n < s.size() && is_digit(s[n])))
		return -1;
	if (used)
		*used = n;
	return v;
}

// hms-time = time-field ":" time-field ":" time-field, then anything
// after a non-digit.
bool parse_time(std::string_view t, int &h, int &m, int &s)
{
	int *f[3] = {&h, &m, &s};
	for (int i = 0; i < 3; i++) {
		size_t used;
		*f[i] = leading_number(t, 1, 2, &used);
		if (*f[i] < 0)
			return false;
		t.remove_prefix(used);
		if (i < 2) {
			if (t.empty() || t[0] != ':')
				return false;
			t.remove_prefix(1);
		}
	}
	return true;
}

int64_t days_from_civil(int64_t y, int m, int d)
{
	y -= m <= 2;
	int64_t era = (y >= 0 ? y : y - 399) / 400;
	int64_t yoe = y - era * 400;
	int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
	int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
	return era * 146097 + doe - 719468;
}

int days_in_month(int y, int m)
{
	static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
	bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
	return m == 2 && leap ? 29 : days[m - 1];
}

size_t cookie_size(const cookie &c)
{
	return c.name.size() + c.value.size() + c.domain.size() + c.path.size();
}

}  // namespace

std::optional<int64_t> parse_cookie_date(std::string_view text)
{
	static constexpr const char *months[] = {"jan", "feb", "mar", "apr", "may", "jun",
						 "jul", "aug", "sep", "oct", "nov", "dec"};
	bool found_time = false, found_day_of_month = false, found_month = false, found_year = false;
	int hour = 0, minute = 0, second = 0, day_of_month = 0, month = 0, year = 0;
	size_t i = 0;
	while (i < text.size()) {
		while (i < text.size() && is_date_delimiter(text[i]))
			i++;
		size_t start = i;
		while (i < text.size() && !is_date_delimiter(text[i]))
			i++;
		std::string_view token = text.substr(start, i - start);
		if (token.empty())
			break;
		int v;
		if (!found_time && parse_time(token, hour, minute, second)) {
			found_time = true;
		} else if (!found_day_of_month && (v = leading_number(token, 1, 2)) >= 0) {
			found_day_of_month = true;
			day_of_month = v;
		} else if (!found_month && token.size() >= 3 &&
			   std::find_if(std::begin(months), std::end(months), [&](const char *m) {
				   return same_letters(token.substr(0, 3), m);
			   }) != std::end(months)) {
			found_month = true;
			for (int k = 0; k < 12; k++)
				if (same_letters(token.substr(0, 3), months[k]))
					month = k + 1;
		} else if (!found_year && (v = leading_number(token, 2, 4)) >= 0) {
			found_year = true;
			year = v;
		}
	}
	if (year >= 70 && year <= 99)
		year += 1900;
	else if (year >= 0 && year <= 69)
		year += 2000;
	if (!found_time || !found_day_of_month || !found_month || !found_year)
		return std::nullopt;
	if (day_of_month < 1 || day_of_month > 31 || year < 1601 || hour > 23 || minute > 59 || second > 59)
		return std::nullopt;
	if (day_of_month > days_in_month(year, month))
		return std::nullopt;
	return days_from_civil(year, month, day_of_month) * 86400 + hour * 3600 + minute * 60 + second;
}

std::optional<set_cookie> parse_set_cookie(std::string_view s)
{
	for (unsigned char c : s)
		if ((c < 0x20 && c != '\t') || c == 0x7f)
			return std::nullopt;
	size_t semicolon = s.find(';');
	std::string_view name_value_pair = s.substr(0, semicolon);
	std::string_view unparsed_attributes = semicolon == std::string_view::npos ? "" : s.substr(semicolon);
	size_t eq = name_value_pair.find('=');
	if (eq == std::string_view::npos)
		return std::nullopt;
	set_cookie c;
	c.name = trimmed(name_value_pair.substr(0, eq));
	c.value = trimmed(name_value_pair.substr(eq + 1));
	if (c.name.empty())
		return std::nullopt;
	while (!unparsed_attributes.empty()) {
		unparsed_attributes.remove_prefix(1);  // the ";"
		size_t next = unparsed_attributes.find(';');
		std::string_view cookie_av = unparsed_attributes.substr(0, next);
		unparsed_attributes.remove_prefix(next == std::string_view::npos ? unparsed_attributes.size() : next);
		size_t e = cookie_av.find('=');
		std::string_view attribute_name = trimmed(cookie_av.substr(0, e));
		std::string_view attribute_value = e == std::string_view::npos ? "" : trimmed(cookie_av.substr(e + 1));
		if (same_letters(attribute_name, "expires")) {  // 5.2.1
			if (auto t = parse_cookie_date(attribute_value))
				c.expires = *t;
		} else if (same_letters(attribute_name, "max-age")) {  // 5.2.2
			std::string_view digits = attribute_value;
			bool negative = !digits.empty() && digits[0] == '-';
			if (negative)
				digits.remove_prefix(1);
			if (digits.empty() || !std::all_of(digits.begin(), digits.end(), is_digit))
				continue;
			int64_t delta = 0;
			for (char d : digits)
				delta = std::min<int64_t>(delta * 10 + (d - '0'), INT64_C(1) << 40);
			c.max_age = negative ? -delta : delta;
		} else if (same_letters(attribute_name, "domain")) {  // 5.2.3
			if (attribute_value.empty())
				continue;
			if (attribute_value[0] == '.')
				attribute_value.remove_prefix(1);
			c.domain = lowered(attribute_value);
		} else if (same_letters(attribute_name, "path")) {  // 5.2.4
			if (attribute_value.empty() || attribute_value[0] != '/')
				c.path.reset();
			else
				c.path = attribute_value;
		} else if (same_letters(attribute_name, "secure")) {  // 5.2.5
			c.secure = true;
		} else if (same_letters(attribute_name, "httponly")) {  // 5.2.6
			c.http_only = true;
		}
	}
	return c;
}

bool domain_match(std::string_view string, std::string_view domain_string)
{
	if (string == domain_string)
		return true;
	return string.size() > domain_string.size() && string.ends_with(domain_string) &&
	       string[string.size() - domain_string.size() - 1] == '.' && !is_ip_address(string);
}

std::string default_path(std::string_view uri_path)
{
	if (uri_path.empty() || uri_path[0] != '/')
		return "/";
	size_t last = uri_path.rfind('/');
	if (last == 0)
		return "/";
	return std::string(uri_path.substr(0, last));
}

bool path_match(std::string_view request_path, std::string_view cookie_path)
{
	if (request_path == cookie_path)
		return true;
	return request_path.starts_with(cookie_path) &&
	       (cookie_path.ends_with('/') || request_path[cookie_path.size()] == '/');
}

cookie_stored cookie_jar_store(cookie_jar &jar, std::string_view set_cookie_value, const url &request,
			       int64_t now)
{
	auto sc = parse_set_cookie(set_cookie_value);
	if (!sc)
		return cookie_stored::ignored;
	const std::string &host = request.host;
	cookie c{sc->name, sc->value, {}, {}, true, sc->secure};
	if (sc->domain && !sc->domain->empty()) {
		bool public_suffix = sc->domain->find('.') == std::string::npos;
		if (public_suffix && *sc->domain != host)
			return cookie_stored::ignored;
		if (!public_suffix) {
			if (!domain_match(host, *sc->domain))
				return cookie_stored::ignored;
			c.host_only = false;
		}
		c.domain = public_suffix ? host : *sc->domain;
	} else {
		c.domain = host;
	}
	c.path = sc->path ? *sc->path : default_path(request.path);
	bool remove = sc->max_age ? *sc->max_age <= 0 : sc->expires && *sc->expires <= now;

	auto old = std::find_if(jar.cookies.begin(), jar.cookies.end(), [&](const cookie &o) {
		return o.name == c.name && o.domain == c.domain && o.path == c.path;
	});
	size_t old_size = old == jar.cookies.end() ? 0 : cookie_size(*old);
	if (remove) {
		if (old != jar.cookies.end()) {
			jar.size -= old_size;
			jar.cookies.erase(old);
		}
		return cookie_stored::removed;
	}
	size_t size = cookie_size(c);
	if (size > COOKIE_SIZE_MAX || jar.size - old_size + size > COOKIE_JAR_SIZE_MAX)
		return cookie_stored::ignored;
	if (old != jar.cookies.end()) {
		*old = std::move(c);  // keeps the old cookie's place: its creation time
	} else {
		if (jar.cookies.size() >= COOKIES_MAX)
			return cookie_stored::ignored;
		jar.cookies.push_back(std::move(c));
	}
	jar.size = jar.size - old_size + size;
	return cookie_stored::stored;
}

std::string cookie_header(const cookie_jar &jar, const url &request)
{
	std::vector<const cookie *> list;
	for (const cookie &c : jar.cookies) {
		bool host_ok = c.host_only ? request.host == c.domain : domain_match(request.host, c.domain);
		if (host_ok && path_match(request.path, c.path) && (!c.secure_only || request.scheme == "https"))
			list.push_back(&c);
	}
	std::stable_sort(list.begin(), list.end(),
			 [](const cookie *a, const cookie *b) { return a->path.size() > b->path.size(); });
	std::string header;
	for (const cookie *c : list) {
		if (!header.empty())
			header += "; ";
		header += c->name;
		header += '=';
		header += c->value;
	}
	return header;
}
