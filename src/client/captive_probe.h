// The status probe through the captive-portal API (RFC 8908): a GET of
// CAPTIVE_API, or with "auto" of the API the network announced for the
// interface kavri uses (net/announced_api.h), with "Accept:
// application/captive+json".
#pragma once

#include "base/session.h"

// 0 when the API answered with its JSON object: `*logged_in` is whether
// "captive" is false, and session->api holds the rest. -1 after one
// reported error (the exchange failed; the reply is not the API's object;
// an http API from auto), and the probe counts as failed. 1 when auto
// found no API announced: the usual status probe runs instead.
int captive_api_probe(login_session *s, unsigned verbosity, bool *logged_in);
