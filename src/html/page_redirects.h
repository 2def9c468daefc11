// The other page a page sends a browser to: a <meta http-equiv="refresh">
// with a URL, or a script that sets the location. Text in, the raw URL
// text out (resolving it against the page's URL is the caller's); no I/O.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "html/tokenizer.h"

namespace html {

struct refresh {
	unsigned long seconds = 0;  // saturated
	bool has_url = false;       // without one the page reloads itself
	std::string url;            // raw
};

// The content of a refresh directive, read by the standard's "shared
// declarative refresh steps" ("5; url='next.html'", "0;URL=a", "3").
// False when it is not one.
bool parse_refresh(std::string_view content, refresh &out);

// The first meta refresh of the page that holds a valid content.
bool meta_refresh(const std::vector<token> &tokens, refresh &out);

// The URL of the first of these in `script`, a string literal's value
// (JavaScript escapes decoded):
//   location = "..."         location.href = "..."
//   location.replace("...")  location.assign("...")
// where location stands alone or after "window.", "document.", "self." or
// "top.", and the literal ends the statement (nothing but ";", "}", ","
// or a comment after it on its line: "..." + x is no URL). String
// literals and comments are not searched; everything else is ignored.
bool script_redirect(std::string_view script, std::string &url);

// The page's redirect: a meta refresh with a URL, else the first script
// redirect in its script elements.
bool page_redirect(const std::vector<token> &tokens, std::string &url);

}  // namespace html
