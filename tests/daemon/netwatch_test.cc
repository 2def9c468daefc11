// The network watcher: routing messages, given as bytes, read as an event
// that counts or not; and the real routing socket of a private network
// namespace, which takes only the kernel's messages and reads an overrun
// as a change.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "daemon/netwatch.h"
#include "isolation.h"
#include "netlab.h"

namespace {

// One routing message built field by field: a header, a fixed part, then
// attributes, each padded as the kernel pads them.
class Message {
public:
	template <class T>
	Message(uint16_t type, const T &body)
	{
		struct nlmsghdr h = {};
		h.nlmsg_type = type;
		put(&h, sizeof h);
		put(&body, sizeof body);
	}
	Message &attr(uint16_t type, const void *data, size_t len)
	{
		struct rtattr a = {};
		a.rta_type = type;
		a.rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
		put(&a, sizeof a);
		put(data, len);
		return *this;
	}
	Message &attr_u32(uint16_t type, uint32_t v) { return attr(type, &v, sizeof v); }
	Message &attr_text(uint16_t type, const std::string &s) { return attr(type, s.c_str(), s.size() + 1); }
	// The bytes, with the header's length filled in.
	std::string bytes() const
	{
		std::string b = bytes_;
		uint32_t len = static_cast<uint32_t>(b.size());
		memcpy(&b[0], &len, sizeof len);
		return b;
	}

private:
	void put(const void *p, size_t n)
	{
		bytes_.append(static_cast<const char *>(p), n);
		bytes_.append(NLMSG_ALIGN(n) - n, '\0');
	}
	std::string bytes_;
};

struct ifinfomsg link_body(int index, unsigned flags)
{
	struct ifinfomsg i = {};
	i.ifi_family = AF_UNSPEC;
	i.ifi_index = index;
	i.ifi_flags = flags;
	return i;
}

struct ifaddrmsg addr_body(int family, int index, unsigned char scope, unsigned char flags = 0)
{
	struct ifaddrmsg a = {};
	a.ifa_family = static_cast<unsigned char>(family);
	a.ifa_prefixlen = family == AF_INET ? 24 : 64;
	a.ifa_index = static_cast<unsigned>(index);
	a.ifa_scope = scope;
	a.ifa_flags = flags;
	return a;
}

struct rtmsg route_body(int family, unsigned char dst_len, unsigned char table = RT_TABLE_MAIN,
                        unsigned char type = RTN_UNICAST, unsigned flags = 0)
{
	struct rtmsg r = {};
	r.rtm_family = static_cast<unsigned char>(family);
	r.rtm_dst_len = dst_len;
	r.rtm_table = table;
	r.rtm_type = type;
	r.rtm_protocol = RTPROT_BOOT;
	r.rtm_scope = RT_SCOPE_UNIVERSE;
	r.rtm_flags = flags;
	return r;
}

std::string multipath(const std::vector<int> &indexes)
{
	std::string b;
	for (int i : indexes) {
		struct rtnexthop nh = {};
		nh.rtnh_len = sizeof nh;
		nh.rtnh_ifindex = i;
		b.append(reinterpret_cast<const char *>(&nh), sizeof nh);
	}
	return b;
}

// The watcher's verdict on the bytes, laid out as the kernel's read would
// lay them: aligned for a message header. The links' states are `f`'s.
bool relevant_to(const std::string &bytes, netwatch_filter &f)
{
	std::vector<uint64_t> aligned(bytes.size() / 8 + 1);
	memcpy(aligned.data(), bytes.data(), bytes.size());
	return netwatch_relevant(aligned.data(), bytes.size(), f);
}

// The verdict of a watch that has seen nothing before.
bool relevant(const std::string &bytes, const netwatch_filter &f)
{
	netwatch_filter fresh = f;
	return relevant_to(bytes, fresh);
}

const netwatch_filter ANY = {nullptr, 0};
const netwatch_filter UP1 = {"up1", 3};          // the chosen interface, index 3
const netwatch_filter UP1_GONE = {"up1", 0};     // chosen, not there (yet)

constexpr unsigned UP_RUNNING = IFF_UP | IFF_RUNNING | IFF_MULTICAST;

std::string link(int index, unsigned flags)
{
	return Message(RTM_NEWLINK, link_body(index, flags)).bytes();
}

// A wireless-extension event: a new-link message with IFLA_WIRELESS.
std::string wireless(int index, unsigned flags)
{
	const char event[8] = {};
	return Message(RTM_NEWLINK, link_body(index, flags)).attr(IFLA_WIRELESS, event, sizeof event).bytes();
}

TEST(NetwatchParse, TableOfMessages)
{
	uint32_t gw = 0;
	struct Case {
		const char *name;
		std::string bytes;
		netwatch_filter filter;
		bool counts;
	} cases[] = {
		// Links.
		{"link up and running", Message(RTM_NEWLINK, link_body(2, UP_RUNNING)).bytes(), ANY, true},
		{"link up, no carrier yet", Message(RTM_NEWLINK, link_body(2, IFF_UP)).bytes(), ANY, false},
		{"link down", Message(RTM_NEWLINK, link_body(2, 0)).bytes(), ANY, false},
		{"link removed", Message(RTM_DELLINK, link_body(2, UP_RUNNING)).bytes(), ANY, false},
		{"the chosen link", Message(RTM_NEWLINK, link_body(3, UP_RUNNING)).bytes(), UP1, true},
		{"another link", Message(RTM_NEWLINK, link_body(4, UP_RUNNING)).bytes(), UP1, false},
		{"the chosen link appears under its name",
		 Message(RTM_NEWLINK, link_body(7, UP_RUNNING)).attr_text(IFLA_IFNAME, "up1").bytes(), UP1_GONE, true},
		{"a link whose name only begins like it",
		 Message(RTM_NEWLINK, link_body(7, UP_RUNNING)).attr_text(IFLA_IFNAME, "up10").bytes(), UP1_GONE, false},
		{"a shorter name", Message(RTM_NEWLINK, link_body(7, UP_RUNNING)).attr_text(IFLA_IFNAME, "up").bytes(),
		 UP1_GONE, false},
		// Addresses.
		{"IPv4 address added", Message(RTM_NEWADDR, addr_body(AF_INET, 2, RT_SCOPE_UNIVERSE)).bytes(), ANY, true},
		{"global IPv6 address added", Message(RTM_NEWADDR, addr_body(AF_INET6, 2, RT_SCOPE_UNIVERSE)).bytes(), ANY,
		 true},
		{"IPv6 link-local address", Message(RTM_NEWADDR, addr_body(AF_INET6, 2, RT_SCOPE_LINK)).bytes(), ANY, false},
		{"host address", Message(RTM_NEWADDR, addr_body(AF_INET, 1, RT_SCOPE_HOST)).bytes(), ANY, false},
		{"tentative address",
		 Message(RTM_NEWADDR, addr_body(AF_INET6, 2, RT_SCOPE_UNIVERSE, IFA_F_TENTATIVE)).bytes(), ANY, false},
		{"tentative in the flags attribute",
		 Message(RTM_NEWADDR, addr_body(AF_INET6, 2, RT_SCOPE_UNIVERSE)).attr_u32(IFA_FLAGS, IFA_F_TENTATIVE).bytes(),
		 ANY, false},
		{"duplicate address found",
		 Message(RTM_NEWADDR, addr_body(AF_INET6, 2, RT_SCOPE_UNIVERSE)).attr_u32(IFA_FLAGS, IFA_F_DADFAILED).bytes(),
		 ANY, false},
		{"no longer tentative",
		 Message(RTM_NEWADDR, addr_body(AF_INET6, 2, RT_SCOPE_UNIVERSE)).attr_u32(IFA_FLAGS, IFA_F_PERMANENT).bytes(),
		 ANY, true},
		{"address removed", Message(RTM_DELADDR, addr_body(AF_INET, 2, RT_SCOPE_UNIVERSE)).bytes(), ANY, false},
		{"address on the chosen link", Message(RTM_NEWADDR, addr_body(AF_INET, 3, RT_SCOPE_UNIVERSE)).bytes(), UP1,
		 true},
		{"address on another link", Message(RTM_NEWADDR, addr_body(AF_INET, 4, RT_SCOPE_UNIVERSE)).bytes(), UP1,
		 false},
		{"address while the chosen link is gone",
		 Message(RTM_NEWADDR, addr_body(AF_INET, 0, RT_SCOPE_UNIVERSE)).bytes(), UP1_GONE, false},
		// Routes.
		{"IPv4 default route",
		 Message(RTM_NEWROUTE, route_body(AF_INET, 0)).attr_u32(RTA_GATEWAY, gw).attr_u32(RTA_OIF, 2).bytes(), ANY,
		 true},
		{"IPv6 default route", Message(RTM_NEWROUTE, route_body(AF_INET6, 0)).attr_u32(RTA_OIF, 2).bytes(), ANY,
		 true},
		{"prefix route", Message(RTM_NEWROUTE, route_body(AF_INET, 24)).attr_u32(RTA_OIF, 2).bytes(), ANY, false},
		{"local table", Message(RTM_NEWROUTE, route_body(AF_INET, 0, RT_TABLE_LOCAL)).attr_u32(RTA_OIF, 2).bytes(),
		 ANY, false},
		{"local table named in the attribute",
		 Message(RTM_NEWROUTE, route_body(AF_INET, 0, RT_TABLE_UNSPEC)).attr_u32(RTA_TABLE, RT_TABLE_LOCAL).bytes(),
		 ANY, false},
		{"a table of policy routing",
		 Message(RTM_NEWROUTE, route_body(AF_INET, 0, RT_TABLE_UNSPEC)).attr_u32(RTA_TABLE, 1000).bytes(), ANY,
		 true},
		{"unreachable default", Message(RTM_NEWROUTE, route_body(AF_INET, 0, RT_TABLE_MAIN, RTN_UNREACHABLE)).bytes(),
		 ANY, false},
		{"cached copy", Message(RTM_NEWROUTE, route_body(AF_INET6, 0, RT_TABLE_MAIN, RTN_UNICAST, RTM_F_CLONED)).bytes(),
		 ANY, false},
		{"route removed", Message(RTM_DELROUTE, route_body(AF_INET, 0)).attr_u32(RTA_OIF, 2).bytes(), ANY, false},
		{"default route through the chosen link",
		 Message(RTM_NEWROUTE, route_body(AF_INET, 0)).attr_u32(RTA_OIF, 3).bytes(), UP1, true},
		{"default route through another link",
		 Message(RTM_NEWROUTE, route_body(AF_INET, 0)).attr_u32(RTA_OIF, 4).bytes(), UP1, false},
		{"multipath with the chosen link second",
		 [] {
			 std::string nh = multipath({4, 3});
			 return Message(RTM_NEWROUTE, route_body(AF_INET, 0)).attr(RTA_MULTIPATH, nh.data(), nh.size()).bytes();
		 }(),
		 UP1, true},
		{"multipath without it",
		 [] {
			 std::string nh = multipath({4, 5});
			 return Message(RTM_NEWROUTE, route_body(AF_INET, 0)).attr(RTA_MULTIPATH, nh.data(), nh.size()).bytes();
		 }(),
		 UP1, false},
		{"default route naming no interface", Message(RTM_NEWROUTE, route_body(AF_INET, 0)).bytes(), UP1, true},
		// Several messages, and bytes that are not whole.
		{"a removal, then a new default route",
		 Message(RTM_DELLINK, link_body(2, 0)).bytes() + Message(RTM_NEWROUTE, route_body(AF_INET, 0)).bytes(), ANY,
		 true},
		{"down, then up again",
		 Message(RTM_NEWLINK, link_body(2, 0)).bytes() + Message(RTM_NEWLINK, link_body(2, UP_RUNNING)).bytes(), ANY,
		 true},
		{"an error message", Message(NLMSG_ERROR, nlmsgerr{}).bytes(), ANY, false},
		{"nothing", "", ANY, false},
		{"a header cut short", Message(RTM_NEWLINK, link_body(2, UP_RUNNING)).bytes().substr(0, 12), ANY, false},
		{"a message cut short",
		 Message(RTM_NEWLINK, link_body(2, UP_RUNNING)).bytes().substr(0, NLMSG_HDRLEN + 4), ANY, false},
		{"a body shorter than its kind",
		 [] {
			 std::string b = Message(RTM_NEWLINK, link_body(2, UP_RUNNING)).bytes();
			 uint32_t len = NLMSG_HDRLEN + 4;  // the header claims less than an ifinfomsg
			 memcpy(&b[0], &len, sizeof len);
			 return b;
		 }(),
		 ANY, false},
	};
	for (const auto &c : cases)
		EXPECT_EQ(relevant(c.bytes, c.filter), c.counts) << c.name;
}

// Reads one after another on one watch: only the change into up and
// running counts, never a wireless event, and addresses and default
// routes count as they come.
TEST(NetwatchParse, OnlyALinkComingUpCounts)
{
	const std::string addr = Message(RTM_NEWADDR, addr_body(AF_INET, 2, RT_SCOPE_UNIVERSE)).bytes();
	const std::string route = Message(RTM_NEWROUTE, route_body(AF_INET, 0)).attr_u32(RTA_OIF, 2).bytes();
	const std::string removed = Message(RTM_DELLINK, link_body(2, 0)).bytes();
	struct Read {
		std::string bytes;
		bool counts;
	};
	struct Case {
		const char *name;
		netwatch_filter filter;
		std::vector<Read> reads;
	} cases[] = {
		{"a link appears running, then changes its MTU, alias, queue length",
		 ANY,
		 {{link(2, UP_RUNNING), true}, {link(2, UP_RUNNING), false}, {link(2, UP_RUNNING | IFF_PROMISC), false}}},
		{"down, then up",
		 ANY,
		 {{link(2, UP_RUNNING), true}, {link(2, IFF_UP), false}, {link(2, UP_RUNNING), true}}},
		{"up before its carrier, then the carrier",
		 ANY,
		 {{link(2, IFF_UP), false}, {link(2, IFF_UP), false}, {link(2, UP_RUNNING), true}}},
		{"down and up within one read", ANY, {{link(2, UP_RUNNING), true}, {link(2, 0) + link(2, UP_RUNNING), true}}},
		{"up and changed within one read", ANY, {{link(2, 0), false}, {link(2, UP_RUNNING) + link(2, UP_RUNNING), true}}},
		{"two links, each counted once",
		 ANY,
		 {{link(2, UP_RUNNING), true}, {link(5, UP_RUNNING), true}, {link(2, UP_RUNNING) + link(5, UP_RUNNING), false}}},
		{"wireless events of a running link",
		 ANY,
		 {{link(2, UP_RUNNING), true}, {wireless(2, UP_RUNNING), false}, {wireless(2, UP_RUNNING), false}}},
		{"a wireless event never counts, even of a link not seen",
		 ANY,
		 {{wireless(2, UP_RUNNING), false}, {link(2, UP_RUNNING), true}}},
		{"a wireless event does not hide the link going up",
		 ANY,
		 {{link(2, IFF_UP), false}, {wireless(2, UP_RUNNING), false}, {link(2, UP_RUNNING), true}}},
		{"removed, then back running",
		 ANY,
		 {{link(2, UP_RUNNING), true}, {removed, false}, {link(2, UP_RUNNING), true}}},
		{"addresses and default routes of a running link still count",
		 ANY,
		 {{link(2, UP_RUNNING), true}, {addr, true}, {route, true}, {link(2, UP_RUNNING) + addr, true}}},
		{"the chosen link's change counts once",
		 UP1,
		 {{link(4, UP_RUNNING), false}, {link(3, UP_RUNNING), true}, {link(3, UP_RUNNING), false},
		  {link(3, 0), false}, {link(3, UP_RUNNING), true}}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		netwatch_filter f = c.filter;
		for (size_t i = 0; i < c.reads.size(); i++)
			EXPECT_EQ(relevant_to(c.reads[i].bytes, f), c.reads[i].counts) << "read " << i + 1;
	}
}

// More interfaces than the watch remembers: those beyond it count
// whenever they are running, as a change may not go unseen.
TEST(NetwatchParse, LinksBeyondWhatIsRemembered)
{
	netwatch_filter f = ANY;
	for (int i = 1; i <= NETWATCH_LINKS; i++)
		ASSERT_TRUE(relevant_to(link(i, UP_RUNNING), f)) << i;
	EXPECT_FALSE(relevant_to(link(1, UP_RUNNING), f));
	EXPECT_TRUE(relevant_to(link(NETWATCH_LINKS + 1, UP_RUNNING), f));
	EXPECT_TRUE(relevant_to(link(NETWATCH_LINKS + 1, UP_RUNNING), f));
	EXPECT_FALSE(relevant_to(Message(RTM_DELLINK, link_body(1, 0)).bytes(), f));
	EXPECT_TRUE(relevant_to(link(NETWATCH_LINKS + 1, UP_RUNNING), f)) << "now in the removed one's place";
	EXPECT_FALSE(relevant_to(link(NETWATCH_LINKS + 1, UP_RUNNING), f));
}

// The real socket, in a network namespace of the test's own.
TEST(NetwatchSocket, TakesOnlyTheKernelsMessagesAndReadsAnOverrunAsAChange)
{
	RUN_ISOLATED(false, [] {
		std::string why;
		if (!enter_private_network(&why))
			SKIP_OR_FAIL(why);
		FarSide far("up0", "sv0");
		ASSERT_TRUE(far.ok()) << far.error();
		unique_fd fd(netwatch_open());
		ASSERT_GE(fd.get(), 0) << strerror(errno);
		netwatch_filter any = {nullptr, 0};
		EXPECT_EQ(netwatch_drain(fd.get(), any), 0) << "nothing happened yet";

		// A link that comes up (its peer is up already).
		ASSERT_TRUE(run_ip({"link", "set", "up0", "up"}, &why)) << why;
		ASSERT_TRUE(wait_until([&] { return netwatch_drain(fd.get(), any) == 1; }, 3000));
		// Another interface's event does not count for a chosen one.
		netwatch_filter up1 = {"up1", 0};
		ASSERT_TRUE(run_ip({"addr", "add", "192.0.2.2/24", "dev", "up0"}, &why)) << why;
		std::this_thread::sleep_for(std::chrono::milliseconds(200));
		EXPECT_EQ(netwatch_drain(fd.get(), up1), 0);
		netwatch_filter up0 = {"up0", 0};
		ASSERT_TRUE(run_ip({"route", "add", "default", "via", "192.0.2.1"}, &why)) << why;
		ASSERT_TRUE(wait_until([&] { return netwatch_drain(fd.get(), up0) == 1; }, 3000));
		EXPECT_EQ(up0.index, static_cast<int>(if_nametoindex("up0")));

		// A watch that has learnt the links: a running link's changes of
		// MTU, alias and queue length are no news; down and up again is.
		netwatch_filter seeded = {nullptr, 0};
		ASSERT_EQ(netwatch_seed(seeded), 0) << strerror(errno);
		EXPECT_EQ(netwatch_drain(fd.get(), seeded), 0);
		for (const std::vector<std::string> &change :
		     {std::vector<std::string>{"mtu", "1400"}, {"alias", "foo"}, {"txqueuelen", "500"}}) {
			std::vector<std::string> args = {"link", "set", "up0"};
			args.insert(args.end(), change.begin(), change.end());
			ASSERT_TRUE(run_ip(args, &why)) << why;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(200));
		EXPECT_EQ(netwatch_drain(fd.get(), seeded), 0) << "a change of a running link counted";
		ASSERT_TRUE(run_ip({"link", "set", "up0", "down"}, &why)) << why;
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
		EXPECT_EQ(netwatch_drain(fd.get(), seeded), 0) << "a link going down counted";
		ASSERT_TRUE(run_ip({"link", "set", "up0", "up"}, &why)) << why;
		ASSERT_TRUE(wait_until([&] { return netwatch_drain(fd.get(), seeded) == 1; }, 3000));

		// The same news from a process instead of the kernel counts for nothing.
		struct sockaddr_nl self = {};
		socklen_t len = sizeof self;
		ASSERT_EQ(getsockname(fd.get(), reinterpret_cast<sockaddr *>(&self), &len), 0);
		unique_fd forger(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
		ASSERT_GE(forger.get(), 0);
		std::string forged = Message(RTM_NEWLINK, link_body(1, UP_RUNNING)).bytes();
		struct sockaddr_nl to = {};
		to.nl_family = AF_NETLINK;
		to.nl_pid = self.nl_pid;
		ASSERT_EQ(sendto(forger.get(), forged.data(), forged.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
		          static_cast<ssize_t>(forged.size()))
			<< strerror(errno);
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
		EXPECT_EQ(netwatch_drain(fd.get(), any), 0) << "a forged message counted";

		// More events than a tiny buffer holds: lost from sight, so counted
		// as a change even where none of them would count.
		int tiny = 256;
		ASSERT_EQ(setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny), 0);
		netwatch_filter nothing = {"nosuch0", 0};
		for (int i = 0; i < 20; i++)
			ASSERT_TRUE(run_ip({"addr", "add", "192.0.2." + std::to_string(10 + i) + "/24", "dev", "up0"}, &why))
				<< why;
		EXPECT_EQ(netwatch_drain(fd.get(), nothing), 1) << "the overrun was not taken as a change";
		EXPECT_EQ(netwatch_drain(fd.get(), nothing), 0) << "the socket was not emptied";
	});
}

}  // namespace
