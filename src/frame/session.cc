#include "frame/session.h"

namespace {
login_session the_session;
}

login_session *session_instance()
{
	return &the_session;
}
