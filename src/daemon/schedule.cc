#include "daemon/schedule.h"

#include <algorithm>
#include <limits>

namespace {

constexpr msec NEVER = std::numeric_limits<msec>::max();

msec settled_at(const pause_plan &p)
{
	if (p.first_event < 0)
		return NEVER;
	return std::min(p.last_event + SETTLE_QUIET_MS, p.first_event + SETTLE_MAX_MS);
}

}  // namespace

pause_plan pause_begin(msec now, unsigned seconds, msec last_pass)
{
	pause_plan p;
	p.pause_end = now + static_cast<msec>(seconds) * 1000;
	p.earliest = last_pass + PASS_GAP_MS;
	return p;
}

void pause_signal(pause_plan &p)
{
	p.forced = true;
}

void pause_network(pause_plan &p, msec now)
{
	if (p.first_event < 0)
		p.first_event = now;
	p.last_event = now;
}

pass_reason pause_due(const pause_plan &p, msec now)
{
	if (now < p.earliest)
		return pass_reason::none;
	if (p.forced)
		return pass_reason::forced;
	if (now >= settled_at(p))
		return pass_reason::network;
	if (now >= p.pause_end)
		return p.session ? pass_reason::session : pass_reason::periodic;
	return pass_reason::none;
}

msec pause_wake_at(const pause_plan &p)
{
	msec ready = p.forced ? p.earliest : std::min(p.pause_end, settled_at(p));
	return std::max(p.earliest, ready);
}

msec session_margin(int64_t remaining_s)
{
	// A tenth, rounded up, of a count that an API may make huge: the
	// division comes first.
	int64_t tenth_ms = remaining_s / 10 * 1000 + (remaining_s % 10) * 100;
	return std::max(SESSION_MARGIN_MIN_MS, tenth_ms);
}

msec session_check_at(msec reply_at, int64_t remaining_s)
{
	// Beyond this the usual pause always ends first (a pause is at most
	// 2^32 seconds).
	constexpr int64_t FAR_S = int64_t{1} << 40;
	remaining_s = std::clamp<int64_t>(remaining_s, 0, FAR_S);
	msec remaining = remaining_s * 1000;
	msec margin = session_margin(remaining_s);
	return reply_at + (remaining > margin ? remaining - margin : remaining / 2);
}

void pause_session(pause_plan &p, msec at)
{
	if (at >= p.pause_end)
		return;
	p.pause_end = at;
	p.session = true;
}
