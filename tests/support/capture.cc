#include "capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "helpers.h"

namespace {

int temp_fd()
{
	char tmpl[] = "/tmp/kavri-capture-XXXXXX";
	int fd = mkstemp(tmpl);
	if (fd >= 0)
		unlink(tmpl);
	return fd;
}

std::string slurp(int fd)
{
	lseek(fd, 0, SEEK_SET);
	return read_all(fd);
}

}  // namespace

StreamCapture::StreamCapture()
{
	fflush(stdout);
	fflush(stderr);
	saved_out_ = dup(1);
	saved_err_ = dup(2);
	file_out_ = temp_fd();
	file_err_ = temp_fd();
	dup2(file_out_, 1);
	dup2(file_err_, 2);
}

void StreamCapture::stop()
{
	if (saved_out_ < 0)
		return;
	fflush(stdout);
	fflush(stderr);
	dup2(saved_out_, 1);
	dup2(saved_err_, 2);
	close(saved_out_);
	close(saved_err_);
	saved_out_ = saved_err_ = -1;
	out_ = slurp(file_out_);
	err_ = slurp(file_err_);
	close(file_out_);
	close(file_err_);
}

StreamCapture::~StreamCapture()
{
	stop();
}
