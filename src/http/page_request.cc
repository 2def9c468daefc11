#include "http/page_request.h"

const char KAVRI_USER_AGENT[] = "kavri v" KAVRI_VERSION;

std::string compose_page_request(const page_request &r)
{
	std::string t;
	t.reserve(256 + r.body.size() + r.cookie.size());
	t += r.post ? "POST " : "GET ";
	t += url_target(r.target);
	t += " HTTP/1.0\r\nHost: ";
	t += url_host_header(r.target);
	t += "\r\nUser-Agent: ";
	t += KAVRI_USER_AGENT;
	t += "\r\nAccept: */*\r\n";
	if (!r.referer.empty())
		t += "Referer: " + r.referer + "\r\n";
	if (!r.cookie.empty())
		t += "Cookie: " + r.cookie + "\r\n";
	if (r.post) {
		t += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: ";
		t += std::to_string(r.body.size());
		t += "\r\n";
	}
	t += "\r\n";
	if (r.post)
		t += r.body;
	return t;
}
