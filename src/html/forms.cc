#include "html/forms.h"

#include <algorithm>

namespace html {

namespace {

bool ascii_whitespace(char c)
{
	return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

// The standard's "strip and collapse ASCII whitespace".
std::string strip_and_collapse(std::string_view s)
{
	std::string out;
	bool gap = false;
	for (char c : s) {
		if (ascii_whitespace(c)) {
			gap = !out.empty();
		} else {
			if (gap)
				out += ' ';
			gap = false;
			out += c;
		}
	}
	return out;
}

std::string lower(std::string_view s)
{
	std::string out(s);
	for (char &c : out)
		if (c >= 'A' && c <= 'Z')
			c = char(c + ('a' - 'A'));
	return out;
}

std::string attribute_or_empty(const token &t, std::string_view name)
{
	const std::string *v = find_attribute(t, name);
	return v ? *v : std::string();
}

bool has(const token &t, std::string_view name)
{
	return find_attribute(t, name) != nullptr;
}

form_method method_of(std::string_view attr)
{
	return lower(attr) == "post" ? form_method::post : form_method::get;
}

// A control in document order, before its form is known.
struct control {
	int enclosing;         // the form open where it stands, or -1
	bool by_id = false;    // it has a form attribute
	std::string form_id;   // that attribute
	bool submitted = true; // enabled, named: it sends its fields
	bool password = false; // an enabled password input
	bool submit = false;   // a submit button
	bool enabled = true;
	std::string formaction, formmethod;
	bool has_formaction = false, has_formmethod = false;
	std::vector<form_field> fields;
};

struct option {
	std::string value;
	bool has_value;
	std::string text;
	bool selected;
	bool disabled;
};

struct reader {
	std::vector<form> forms;
	std::vector<control> controls;
	int open_form = -1;  // the tree builder's form element pointer
	std::vector<bool> fieldsets;  // open fieldsets: disabled or not
	size_t disabled_fieldsets = 0;

	// The select being read: its control, its options.
	int select = -1;
	bool select_multiple = false;
	std::vector<option> options;
	bool in_option = false;
	bool optgroup_disabled = false;

	int textarea = -1;

	control &new_control(const token &t)
	{
		control c;
		c.enclosing = open_form;
		if (const std::string *f = find_attribute(t, "form")) {
			c.by_id = true;
			c.form_id = *f;
		}
		c.enabled = !has(t, "disabled") && disabled_fieldsets == 0;
		const std::string *name = find_attribute(t, "name");
		c.submitted = c.enabled && name && !name->empty();
		controls.push_back(std::move(c));
		return controls.back();
	}

	void input(const token &t);
	void button(const token &t);
	void end_select();
	void tag(const token &t);
	std::vector<form> finish();
};

void reader::input(const token &t)
{
	std::string type = lower(attribute_or_empty(t, "type"));
	std::string name = attribute_or_empty(t, "name");
	std::string value = attribute_or_empty(t, "value");
	static const std::pair<const char *, field_kind> valued[] = {
		{"hidden", field_kind::hidden},
		{"text", field_kind::text},
		{"email", field_kind::email},
		{"search", field_kind::search},
		{"tel", field_kind::tel},
		{"url", field_kind::url},
		{"number", field_kind::number},
		{"password", field_kind::password},
		{"date", field_kind::other_input},
		{"month", field_kind::other_input},
		{"week", field_kind::other_input},
		{"time", field_kind::other_input},
		{"datetime-local", field_kind::other_input},
		{"color", field_kind::other_input},
		{"range", field_kind::other_input},
	};
	control &c = new_control(t);
	if (type == "checkbox" || type == "radio") {
		if (c.submitted && has(t, "checked"))
			c.fields.push_back({type == "checkbox" ? field_kind::checkbox : field_kind::radio, name,
					    has(t, "value") ? value : "on"});
		return;
	}
	if (type == "submit" || type == "image") {
		c.submit = true;
		c.has_formaction = has(t, "formaction");
		c.formaction = attribute_or_empty(t, "formaction");
		c.has_formmethod = has(t, "formmethod");
		c.formmethod = attribute_or_empty(t, "formmethod");
		if (type == "submit") {
			if (c.submitted)
				c.fields.push_back({field_kind::submit, name, value});
		} else if (c.enabled) {
			std::string prefix = name.empty() ? "" : name + ".";
			c.fields.push_back({field_kind::submit, prefix + "x", "0"});
			c.fields.push_back({field_kind::submit, prefix + "y", "0"});
		}
		return;
	}
	if (type == "file" || type == "reset" || type == "button")
		return;
	field_kind kind = field_kind::text;  // a missing or unknown type
	for (const auto &[n, k] : valued)
		if (type == n)
			kind = k;
	c.password = kind == field_kind::password && c.enabled;
	if (kind == field_kind::hidden && name == "_charset_")
		value = "UTF-8";
	if (c.submitted)
		c.fields.push_back({kind, name, value});
}

void reader::button(const token &t)
{
	std::string type = lower(attribute_or_empty(t, "type"));
	control &c = new_control(t);
	if (type == "button" || type == "reset")
		return;
	c.submit = true;
	c.has_formaction = has(t, "formaction");
	c.formaction = attribute_or_empty(t, "formaction");
	c.has_formmethod = has(t, "formmethod");
	c.formmethod = attribute_or_empty(t, "formmethod");
	if (c.submitted)
		c.fields.push_back({field_kind::submit, attribute_or_empty(t, "name"), attribute_or_empty(t, "value")});
}

void reader::end_select()
{
	control &c = controls[size_t(select)];
	select = -1;
	in_option = false;
	optgroup_disabled = false;
	if (c.submitted) {
		std::string name;
		// The name was kept aside in the control's first field.
		name.swap(c.fields.front().name);
		c.fields.clear();
		auto send = [&](const option &o) {
			if (!o.disabled)
				c.fields.push_back({field_kind::select, name, o.has_value ? o.value : strip_and_collapse(o.text)});
		};
		if (select_multiple) {
			for (const option &o : options)
				if (o.selected)
					send(o);
		} else {
			const option *chosen = nullptr;
			for (const option &o : options)
				if (o.selected)
					chosen = &o;
			for (size_t i = 0; !chosen && i < options.size(); i++)
				if (!options[i].disabled)
					chosen = &options[i];
			if (chosen)
				send(*chosen);
		}
	}
	options.clear();
}

void reader::tag(const token &t)
{
	bool start = t.kind == token_kind::start_tag;
	const std::string &n = t.name;

	if (select >= 0) {
		// The tree builder's "in select" insertion mode: options and
		// option groups; a form tag is ignored; select, input and
		// textarea end the select.
		if (n == "option" || n == "optgroup") {
			in_option = false;
			if (n == "optgroup")
				optgroup_disabled = start && has(t, "disabled");
			if (start && n == "option") {
				options.push_back({attribute_or_empty(t, "value"), has(t, "value"), "", has(t, "selected"),
						   has(t, "disabled") || optgroup_disabled});
				in_option = true;
			}
			return;
		}
		if (n == "select" || (start && (n == "input" || n == "textarea" || n == "keygen"))) {
			end_select();
			if (n == "select")
				return;
		} else {
			return;
		}
	}

	if (n == "form") {
		if (start && open_form < 0) {
			form f;
			f.id = attribute_or_empty(t, "id");
			f.action = attribute_or_empty(t, "action");
			f.method = method_of(attribute_or_empty(t, "method"));
			f.enctype = lower(attribute_or_empty(t, "enctype"));
			forms.push_back(std::move(f));
			open_form = int(forms.size()) - 1;
		} else if (!start) {
			open_form = -1;
		}
	} else if (n == "fieldset") {
		if (start) {
			fieldsets.push_back(has(t, "disabled"));
			disabled_fieldsets += fieldsets.back();
		} else if (!fieldsets.empty()) {
			disabled_fieldsets -= fieldsets.back();
			fieldsets.pop_back();
		}
	} else if (!start) {
		if (n == "textarea")
			textarea = -1;
	} else if (n == "input") {
		input(t);
	} else if (n == "button") {
		button(t);
	} else if (n == "select") {
		control &c = new_control(t);
		if (c.submitted)
			c.fields.push_back({field_kind::select, attribute_or_empty(t, "name"), ""});
		select = int(controls.size()) - 1;
		select_multiple = has(t, "multiple");
	} else if (n == "textarea") {
		control &c = new_control(t);
		if (c.submitted)
			c.fields.push_back({field_kind::textarea, attribute_or_empty(t, "name"), ""});
		textarea = int(controls.size()) - 1;
	}
}

std::vector<form> reader::finish()
{
	if (select >= 0)
		end_select();
	std::vector<bool> has_default(forms.size(), false);
	// The forms by id, the first of an id first: a form="ID" names it.
	std::vector<std::pair<std::string_view, int>> ids;
	for (size_t i = 0; i < forms.size(); i++)
		if (!forms[i].id.empty())
			ids.emplace_back(forms[i].id, int(i));
	std::sort(ids.begin(), ids.end());
	for (control &c : controls) {
		int owner = c.enclosing;
		if (c.by_id) {
			owner = -1;
			auto it = std::lower_bound(ids.begin(), ids.end(), std::pair<std::string_view, int>(c.form_id, -1));
			if (it != ids.end() && it->first == c.form_id)
				owner = it->second;
		}
		if (owner < 0)
			continue;
		form &f = forms[size_t(owner)];
		f.has_password = f.has_password || c.password;
		if (c.submit) {
			if (!c.enabled || has_default[size_t(owner)])
				continue;
			has_default[size_t(owner)] = true;
			if (c.has_formaction)
				f.action = c.formaction;
			if (c.has_formmethod)
				f.method = method_of(c.formmethod);
		}
		for (form_field &field : c.fields)
			f.fields.push_back(std::move(field));
	}
	return std::move(forms);
}

}  // namespace

std::vector<form> read_forms(const std::vector<token> &tokens)
{
	reader r;
	for (const token &t : tokens) {
		if (t.kind != token_kind::text) {
			// An SVG or MathML element is no form and no control.
			if (!t.foreign)
				r.tag(t);
			continue;
		}
		if (r.select >= 0 && r.in_option && !r.options.empty()) {
			r.options.back().text += t.text;
		} else if (r.textarea >= 0) {
			control &c = r.controls[size_t(r.textarea)];
			if (!c.fields.empty()) {
				std::string &v = c.fields.back().value;
				// The tree builder drops a newline right after <textarea>.
				bool first = v.empty();
				v += t.text;
				if (first && !v.empty() && v[0] == '\n')
					v.erase(0, 1);
			}
		}
	}
	return r.finish();
}

const form *form_to_submit(const std::vector<form> &forms)
{
	for (const form &f : forms)
		if (f.has_password)
			return &f;
	return forms.empty() ? nullptr : &forms.front();
}

}  // namespace html
