#include "form_portal.h"

FormPortal::FormPortal(const FormPortalOptions &o) : o_(o), portal_(o.address, o.port)
{
	portal_.route("GET", o_.init_page, [this](const PortalRequest &) {
		if (logged_in_)
			return std::string(html_page("<p>Logged in. " + o_.logged_in_marker + "</p>"));
		return std::string(redirect_to("/portal/?visit=" + portal_.issue_token(), 307));
	});
	portal_.route("GET", o_.logout_page, [this](const PortalRequest &) {
		logged_in_ = false;
		return std::string(html_page("<p>Logged out. " + o_.logged_out_marker + "</p>"));
	});
	portal_.route("", "/portal/", [this](const PortalRequest &r) {
		if (r.has_field("landing"))
			return landing(r);
		if (r.has_field("continue"))
			return step_two(r);
		return step_one(r);
	});
}

std::string FormPortal::step_one(const PortalRequest &r)
{
	if (r.method != "GET" || !portal_.redeem_token(r.field("visit")))
		return html_page("<p>This visit is over: start again.</p>", 403);
	std::string cookie = portal_.issue_token();
	{
		std::lock_guard<std::mutex> l(mu_);
		cookie_ = cookie;
	}
	return html_page("<h1>Welcome</h1><form action=\"/portal/\" method=\"get\">"
	                 "<input type=\"hidden\" name=\"visit\" value=\"" +
	                 portal_.issue_token() +
	                 "\"><input type=\"hidden\" name=\"continue\" value=\"clicked\">"
	                 "<input type=\"submit\" value=\"Continue\"></form>"
	                 "<form action=\"/portal/\"><input type=\"hidden\" name=\"terms\" value=\"yes\">"
	                 "<input type=\"submit\" value=\"Read the terms\"></form>")
	    .set_cookie("portal_visit=" + cookie + "; Path=/portal/; HttpOnly");
}

std::string FormPortal::step_two(const PortalRequest &r)
{
	bool cookie_ok;
	{
		std::lock_guard<std::mutex> l(mu_);
		cookie_ok = !cookie_.empty() && r.cookie("portal_visit") == cookie_;
	}
	if (r.method != "GET" || !cookie_ok || !portal_.redeem_token(r.field("visit")))
		return html_page("<p>This visit is over: start again.</p>", 403);
	std::string form = o_.credentials
	                       ? "<form action=\"/portal/\" method=\"post\"><input name=\"username\">"
	                         "<input type=\"password\" name=\"password\">"
	                       : "<form action=\"/portal/\" method=\"get\">";
	return html_page("<h1>One more step</h1>" + form + "<input type=\"hidden\" name=\"visit\" value=\"" +
	                 portal_.issue_token() +
	                 "\"><input type=\"hidden\" name=\"landing\" value=\"yes\">"
	                 "<input type=\"submit\" value=\"Go online\"></form>");
}

std::string FormPortal::landing(const PortalRequest &r)
{
	bool cookie_ok;
	{
		std::lock_guard<std::mutex> l(mu_);
		cookie_ok = !cookie_.empty() && r.cookie("portal_visit") == cookie_;
	}
	bool method_ok = r.method == (o_.credentials ? "POST" : "GET");
	bool user_ok = !o_.credentials || (r.field("username") == o_.user && r.field("password") == o_.password);
	if (!method_ok || !cookie_ok || !portal_.redeem_token(r.field("visit")))
		return html_page("<p>This visit is over: start again.</p>", 403);
	if (!user_ok)
		return html_page("<p>Wrong user name or password.</p>", 403);
	logged_in_ = true;
	logins_++;
	return html_page("<p>You are now logged in and have been granted access. " + o_.logged_in_marker + "</p>");
}
