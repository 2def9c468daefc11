// The form encoding browsers send, and the LOGIN_FIELDS list.
#include "http/form_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Encoded {
	std::string bytes;
	const char *encoded;
};

const Encoded encoded[] = {
	{"", ""},
	{"azAZ09*-._", "azAZ09*-._"},
	{"a b  c", "a+b++c"},
	{"~!'()+&=%/?#;:@", "%7E%21%27%28%29%2B%26%3D%25%2F%3F%23%3B%3A%40"},
	{"\xc3\xa9\xff", "%C3%A9%FF"},
	{std::string("\0\t\r\n\x7f", 5), "%00%09%0D%0A%7F"},
};

TEST(FormEncoding, BytesAsTheUrlStandardSerializes)
{
	for (const Encoded &e : encoded)
		EXPECT_EQ(form_urlencoded_bytes(e.bytes), e.encoded) << e.bytes;
}

TEST(FormEncoding, PostBodyAndGetQuery)
{
	std::vector<form_field> fields = {{"fas", "a+b/c=="}, {"user name", "joe"}, {"continue", ""}};
	EXPECT_EQ(form_urlencoded(fields), "fas=a%2Bb%2Fc%3D%3D&user+name=joe&continue=");
	EXPECT_EQ(form_urlencoded({}), "");

	auto action = url_parse("http://gw:2050/opennds_preauth/?old=1#top");
	ASSERT_TRUE(action);
	EXPECT_EQ(url_text(form_get_url(*action, fields)),
		  "http://gw:2050/opennds_preauth/?fas=a%2Bb%2Fc%3D%3D&user+name=joe&continue=#top");
	EXPECT_EQ(url_target(form_get_url(*action, {})), "/opennds_preauth/?");
}

struct Fields {
	const char *text;
	std::vector<form_field> fields;
	bool ok;
};

const Fields login_fields[] = {
	{"", {}, true},
	{"accept=Continue", {{"accept", "Continue"}}, true},
	{"terms=yes&voucher=AB+12", {{"terms", "yes"}, {"voucher", "AB+12"}}, true},
	{"email=a%40b.example&note=x%26y%3Dz%25", {{"email", "a@b.example"}, {"note", "x&y=z%"}}, true},
	{"a b=c d", {{"a b", "c d"}}, true},
	{"accept&x=", {{"accept", ""}, {"x", ""}}, true},
	{"&a=1&&b=2&", {{"a", "1"}, {"b", "2"}}, true},
	{"a==b", {{"a", "=b"}}, true},
	{"=value", {}, false},
	{"%=x", {}, false},
	{"a=%zz", {}, false},
	{"a=%4", {}, false},
	{"a=%", {}, false},
};

TEST(LoginFields, ParsedAsTheUserWritesThem)
{
	for (const Fields &f : login_fields) {
		auto got = parse_login_fields(f.text);
		ASSERT_EQ(bool(got), f.ok) << f.text;
		if (!got)
			continue;
		ASSERT_EQ(got->size(), f.fields.size()) << f.text;
		for (size_t i = 0; i < got->size(); i++) {
			EXPECT_EQ((*got)[i].name, f.fields[i].name) << f.text;
			EXPECT_EQ((*got)[i].value, f.fields[i].value) << f.text;
		}
	}
}

}  // namespace
