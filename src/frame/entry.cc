#include "frame/entry.h"

#include "config/load.h"
#include "frame/options.h"
#include "frame/run_action.h"

int kavri_main(int argc, char *argv[])
{
	options opts;
	int status = parse_options(argc, argv, &opts);
	if (status >= 0)
		return status;
	if (opts.action == ACTION_NONE) {
		print_help();
		return 1;
	}
	const login_config *conf =
		load_config(opts.conf_file, {.pid_file = opts.pid_file, .port = opts.port}, opts.verbosity);
	if (conf == nullptr)
		return 1;
	login_session session = session_start(conf);
	return run_action(&session, opts.action, opts.verbosity);
}
