#include "daemon/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/unique_fd.h"

namespace {

// The length of the UTF-8 sequence that begins at p (at most `left`
// bytes), or 0 when none does: no overlong forms, no surrogates, nothing
// past U+10FFFF.
size_t utf8_length(const unsigned char *p, size_t left)
{
	unsigned char c = p[0];
	size_t n;
	unsigned min;
	unsigned v;
	if (c < 0x80)
		return 1;
	if ((c & 0xe0) == 0xc0) {
		n = 2, min = 0x80, v = c & 0x1f;
	} else if ((c & 0xf0) == 0xe0) {
		n = 3, min = 0x800, v = c & 0x0f;
	} else if ((c & 0xf8) == 0xf0) {
		n = 4, min = 0x10000, v = c & 0x07;
	} else {
		return 0;
	}
	if (left < n)
		return 0;
	for (size_t i = 1; i < n; i++) {
		if ((p[i] & 0xc0) != 0x80)
			return 0;
		v = (v << 6) | (p[i] & 0x3f);
	}
	if (v < min || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff))
		return 0;
	return n;
}

void append_string(std::string &out, const char *text)
{
	if (text == nullptr) {
		out += "null";
		return;
	}
	out += '"';
	const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
	size_t left = 0;
	while (p[left] != '\0')
		left++;
	while (left > 0) {
		unsigned char c = *p;
		if (c == '"' || c == '\\') {
			out += '\\';
			out += static_cast<char>(c);
		} else if (c < 0x20 || c == 0x7f) {
			char esc[8];
			snprintf(esc, sizeof esc, "\\u%04x", c);
			out += esc;
		} else if (c >= 0x80) {
			size_t n = utf8_length(p, left);
			if (n == 0) {
				out += "\\ufffd";
				n = 1;
			} else {
				out.append(reinterpret_cast<const char *>(p), n);
			}
			p += n;
			left -= n;
			continue;
		} else {
			out += static_cast<char>(c);
		}
		p++;
		left--;
	}
	out += '"';
}

void append_time(std::string &out, time_t t)
{
	struct tm at = {};
	char buf[64];
	if (gmtime_r(&t, &at) == nullptr || strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &at) == 0) {
		out += "null";
		return;
	}
	out += '"';
	out += buf;
	out += '"';
}

}  // namespace

std::string state_file_text(const daemon_standing &s, const char *version)
{
	std::string out = "{\n";
	auto member = [&](const char *name) {
		if (out.size() > 2)
			out += ",\n";
		out += "  \"";
		out += name;
		out += "\": ";
	};
	member("schema");
	out += std::to_string(STATE_FILE_SCHEMA);
	member("state");
	append_string(out, login_state_name(s.state));
	member("since");
	append_time(out, s.since);
	member("last_check");
	append_time(out, s.last_check);
	member("last_check_reason");
	append_string(out, check_reason_name(s.last_reason));
	member("next_check_by");
	if (s.logging_in)
		out += "null";
	else
		append_time(out, s.next_check_by);
	member("server");
	append_string(out, s.server);
	member("port");
	out += std::to_string(s.port);
	member("interface");
	append_string(out, s.interface);
	member("pid");
	out += std::to_string(s.pid);
	member("version");
	append_string(out, version);
	out += "\n}\n";
	return out;
}

int state_file_write(const char *path, const std::string &text)
{
	std::string tmp = std::string(path) + ".tmp";
	// A name left by an earlier run, or planted, is never written through.
	if (unlink(tmp.c_str()) != 0 && errno != ENOENT)
		return -1;
	unique_fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
	if (fd.get() < 0)
		return -1;
	bool ok = fchmod(fd.get(), 0644) == 0;
	for (size_t done = 0; ok && done < text.size();) {
		ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		ok = n > 0;
		if (n == 0)
			errno = EIO;
		if (ok)
			done += static_cast<size_t>(n);
	}
	if (ok)
		ok = close(fd.release()) == 0;
	if (ok && rename(tmp.c_str(), path) == 0)
		return 0;
	int err = errno;
	unlink(tmp.c_str());
	errno = err;
	return -1;
}
