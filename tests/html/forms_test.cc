// The form a page would submit, read as a browser reads it: one page per
// row, the chosen form written out as "METHOD action|kind:name=value ...".
#include "html/forms.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char *kind_name(html::field_kind k)
{
	switch (k) {
	case html::field_kind::hidden: return "hidden";
	case html::field_kind::text: return "text";
	case html::field_kind::email: return "email";
	case html::field_kind::search: return "search";
	case html::field_kind::tel: return "tel";
	case html::field_kind::url: return "url";
	case html::field_kind::number: return "number";
	case html::field_kind::password: return "password";
	case html::field_kind::other_input: return "other";
	case html::field_kind::checkbox: return "checkbox";
	case html::field_kind::radio: return "radio";
	case html::field_kind::select: return "select";
	case html::field_kind::textarea: return "textarea";
	case html::field_kind::submit: return "submit";
	}
	return "?";
}

std::string show(const html::form *f)
{
	if (!f)
		return "none";
	std::string s = f->method == html::form_method::post ? "POST " : "GET ";
	s += f->action + "|";
	for (const html::form_field &x : f->fields)
		s += std::string(" ") + kind_name(x.kind) + ":" + x.name + "=" + x.value;
	return s;
}

struct Case {
	const char *name;
	const char *page;
	const char *chosen;
};

void PrintTo(const Case &c, std::ostream *os)
{
	*os << c.name;
}

const Case cases[] = {
	{"no_form", "<p>hello</p>", "none"},
	// The choice of form.
	{"first_of_several", "<form action=/a><input type=hidden name=fas value=T1><input type=hidden name=continue value=clicked>"
			     "<input type=submit value=Continue></form><form action=/b><input type=hidden name=terms value=yes></form>",
	 "GET /a| hidden:fas=T1 hidden:continue=clicked"},
	{"password_form_wins", "<form action=/search><input name=q></form><form method=POST action=login>"
			       "<input name=user><input type=password name=pw></form>",
	 "POST login| text:user= password:pw="},
	{"mikrotik_layout", "<form name=sendin action=/login method=post><input type=hidden name=username>"
			    "<input type=hidden name=password></form><form name=login action=/login method=post "
			    "onSubmit='return doLogin()'><input name=username type=text><input name=password type=password>"
			    "<input type=hidden name=dst value=''><input type=submit value=OK></form>",
	 "POST /login| text:username= password:password= hidden:dst="},
	{"disabled_password_does_not_count", "<form action=a><input name=q></form><form action=b><input type=password name=p disabled></form>",
	 "GET a| text:q="},
	{"method_other_is_get", "<form method=dialog><input name=a value=1></form>", "GET | text:a=1"},
	{"method_case", "<form method=PoSt action=''></form>", "POST |"},
	// Inputs.
	{"types", "<form><input name=a type=EMAIL value=x><input name=b type=search><input name=c type=tel><input name=d type=url>"
		  "<input name=e type=number value=3><input name=f type=bogus value=y><input name=g type=date value=2024-01-01>"
		  "<input name=h type=file><input name=i type=reset><input name=j type=button value=k></form>",
	 "GET | email:a=x search:b= tel:c= url:d= number:e=3 text:f=y other:g=2024-01-01"},
	{"checkable", "<form><input type=checkbox name=a checked><input type=checkbox name=b value=1><input type=checkbox name=c value=2 checked>"
		      "<input type=radio name=r value=x><input type=radio name=r value=y checked></form>",
	 "GET | checkbox:a=on checkbox:c=2 radio:r=y"},
	{"unnamed_and_disabled", "<form><input value=1><input name='' value=2><input name=a disabled value=3><input name=b value=4></form>",
	 "GET | text:b=4"},
	{"disabled_fieldset", "<form><fieldset disabled><input name=a><fieldset><input name=b></fieldset><input name=c></fieldset>"
			      "<input name=d></form>",
	 "GET | text:d="},
	{"charset", "<form><input type=hidden name=_charset_ value=x></form>", "GET | hidden:_charset_=UTF-8"},
	{"references_decoded", "<form action='/l?a=1&amp;b=2&copy=3'><input type=hidden name=t value='x&quot;y&#39;'></form>",
	 "GET /l?a=1&b=2&copy=3| hidden:t=x\"y'"},
	// Selects and textareas.
	{"select_selected", "<form><select name=s><option value=1>One<option value=2 selected>Two<option selected>  Three \n 3 </select></form>",
	 "GET | select:s=Three 3"},
	{"select_none_selected", "<form><select name=s><option disabled>x<optgroup disabled><option>y</optgroup><option value=''>z</select></form>",
	 "GET | select:s="},
	{"select_multiple", "<form><select name=m multiple><option selected>a<option>b<option selected disabled>c<option selected>d</select></form>",
	 "GET | select:m=a select:m=d"},
	{"select_disabled", "<form><select name=s disabled><option>a</select><select><option>b</select></form>", "GET |"},
	{"select_ended_by_input", "<form><select name=s><option>a<input name=i value=1></form>", "GET | select:s=a text:i=1"},
	{"form_tags_in_select_ignored", "<form><select name=s></form><option>a</select><input name=i></form><input name=j>",
	 "GET | select:s=a text:i="},
	{"textarea", "<form><textarea name=t>\nline &amp; <b>x</b>\n</textarea><textarea name=u></textarea></form>",
	 "GET | textarea:t=line & <b>x</b>\n textarea:u="},
	// The default button.
	{"first_submit_only", "<form><input type=submit name=go value=Go><input type=submit name=other value=No></form>",
	 "GET | submit:go=Go"},
	{"unnamed_first_submit", "<form><input type=submit value=Go><input type=submit name=other value=No></form>", "GET |"},
	{"button_defaults_to_submit", "<form><button type=button name=x>x</button><button name=b value=1>B</button></form>",
	 "GET | submit:b=1"},
	{"disabled_submit_skipped", "<form><input type=submit name=a disabled><button type=SUBMIT name=b>B</button></form>",
	 "GET | submit:b="},
	{"image_button", "<form><input type=image name=pic src=x.png><input name=a></form>", "GET | submit:pic.x=0 submit:pic.y=0 text:a="},
	{"image_button_unnamed", "<form><input type=image src=x.png></form>", "GET | submit:x=0 submit:y=0"},
	{"formaction_formmethod", "<form action=/a><input type=submit name=s formaction=/b formmethod=post></form>", "POST /b| submit:s="},
	// Which form a field belongs to.
	{"nested_form_ignored", "<form action=/outer><input name=a><form action=/inner><input name=b></form><input name=c></form>",
	 "GET /outer| text:a= text:b="},
	{"form_attribute", "<input name=early form=f><form id=f action=/f><input name=a><input name=away form=g></form>"
			   "<form id=g></form><input name=late form=f><input name=nobody form=none>",
	 "GET /f| text:early= text:a= text:late="},
	{"form_inside_script_is_text", "<script>document.write('<form action=/x><input name=a>')</script><form action=/y></form>",
	 "GET /y|"},
	{"form_inside_comment", "<!-- <form action=/x> --><form action=/y></form>", "GET /y|"},
	{"svg_form_is_none", "<svg><form action=/svg><input name=a></svg><form action=/html><input name=b></form>",
	 "GET /html| text:b="},
	{"unclosed_form", "<form action=/x><input name=a>", "GET /x| text:a="},
};

class Forms : public testing::TestWithParam<Case> {};

TEST_P(Forms, ChosenAndSubmittedAsABrowserWould)
{
	std::vector<html::form> forms = html::read_forms(html::tokenize(GetParam().page));
	EXPECT_EQ(show(html::form_to_submit(forms)), GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(Pages, Forms, testing::ValuesIn(cases),
			 [](const testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

TEST(Forms, EveryFormInOrder)
{
	std::vector<html::form> forms = html::read_forms(
		html::tokenize("<form id=a action=1 enctype=Multipart/Form-Data></form><form action=2><input type=password>"));
	ASSERT_EQ(forms.size(), 2u);
	EXPECT_EQ(forms[0].id, "a");
	EXPECT_EQ(forms[0].enctype, "multipart/form-data");
	EXPECT_FALSE(forms[0].has_password);
	EXPECT_TRUE(forms[1].has_password);
	EXPECT_EQ(forms[1].action, "2");
}

}  // namespace
