// Replies read as HTTP: one row per reply, the well-formed ones portals
// send and the hostile ones.
#include "http/reply.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

using enum body_framing;

struct Row {
	const char *name;
	std::string bytes;
	bool closed;
	size_t cap;
	int status;  // 0: not read
	body_framing framing;
	std::string body;
	bool complete;
	bool cut;
	bool malformed;
};

const std::string ok11 = "HTTP/1.1 200 OK\r\n";
const std::string te_chunked = ok11 + "Transfer-Encoding: chunked\r\n\r\n";

const Row rows[] = {
	// Framing.
	{"length", ok11 + "Content-Length: 5\r\n\r\nhelloEXTRA", false, 64, 200, length, "hello", true, false, false},
	{"length_short", ok11 + "Content-Length: 5\r\n\r\nhel", false, 64, 200, length, "hel", false, false, false},
	{"length_short_at_close", ok11 + "Content-Length: 5\r\n\r\nhel", true, 64, 200, length, "hel", false, false,
	 false},
	{"length_list", ok11 + "Content-Length: 2, 2\r\nContent-Length: 2\r\n\r\nok", false, 64, 200, length, "ok",
	 true, false, false},
	{"bare_lf", "HTTP/1.0 302 Found\nLocation: /x\n\n", true, 64, 302, close, "", true, false, false},
	{"close_open", "HTTP/1.0 200 OK\r\n\r\npage", false, 64, 200, close, "page", false, false, false},
	{"close_closed", "HTTP/1.0 200 OK\r\n\r\npage", true, 64, 200, close, "page", true, false, false},
	{"no_reason", "HTTP/1.1 511\r\n\r\nx", true, 64, 511, close, "x", true, false, false},
	{"interim", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, 64, 200,
	 length, "ok", true, false, false},
	{"no_content", "HTTP/1.1 204 No Content\r\nContent-Length: 3\r\n\r\nabc", false, 64, 204, none, "", true,
	 false, false},
	{"not_modified", "HTTP/1.1 304 Not Modified\r\n\r\n", false, 64, 304, none, "", true, false, false},
	{"nul_in_body", ok11 + "Content-Length: 3\r\n\r\na\0b"s, false, 64, 200, length, "a\0b"s, true, false, false},
	{"head_open", ok11 + "Location: /x\r\n", false, 64, 200, close, "", false, false, false},
	{"nothing_yet", "", false, 64, 0, close, "", false, false, false},
	{"http_start", "HTTP/", false, 64, 0, close, "", false, false, false},
	// Chunked.
	{"chunked", te_chunked + "5\r\nhello\r\n6;name=\"v\"\r\n world\r\n0\r\nX-Trailer: 1\r\n\r\nNEXT", false, 64,
	 200, chunked, "hello world", true, false, false},
	{"chunked_lf_hex", ok11 + "Transfer-Encoding: chunked\n\nA \t; e\n0123456789\n00\n\n", false, 64, 200,
	 chunked, "0123456789", true, false, false},
	{"chunked_in_data", te_chunked + "5\r\nhel", false, 64, 200, chunked, "hel", false, false, false},
	{"chunked_at_line_end", te_chunked + "5\r\nhello\r", false, 64, 200, chunked, "hello", false, false, false},
	{"chunked_closed_early", te_chunked + "5\r\nhello\r\n", true, 64, 200, chunked, "hello", false, false, false},
	{"chunked_no_trailer_end", te_chunked + "1\r\na\r\n0\r\n", false, 64, 200, chunked, "a", false, false, false},
	{"chunked_over_length", te_chunked + "1\r\na\r\n0\r\n\r\n", false, 64, 200, chunked, "a", true, false, false},
	{"chunked_wins", ok11 + "Content-Length: 100\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n1\r\na\r\n0\r\n\r\n",
	 false, 64, 200, chunked, "a", true, false, false},
	{"other_coding", ok11 + "Transfer-Encoding: chunked, gzip\r\n\r\n1\r\na", true, 64, 200, close, "1\r\na", true,
	 false, false},
	{"chunk_no_line_end", te_chunked + "5\r\nhelloX\r\n0\r\n\r\n", false, 64, 200, chunked, "hello", false, false,
	 true},
	{"chunk_size_overflow", te_chunked + "FFFFFFFFFFFFFFFFFFFFF\r\n", false, 64, 200, chunked, "", false, false,
	 true},
	{"chunk_size_negative", te_chunked + "-1\r\n", false, 64, 200, chunked, "", false, false, true},
	{"chunk_size_hex_prefix", te_chunked + "0x5\r\nhello\r\n", false, 64, 200, chunked, "", false, false, true},
	{"chunk_size_empty", te_chunked + "\r\n", false, 64, 200, chunked, "", false, false, true},
	{"chunk_size_junk", te_chunked + "5 x\r\nhello\r\n", false, 64, 200, chunked, "", false, false, true},
	{"chunk_huge_size", te_chunked + "1000000000000000\r\nabc", true, 64, 200, chunked, "abc", false, false, false},
	{"trailer_bad", te_chunked + "0\r\nbad trailer\r\n\r\n", false, 64, 200, chunked, "", false, false, true},
	// The cap.
	{"cut_close", "HTTP/1.0 200 OK\r\n\r\n123456789", false, 8, 200, close, "12345678", false, true, false},
	{"at_cap_close", "HTTP/1.0 200 OK\r\n\r\n12345678", true, 8, 200, close, "12345678", true, false, false},
	{"cut_length", ok11 + "Content-Length: 1000000\r\n\r\n12345678", false, 8, 200, length, "12345678", false,
	 true, false},
	{"at_cap_length", ok11 + "Content-Length: 8\r\n\r\n12345678", false, 8, 200, length, "12345678", true, false,
	 false},
	{"cut_chunked", te_chunked + "5\r\n12345\r\n5\r\n67890\r\n0\r\n\r\n", false, 8, 200, chunked, "12345678",
	 false, true, false},
	// Content-Length, hostile.
	{"length_negative", ok11 + "Content-Length: -1\r\n\r\nx", true, 64, 200, close, "", false, false, true},
	{"length_not_number", ok11 + "Content-Length: 5x\r\n\r\nx", true, 64, 200, close, "", false, false, true},
	{"length_empty", ok11 + "Content-Length:\r\n\r\nx", true, 64, 200, close, "", false, false, true},
	{"length_huge", ok11 + "Content-Length: 99999999999999999999999\r\n\r\nx", true, 64, 200, close, "", false,
	 false, true},
	{"length_conflict", ok11 + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", true, 64, 200, close, "",
	 false, false, true},
	{"length_list_conflict", ok11 + "Content-Length: 5, 6\r\n\r\nhello!", true, 64, 200, close, "", false, false,
	 true},
	// The head, hostile.
	{"not_http", "<html><body>", false, 64, 0, close, "", false, false, true},
	{"http2", "HTTP/2 200\r\n\r\n", false, 64, 0, close, "", false, false, true},
	{"http12", "HTTP/1.2 200 OK\r\n\r\n", false, 64, 0, close, "", false, false, true},
	{"lower_case", "http/1.1 200 OK\r\n\r\n", false, 64, 0, close, "", false, false, true},
	{"two_digits", "HTTP/1.1 20 OK\r\n\r\n", false, 64, 0, close, "", false, false, true},
	{"status_099", "HTTP/1.1 099 X\r\n\r\n", false, 64, 0, close, "", false, false, true},
	{"status_glued", "HTTP/1.1 200OK\r\n\r\n", false, 64, 0, close, "", false, false, true},
	{"nul_in_status", "HTTP/1.1 200 O\0K\r\n\r\n"s, false, 64, 0, close, "", false, false, true},
	{"empty_closed", "", true, 64, 0, close, "", false, false, true},
	{"head_cut_by_close", ok11 + "Content-Length: 5\r\n", true, 64, 200, close, "", false, false, true},
	{"no_blank_line", ok11 + "Content-Length: 5\r\nhello", true, 64, 200, close, "", false, false, true},
	{"no_colon", ok11 + "Content-Length: 5\r\nhello\r\n\r\n", false, 64, 200, close, "", false, false, true},
	{"nul_in_field", ok11 + "Location: /a\0/b\r\n\r\n"s, false, 64, 200, close, "", false, false, true},
	{"bare_cr_injection", ok11 + "Location: /a\rSet-Cookie: x=y\r\n\r\n", false, 64, 200, close, "", false,
	 false, true},
	{"control_in_field", ok11 + "X: a\x1b[2J\r\n\r\n", false, 64, 200, close, "", false, false, true},
	{"blank_before_colon", ok11 + "Location : /x\r\n\r\n", false, 64, 200, close, "", false, false, true},
	{"empty_name", ok11 + ": x\r\n\r\n", false, 64, 200, close, "", false, false, true},
	{"fold_first", ok11 + " Location: /x\r\n\r\n", false, 64, 200, close, "", false, false, true},
	{"too_many_fields", ok11 + [] {
		 std::string s;
		 for (size_t i = 0; i <= REPLY_FIELDS_MAX; i++)
			 s += "X-" + std::to_string(i) + ": 1\r\n";
		 return s;
	 }() + "\r\n",
	 true, 64, 200, close, "", false, false, true},
	{"line_too_long", ok11 + "X: " + std::string(REPLY_LINE_MAX, 'a') + "\r\n\r\n", true, 64, 200, close, "",
	 false, false, true},
	{"line_too_long_open", ok11 + "X: " + std::string(REPLY_LINE_MAX, 'a'), false, 64, 200, close, "", false,
	 false, true},
};

TEST(Reply, Rows)
{
	for (const Row &r : rows) {
		http_reply got = read_reply(r.bytes, r.closed, r.cap);
		EXPECT_EQ(got.malformed, r.malformed) << r.name;
		if (r.status) {
			EXPECT_EQ(got.status, r.status) << r.name;
		}
		if (r.malformed)
			continue;
		EXPECT_EQ(got.framing, r.framing) << r.name;
		EXPECT_EQ(got.body, r.body) << r.name;
		EXPECT_EQ(got.complete, r.complete) << r.name;
		EXPECT_EQ(got.cut, r.cut) << r.name;
	}
}

TEST(Reply, HeadFields)
{
	http_reply r = read_reply("HTTP/1.0 302 Moved Temporarily\r\n"
				  "location:   http://gw:2050/login?fas=abc  \r\n"
				  "Set-Cookie: a=1; Path=/\r\n"
				  "X-Folded: one\r\n"
				  "  two\r\n"
				  "\t three\r\n"
				  "SET-COOKIE: b=2\r\n"
				  "Content-Type: text/html; charset=utf-8\r\n"
				  "\r\n",
				  true);
	ASSERT_FALSE(r.malformed);
	EXPECT_EQ(r.version, 10);
	EXPECT_EQ(r.status, 302);
	EXPECT_EQ(r.reason, "Moved Temporarily");
	EXPECT_TRUE(r.head_complete);
	ASSERT_TRUE(reply_header(r, "Location"));
	EXPECT_EQ(*reply_header(r, "Location"), "http://gw:2050/login?fas=abc");
	EXPECT_EQ(*reply_header(r, "x-folded"), "one two three");
	EXPECT_EQ(*reply_header(r, "content-type"), "text/html; charset=utf-8");
	EXPECT_FALSE(reply_header(r, "Content-Length"));
	std::vector<std::string> cookies;
	for (const http_header &h : r.headers)
		if (h.name == "Set-Cookie" || h.name == "SET-COOKIE")
			cookies.push_back(h.value);
	EXPECT_EQ(cookies, (std::vector<std::string>{"a=1; Path=/", "b=2"}));
}

// What a reply may cost is REPLY_READ_MAX bytes, however small its body:
// chunks of one byte with long extensions, or a long head.
TEST(Reply, BoundedByTheBytesRead)
{
	std::string chunk = "1;" + std::string(8000, 'x') + "\r\na\r\n";
	std::string bytes = te_chunked;
	while (bytes.size() <= REPLY_READ_MAX)
		bytes += chunk;
	size_t whole_chunks = (REPLY_READ_MAX - te_chunked.size()) / chunk.size();
	for (bool closed : {false, true}) {
		http_reply r = read_reply(bytes + "0\r\n\r\n", closed);
		EXPECT_FALSE(r.malformed);
		EXPECT_FALSE(r.complete);
		EXPECT_TRUE(r.cut);
		EXPECT_EQ(r.body, std::string(whole_chunks, 'a'));
	}
	std::string body = "HTTP/1.0 200 OK\r\n\r\n" + std::string(REPLY_READ_MAX, 'b');
	http_reply r = read_reply(body, true);
	EXPECT_TRUE(r.cut);
	EXPECT_EQ(r.body.size(), REPLY_BODY_MAX);

	std::string head = ok11;
	for (int i = 0; head.size() <= REPLY_READ_MAX; i++)
		head += "X-" + std::to_string(i) + ": " + std::string(8000, 'h') + "\r\n";
	EXPECT_TRUE(read_reply(head + "\r\n", false).malformed);
	EXPECT_FALSE(read_reply(head.substr(0, REPLY_READ_MAX), false).malformed);
}

// Fed as it arrives: every prefix of a reply reads as a prefix of it,
// never as malformed, and only the whole is complete.
TEST(Reply, EveryPrefixOfAChunkedReply)
{
	std::string whole = ok11 + "Set-Cookie: s=1\r\nTransfer-Encoding: chunked\r\n\r\n"
				   "3\r\nabc\r\n4;x\r\ndefg\r\n0\r\nT: 1\r\n\r\n";
	for (size_t n = 0; n < whole.size(); n++) {
		http_reply r = read_reply(std::string_view(whole).substr(0, n), false);
		EXPECT_FALSE(r.malformed) << n;
		EXPECT_FALSE(r.complete) << n;
		EXPECT_TRUE(std::string("abcdefg").starts_with(r.body)) << n;
	}
	http_reply r = read_reply(whole, false);
	EXPECT_TRUE(r.complete);
	EXPECT_EQ(r.body, "abcdefg");
}

}  // namespace
