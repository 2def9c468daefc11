// The helpers the daemon tests began with, now in tests/support: the
// isolated child and process helpers, and the stand-in daemon with the
// lock query.
#pragma once

#include "isolation.h"
#include "stand_in.h"
