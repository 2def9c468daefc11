// Figures of the form login: reading a 64 KiB login page (tokenize and
// find the form), a whole form login as one process against a portal of
// two forms on loopback (openNDS's way) beside the default login against
// the login server, and a keep-alive daemon's resident memory over 100
// form logins.
//   kavri-form-bench KAVRI_BINARY
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_server.h"
#include "form_portal.h"
#include "html/forms.h"
#include "html/tokenizer.h"
#include "proc.h"

namespace {

using clk = std::chrono::steady_clock;

// A login page of 64 KiB as portals write them: a head of styles and
// scripts, paragraphs of terms, then the form near the end.
std::string login_page()
{
	std::string p = "<!DOCTYPE html><html><head><title>Welcome</title><style>body{font:1em sans-serif}"
	                "</style><script>function go(){document.forms[0].submit();}</script></head><body>";
	int n = 0;
	while (p.size() < 64 * 1024 - 600) {
		p += "<div class=\"terms\" id=\"t" + std::to_string(n) +
		     "\"><p>By using this network you agree to the <a href=\"/terms#" + std::to_string(n) +
		     "\">terms</a> &amp; conditions of use.</p></div>\n";
		n++;
	}
	p += "<form method=\"post\" action=\"/login\"><input type=\"hidden\" name=\"token\" value=\"0123456789abcdef\">"
	     "<input name=\"username\" placeholder=\"User\"><input type=\"password\" name=\"password\">"
	     "<label><input type=\"checkbox\" name=\"terms\" checked> I agree</label>"
	     "<select name=\"lang\"><option>en<option selected>de</select>"
	     "<input type=\"submit\" name=\"go\" value=\"Log in\"></form></body></html>";
	p.resize(64 * 1024, ' ');
	return p;
}

double timed_run(const std::string &kavri, const std::string &conf)
{
	auto t0 = clk::now();
	run(kavri, {"-c", conf, "-l"});
	return ms_since(t0);
}

}  // namespace

int main(int argc, char *argv[])
{
	if (argc != 2) {
		fprintf(stderr, "usage: %s KAVRI_BINARY\n", argv[0]);
		return 2;
	}
	const std::string kavri = argv[1];
	prctl(PR_SET_CHILD_SUBREAPER, 1);

	// Reading the page.
	std::string page = login_page();
	std::vector<double> parse_ms;
	size_t fields = 0;
	for (int i = 0; i < 200; i++) {
		auto t0 = clk::now();
		std::vector<html::form> forms = html::read_forms(html::tokenize(page));
		const html::form *f = html::form_to_submit(forms);
		parse_ms.push_back(ms_since(t0));
		fields = f != nullptr ? f->fields.size() : 0;
	}
	printf("reading a %zu-byte login page (tokenize, find the form: %zu fields): median %.3f ms\n", page.size(),
	       fields, median(parse_ms));

	// Whole logins, the two kinds taking turns.
	FormPortal portal;
	FakeServer server;
	char tmpl[] = "/tmp/kavri-form-bench-XXXXXX";
	std::string dir = mkdtemp(tmpl);
	std::string form_conf = dir + "/form.conf", plain_conf = dir + "/plain.conf", daemon_conf = dir + "/daemon.conf";
	std::string pidfile = dir + "/kavri.pid";
	std::string common = "SERV = 127.0.0.1\nUSER = bench\nPASS = bench\nPID_FILE = " + pidfile + "\n";
	std::ofstream(form_conf) << common << "SERVER_PORT = " << portal.port() << "\nDEAMON_S = false\nLOGIN_FORM = yes\n";
	std::ofstream(plain_conf) << common << "SERVER_PORT = " << server.port() << "\nDEAMON_S = false\n";
	std::ofstream(daemon_conf) << common << "SERVER_PORT = " << portal.port()
	                           << "\nDEAMON_S = true\nDEAMON_D = 2\nLOGIN_FORM = yes\n";
	std::vector<double> form_ms, plain_ms;
	for (int i = 0; i < 200; i++) {
		portal.set_logged_in(false);
		form_ms.push_back(timed_run(kavri, form_conf));
		server.set_logged_in(false);
		plain_ms.push_back(timed_run(kavri, plain_conf));
	}
	printf("kavri -l, a form login (probe, redirect, two forms: 4 requests), whole process: median %.3f ms (%u logins)\n",
	       median(form_ms), portal.logins());
	printf("kavri -l, the default login (probe, post: 2 requests), whole process:              median %.3f ms\n",
	       median(plain_ms));

	// The daemon over 100 form logins, each forced with SIGHUP.
	portal.set_logged_in(false);
	pid_t pid = start_daemon(kavri, daemon_conf, pidfile);
	if (pid <= 0) {
		fprintf(stderr, "the daemon did not start\n");
		return 1;
	}
	std::this_thread::sleep_for(std::chrono::milliseconds(1100));
	memory at_start = memory_of(pid), after_1{}, after_10{};
	for (int i = 1; i <= 100; i++) {
		unsigned before = portal.logins();
		portal.set_logged_in(false);
		auto t0 = clk::now();
		bool done = false;
		for (int tries = 0; tries < 25 && !done; tries++) {
			kill(pid, SIGHUP);
			for (int w = 0; w < 200 && !done; w++) {
				std::this_thread::sleep_for(std::chrono::milliseconds(1));
				done = portal.logins() > before;
			}
		}
		if (!done) {
			fprintf(stderr, "form login %d did not come\n", i);
			break;
		}
		// Let the pass end, then the second between two passes run out.
		std::this_thread::sleep_until(t0 + std::chrono::milliseconds(1050));
		if (i == 1)
			after_1 = memory_of(pid);
		if (i == 10)
			after_10 = memory_of(pid);
	}
	memory after_100 = memory_of(pid);
	kill(pid, SIGTERM);
	while (waitpid(-1, nullptr, 0) > 0) {
	}
	printf("daemon resident memory, after start / 1 / 10 / 100 form logins: %ld / %ld / %ld / %ld KiB "
	       "(Pss %ld / %ld / %ld / %ld KiB)\n",
	       at_start.rss, after_1.rss, after_10.rss, after_100.rss, at_start.pss, after_1.pss, after_10.pss,
	       after_100.pss);
	std::string rm = "rm -rf " + dir;
	return system(rm.c_str()) == 0 ? 0 : 1;
}
