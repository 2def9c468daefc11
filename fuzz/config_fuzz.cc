// One configuration text through the scanner, the parser and the settings
// table, with fresh values for every input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/reader.h"
#include "config/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > 64 * 1024)
		return -1;
	conf_values values;
	conf_parse_result r = conf_parse_text(std::string_view(reinterpret_cast<const char *>(data), size), values);
	// The parse ends in a verdict, at a line the text has.
	if (r.status != 0 && r.status != 1)
		__builtin_trap();
	if (r.line < 1 || static_cast<size_t>(r.line) > size + 1)
		__builtin_trap();
	// Whatever was read, the values must be whole once defaults are in.
	conf_fill_defaults(values);
	for (int row = 0; row < CONF_SETTINGS; row++)
		if (conf_table[row].def != nullptr && !values.value[row])
			__builtin_trap();
	login_config conf{};
	conf_apply(values, &conf);
	return 0;
}
