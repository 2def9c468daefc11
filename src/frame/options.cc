#include "frame/options.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>

#include "log/log.h"

const char *program_name = "";

namespace {

const char SHORT_OPTIONS[] = "loc:p:P:svVdh?";

const struct option LONG_OPTIONS[] = {
	{"login", no_argument, nullptr, 'l'},
	{"logout", no_argument, nullptr, 'o'},
	{"conf-file", required_argument, nullptr, 'c'},
	{"pid-file", required_argument, nullptr, 'p'},
	{"port", required_argument, nullptr, 'P'},
	{"status", no_argument, nullptr, 's'},
	{"version", no_argument, nullptr, 'V'},
	{"verbose", no_argument, nullptr, 'v'},
	{"debug", no_argument, nullptr, 'd'},
	{"help", no_argument, nullptr, 'h'},
	{"usage", no_argument, nullptr, 'u'},
	{nullptr, 0, nullptr, 0},
};

const char OPTION_BLOCK[] =
	"Options:\n"
	"-l, --login               Try to login\n"
	"-o, --logout              Try to logout\n"
	"-c, --conf-file=FILE      Use settings from FILE instead of /usr/local/etc/kavri.conf\n"
	"-p, --pid-file=FILE       Use FILE to store PID, default is /var/run/kavri.pid\n"
	"-P, --port=PORT           Connect to PORT on server, default is 80\n"
	"-s, --status              Display status of kavri daemon\n"
	"-v, --verbose             Display more information, on screen and in logfile\n"
	"-d, --debug               Display even more information, huge amounts!\n"
	"-V, --version             Display version information and exit\n"
	"-h, --help                Display this help and exist\n"
	"    --usage               Give a shore usage message\n"
	"\n"
	"Report bugs to <https://kavri.dev/issues>";

}  // namespace

void print_help()
{
	printf("%s - Auto-login & keep-alive for Internet connections.\n\n", program_name);
	printf("Usage: %s [-h] [-c conffile] [-p pidfile] [-loPsdvV]\n", program_name);
	printf("%s\n", OPTION_BLOCK);
}

void print_usage()
{
	printf("Usage: %s [-h] [-c conffile] [-p pidfile] [-loPsdvV]\n", program_name);
}

void print_version()
{
	printf("%s version %s\n", "kavri", KAVRI_VERSION);
}

int parse_options(int argc, char *argv[], options *opts)
{
	if (argc > 0 && argv[0] != nullptr) {
		const char *slash = strrchr(argv[0], '/');
		program_name = slash != nullptr ? slash + 1 : argv[0];
	}
	int c;
	while ((c = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr)) != -1) {
		switch (c) {
		case 'l':
			opts->action = ACTION_LOGIN;
			break;
		case 'o':
			opts->action = ACTION_LOGOUT;
			break;
		case 's':
			opts->action = ACTION_STATUS;
			break;
		case 'c':
			opts->conf_file = optarg;
			break;
		case 'p':
			opts->pid_file = optarg;
			break;
		case 'P':
			opts->port = optarg;
			break;
		case 'v':
			opts->verbosity |= MODE_VERBOSE;
			break;
		case 'd':
			opts->verbosity |= MODE_DEBUG | MODE_VERBOSE;
			break;
		case 'u':
			print_usage();
			return 0;
		case 'V':
			print_version();
			return 0;
		default:  // 'h', '?' and every complaint of getopt_long
			print_help();
			return 0;
		}
	}
	return -1;
}
