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
	login_session *session = load_config(opts.conf_file, opts.verbosity);
	if (session == nullptr)
		return 1;
	if (opts.pid_file != nullptr)
		session->pid_file = opts.pid_file;
	if (opts.port != -1)
		session->port = opts.port;
	return run_action(session, opts.action, opts.verbosity);
}
