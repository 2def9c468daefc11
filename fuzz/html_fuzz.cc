// A page through everything that reads pages: the tokenizer (following
// text elements and not), the forms and the one to submit, the page's
// redirect and MikroTik's challenge; and what the tokens must be, whatever
// the page.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "html/chap.h"
#include "html/forms.h"
#include "html/page_redirects.h"
#include "html/tokenizer.h"

static void check_tokens(const std::vector<html::token> &tokens, size_t size)
{
	if (tokens.size() > size)
		__builtin_trap();
	for (const html::token &t : tokens) {
		if (t.kind == html::token_kind::text) {
			if (t.text.empty())
				__builtin_trap();
			continue;
		}
		// Names lower case, not empty, attributes unique and bounded.
		if (t.name.empty() || t.attributes.size() > html::MAX_ATTRIBUTES)
			__builtin_trap();
		for (char c : t.name)
			if (c >= 'A' && c <= 'Z')
				__builtin_trap();
		if (t.kind == html::token_kind::end_tag && (!t.attributes.empty() || t.self_closing))
			__builtin_trap();
		for (size_t i = 0; i < t.attributes.size(); i++) {
			for (char c : t.attributes[i].name)
				if (c >= 'A' && c <= 'Z')
					__builtin_trap();
			for (size_t j = 0; j < i; j++)
				if (t.attributes[j].name == t.attributes[i].name)
					__builtin_trap();
		}
	}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > 64 * 1024)
		return -1;
	std::string_view page(reinterpret_cast<const char *>(data), size);

	html::tokenizer_options alone;
	alone.follow_text_elements = false;
	check_tokens(html::tokenize(page, alone), size);

	std::vector<html::token> tokens = html::tokenize(page);
	check_tokens(tokens, size);
	std::vector<html::form> forms = html::read_forms(tokens);
	const html::form *f = html::form_to_submit(forms);
	if ((f == nullptr) != forms.empty())
		__builtin_trap();
	for (const html::form &form : forms)
		for (const html::form_field &field : form.fields)
			if (field.name.empty())
				__builtin_trap();

	std::string url;
	html::page_redirect(tokens, url);
	html::chap_challenge chap;
	html::find_chap_challenge(tokens, chap);
	return 0;
}
