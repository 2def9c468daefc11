// The redirect a page asks for: its meta refresh, read as the standard's
// shared declarative refresh steps read it, and the script forms.
#include "html/page_redirects.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct RefreshCase {
	const char *content;
	bool valid;
	unsigned long seconds;
	const char *url;  // null: none
};

const RefreshCase refresh_cases[] = {
	{"0; url=http://gw/logon", true, 0, "http://gw/logon"},
	{"5;URL='/next?a=1'", true, 5, "/next?a=1"},
	{"  3 , url = \"x y\" trailing", true, 3, "x y"},
	{"1; Url='unterminated", true, 1, "unterminated"},
	{"0;http://gw/plain", true, 0, "http://gw/plain"},
	{"0; u=x", true, 0, "u=x"},
	{"0; urn:x", true, 0, "urn:x"},
	{"0 url=a", true, 0, "a"},
	{"2.5; url=a", true, 2, "a"},
	{".5; url=a", true, 0, "a"},
	{"10", true, 10, nullptr},
	{"7;", true, 7, nullptr},
	{"99999999999999999999999; url=a", true, ~0UL, "a"},
	{"", false, 0, nullptr},
	{"url=a", false, 0, nullptr},
	{"-1; url=a", false, 0, nullptr},
	{"5x; url=a", false, 0, nullptr},
};

TEST(Refresh, SharedDeclarativeRefreshSteps)
{
	for (const RefreshCase &c : refresh_cases) {
		html::refresh r;
		ASSERT_EQ(html::parse_refresh(c.content, r), c.valid) << c.content;
		if (!c.valid)
			continue;
		EXPECT_EQ(r.seconds, c.seconds) << c.content;
		EXPECT_EQ(r.has_url, c.url != nullptr) << c.content;
		if (c.url) {
			EXPECT_EQ(r.url, c.url) << c.content;
		}
	}
}

struct ScriptCase {
	const char *script;
	const char *url;  // null: none
};

const ScriptCase script_cases[] = {
	{"window.location = \"http://gw:1003/fgtauth?0a1b\";", "http://gw:1003/fgtauth?0a1b"},
	{"window.location.href='/a'", "/a"},
	{"location.href = '/b';", "/b"},
	{"location.replace(\"/c\")", "/c"},
	{"document.location.replace ( '/d' ) ;", "/d"},
	{"top.location.assign('/e')", "/e"},
	{"self.location=\"/f\"", "/f"},
	{"location='/g'", "/g"},
	{"x();\nwindow.location=\"h\\x74tp:\\/\\/gw\\/\\u0069?q=\\\"1\\'\\\\\"", "http://gw/i?q=\"1'\\"},
	{"window.location = '/k'.replace('k','x')", nullptr},
	{"window.location = \"/u?\" + encodeURIComponent(u)", nullptr},
	{"if (window.location == '/a') {}", nullptr},
	{"mylocation = '/a'", nullptr},
	{"foo.location = '/a'", nullptr},
	{"window.locations = '/a'", nullptr},
	{"location.hash = '/a'", nullptr},
	{"location.replace(url)", nullptr},
	{"location.replace('/a', 1)", nullptr},
	{"window.location = \"/broken\nline\"", nullptr},
	{"var s = \"location='/in-string'\"; location.href = '/real'", "/real"},
	{"location.href = x; location.href = '/second'", "/second"},
	{"location.href = '/a' // back", "/a"},
	{"location.href = '/a'}", "/a"},
	{"location.href = '/a' x", nullptr},
	{"// location.href = '/old'\nlocation.href='/new'", "/new"},
	{"/* location='/c' */ location='/d'", "/d"},
	{"s = `location='/t'`; location='/u'", "/u"},
	{"s = 'open\nlocation = '/v'", "/v"},
	{"", nullptr},
};

TEST(ScriptRedirect, CommonFormsOnly)
{
	for (const ScriptCase &c : script_cases) {
		std::string url;
		ASSERT_EQ(html::script_redirect(c.script, url), c.url != nullptr) << c.script;
		if (c.url) {
			EXPECT_EQ(url, c.url) << c.script;
		}
	}
}

TEST(PageRedirect, MetaRefreshThenScripts)
{
	struct {
		const char *page;
		const char *url;
	} pages[] = {
		{"<meta http-equiv=Refresh content=\"0; url=/logon?a=1&amp;b=2\">", "/logon?a=1&b=2"},
		{"<meta http-equiv=refresh content=bad><meta http-equiv=REFRESH content='1;url=/second'>", "/second"},
		{"<meta http-equiv=refresh content='5'><script>location.href='/s'</script>", "/s"},
		{"<meta http-equiv=refresh content='0;url=/m'><script>location.href='/s'</script>", "/m"},
		{"<script src=x.js></script><script>// nothing</script><script>window.location=\"/t\"</script>", "/t"},
		{"<p onclick=\"location.href='/no'\">location.href = '/text'</p>", nullptr},
		{"<meta name=refresh content='0;url=/no'>", nullptr},
	};
	for (const auto &p : pages) {
		std::string url;
		ASSERT_EQ(html::page_redirect(html::tokenize(p.page), url), p.url != nullptr) << p.page;
		if (p.url) {
			EXPECT_EQ(url, p.url) << p.page;
		}
	}
}

TEST(ScriptRedirect, HostileScriptStaysLinear)
{
	std::string script;
	while (script.size() < (4u << 20))
		script += "location='location=\"";
	std::string url;
	EXPECT_FALSE(html::script_redirect(script, url));
}

}  // namespace
