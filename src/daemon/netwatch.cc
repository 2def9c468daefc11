#include "daemon/netwatch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/unique_fd.h"

namespace {

bool counts(const netwatch_filter &f, int index)
{
	return f.name == nullptr || (f.index > 0 && index == f.index);
}

netwatch_link *find_link(netwatch_filter &f, int index)
{
	for (int i = 0; i < f.link_count; i++)
		if (f.links[i].index == index)
			return &f.links[i];
	return nullptr;
}

void forget_link(netwatch_filter &f, int index)
{
	if (netwatch_link *l = find_link(f, index))
		*l = f.links[--f.link_count];
}

bool names_filter(const struct nlmsghdr *h, const struct ifinfomsg *ifi, const netwatch_filter &f)
{
	size_t want = strlen(f.name);
	int len = static_cast<int>(IFLA_PAYLOAD(h));
	for (const struct rtattr *a = IFLA_RTA(ifi); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
		const char *name = static_cast<const char *>(RTA_DATA(a));
		if (a->rta_type == IFLA_IFNAME && strnlen(name, RTA_PAYLOAD(a)) == want && memcmp(name, f.name, want) == 0)
			return true;
	}
	return false;
}

bool has_wireless_data(const struct nlmsghdr *h, const struct ifinfomsg *ifi)
{
	int len = static_cast<int>(IFLA_PAYLOAD(h));
	for (const struct rtattr *a = IFLA_RTA(ifi); RTA_OK(a, len); a = RTA_NEXT(a, len))
		if (a->rta_type == IFLA_WIRELESS)
			return true;
	return false;
}

// A new-link message: the link's state is kept; only the change into up
// and running counts, or a link first seen running.
bool link_counts(const struct nlmsghdr *h, netwatch_filter &f)
{
	if (h->nlmsg_len < NLMSG_LENGTH(sizeof(struct ifinfomsg)))
		return false;
	const auto *ifi = static_cast<const struct ifinfomsg *>(NLMSG_DATA(h));
	// A wireless event carries the flags the link has anyway; its own
	// change of state comes as a message of its own.
	if (has_wireless_data(h, ifi))
		return false;
	bool running = (ifi->ifi_flags & (IFF_UP | IFF_RUNNING)) == (IFF_UP | IFF_RUNNING);
	netwatch_link *known = find_link(f, ifi->ifi_index);
	bool was_running = known != nullptr && known->running;
	if (known != nullptr)
		known->running = running;
	else if (f.link_count < NETWATCH_LINKS)
		f.links[f.link_count++] = {ifi->ifi_index, running};
	if (!running || was_running)
		return false;
	if (counts(f, ifi->ifi_index))
		return true;
	// An interface that has just appeared is known by its name alone.
	return f.name != nullptr && names_filter(h, ifi, f);
}

void link_removed(const struct nlmsghdr *h, netwatch_filter &f)
{
	if (h->nlmsg_len < NLMSG_LENGTH(sizeof(struct ifinfomsg)))
		return;
	forget_link(f, static_cast<const struct ifinfomsg *>(NLMSG_DATA(h))->ifi_index);
}

bool address_counts(const struct nlmsghdr *h, const netwatch_filter &f)
{
	if (h->nlmsg_len < NLMSG_LENGTH(sizeof(struct ifaddrmsg)))
		return false;
	const auto *ifa = static_cast<const struct ifaddrmsg *>(NLMSG_DATA(h));
	// A link-local or host address reaches no login server, and a
	// tentative one cannot be used yet: its completion comes as another
	// message.
	if (ifa->ifa_scope >= RT_SCOPE_LINK)
		return false;
	unsigned flags = ifa->ifa_flags;
	int len = static_cast<int>(IFA_PAYLOAD(h));
	for (const struct rtattr *a = IFA_RTA(ifa); RTA_OK(a, len); a = RTA_NEXT(a, len))
		if (a->rta_type == IFA_FLAGS && RTA_PAYLOAD(a) >= sizeof(__u32))
			memcpy(&flags, RTA_DATA(a), sizeof(__u32));
	if (flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED))
		return false;
	return counts(f, static_cast<int>(ifa->ifa_index));
}

bool route_counts(const struct nlmsghdr *h, const netwatch_filter &f)
{
	if (h->nlmsg_len < NLMSG_LENGTH(sizeof(struct rtmsg)))
		return false;
	const auto *rtm = static_cast<const struct rtmsg *>(NLMSG_DATA(h));
	if (rtm->rtm_dst_len != 0 || rtm->rtm_type != RTN_UNICAST || (rtm->rtm_flags & RTM_F_CLONED))
		return false;
	unsigned table = rtm->rtm_table;
	bool any_interface = true;  // no interface named: a nexthop object, say
	bool ours = false;
	int len = static_cast<int>(RTM_PAYLOAD(h));
	for (const struct rtattr *a = RTM_RTA(rtm); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
		if (a->rta_type == RTA_TABLE && RTA_PAYLOAD(a) >= sizeof(__u32)) {
			memcpy(&table, RTA_DATA(a), sizeof(__u32));
		} else if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= sizeof(int)) {
			int oif;
			memcpy(&oif, RTA_DATA(a), sizeof oif);
			any_interface = false;
			ours = ours || counts(f, oif);
		} else if (a->rta_type == RTA_MULTIPATH) {
			int left = static_cast<int>(RTA_PAYLOAD(a));
			for (const auto *nh = static_cast<const struct rtnexthop *>(RTA_DATA(a)); RTNH_OK(nh, left);
			     left -= NLMSG_ALIGN(nh->rtnh_len), nh = RTNH_NEXT(nh)) {
				any_interface = false;
				ours = ours || counts(f, nh->rtnh_ifindex);
			}
		}
	}
	if (table == RT_TABLE_LOCAL)
		return false;
	return any_interface || ours;
}

}  // namespace

int netwatch_open()
{
	int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
	if (fd < 0)
		return -1;
	struct sockaddr_nl a = {};
	a.nl_family = AF_NETLINK;
	a.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
		int err = errno;
		close(fd);
		errno = err;
		return -1;
	}
	return fd;
}

bool netwatch_relevant(const void *buf, size_t len, netwatch_filter &filter)
{
	int left = len > 0x7fffffff ? 0x7fffffff : static_cast<int>(len);
	bool seen = false;
	// Every message is read to its end: each link's state must follow.
	for (auto *h = static_cast<const struct nlmsghdr *>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
		switch (h->nlmsg_type) {
		case RTM_NEWLINK:
			seen = link_counts(h, filter) || seen;
			break;
		case RTM_DELLINK:
			link_removed(h, filter);
			break;
		case RTM_NEWADDR:
			seen = seen || address_counts(h, filter);
			break;
		case RTM_NEWROUTE:
			seen = seen || route_counts(h, filter);
			break;
		default:
			break;  // other removals, errors and the rest: nothing to check for
		}
	}
	return seen;
}

int netwatch_seed(netwatch_filter &filter)
{
	int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
	if (fd < 0)
		return -1;
	unique_fd own(fd);
	struct {
		struct nlmsghdr h;
		struct ifinfomsg i;
	} ask = {};
	ask.h.nlmsg_len = sizeof ask;
	ask.h.nlmsg_type = RTM_GETLINK;
	ask.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
	ask.h.nlmsg_seq = 1;
	ask.i.ifi_family = AF_UNSPEC;
	struct sockaddr_nl kernel = {};
	kernel.nl_family = AF_NETLINK;
	if (sendto(fd, &ask, sizeof ask, 0, reinterpret_cast<struct sockaddr *>(&kernel), sizeof kernel) < 0)
		return -1;
	filter.link_count = 0;
	// A dump comes in parts of up to 32 KiB, each in one read.
	alignas(struct nlmsghdr) static char buf[32768];
	for (;;) {
		struct sockaddr_nl from = {};
		socklen_t from_len = sizeof from;
		ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<struct sockaddr *>(&from), &from_len);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return -1;
		}
		if (from.nl_pid != 0)
			continue;  // only the kernel answers a dump
		// The dump's messages are new-link messages: read for their state,
		// their verdict dropped.
		netwatch_relevant(buf, static_cast<size_t>(n), filter);
		int left = static_cast<int>(n);
		for (auto *h = reinterpret_cast<const struct nlmsghdr *>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
			if (h->nlmsg_type == NLMSG_DONE)
				return 0;
			if (h->nlmsg_type == NLMSG_ERROR) {
				errno = EPROTO;
				return -1;
			}
		}
		if (n == 0) {
			errno = EPROTO;
			return -1;
		}
	}
}

int netwatch_drain(int fd, netwatch_filter &filter)
{
	alignas(struct nlmsghdr) char buf[16384];
	int seen = 0;
	bool overran = false;
	for (;;) {
		struct sockaddr_nl from = {};
		struct iovec iov = {buf, sizeof buf};
		struct msghdr m = {};
		m.msg_name = &from;
		m.msg_namelen = sizeof from;
		m.msg_iov = &iov;
		m.msg_iovlen = 1;
		ssize_t n = recvmsg(fd, &m, MSG_DONTWAIT);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			if (errno == EAGAIN || errno == EWOULDBLOCK) {
				if (overran)
					netwatch_seed(filter);
				return seen;
			}
			if (errno == ENOBUFS) {
				seen = 1;
				overran = true;
				continue;
			}
			return -1;
		}
		if (n == 0)
			return seen;
		// Only the kernel reports changes; anyone else's bytes are no news.
		if (m.msg_namelen < sizeof from || from.nl_pid != 0)
			continue;
		// Cut short: what the rest said is lost, as in an overrun.
		if (m.msg_flags & MSG_TRUNC) {
			seen = 1;
			overran = true;
			continue;
		}
		if (filter.name != nullptr)
			filter.index = static_cast<int>(if_nametoindex(filter.name));
		if (netwatch_relevant(buf, static_cast<size_t>(n), filter))
			seen = 1;
	}
}
