// A portal that logs in through two forms, as openNDS does: the status
// page redirects a client that is not logged in to a page of this visit
// (a token in the URL) that sets a cookie and holds a GET form with a new
// token (and a decoy second form); its reply holds the second form with
// yet another token, whose reply logs in. Each token is taken once, and
// each step wants the cookie. With `credentials` the second form is a
// POST of the user name and password, which must match. The tests'
// end-to-end form logins, the demo's --form mode and the benchmark's.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "fake_portal.h"

struct FormPortalOptions {
	std::string address = "127.0.0.1";
	int port = 0;
	std::string init_page = "/sd/init";
	std::string logout_page = "/sd/logout";
	std::string logged_in_marker = "/sd/create_session_window";
	std::string logged_out_marker = "Login again";
	bool credentials = false;  // the second form asks for USER and PASS
	std::string user = "demo";
	std::string password = "demo password";
};

class FormPortal {
public:
	explicit FormPortal(const FormPortalOptions &o = {});
	bool listening() const { return portal_.listening(); }
	int port() const { return portal_.port(); }
	FakePortal &portal() { return portal_; }

	bool logged_in() const { return logged_in_; }
	void set_logged_in(bool in) { logged_in_ = in; }
	unsigned logins() const { return logins_; }

private:
	std::string step_one(const PortalRequest &r);
	std::string step_two(const PortalRequest &r);
	std::string landing(const PortalRequest &r);

	FormPortalOptions o_;
	std::atomic<bool> logged_in_{false};
	std::atomic<unsigned> logins_{0};
	std::mutex mu_;       // handlers run on the connections' threads
	std::string cookie_;  // the visit's, under mu_
	FakePortal portal_;
};
