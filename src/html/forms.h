// The forms of a page and what each would submit, read from its tokens as
// a browser's tree builder and form submission read them; no I/O.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "html/tokenizer.h"

namespace html {

enum class field_kind {
	hidden,
	text,  // type=text, a missing or unknown type
	email,
	search,
	tel,
	url,
	number,
	password,
	other_input,  // date, time, color, range and the other typed inputs
	checkbox,     // checked ones only
	radio,        // checked ones only
	select,       // one field per selected option
	textarea,
	submit,  // the default button: input type=submit or image, or a button
};

struct form_field {
	field_kind kind;
	std::string name;
	std::string value;
};

enum class form_method { get, post };

struct form {
	std::string id;
	// The raw action attribute, to be resolved against the page's URL;
	// empty: the page itself. A default button's formaction replaces it.
	std::string action;
	form_method method = form_method::get;  // "post", else GET; or the button's formmethod
	std::string enctype;                    // raw, lower case; empty when absent
	bool has_password = false;              // owns an enabled password input
	// What a submission with the default button sends, in document order.
	std::vector<form_field> fields;
};

// Every form of the page in document order, with its fields:
// - a form's controls are those inside it, or, with a form="ID"
//   attribute, those anywhere that name its id (a form="ID" naming no form
//   leaves the control without a form, as a browser does);
// - a <form> inside an open form is no form, and controls after </form>
//   belong to none, as the tree builder has it;
// - left out: disabled controls and those inside a disabled fieldset
//   (those in its legend too, which a browser would keep), controls
//   without a name or with an empty one, unchecked
//   checkboxes and radios, file, reset and button inputs;
// - a checkbox or radio without a value sends "on"; a hidden input named
//   "_charset_" sends "UTF-8";
// - a select sends its selected options (a single select the last
//   selected, or when none is, its first enabled option), an option its
//   value attribute, else its text with whitespace collapsed;
// - a textarea sends its text (one newline right after the start tag
//   dropped);
// - the default button is the first enabled submit button (input
//   type=submit, input type=image, a button without a type or of type
//   submit); with a name it sends name=value (an image "name.x=0" and
//   "name.y=0", or "x" and "y" without a name).
std::vector<form> read_forms(const std::vector<token> &tokens);

// The form to log in with: the first that owns a password input, else the
// first form; null when the page has none.
const form *form_to_submit(const std::vector<form> &forms);

}  // namespace html
