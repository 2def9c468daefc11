// Capture what the calling process writes to standard output and error.
#pragma once

#include <string>

class StreamCapture {
public:
	StreamCapture();   // redirects fds 1 and 2 into temporary files
	~StreamCapture();  // restores them
	StreamCapture(const StreamCapture &) = delete;
	StreamCapture &operator=(const StreamCapture &) = delete;
	// Restore the streams and return what was written (idempotent).
	void stop();
	const std::string &out() const { return out_; }
	const std::string &err() const { return err_; }

private:
	int saved_out_ = -1, saved_err_ = -1;
	int file_out_ = -1, file_err_ = -1;
	std::string out_, err_;
};
