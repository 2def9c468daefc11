#include "daemon/netwatch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool counts(const netwatch_filter &f, int index)
{
	return f.name == nullptr || (f.index > 0 && index == f.index);
}

bool link_counts(const struct nlmsghdr *h, const netwatch_filter &f)
{
	if (h->nlmsg_len < NLMSG_LENGTH(sizeof(struct ifinfomsg)))
		return false;
	const auto *ifi = static_cast<const struct ifinfomsg *>(NLMSG_DATA(h));
	if ((ifi->ifi_flags & (IFF_UP | IFF_RUNNING)) != (IFF_UP | IFF_RUNNING))
		return false;
	if (counts(f, ifi->ifi_index))
		return true;
	// An interface that has just appeared is known by its name alone.
	if (f.name == nullptr)
		return false;
	size_t want = strlen(f.name);
	int len = static_cast<int>(IFLA_PAYLOAD(h));
	for (const struct rtattr *a = IFLA_RTA(ifi); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
		const char *name = static_cast<const char *>(RTA_DATA(a));
		if (a->rta_type == IFLA_IFNAME && strnlen(name, RTA_PAYLOAD(a)) == want && memcmp(name, f.name, want) == 0)
			return true;
	}
	return false;
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

bool netwatch_relevant(const void *buf, size_t len, const netwatch_filter &filter)
{
	int left = len > 0x7fffffff ? 0x7fffffff : static_cast<int>(len);
	for (auto *h = static_cast<const struct nlmsghdr *>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
		switch (h->nlmsg_type) {
		case RTM_NEWLINK:
			if (link_counts(h, filter))
				return true;
			break;
		case RTM_NEWADDR:
			if (address_counts(h, filter))
				return true;
			break;
		case RTM_NEWROUTE:
			if (route_counts(h, filter))
				return true;
			break;
		default:
			break;  // removals, errors and the rest: nothing to check for
		}
	}
	return false;
}

int netwatch_drain(int fd, netwatch_filter &filter)
{
	alignas(struct nlmsghdr) char buf[16384];
	int seen = 0;
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
			if (errno == EAGAIN || errno == EWOULDBLOCK)
				return seen;
			if (errno == ENOBUFS) {
				seen = 1;
				continue;
			}
			return -1;
		}
		if (n == 0)
			return seen;
		// Only the kernel reports changes; anyone else's bytes are no news.
		if (m.msg_namelen < sizeof from || from.nl_pid != 0)
			continue;
		if (seen)
			continue;  // already decided: only emptying the socket
		if (m.msg_flags & MSG_TRUNC) {
			seen = 1;
			continue;
		}
		if (filter.name != nullptr)
			filter.index = static_cast<int>(if_nametoindex(filter.name));
		if (netwatch_relevant(buf, static_cast<size_t>(n), filter))
			seen = 1;
	}
}
