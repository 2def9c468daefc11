# shellcheck shell=bash
# Sourced by the scripts that build, run or package kavri.
#   need_packages [--no-install-recommends] PACKAGE...
# installs, with apt-get, those of the Debian packages named that are not
# installed yet. As anyone but root it names them and fails instead.

need_packages() {
	local options=() missing=() pkg
	if [[ ${1-} == --no-install-recommends ]]; then
		options+=("$1")
		shift
	fi
	for pkg; do
		[[ $(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null) == *" installed" ]] || missing+=("$pkg")
	done
	((${#missing[@]})) || return 0
	if ((EUID != 0)); then
		echo "${0##*/}: missing packages: ${missing[*]} (install them, or run this as root)" >&2
		return 1
	fi
	echo "${0##*/}: installing ${missing[*]}" >&2
	apt-get update -qq
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
}
