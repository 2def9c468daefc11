// MikroTik's CHAP challenge in both layouts of its login page, and the
// JavaScript string literals it is written in.
#include "html/chap.h"

#include <gtest/gtest.h>

#include <string>

#include "html/js_string.h"

namespace {

struct LiteralCase {
	const char *text;
	html::js_decoding decoding;
	bool ok;
	std::string value;
	size_t end;  // where reading stopped when ok
};

const LiteralCase literal_cases[] = {
	{"'\\371\\357\\015\\0\\08\\400\\8'", html::js_decoding::bytes, true, std::string("\371\357\015\0\0" "8\040" "08", 9), 25},
	{"\"a\\'\\\"\\\\\\/\\x41\\u0042\\u{43}\\n\\t\\q\"", html::js_decoding::utf8, true, "a'\"\\/ABC\n\tq", 33},
	{"'\\u00e9\\u20ac'", html::js_decoding::utf8, true, "\xC3\xA9\xE2\x82\xAC", 14},
	{"'\\u00e9'", html::js_decoding::bytes, true, "\xE9", 8},
	{"'\\u20ac'", html::js_decoding::bytes, false, "", 0},
	{"'a\\\nb'", html::js_decoding::utf8, true, "ab", 6},
	{"'a\nb'", html::js_decoding::utf8, false, "", 0},
	{"'\\x4'", html::js_decoding::utf8, false, "", 0},
	{"'\\u{110000}'", html::js_decoding::utf8, false, "", 0},
	{"'open", html::js_decoding::utf8, false, "", 0},
	{"x'", html::js_decoding::utf8, false, "", 0},
	{"'it\"s' + 1", html::js_decoding::utf8, true, "it\"s", 6},
};

TEST(JsString, Literals)
{
	for (const LiteralCase &c : literal_cases) {
		size_t pos = 0;
		std::string out;
		ASSERT_EQ(html::read_js_string(c.text, pos, out, c.decoding), c.ok) << c.text;
		if (c.ok) {
			EXPECT_EQ(out, c.value) << c.text;
			EXPECT_EQ(pos, c.end) << c.text;
		} else {
			EXPECT_EQ(pos, 0u) << c.text;
			EXPECT_EQ(out, "") << c.text;
		}
	}
}

// MikroTik's login.html: the script's call, or hidden inputs.
const char mikrotik_script[] =
	"<form name=sendin action=\"http://10.5.50.1/login\" method=post>"
	"<input type=hidden name=username><input type=hidden name=password></form>\n"
	"<script type=\"text/javascript\" src=\"/md5.js\"></script>\n"
	"<script type=\"text/javascript\">\n<!--\n    function doLogin() {\n"
	"\tdocument.sendin.username.value = document.login.username.value;\n"
	"\tdocument.sendin.password.value = hexMD5('\\371' + document.login.password.value + "
	"'\\357\\015\\264\\230\\153\\363\\022\\071\\204\\350\\220\\062\\100\\371\\304\\052');\n"
	"\tdocument.sendin.submit();\n\treturn false;\n    }\n//-->\n</script>\n";

const std::string mikrotik_challenge("\357\015\264\230\153\363\022\071\204\350\220\062\100\371\304\052", 16);

struct PageCase {
	const char *name;
	std::string page;
	bool found;
	std::string id, challenge;
};

const PageCase page_cases[] = {
	{"script", mikrotik_script, true, "\371", mikrotik_challenge},
	{"hidden_inputs",
	 "<form><input type=hidden name=chap-id value='\\371'><input type=hidden name=chap-challenge "
	 "value='\\357\\015\\264\\230\\153\\363\\022\\071\\204\\350\\220\\062\\100\\371\\304\\052'></form>",
	 true, "\371", mikrotik_challenge},
	{"other_expression", "<script>x = hexMD5(\"\\001\" + document.forms['login'].password.value + \"\\x02\\u0003\");</script>",
	 true, "\001", "\002\003"},
	{"zero_bytes", "<script>hexMD5('\\000' + p + '\\0\\000')</script>", true, std::string(1, '\0'), std::string(2, '\0')},
	{"script_before_inputs",
	 "<input name=chap-id value=A><input name=chap-challenge value=B><script>hexMD5('C' + p + 'D')</script>", true, "C", "D"},
	{"first_call_that_fits", "<script>hexMD5(p); hexMD5('a' + p); hexMD5('E' + p + 'F')</script>", true, "E", "F"},
	{"call_in_text_only", "<p>hexMD5('\\371' + p + '\\357')</p>", false, "", ""},
	{"one_input_only", "<input name=chap-id value='\\371'>", false, "", ""},
	{"bad_escape_in_input", "<input name=chap-id value='\\x'><input name=chap-challenge value=a>", false, "", ""},
	{"wide_character", "<script>hexMD5('\\u0100' + p + 'a')</script>", false, "", ""},
	{"none", "<form><input type=password name=password></form>", false, "", ""},
};

class Chap : public testing::TestWithParam<PageCase> {};

TEST_P(Chap, DecodedBytesOfBoth)
{
	const PageCase &c = GetParam();
	html::chap_challenge got;
	ASSERT_EQ(html::find_chap_challenge(html::tokenize(c.page), got), c.found);
	if (c.found) {
		EXPECT_EQ(got.id, c.id);
		EXPECT_EQ(got.challenge, c.challenge);
	}
}

INSTANTIATE_TEST_SUITE_P(Pages, Chap, testing::ValuesIn(page_cases),
			 [](const testing::TestParamInfo<PageCase> &i) { return std::string(i.param.name); });

TEST(Chap, HostileScriptStaysLinear)
{
	std::string page = "<script>";
	while (page.size() < (4u << 20))
		page += "hexMD5('a'+hexMD5('";
	html::chap_challenge got;
	EXPECT_FALSE(html::find_chap_challenge(html::tokenize(page), got));
}

}  // namespace
