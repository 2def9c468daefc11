// One configuration file's bytes through the scanner, the parser and the
// settings table, with fresh state for every input.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "config/reader.h"
#include "config/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > 64 * 1024)
		return -1;
	int fd = memfd_create("kavri-conf", MFD_CLOEXEC);
	if (fd < 0)
		return 0;
	if (write(fd, data, size) != static_cast<ssize_t>(size)) {
		close(fd);
		return 0;
	}
	std::string path = "/proc/self/fd/" + std::to_string(fd);
	conf_clear(conf_table);
	conf_read_file(conf_table, path.c_str());
	close(fd);
	// Whatever was read, the table must be whole: every default filled.
	for (const conf_param *p = conf_table; p->names[0] != nullptr; p++)
		if (p->def != nullptr && !p->has_value)
			__builtin_trap();
	fflush(stdout);
	return 0;
}
