# shellcheck shell=bash
# Sourced by the scripts that build, run or package kavri.
#   need_packages [--no-install-recommends] [--no-start] PACKAGE...
# installs, with apt-get, those of the Debian packages named that are not
# installed yet. As anyone but root it names them and fails instead.
# With --no-start no service of theirs is started (a policy-rc.d that
# refuses, in place during the install only, where none is) and the
# systemd services the install enabled are disabled again: packages installed
# for the tests, which run them in namespaces of their own.

# The openNDS lab of the tests (tests/support/opennds_lab.h): the gateway
# and the firewall tools its scripts call (iptables-nft and nft). Install
# them with --no-start: openNDS's package enables and starts its service.
# shellcheck disable=SC2034 # used by the scripts that source this one
OPENNDS_LAB_PACKAGES=(opennds iptables nftables)

# The systemd services enabled to start at boot, one name a line.
enabled_units() {
	find /etc/systemd/system -path '*.wants/*.service' -printf '%f\n' 2>/dev/null | sort -u
}

need_packages() {
	local options=() missing=() pkg no_start=0
	while [[ ${1-} == --* ]]; do
		case $1 in
		--no-install-recommends) options+=("$1") ;;
		--no-start) no_start=1 ;;
		*) break ;;
		esac
		shift
	done
	for pkg; do
		[[ $(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null) == *" installed" ]] || missing+=("$pkg")
	done
	((${#missing[@]})) || return 0
	if ((EUID != 0)); then
		echo "${0##*/}: missing packages: ${missing[*]} (install them, or run this as root)" >&2
		return 1
	fi
	echo "${0##*/}: installing ${missing[*]}" >&2
	local policy=/usr/sbin/policy-rc.d placed=0 status=0 unit enabled
	enabled=$(enabled_units)
	if ((no_start)) && [[ ! -e $policy ]]; then
		printf '#!/bin/sh\n# in place while %s installs packages\nexit 101\n' "${0##*/}" >"$policy"
		chmod 755 "$policy"
		placed=1
	fi
	apt-get update -qq &&
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null ||
		status=$?
	((placed)) && rm -f "$policy"
	if ((no_start)); then
		for unit in $(comm -13 <(echo "$enabled") <(enabled_units)); do
			systemctl disable "$unit" >/dev/null 2>&1 || true
		done
	fi
	return "$status"
}
