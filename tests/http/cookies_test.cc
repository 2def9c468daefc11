// Cookies of one login: RFC 6265's parsing, its predicates, the jar with
// the RFC's own examples, and the bounds a hostile server meets.
#include "http/cookies.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr int64_t NOW = 1700000000;  // 2023-11-14

struct Parsed {
	const char *text;
	bool ok;
	const char *name;
	const char *value;
	const char *domain;  // null: none
	const char *path;    // null: none
	std::optional<int64_t> max_age;
	std::optional<int64_t> expires;
	bool secure;
};

const Parsed parsed[] = {
	{"SID=31d4d96e407aad42", true, "SID", "31d4d96e407aad42", nullptr, nullptr, {}, {}, false},
	{"SID=31d4d96e407aad42; Path=/; Domain=example.com", true, "SID", "31d4d96e407aad42", "example.com", "/",
	 {}, {}, false},
	{"SID=31d4d96e407aad42; Path=/; Secure; HttpOnly", true, "SID", "31d4d96e407aad42", nullptr, "/", {}, {},
	 true},
	{"lang=en-US; Expires=Wed, 09 Jun 2021 10:18:14 GMT", true, "lang", "en-US", nullptr, nullptr, {},
	 1623233894, false},
	{" a = b c ; DOMAIN=.Example.COM ;path=/x;secure", true, "a", "b c", "example.com", "/x", {}, {}, true},
	{"a=b=c;", true, "a", "b=c", nullptr, nullptr, {}, {}, false},
	{"a=", true, "a", "", nullptr, nullptr, {}, {}, false},
	{"a=b; Max-Age=0", true, "a", "b", nullptr, nullptr, 0, {}, false},
	{"a=b; Max-Age=-5; max-age=60", true, "a", "b", nullptr, nullptr, 60, {}, false},  // the last wins
	{"a=b; Max-Age=99999999999999999999999", true, "a", "b", nullptr, nullptr, INT64_C(1) << 40, {}, false},
	{"a=b; Max-Age=1x; Max-Age=; Max-Age=+1", true, "a", "b", nullptr, nullptr, {}, {}, false},
	{"a=b; Expires=never", true, "a", "b", nullptr, nullptr, {}, {}, false},
	{"a=b; Domain=; Path=relative", true, "a", "b", nullptr, nullptr, {}, {}, false},
	{"a=b; Path=/p; Path=x", true, "a", "b", nullptr, nullptr, {}, {}, false},  // the last wins
	{"a=b\tc", true, "a", "b\tc", nullptr, nullptr, {}, {}, false},
	{"novalue", false, "", "", nullptr, nullptr, {}, {}, false},
	{"=b", false, "", "", nullptr, nullptr, {}, {}, false},
	{" =b", false, "", "", nullptr, nullptr, {}, {}, false},
	{"", false, "", "", nullptr, nullptr, {}, {}, false},
	{"a=b\r\nSet-Cookie: c=d", false, "", "", nullptr, nullptr, {}, {}, false},
	{"a=b\nX: y", false, "", "", nullptr, nullptr, {}, {}, false},
	{"a=b; x=\x01", false, "", "", nullptr, nullptr, {}, {}, false},
	{"a=\x7f", false, "", "", nullptr, nullptr, {}, {}, false},
};

TEST(SetCookie, ParsedAsSectionFiveTwo)
{
	for (const Parsed &p : parsed) {
		auto c = parse_set_cookie(p.text);
		ASSERT_EQ(bool(c), p.ok) << p.text;
		if (!c)
			continue;
		EXPECT_EQ(c->name, p.name) << p.text;
		EXPECT_EQ(c->value, p.value) << p.text;
		EXPECT_EQ(c->domain.value_or("(none)"), p.domain ? p.domain : "(none)") << p.text;
		EXPECT_EQ(c->path.value_or("(none)"), p.path ? p.path : "(none)") << p.text;
		EXPECT_EQ(c->max_age, p.max_age) << p.text;
		EXPECT_EQ(c->expires, p.expires) << p.text;
		EXPECT_EQ(c->secure, p.secure) << p.text;
	}
	EXPECT_FALSE(parse_set_cookie(std::string_view("a=b\0c", 5)));
}

struct Date {
	const char *text;
	std::optional<int64_t> time;
};

const Date dates[] = {
	{"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},   // RFC 1123
	{"Sunday, 06-Nov-94 08:49:37 GMT", 784111777},  // RFC 850
	{"Sun Nov  6 08:49:37 1994", 784111777},        // asctime
	{"06 nov 1994 8:49:37", 784111777},
	{"Thu, 01 Jan 1970 00:00:00 GMT", 0},
	{"1 Jan 70 00:00:00", 0},
	{"1 Jan 69 00:00:00", 3124224000},
	{"Thu, 29 Feb 2024 23:59:59 GMT", 1709251199},
	{"1 January 1601 00:00:00", -11644473600},
	{"Fri, 30 Feb 2024 00:00:00 GMT", {}},
	{"Thu, 29 Feb 2023 00:00:00 GMT", {}},
	{"32 Jan 2020 00:00:00", {}},
	{"1 Jan 1600 00:00:00", {}},
	{"1 Jan 2020 24:00:00", {}},
	{"1 Jan 2020 00:60:00", {}},
	{"1 Jan 2020", {}},
	{"1 2020 00:00:00", {}},
	{"1 Jan 00:00:00", {}},
	{"123 Jan 2020 00:00:00", {}},
	{"", {}},
};

TEST(CookieDate, SectionFiveOneOne)
{
	for (const Date &d : dates)
		EXPECT_EQ(parse_cookie_date(d.text), d.time) << d.text;
}

TEST(CookiePredicates, DomainMatchDefaultPathPathMatch)
{
	struct Domain {
		const char *string, *domain;
		bool match;
	} domains[] = {
		{"example.com", "example.com", true},   {"www.example.com", "example.com", true},
		{"wwwexample.com", "example.com", false}, {"example.com", "www.example.com", false},
		{"a.b.example.com", "example.com", true}, {"192.168.1.1", "168.1.1", false},
		{"192.168.1.1", "192.168.1.1", true},   {"::1", "::1", true},
		{"fe80::1:1", "1:1", false},
	};
	for (const Domain &d : domains)
		EXPECT_EQ(domain_match(d.string, d.domain), d.match) << d.string << " / " << d.domain;

	struct Default {
		const char *uri_path, *path;
	} defaults[] = {{"", "/"}, {"x", "/"}, {"/", "/"}, {"/login", "/"}, {"/a/b", "/a"}, {"/a/b/", "/a/b"}};
	for (const Default &d : defaults)
		EXPECT_EQ(default_path(d.uri_path), d.path) << d.uri_path;

	struct Path {
		const char *request, *cookie;
		bool match;
	} paths[] = {
		{"/", "/", true},      {"/a", "/", true},       {"/a/b", "/a", true},  {"/a/", "/a", true},
		{"/ab", "/a", false},  {"/a", "/a/", false},    {"/a/b", "/a/", true}, {"/", "/a", false},
		{"/A", "/a", false},
	};
	for (const Path &p : paths)
		EXPECT_EQ(path_match(p.request, p.cookie), p.match) << p.request << " / " << p.cookie;
}

// A login's cookies, one step a row: a reply to `url` sets `text`, or a
// request to `url` sends `text` as its Cookie header.
struct Step {
	enum { set, send } op;
	const char *url;
	const char *text;
	cookie_stored stored;  // for set
};

using enum cookie_stored;

Step sets(const char *url, const char *set_cookie, cookie_stored stored)
{
	return {Step::set, url, set_cookie, stored};
}

Step sends(const char *url, const char *cookie)
{
	return {Step::send, url, cookie, ignored};
}

void run_steps(const char *name, std::initializer_list<Step> steps)
{
	cookie_jar jar;
	int n = 0;
	for (const Step &s : steps) {
		n++;
		auto u = url_parse(s.url);
		ASSERT_TRUE(u) << s.url;
		if (s.op == Step::set)
			EXPECT_EQ(cookie_jar_store(jar, s.text, *u, NOW), s.stored)
				<< name << " step " << n << ": " << s.text;
		else
			EXPECT_EQ(cookie_header(jar, *u), s.text) << name << " step " << n << ": " << s.url;
	}
}

TEST(CookieJar, Rfc6265Examples)
{
	// Section 3.1's examples.
	run_steps("host-only", {
		sets("http://example.com/", "SID=31d4d96e407aad42", stored),
		sends("http://example.com/x", "SID=31d4d96e407aad42"),
		sends("http://www.example.com/", ""),
	});
	run_steps("domain", {
		sets("http://example.com/", "SID=31d4d96e407aad42; Path=/; Domain=example.com", stored),
		sets("http://example.com/", "lang=en-US; Path=/; Domain=example.com", stored),
		sends("http://www.example.com/", "SID=31d4d96e407aad42; lang=en-US"),
		sends("http://example.com/a/b", "SID=31d4d96e407aad42; lang=en-US"),
		sets("http://example.com/", "lang=; Expires=Sun, 06 Nov 1994 08:49:37 GMT", removed),
		sends("http://example.com/", "SID=31d4d96e407aad42"),
	});
	run_steps("secure", {
		sets("https://www.example.com/", "SID=31d4d96e407aad42; Path=/; Secure; HttpOnly", stored),
		sets("https://www.example.com/", "lang=en-US; Path=/; Domain=example.com", stored),
		sends("https://www.example.com/", "SID=31d4d96e407aad42; lang=en-US"),
		sends("http://www.example.com/", "lang=en-US"),
		sends("https://example.com/", "lang=en-US"),
	});
}

TEST(CookieJar, WhatPortalsSet)
{
	run_steps("paths and order", {
		sets("http://gw:2050/login/page", "a=1", stored),             // default path /login
		sets("http://gw:2050/x", "b=2; Path=/login/form", stored),
		sets("http://gw:2050/x", "c=3; Path=/", stored),
		sets("http://gw:2050/x", "d=4; Path=/login", stored),
		sends("http://gw:2050/login/form/go", "b=2; a=1; d=4; c=3"),  // longer paths first
		sends("http://gw:2050/login", "a=1; d=4; c=3"),
		sends("http://gw:2050/loginx", "c=3"),
		sends("http://gw:8080/login", "a=1; d=4; c=3"),  // ports are not the cookie's
		sets("http://gw:2050/", "a=9; Path=/login", stored),           // replaces a=1 in its place
		sends("http://gw:2050/login", "a=9; d=4; c=3"),
		sets("http://gw:2050/", "a=; Path=/login; Max-Age=0", removed),
		sets("http://gw:2050/", "c=; Max-Age=-1", removed),
		sends("http://gw:2050/login", "d=4"),
		sets("http://gw:2050/", "d=5; Path=/login; Max-Age=60; Expires=Thu, 01 Jan 1970 00:00:00 GMT",
		 stored),  // Max-Age wins
		sets("http://gw:2050/", "e=1; Expires=Thu, 01 Jan 2099 00:00:00 GMT", stored),
		sends("http://gw:2050/login", "d=5; e=1"),
	});
	run_steps("domains", {
		sets("http://login.campus.example/", "a=1; Domain=.Campus.Example", stored),
		sets("http://login.campus.example/", "b=1; Domain=evil.example", ignored),
		sets("http://login.campus.example/", "c=1; Domain=other.campus.example", ignored),
		sets("http://login.campus.example/", "d=1; Domain=example", ignored),  // one label
		sets("http://login.campus.example/", "e=1; Domain=pus.example", ignored),
		sets("http://localhost/", "f=1; Domain=localhost", stored),            // host-only
		sets("http://192.168.1.1/", "g=1; Domain=168.1.1", ignored),
		sets("http://192.168.1.1/", "h=1; Domain=192.168.1.1", stored),
		sets("http://[::1]/", "i=1; Domain=::1", stored),
		sets("http://login.campus.example/", "junk", ignored),
		sends("http://campus.example/", "a=1"),
		sends("http://x.campus.example/", "a=1"),
		sends("http://sub.localhost/", ""),
		sends("http://localhost/", "f=1"),
		sends("http://192.168.1.1/", "h=1"),
		sends("http://[0::1]/", "i=1"),
	});
}

TEST(CookieJar, BoundedAgainstAHostileServer)
{
	auto u = url_parse("http://gw/");
	cookie_jar jar;
	// Name, value, domain "gw" and path "/": one byte over.
	std::string big = "n=" + std::string(COOKIE_SIZE_MAX - 3, 'v');
	EXPECT_EQ(cookie_jar_store(jar, big, *u, NOW), ignored);
	big.pop_back();
	EXPECT_EQ(cookie_jar_store(jar, big, *u, NOW), stored);
	EXPECT_EQ(jar.size, COOKIE_SIZE_MAX);
	// The bytes in all: three more of that size fill the jar, a fifth does not fit.
	for (char name : {'a', 'b', 'c'})
		EXPECT_EQ(cookie_jar_store(jar, name + big.substr(1), *u, NOW), stored);
	EXPECT_EQ(jar.size, COOKIE_JAR_SIZE_MAX);
	EXPECT_EQ(cookie_jar_store(jar, "x=1", *u, NOW), ignored);
	// A replacement that does not grow the jar still goes in; a removal makes room.
	EXPECT_EQ(cookie_jar_store(jar, "a=1", *u, NOW), stored);
	EXPECT_EQ(cookie_jar_store(jar, "b=; Max-Age=0", *u, NOW), removed);
	EXPECT_EQ(jar.cookies.size(), 3u);
	EXPECT_EQ(jar.size, 2 * COOKIE_SIZE_MAX + 5);

	// The count.
	cookie_jar many;
	for (size_t i = 0; i < COOKIES_MAX + 10; i++) {
		std::string line = std::to_string(i);
		line.insert(0, 1, 'c').append("=1");
		EXPECT_EQ(cookie_jar_store(many, line, *u, NOW), i < COOKIES_MAX ? stored : ignored);
	}
	EXPECT_EQ(many.cookies.size(), COOKIES_MAX);
	EXPECT_EQ(cookie_jar_store(many, "c0=2", *u, NOW), stored);
	EXPECT_LT(cookie_header(many, *u).size(), COOKIE_JAR_SIZE_MAX + 2 * COOKIES_MAX);
}

}  // namespace
