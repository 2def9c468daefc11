// URLs: the resolution of RFC 3986 against its own examples, and what
// portal pages and replies write.
#include "http/url.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Example {
	const char *R;
	const char *T;
};

// RFC 3986 section 5.4, against its base "http://a/b/c/d;p?q".
constexpr const char *rfc_base = "http://a/b/c/d;p?q";

const Example normal_examples[] = {  // 5.4.1
	{"g:h", "g:h"},
	{"g", "http://a/b/c/g"},
	{"./g", "http://a/b/c/g"},
	{"g/", "http://a/b/c/g/"},
	{"/g", "http://a/g"},
	{"//g", "http://g"},
	{"?y", "http://a/b/c/d;p?y"},
	{"g?y", "http://a/b/c/g?y"},
	{"#s", "http://a/b/c/d;p?q#s"},
	{"g#s", "http://a/b/c/g#s"},
	{"g?y#s", "http://a/b/c/g?y#s"},
	{";x", "http://a/b/c/;x"},
	{"g;x", "http://a/b/c/g;x"},
	{"g;x?y#s", "http://a/b/c/g;x?y#s"},
	{"", "http://a/b/c/d;p?q"},
	{".", "http://a/b/c/"},
	{"./", "http://a/b/c/"},
	{"..", "http://a/b/"},
	{"../", "http://a/b/"},
	{"../g", "http://a/b/g"},
	{"../..", "http://a/"},
	{"../../", "http://a/"},
	{"../../g", "http://a/g"},
};

const Example abnormal_examples[] = {  // 5.4.2
	{"../../../g", "http://a/g"},
	{"../../../../g", "http://a/g"},
	{"/./g", "http://a/g"},
	{"/../g", "http://a/g"},
	{"g.", "http://a/b/c/g."},
	{".g", "http://a/b/c/.g"},
	{"g..", "http://a/b/c/g.."},
	{"..g", "http://a/b/c/..g"},
	{"./../g", "http://a/b/g"},
	{"./g/.", "http://a/b/c/g/"},
	{"g/./h", "http://a/b/c/g/h"},
	{"g/../h", "http://a/b/c/h"},
	{"g;x=1/./y", "http://a/b/c/g;x=1/y"},
	{"g;x=1/../y", "http://a/b/c/y"},
	{"g?y/./x", "http://a/b/c/g?y/./x"},
	{"g?y/../x", "http://a/b/c/g?y/../x"},
	{"g#s/./x", "http://a/b/c/g#s/./x"},
	{"g#s/../x", "http://a/b/c/g#s/../x"},
	{"http:g", "http:g"},  // strict
};


template <size_t N>
void expect_examples(const Example (&table)[N])
{
	uri_reference Base = split_reference(rfc_base);
	for (const Example &e : table)
		EXPECT_EQ(recompose(resolve_reference(Base, split_reference(e.R))), e.T) << "R = \"" << e.R << "\"";
}

TEST(Rfc3986, NormalExamples)
{
	expect_examples(normal_examples);
}

TEST(Rfc3986, AbnormalExamples)
{
	expect_examples(abnormal_examples);
}

// The same table through the URL record: every target is what url_parse
// makes of the RFC's text ("http://g" gets its path "/"), but "http:g",
// an http URL without a host, is refused.
TEST(UrlResolve, RfcExamplesThroughTheRecord)
{
	auto base = url_parse(rfc_base);
	ASSERT_TRUE(base);
	for (const auto *table : {&normal_examples[0], &abnormal_examples[0]}) {
		size_t n = table == normal_examples ? std::size(normal_examples) : std::size(abnormal_examples);
		for (size_t i = 0; i < n; i++) {
			const Example &e = table[i];
			auto t = url_resolve(*base, e.R);
			auto expected = url_parse(e.T);
			if (std::string(e.R) == "http:g") {
				EXPECT_FALSE(t);
				EXPECT_FALSE(expected);
				continue;
			}
			ASSERT_TRUE(t) << e.R;
			ASSERT_TRUE(expected) << e.T;
			EXPECT_EQ(url_text(*t), url_text(*expected)) << "R = \"" << e.R << "\"";
		}
	}
	EXPECT_EQ(url_text(*url_resolve(*base, "//g")), "http://g/");
	EXPECT_FALSE(url_resolve(*base, "g:h")->web);
}

TEST(RemoveDotSegments, SectionFiveTwoFour)
{
	EXPECT_EQ(remove_dot_segments("/a/b/c/./../../g"), "/a/g");
	EXPECT_EQ(remove_dot_segments("mid/content=5/../6"), "mid/6");
	EXPECT_EQ(remove_dot_segments("/.."), "/");
	EXPECT_EQ(remove_dot_segments("../a/."), "a/");
	EXPECT_EQ(remove_dot_segments(""), "");
}

// What portal pages write, against a portal page's URL.
struct Portal {
	const char *reference;
	const char *text;  // url_text of the result; null: refused
};

const Portal portal_references[] = {
	{"//host/x", "http://host/x"},
	{"//host", "http://host/"},
	{"?q", "http://portal.example:2050/login/page.html?q"},
	{"?", "http://portal.example:2050/login/page.html?"},
	{"#f", "http://portal.example:2050/login/page.html?x=1#f"},
	{"https://portal.example/a", "https://portal.example/a"},
	{"login.cgi", "http://portal.example:2050/login/login.cgi"},
	// A backslash before the query is a slash, as browsers read it.
	{"\\\\evil\\x", "http://evil/x"},
	{"/a\\b?c\\d", "http://portal.example:2050/a/b?c\\d"},
	// Spaces and controls: trimmed at the ends, tabs and line ends
	// dropped, the others percent-encoded.
	{"  /x\t\n ", "http://portal.example:2050/x"},
	{"/a b?c d#e f", "http://portal.example:2050/a%20b?c%20d#e%20f"},
	{"/a\x01\x7f\xc3\xa9\"<>`{}", "http://portal.example:2050/a%01%7F%C3%A9%22%3C%3E%60%7B%7D"},
	{"/x\r\nSet-Cookie: a=b", "http://portal.example:2050/xSet-Cookie:%20a=b"},
	{"a b:c", "http://portal.example:2050/login/a%20b:c"},
	// Hosts and ports.
	{"HTTP://Portal.EXAMPLE/X", "http://portal.example/X"},
	{"http://h:80/", "http://h/"},
	{"http://h:/x", "http://h/x"},
	{"http://h:0080/x", "http://h/x"},
	{"https://h:80/", "https://h:80/"},
	{"http://h:65535/", "http://h:65535/"},
	{"http://h:65536/", nullptr},
	{"http://h:0/", nullptr},
	{"http://h:-1/", nullptr},
	{"http://h:99999999999999999999/", nullptr},
	{"http://h:8a/", nullptr},
	{"http:///x", nullptr},
	{"http://u@/x", nullptr},
	{"http://:80/x", nullptr},
	{"http://a b/", nullptr},
	{"http://a%62/", nullptr},
	{"http://a\x01/", nullptr},
	{"http://good.example@evil.example/", "http://good.example@evil.example/"},
	{"http://evil.example#@good.example/", "http://evil.example/#@good.example/"},
	{"http://[::1]:8080/", "http://[::1]:8080/"},
	{"http://[0::1]/", "http://[::1]/"},
	{"http://[FE80::1%25eth0]/", "http://[fe80::1%25eth0]/"},
	{"http://[fe80::1%eth0]/", nullptr},
	{"http://[::1/", nullptr},
	{"http://[::1]x/", nullptr},
	{"http://[v1.x]/", nullptr},
	{"http://[1.2.3.4]/", nullptr},
	{"http://[::g]/", nullptr},
};

TEST(UrlResolve, WhatPortalsWrite)
{
	auto base = url_parse("http://portal.example:2050/login/page.html?x=1");
	ASSERT_TRUE(base);
	for (const Portal &p : portal_references) {
		auto t = url_resolve(*base, p.reference);
		if (!p.text) {
			EXPECT_FALSE(t) << p.reference << " -> " << url_text(*t);
			continue;
		}
		ASSERT_TRUE(t) << p.reference;
		EXPECT_EQ(url_text(*t), p.text) << p.reference;
	}
}

TEST(UrlParse, RecordParts)
{
	auto u = url_parse("HTTPS://user:pw@[FE80::A%25wlan0]:8443/p/../q?a=b#f");
	ASSERT_TRUE(u);
	EXPECT_EQ(u->scheme, "https");
	EXPECT_TRUE(u->web);
	EXPECT_EQ(u->userinfo, "user:pw");
	EXPECT_EQ(u->host, "fe80::a");
	EXPECT_TRUE(u->ipv6);
	EXPECT_EQ(u->zone, "wlan0");
	EXPECT_EQ(u->port, 8443);
	EXPECT_TRUE(u->port_given);
	EXPECT_EQ(u->path, "/q");
	EXPECT_EQ(u->query, "a=b");
	EXPECT_EQ(u->fragment, "f");

	u = url_parse("http://h");
	ASSERT_TRUE(u);
	EXPECT_EQ(u->port, 80);
	EXPECT_FALSE(u->port_given);
	EXPECT_EQ(u->path, "/");
	EXPECT_FALSE(u->query);

	// Other schemes are read, and flagged.
	for (const char *other : {"ftp://h/x", "javascript:alert(1)", "mailto:a@b", "file:///etc/passwd"}) {
		u = url_parse(other);
		ASSERT_TRUE(u) << other;
		EXPECT_FALSE(u->web) << other;
		EXPECT_EQ(url_text(*u), other);
	}
	// Relative references are not absolute URLs.
	for (const char *relative : {"/x", "//h/x", "x", "", "1http://h/"})
		EXPECT_FALSE(url_parse(relative)) << relative;
}

struct Written {
	const char *url;
	const char *referer;
	const char *target;
	const char *host;
};

const Written written[] = {
	{"http://h", "http://h/", "/", "h"},
	{"http://u:p@h:80/p?a=b#f", "http://h/p?a=b", "/p?a=b", "h"},
	{"http://h:2050/p?", "http://h:2050/p?", "/p?", "h:2050"},
	{"https://h:443/", "https://h/", "/", "h"},
	{"https://h:80/", "https://h:80/", "/", "h:80"},
	{"http://[::1]/", "http://[::1]/", "/", "[::1]"},
	{"http://[fe80::1%25eth0]:8080/x", "http://[fe80::1%25eth0]:8080/x", "/x", "[fe80::1]:8080"},
	{"http://Status.Client.:2050/", "http://status.client.:2050/", "/", "status.client.:2050"},
};

TEST(UrlText, RefererTargetAndHost)
{
	for (const Written &w : written) {
		auto u = url_parse(w.url);
		ASSERT_TRUE(u) << w.url;
		EXPECT_EQ(url_referer(*u), w.referer) << w.url;
		EXPECT_EQ(url_target(*u), w.target) << w.url;
		EXPECT_EQ(url_host_header(*u), w.host) << w.url;
	}
}

}  // namespace
