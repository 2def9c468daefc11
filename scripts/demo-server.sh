# shellcheck shell=bash
# Sourced by the scripts that run kavri against the bundled login server
# on 127.0.0.1 (demo/run, bench/run, bench/soak, tests/valgrind-check).
#
#   start_demo_server BUILD_DIR DIR [SERVER OPTION...]
#       Starts BUILD_DIR/kavri-demo-server on a free port of 127.0.0.1,
#       with its port file and its output (DIR/server.log) in DIR; sets
#       demo_server_pid and demo_server_port. Fails when it does not come
#       up within 5 seconds.
#   stop_demo_server
#       Ends it (SIGTERM) and waits for it; does nothing when none runs.
#   write_loopback_config FILE PORT [LINE...]
#       Writes a configuration for the server at 127.0.0.1:PORT, user
#       "demo", password "demo password", the PID file beside FILE, then
#       each LINE (a later setting wins); readable by its owner only.

demo_server_pid=
demo_server_port=

start_demo_server() {
	local build=$1 dir=$2
	shift 2
	rm -f "$dir/port"
	"$build/kavri-demo-server" --port-file "$dir/port" "$@" >"$dir/server.log" 2>&1 &
	demo_server_pid=$!
	local _
	for _ in $(seq 100); do
		[[ -s $dir/port ]] && break
		kill -0 "$demo_server_pid" 2>/dev/null || break
		sleep 0.05
	done
	if [[ ! -s $dir/port ]]; then
		echo "${0##*/}: the demo server did not start:" >&2
		cat "$dir/server.log" >&2
		stop_demo_server
		return 1
	fi
	demo_server_port=$(<"$dir/port")
}

stop_demo_server() {
	[[ -n $demo_server_pid ]] || return 0
	kill -TERM "$demo_server_pid" 2>/dev/null || true
	wait "$demo_server_pid" 2>/dev/null || true
	demo_server_pid=
}

write_loopback_config() {
	local file=$1 port=$2
	shift 2
	{
		echo "SERV = 127.0.0.1"
		echo "SERVER_PORT = $port"
		echo "USER = demo"
		echo 'PASS = "demo password"'
		echo "PID_FILE = $(dirname "$file")/kavri.pid"
		local line
		for line; do
			echo "$line"
		done
	} >"$file"
	chmod 600 "$file"  # it holds a password
}
