#include "http/captive_api.h"

#include <cmath>
#include <string_view>

#include "http/json.h"

namespace {

// The media type of a Content-Type value: up to a ';', without blanks,
// letter case ignored.
bool media_type_is(std::string_view value, std::string_view type)
{
	size_t end = value.find(';');
	std::string_view t = value.substr(0, end);
	while (!t.empty() && (t.back() == ' ' || t.back() == '\t'))
		t.remove_suffix(1);
	while (!t.empty() && (t.front() == ' ' || t.front() == '\t'))
		t.remove_prefix(1);
	if (t.size() != type.size())
		return false;
	for (size_t i = 0; i < t.size(); i++) {
		char c = t[i];
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c - 'A' + 'a');
		if (c != type[i])
			return false;
	}
	return true;
}

bool fail(std::string *why, const std::string &text)
{
	*why = text;
	return false;
}

// An optional string member; false when present with another type.
bool read_text(const json::value &o, const char *key, std::optional<std::string> *out)
{
	const json::value *v = json::member(o, key);
	if (v == nullptr)
		return true;
	if (v->type != json::kind::string)
		return false;
	*out = v->string;
	return true;
}

// An optional count: a number of 0 or more, whole units; false when
// present with another type or out of range.
bool read_count(const json::value &o, const char *key, std::optional<int64_t> *out)
{
	const json::value *v = json::member(o, key);
	if (v == nullptr)
		return true;
	if (v->type != json::kind::number)
		return false;
	if (v->integral) {
		if (v->integer < 0)
			return false;
		*out = v->integer;
		return true;
	}
	// 2^62: beyond any session, and exact in a double.
	if (!(v->number >= 0) || v->number >= 4611686018427387904.0)
		return false;
	*out = static_cast<int64_t>(std::floor(v->number));
	return true;
}

}  // namespace

bool read_captive_reply(const http_reply &r, captive_state *out, std::string *why)
{
	if (r.malformed || !r.head_complete)
		return fail(why, "the captive-portal API's reply is not HTTP");
	if (r.status != 200)
		return fail(why, "the captive-portal API answered with status " + std::to_string(r.status));
	const std::string *type = reply_header(r, "Content-Type");
	if (type == nullptr)
		return fail(why, "the captive-portal API's reply has no Content-Type");
	if (!media_type_is(*type, CAPTIVE_API_TYPE) && !media_type_is(*type, "application/json"))
		return fail(why, "the captive-portal API answered with " + *type + ", not " + CAPTIVE_API_TYPE);
	if (r.cut)
		return fail(why, "the captive-portal API's reply is longer than " + std::to_string(REPLY_BODY_MAX) +
		                     " bytes");

	json::value v;
	json::error err;
	if (!json::parse(r.body, v, json::limits{}, &err))
		return fail(why, "the captive-portal API's reply is not JSON: " + std::string(err.what) + " at byte " +
		                     std::to_string(err.offset));
	if (v.type != json::kind::object)
		return fail(why, "the captive-portal API's reply is not a JSON object");
	const json::value *captive = json::member(v, "captive");
	if (captive == nullptr)
		return fail(why, "the captive-portal API's reply has no \"captive\"");
	if (captive->type != json::kind::boolean)
		return fail(why, "the captive-portal API's \"captive\" is not true or false");

	captive_state s;
	s.captive = captive->boolean;
	struct {
		const char *key;
		std::optional<std::string> *to;
	} texts[] = {{"user-portal-url", &s.user_portal_url}, {"venue-info-url", &s.venue_info_url}};
	for (const auto &t : texts)
		if (!read_text(v, t.key, t.to))
			return fail(why, std::string("the captive-portal API's \"") + t.key + "\" is not a string");
	struct {
		const char *key;
		std::optional<int64_t> *to;
	} counts[] = {{"seconds-remaining", &s.seconds_remaining}, {"bytes-remaining", &s.bytes_remaining}};
	for (const auto &c : counts)
		if (!read_count(v, c.key, c.to))
			return fail(why, std::string("the captive-portal API's \"") + c.key + "\" is not a number of 0 or more");
	if (const json::value *ext = json::member(v, "can-extend-session")) {
		if (ext->type != json::kind::boolean)
			return fail(why, "the captive-portal API's \"can-extend-session\" is not true or false");
		s.can_extend_session = ext->boolean;
	}
	*out = s;
	return true;
}

std::string compose_captive_api_request(const url &api)
{
	return "GET " + url_target(api) + " HTTP/1.0\r\nHost: " + url_host_header(api) +
	       "\r\nUser-Agent: kavri v" KAVRI_VERSION "\r\nAccept: " + CAPTIVE_API_TYPE + "\r\n\r\n";
}
