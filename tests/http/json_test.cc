// The strict JSON reader: one text per row, the tree it reads written out
// again (or the refusal and where it is).
#include "http/json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string show(const json::value &v)
{
	switch (v.type) {
	case json::kind::null:
		return "null";
	case json::kind::boolean:
		return v.boolean ? "true" : "false";
	case json::kind::number: {
		char buf[64];
		if (v.integral)
			snprintf(buf, sizeof buf, "i%lld", (long long)v.integer);
		else
			snprintf(buf, sizeof buf, "d%.17g", v.number);
		return buf;
	}
	case json::kind::string: {
		std::string s(1, '\'');
		s += v.string;
		return s += '\'';
	}
	case json::kind::array: {
		std::string s = "[";
		for (size_t i = 0; i < v.items.size(); i++) {
			if (i)
				s += ',';
			s += show(v.items[i]);
		}
		return s + "]";
	}
	case json::kind::object: {
		std::string s = "{";
		for (size_t i = 0; i < v.items.size(); i++) {
			if (i)
				s += ',';
			s += v.keys[i];
			s += ':';
			s += show(v.items[i]);
		}
		return s + "}";
	}
	}
	return "?";
}

struct Case {
	std::string text;
	std::string read;  // the tree, or "error@OFFSET"
};

const Case cases[] = {
	// What it reads.
	{"null", "null"},
	{" \t\r\n[true, false ,null]\n", "[true,false,null]"},
	{"{\"b\":1,\"a\":{\"c\":[]},\"\":\"\"}", "{b:i1,a:{c:[]},:''}"},
	{"[0,-0,12,-3,1.5,-2.25e2,1E-2,1e+2]", "[i0,i0,i12,i-3,d1.5,d-225,d0.01,d100]"},
	{"[9223372036854775807,-9223372036854775808,9223372036854775808]",
	 "[i9223372036854775807,i-9223372036854775808,d9.2233720368547758e+18]"},
	{"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0041\\u00e9\\u20AC\\ud83d\\ude00\"", "'\"\\/\b\f\n\r\tA\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80'"},
	{"\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"", "'\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80'"},
	{std::string("\"a\\u0000b\"", 10), std::string("'a\0b'", 5)},
	// What it refuses, and where.
	{"", "error@0"},
	{"  ", "error@2"},
	{"[1,]", "error@3"},
	{"{\"a\":1,}", "error@7"},
	{"[1 2]", "error@3"},
	{"{\"a\" 1}", "error@5"},
	{"{a:1}", "error@1"},
	{"{\"a\":1,\"a\":2}", "error@7"},
	{"[1] x", "error@4"},
	{"[1]]", "error@3"},
	{"// c\n1", "error@0"},
	{"[1/*c*/]", "error@2"},
	{"01", "error@1"},
	{"-", "error@1"},
	{"1.", "error@2"},
	{".5", "error@0"},
	{"1e", "error@2"},
	{"+1", "error@0"},
	{"1e400", "error@0"},
	{"[-1e-400,0.0000001e-320,123e-400,4.9e-324]", "[d-0,d0,d0,d4.9406564584124654e-324]"},
	{"0.001e312", "error@0"},
	{"-1234e306", "error@0"},
	{"NaN", "error@0"},
	{"nul", "error@0"},
	{"True", "error@0"},
	{"'a'", "error@0"},
	{"\"a\tb\"", "error@2"},
	{"\"a\nb\"", "error@2"},
	{"\"abc", "error@4"},
	{"\"\\x41\"", "error@2"},
	{"\"\\u12\"", "error@5"},
	{"\"\\ud800\"", "error@7"},
	{"\"\\ud800\\u0041\"", "error@13"},
	{"\"\\udc00\"", "error@7"},
	{"\"\xC0\xAF\"", "error@1"},
	{"\"\xED\xA0\x80\"", "error@1"},
	{"\"\xF4\x90\x80\x80\"", "error@1"},
	{"\"\xE2\x82\"", "error@1"},
	{"\"\xFF\"", "error@1"},
	{"\xEF\xBB\xBF{}", "error@0"},
};

TEST(Json, ReadsStrictly)
{
	for (const Case &c : cases) {
		json::value v;
		json::error err;
		std::string got = json::parse(c.text, v, {}, &err) ? show(v) : "error@" + std::to_string(err.offset);
		EXPECT_EQ(got, c.read) << c.text;
		if (got.starts_with("error")) {
			EXPECT_EQ(v.type, json::kind::null) << c.text;
		}
	}
}

TEST(Json, LimitsOfTheCaller)
{
	json::value v;
	json::error err;
	std::string big(64 * 1024, 'a');
	big.front() = big.back() = '"';
	EXPECT_TRUE(json::parse(big, v));
	EXPECT_FALSE(json::parse(big + " ", v, {}, &err));
	EXPECT_STREQ(err.what, "text too long");
	EXPECT_TRUE(json::parse(big + " ", v, {.max_size = big.size() + 1}));

	std::string deep = std::string(32, '[') + std::string(32, ']');
	EXPECT_TRUE(json::parse(deep, v));
	std::string deeper = "[" + deep + "]";
	EXPECT_FALSE(json::parse(deeper, v, {}, &err));
	EXPECT_STREQ(err.what, "nested too deeply");
	EXPECT_EQ(err.offset, 32u);
	EXPECT_TRUE(json::parse(deeper, v, {.max_size = 1024, .max_depth = 33}));
	std::string objects;
	for (int i = 0; i < 33; i++)
		objects += "{\"a\":";
	objects += "1" + std::string(33, '}');
	EXPECT_FALSE(json::parse(objects, v));

	// A deep text within the size limit does not exhaust the stack.
	std::string hostile(60 * 1024, '[');
	EXPECT_FALSE(json::parse(hostile, v, {.max_size = 64 * 1024, .max_depth = 32}));
}

TEST(Json, Members)
{
	json::value v;
	ASSERT_TRUE(json::parse("{\"captive\":true,\"user-portal-url\":\"https://p/\",\"seconds-remaining\":326}", v));
	ASSERT_NE(json::member(v, "captive"), nullptr);
	EXPECT_TRUE(json::member(v, "captive")->boolean);
	EXPECT_EQ(json::member(v, "user-portal-url")->string, "https://p/");
	EXPECT_EQ(json::member(v, "seconds-remaining")->integer, 326);
	EXPECT_EQ(json::member(v, "venue-info-url"), nullptr);
	EXPECT_EQ(json::member(v.items[0], "x"), nullptr);
}

}  // namespace
