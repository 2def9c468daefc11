// MikroTik Hotspot's CHAP challenge, as its login page carries it: the
// page's script hashes hexMD5(chap-id + password + chap-challenge) and
// sends that instead of the password. Text in, bytes out; no I/O.
#pragma once

#include <string>
#include <vector>

#include "html/tokenizer.h"

namespace html {

struct chap_challenge {
	std::string id;         // decoded bytes, as the script hashes them
	std::string challenge;  // decoded bytes
};

// The challenge of the page: from the first script call
//   hexMD5('\371' + document.login.password.value + '\357\015...')
// (two string literals around one expression), else from the inputs
// named "chap-id" and "chap-challenge", whose values are written with the
// same escapes. Every escape is one byte (octal, \xHH, \uHHHH up to \u00FF,
// \n and the like), as the script's MD5 takes each character's code as a
// byte. False when the page carries neither. The password field then
// carries md5hex(id || password || challenge), as the page's script sends it.
bool find_chap_challenge(const std::vector<token> &tokens, chap_challenge &out);

}  // namespace html
