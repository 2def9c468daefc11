# shellcheck shell=bash
# Sourced by the scripts that build, run or package kavri.
#
# The Debian packages each script needs, by name, in one place: a script
# installs the lists it names (need_packages "${BUILD_PACKAGES[@]}" ...),
# and .ci/run installs those of the tests first. A package a script comes
# to need goes into that script's list here, never inline in the script.
# shellcheck disable=SC2034 # the lists are read by the scripts that source this

# kavri itself (-DKAVRI_TESTS=OFF): packaging/test-deb, packaging/test-sandbox
BUILD_PACKAGES=(cmake ninja-build g++ libssl-dev)
# Building the tests (a default configure): everything but the packaging
GTEST_PACKAGES=(libgtest-dev libgmock-dev)
# Running the tests: tests/run
TEST_PACKAGES=(iproute2 util-linux openssl nginx-light)
# tests/valgrind-check
VALGRIND_PACKAGES=(valgrind)
# .ci/run's own checks: the machine's system log, the processes left
CI_PACKAGES=(rsyslog procps)
# demo/run: its namespaces
DEMO_PACKAGES=(iproute2 util-linux)
# bench/run
BENCH_PACKAGES=(curl binutils iproute2)
# fuzz/run (libFuzzer; the fuzzers build with clang alone)
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev cmake ninja-build)
# packaging/test-deb: the package's checks
DEB_PACKAGES=(dpkg-dev file man-db groff-base mandoc systemd procps bash-completion lintian)
# packaging/test-sandbox: the unit's commands in its sandbox
SANDBOX_PACKAGES=(iproute2 util-linux socat procps systemd openssl ca-certificates)
# The openNDS lab of the tests (tests/support/opennds_lab.h): the gateway
# and the firewall tools its scripts call (iptables-nft and nft): tests/run
# and .ci/run install them with --no-start, for openNDS's package enables
# and starts its service.
OPENNDS_LAB_PACKAGES=(opennds iptables nftables)
# packaging/cross ARCH: qemu-user, the package's checks and the session's
# namespaces (GoogleTest's sources come with libgtest-dev); the cross
# compiler, g++-TRIPLET, comes from its table of architectures
CROSS_PACKAGES=(qemu-user dpkg-dev file lintian iproute2 util-linux)

# The systemd services enabled to start at boot, one name a line.
enabled_units() {
	find /etc/systemd/system -path '*.wants/*.service' -printf '%f\n' 2>/dev/null | sort -u
}

#   need_packages [--no-install-recommends] [--no-start] PACKAGE...
# installs, with apt-get, those of the Debian packages named that are not
# installed yet. As anyone but root it names them and fails instead.
# With --no-start no service of theirs is started (a policy-rc.d that
# refuses, in place during the install only, where none is) and the
# systemd services the install enabled are disabled again: packages installed
# for the tests, which run them in namespaces of their own.
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
