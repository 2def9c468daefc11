#include "net/announced_api.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "base/text.h"

namespace {

constexpr size_t STATE_FILE_MAX = 1024 * 1024;  // bytes read of one file at most

// The names dhclient writes option 114 with: its own table's, a
// configuration's, and those of an option it has no name for.
constexpr std::string_view OPTION_114[] = {"default-url", "captive-portal", "unknown-114", "option-114"};

// The lines of a text, without their line ends.
std::vector<std::string_view> lines(std::string_view text)
{
	std::vector<std::string_view> out;
	while (!text.empty()) {
		size_t end = text.find('\n');
		std::string_view line = text.substr(0, end);
		if (!line.empty() && line.back() == '\r')
			line.remove_suffix(1);
		out.push_back(line);
		if (end == std::string_view::npos)
			break;
		text.remove_prefix(end + 1);
	}
	return out;
}

std::string_view trim(std::string_view s)
{
	while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
		s.remove_prefix(1);
	while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
		s.remove_suffix(1);
	return s;
}

// The value of KEY= in a file of KEY=value lines.
std::optional<std::string_view> env_value(std::string_view text, std::string_view key)
{
	std::optional<std::string_view> found;
	for (std::string_view line : lines(text))
		if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=')
			found = line.substr(key.size() + 1);
	return found;
}

// dhclient's quoted text: "\"", "\\" and "\ooo" octal escapes.
std::optional<std::string> dhclient_unquote(std::string_view v)
{
	if (v.size() < 2 || v.front() != '"' || v.back() != '"')
		return std::nullopt;
	v = v.substr(1, v.size() - 2);
	std::string out;
	for (size_t i = 0; i < v.size(); i++) {
		if (v[i] != '\\') {
			out += v[i];
			continue;
		}
		if (++i == v.size())
			return std::nullopt;
		if (v[i] >= '0' && v[i] <= '7') {
			int n = 0, k = 0;
			for (; k < 3 && i < v.size() && v[i] >= '0' && v[i] <= '7'; k++, i++)
				n = n * 8 + (v[i] - '0');
			i--;
			if (n > 255)
				return std::nullopt;
			out += static_cast<char>(n);
		} else {
			out += v[i];
		}
	}
	return out;
}

// dhclient's bytes of an option it has no type for: "68:74:74:70".
std::optional<std::string> dhclient_hex(std::string_view v)
{
	std::string out;
	while (!v.empty()) {
		size_t end = v.find(':');
		std::string_view byte = v.substr(0, end);
		if (byte.empty() || byte.size() > 2)
			return std::nullopt;
		int n = 0;
		for (char c : byte) {
			int d = hex_digit(c);
			if (d < 0)
				return std::nullopt;
			n = n * 16 + d;
		}
		out += static_cast<char>(n);
		if (end == std::string_view::npos)
			break;
		v.remove_prefix(end + 1);
		if (v.empty())
			return std::nullopt;
	}
	return out;
}

// A URI as recorded: none when it is empty or holds a blank or another
// control character (a URI has none). Some servers end option 114 with a
// NUL, which is dropped.
std::optional<std::string> clean_uri(std::string s)
{
	while (!s.empty() && s.back() == '\0')
		s.pop_back();
	if (s.empty())
		return std::nullopt;
	for (unsigned char c : s)
		if (c <= 0x20 || c == 0x7f)
			return std::nullopt;
	return s;
}

}  // namespace

std::optional<std::string> networkd_captive_portal(std::string_view text)
{
	auto v = env_value(text, "CAPTIVE_PORTAL");
	if (!v)
		return std::nullopt;
	return clean_uri(std::string(trim(*v)));
}

bool networkd_manages(std::string_view text)
{
	auto v = env_value(text, "ADMIN_STATE");
	return v && !v->empty() && *v != "unmanaged";
}

std::optional<std::string> dhcp_message_captive_portal(std::string_view m)
{
	constexpr size_t OPTIONS = 240;  // the fixed fields (236 bytes) and the magic cookie
	if (m.size() < OPTIONS || m.substr(236, 4) != std::string_view("\x63\x82\x53\x63", 4))
		return std::nullopt;
	std::optional<std::string> uri;
	for (size_t i = OPTIONS; i < m.size();) {
		unsigned char code = static_cast<unsigned char>(m[i]);
		if (code == 255)
			break;
		if (code == 0) {
			i++;
			continue;
		}
		if (i + 1 >= m.size())
			break;
		size_t len = static_cast<unsigned char>(m[i + 1]);
		if (i + 2 + len > m.size())
			break;  // an option cut short ends what can be read
		if (code == 114) {
			if (!uri)
				uri.emplace();
			uri->append(m.substr(i + 2, len));
		}
		i += 2 + len;
	}
	if (!uri)
		return std::nullopt;
	return clean_uri(*uri);
}

std::optional<std::string> dhclient_captive_portal(std::string_view text, std::string_view ifname,
                                                   bool *has_lease)
{
	// Statements end at ';', blocks are "lease {" ... "}". Only the last
	// lease for the interface counts: dhclient appends each new one.
	std::optional<std::string> uri;
	bool in_lease = false, any = false;
	std::string interface;
	std::optional<std::string> lease_uri;
	std::string stmt;
	bool quoted = false;
	for (size_t i = 0; i < text.size(); i++) {
		char c = text[i];
		if (quoted) {
			stmt += c;
			if (c == '\\' && i + 1 < text.size())
				stmt += text[++i];
			else if (c == '"')
				quoted = false;
			continue;
		}
		if (c == '"') {
			quoted = true;
			stmt += c;
			continue;
		}
		if (c == '#') {
			while (i < text.size() && text[i] != '\n')
				i++;
			continue;
		}
		if (c == '{') {
			in_lease = trim(stmt) == "lease";
			interface.clear();
			lease_uri.reset();
			stmt.clear();
			continue;
		}
		if (c == '}') {
			if (in_lease && (interface.empty() || interface == ifname)) {
				any = true;
				uri = lease_uri;
			}
			in_lease = false;
			stmt.clear();
			continue;
		}
		if (c != ';') {
			stmt += (c == '\n' || c == '\t') ? ' ' : c;
			continue;
		}
		std::string_view s = trim(stmt);
		if (in_lease) {
			if (s.substr(0, 10) == "interface ") {
				auto name = dhclient_unquote(trim(s.substr(10)));
				interface = name ? *name : std::string();
			} else if (s.substr(0, 7) == "option ") {
				std::string_view rest = trim(s.substr(7));
				size_t sp = rest.find(' ');
				std::string_view name = rest.substr(0, sp);
				std::string_view value = sp == std::string_view::npos ? "" : trim(rest.substr(sp));
				if (std::find(std::begin(OPTION_114), std::end(OPTION_114), name) != std::end(OPTION_114)) {
					auto v = value.empty()         ? std::nullopt
					         : value.front() == '"' ? dhclient_unquote(value)
					                                 : dhclient_hex(value);
					lease_uri = v ? clean_uri(*v) : std::nullopt;
				}
			}
		}
		stmt.clear();
	}
	if (has_lease != nullptr)
		*has_lease = any;
	return uri;
}

std::optional<std::string> default_route_interface(std::string_view text)
{
	std::optional<std::string> best;
	long best_metric = 0;
	bool header = true;
	for (std::string_view line : lines(text)) {
		if (header) {
			header = false;
			continue;
		}
		std::vector<std::string_view> f;
		for (size_t i = 0; i < line.size();) {
			while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
				i++;
			size_t b = i;
			while (i < line.size() && line[i] != ' ' && line[i] != '\t')
				i++;
			if (i > b)
				f.push_back(line.substr(b, i - b));
		}
		// Iface Destination Gateway Flags RefCnt Use Metric Mask ...
		if (f.size() < 8 || f[1] != "00000000" || f[7] != "00000000")
			continue;
		std::string flags(f[3]), metric(f[6]);
		if ((strtoul(flags.c_str(), nullptr, 16) & 1) == 0)  // RTF_UP
			continue;
		long m = strtol(metric.c_str(), nullptr, 10);
		if (!best || m < best_metric) {
			best = std::string(f[0]);
			best_metric = m;
		}
	}
	return best;
}

namespace {

// A file's text, up to STATE_FILE_MAX bytes; none when it cannot be read.
std::optional<std::string> read_text_file(const std::string &path)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
	if (fd < 0)
		return std::nullopt;
	std::string text;
	char buf[8192];
	ssize_t n;
	while (text.size() < STATE_FILE_MAX && (n = read(fd, buf, sizeof buf)) > 0)
		text.append(buf, static_cast<size_t>(n));
	close(fd);
	if (n < 0)
		return std::nullopt;
	return text;
}

// The newest NetworkManager dhclient lease of the interface.
std::string networkmanager_lease(const std::string &ifname)
{
	const char *dir = "/var/lib/NetworkManager";
	std::string best;
	struct timespec best_time = {};
	DIR *d = opendir(dir);
	if (d == nullptr)
		return best;
	std::string tail = "-" + ifname + ".lease";
	while (struct dirent *e = readdir(d)) {
		std::string name = e->d_name;
		if (name.rfind("dhclient-", 0) != 0 || name.size() <= tail.size() + 9 ||
		    name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
			continue;
		std::string path = std::string(dir) + "/" + name;
		struct stat st;
		if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
			continue;
		if (best.empty() || st.st_mtim.tv_sec > best_time.tv_sec ||
		    (st.st_mtim.tv_sec == best_time.tv_sec && st.st_mtim.tv_nsec > best_time.tv_nsec)) {
			best = path;
			best_time = st.st_mtim;
		}
	}
	closedir(d);
	return best;
}

}  // namespace

bool announced_api(const char *ifname, announced *out)
{
	*out = announced{};
	if (ifname != nullptr && *ifname != '\0') {
		out->ifname = ifname;
	} else {
		auto routes = read_text_file("/proc/net/route");
		auto name = routes ? default_route_interface(*routes) : std::nullopt;
		if (!name)
			return false;
		out->ifname = *name;
	}
	const std::string &name = out->ifname;
	unsigned index = if_nametoindex(name.c_str());
	if (index == 0)
		return false;

	std::string networkd = "/run/systemd/netif/links/" + std::to_string(index);
	if (auto text = read_text_file(networkd); text && networkd_manages(*text)) {
		out->uri = networkd_captive_portal(*text);
		out->source = networkd;
		return true;
	}
	const std::string dhcpcd[] = {"/var/lib/dhcpcd/" + name + ".lease", "/var/lib/dhcpcd/dhcpcd-" + name + ".lease"};
	for (const std::string &path : dhcpcd) {
		if (auto bytes = read_text_file(path)) {
			out->uri = dhcp_message_captive_portal(*bytes);
			out->source = path;
			return true;
		}
	}
	std::string nm = networkmanager_lease(name);
	const std::string dhclient[] = {"/var/lib/dhcp/dhclient." + name + ".leases", "/var/lib/dhcp/dhclient.leases", nm};
	for (const std::string &path : dhclient) {
		if (path.empty())
			continue;
		auto text = read_text_file(path);
		bool has = false;
		if (!text)
			continue;
		auto uri = dhclient_captive_portal(*text, name, &has);
		if (has) {
			out->uri = uri;
			out->source = path;
			return true;
		}
	}
	return true;
}
