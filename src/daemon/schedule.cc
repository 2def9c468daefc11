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
		return pass_reason::periodic;
	return pass_reason::none;
}

msec pause_wake_at(const pause_plan &p)
{
	msec ready = p.forced ? p.earliest : std::min(p.pause_end, settled_at(p));
	return std::max(p.earliest, ready);
}
