#include "frame/run_action.h"

#include "log/log.h"

int run_action(login_session *, int action, unsigned verbosity)
{
	log_msg(verbosity, LOG_ERR, "Run mode %d is not available yet.", action);
	return 1;
}
