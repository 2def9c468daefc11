// The tokenizer on pages as portals write them and as hostile pages do:
// one page per row, its tokens written out compactly.
#include "html/tokenizer.h"

#include <gtest/gtest.h>

#include <string>

#include "html/references.h"

namespace {

// <name a="v" b="w"/> for a start tag (the "/" when self-closing),
// </name> for an end tag, [text] for text.
std::string show(const std::vector<html::token> &tokens)
{
	std::string s;
	for (const html::token &t : tokens) {
		if (t.kind == html::token_kind::text) {
			s += "[" + t.text + "]";
			continue;
		}
		s += t.kind == html::token_kind::end_tag ? "</" : "<";
		s += t.name;
		for (const html::attribute &a : t.attributes)
			s += " " + a.name + "=\"" + a.value + "\"";
		s += t.self_closing ? "/>" : ">";
	}
	return s;
}

struct Case {
	const char *name;
	std::string page;
	const char *tokens;
};

void PrintTo(const Case &c, std::ostream *os)
{
	*os << c.name;
}

const Case cases[] = {
	// Tags and attributes.
	{"quoting", "<INPUT Type=hidden NAME='a b' value=\"x'y\" checked>", "<input type=\"hidden\" name=\"a b\" value=\"x'y\" checked=\"\">"},
	{"first_duplicate_wins", "<input name=a NAME=b name=c value=1>", "<input name=\"a\" value=\"1\">"},
	{"unquoted_oddities", "<a href=x\"y'z<w=v>", "<a href=\"x\"y'z<w=v\">"},
	{"slash_between", "<input/name='a'/value=b />", "<input name=\"a\" value=\"b\"/>"},
	{"slash_in_unquoted_value", "<input name=a/value=b/>", "<input name=\"a/value=b/\">"},
	{"no_space_after_quote", "<a b='1'c=\"2\">", "<a b=\"1\" c=\"2\">"},
	{"equals_first", "<a =b>", "<a =b=\"\">"},
	{"missing_value", "<a b=>", "<a b=\"\">"},
	{"nul_in_names_and_values", std::string("<a\0b c\0=\"\0\">", 12), "<a\xEF\xBF\xBD" "b c\xEF\xBF\xBD=\"\xEF\xBF\xBD\">"},
	{"end_tag_attributes_dropped", "</form name=x>", "</form>"},
	{"not_tags", "a < b <3 </ > <> x", "[a < b <3  <> x]"},
	{"eof_in_tag_drops_it", "<form action=\"/login", ""},
	{"newlines_normalized", "<a b='1\r\n2\r3'>", "<a b=\"1\n2\n3\">"},
	// Character references in attribute values.
	{"named", "<a b='&amp;&lt;&AElig;&notin;&NotEqualTilde;'>", "<a b=\"&<\xC3\x86\xE2\x88\x89\xE2\x89\x82\xCC\xB8\">"},
	{"legacy_without_semicolon", "<a b='&amp &copy &not &notin &notit;'>", "<a b=\"& \xC2\xA9 \xC2\xAC &notin &notit;\">"},
	{"historical_rule", "<a href='?x=1&copy=2&amp=3&not'>", "<a href=\"?x=1&copy=2&amp=3\xC2\xAC\">"},
	{"unknown_name", "<a b='&bogus; &'>", "<a b=\"&bogus; &\">"},
	{"numeric", "<a b='&#65;&#x42;&#X43&#0;&#x110000;&#xD800;&#128;&#x9F;&#;&#x;'>",
	 "<a b=\"ABC\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xE2\x82\xAC\xC5\xB8&#;&#x;\">"},
	{"numeric_huge", "<a b='&#99999999999999999999;'>", "<a b=\"\xEF\xBF\xBD\">"},
	{"in_text_no_historical_rule", "&copy=1 &lt;x &notit;", "[\xC2\xA9=1 <x \xC2\xACit;]"},
	// Comments and DOCTYPE.
	{"comment_hides_tags", "<!-- <form> -->x<!---->y", "[xy]"},
	{"abrupt_comments", "<!-->a<!--->b<i>", "[ab]<i>"},
	{"bang_end", "<!-- x --!><i>", "<i>"},
	{"dashes_inside", "<!-- a -- b ---><i>", "<i>"},
	{"nested_open", "<!-- <!-- --><i>", "<i>"},
	{"bogus_comments", "<?xml x><! x></ x><![CDATA[<b>]]><i>", "[]]>]<i>"},
	{"doctype_ends_at_first_gt", "<!DOCTYPE html PUBLIC \"a>b\"><i>", "[b\">]<i>"},
	{"eof_in_comment", "<!-- <form>", ""},
	// Text elements: inside, a tag is text; only the matching end tag leaves.
	{"script", "<script>if (a<b) x='<form>';</scripty></script><i>", "<script>[if (a<b) x='<form>';</scripty>]</script><i>"},
	{"script_escaped", "<script><!--</script><i>", "<script>[<!--]</script><i>"},
	{"script_double_escaped", "<script><!--<script>x</script>--></script><i>",
	 "<script>[<!--<script>x</script>-->]</script><i>"},
	{"script_double_escape_ends", "<script><!--<script></script><form></script>--></script><i>",
	 "<script>[<!--<script></script><form>]</script>[-->]</script><i>"},
	{"style", "<style>a<form>&amp;</STYLE ><i>", "<style>[a<form>&amp;]</style><i>"},
	{"title_rcdata", "<title>a&amp;<form></title><i>", "<title>[a&<form>]</title><i>"},
	{"textarea", "<textarea name=t><input name=x></textarea>", "<textarea name=\"t\">[<input name=x>]</textarea>"},
	{"iframe_xmp_noembed_noframes", "<xmp><a></xmp><iframe><a></iframe><noembed><a></noembed><noframes><a></noframes>",
	 "<xmp>[<a>]</xmp><iframe>[<a>]</iframe><noembed>[<a>]</noembed><noframes>[<a>]</noframes>"},
	{"plaintext_to_the_end", "<plaintext><a></plaintext>", "<plaintext>[<a></plaintext>]"},
	{"noscript_is_markup", "<noscript><form></noscript>", "<noscript><form></noscript>"},
	{"unclosed_script", "<script><form>", "<script>[<form>]"},
	// Foreign content: SVG and MathML elements are never text, CDATA is.
	{"svg_self_closed_title", "<svg><title/><style/></svg><form>", "<svg><title/><style/></svg><form>"},
	{"svg_style_is_markup", "<svg><style><a></style></svg>", "<svg><style><a></style></svg>"},
	{"svg_cdata", "<svg><![CDATA[ x > <form action=/evil> ]]></svg><![CDATA[<i>]]>",
	 "<svg>[ x > <form action=/evil> ]</svg>[]]>]"},
	{"svg_integration_point", "<svg><foreignObject><textarea><a></textarea></foreignObject><title>t<b></title></svg>",
	 "<svg><foreignobject><textarea>[<a>]</textarea></foreignobject><title>[t]<b></title></svg>"},
	{"breakout_ends_foreign", "<math><mtext></mtext><p><title>x<a></title>", "<math><mtext></mtext><p><title>[x<a>]</title>"},
	{"self_closed_svg_opens_nothing", "<svg/><title><a></title>", "<svg/><title>[<a>]</title>"},
	{"end_tag_with_attributes_leaves", "<title>x</title foo=bar>y", "<title>[x]</title>[y]"},
};

class Tokenizer : public testing::TestWithParam<Case> {};

TEST_P(Tokenizer, ReadsAsTheStandardSays)
{
	EXPECT_EQ(show(html::tokenize(GetParam().page)), GetParam().tokens);
}

INSTANTIATE_TEST_SUITE_P(Pages, Tokenizer, testing::ValuesIn(cases),
			 [](const testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

TEST(Tokenizer, TextStatesOnlyWhenAsked)
{
	html::tokenizer_options alone;
	alone.follow_text_elements = false;
	EXPECT_EQ(show(html::tokenize("<script><form>", alone)), "<script><form>");
	html::tokenizer_options rcdata;
	rcdata.initial = html::text_state::rcdata;
	rcdata.last_start_tag = "textarea";
	EXPECT_EQ(show(html::tokenize("<b>&amp;</title></textarea><b>", rcdata)), "[<b>&</title>]</textarea><b>");
}

TEST(Tokenizer, AttributesPerTagBounded)
{
	std::string page = "<a";
	for (size_t i = 0; i < html::MAX_ATTRIBUTES + 10; i++)
		page += " a" + std::to_string(i);
	page += " a0 z=1>";
	std::vector<html::token> t = html::tokenize(page);
	ASSERT_EQ(t.size(), 1u);
	EXPECT_EQ(t[0].attributes.size(), html::MAX_ATTRIBUTES);
	EXPECT_EQ(html::find_attribute(t[0], "z"), nullptr);
	EXPECT_NE(html::find_attribute(t[0], "a0"), nullptr);
}

TEST(Tokenizer, ScriptTexts)
{
	auto scripts = html::script_texts(html::tokenize(
		"<script src=md5.js></script><p>x</p><script>\nvar a = '<b>';\n</script><script>y"));
	ASSERT_EQ(scripts.size(), 3u);
	EXPECT_EQ(scripts[0], "");
	EXPECT_EQ(scripts[1], "\nvar a = '<b>';\n");
	EXPECT_EQ(scripts[2], "y");
}

// Hostile pages of a few MiB: one token per byte at most, and time linear
// in the length (a quadratic reading would take minutes here).
TEST(Tokenizer, HostilePagesStayLinear)
{
	const std::string units[] = {"<a b", "&amp", "<!--", "<a b=1 b=1 b=1 ", "<script><!--<script>", "&#x1", "</",
				     "<svg><g>", "</x>"};
	for (const std::string &unit : units) {
		std::string page;
		for (int i = 0; unit == "</x>" && i < 100; i++)
			page += i ? "<g>" : "<svg>";  // end tags that search a deep SVG
		while (page.size() < (4u << 20))
			page += unit;
		std::vector<html::token> t = html::tokenize(page);
		EXPECT_LE(t.size(), page.size()) << unit;
	}
}

TEST(References, LongestPrefixAndTable)
{
	ASSERT_EQ(html::named_reference_count, 2231u);
	for (size_t i = 1; i < html::named_reference_count; i++)
		ASSERT_LT(html::named_references[i - 1].name, html::named_references[i].name);
	EXPECT_EQ(html::longest_named_reference("notin;x")->name, "notin;");
	EXPECT_EQ(html::longest_named_reference("notinx")->name, "not");
	EXPECT_EQ(html::longest_named_reference("CounterClockwiseContourIntegral;")->value, "\xE2\x88\xB3");
	EXPECT_EQ(html::longest_named_reference("xyz"), nullptr);
	EXPECT_EQ(html::longest_named_reference(""), nullptr);
}

}  // namespace
