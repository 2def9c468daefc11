/* The floor of a status check: connect to the login server, send the same
 * status request as kavri -s, read to the close, and exit 0 when the reply
 * holds the logged-in text. No options, no messages.
 *   probe ADDRESS PORT PAGE MARKER */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
	if (argc != 5)
		return 2;
	struct sockaddr_in a;
	memset(&a, 0, sizeof a);
	a.sin_family = AF_INET;
	a.sin_port = htons((unsigned short)atoi(argv[2]));
	if (inet_pton(AF_INET, argv[1], &a.sin_addr) != 1)
		return 2;
	int s = socket(AF_INET, SOCK_STREAM, 0);
	if (s < 0 || connect(s, (struct sockaddr *)&a, sizeof a) != 0)
		return 1;
	char req[512];
	int n = snprintf(req, sizeof req, "GET %s HTTP/1.0\r\nReferer: http://%s\r\nHost: %s\r\nAccept: */*\r\n\r\n",
	                 argv[3], argv[1], argv[1]);
	if (n < 0 || (size_t)n >= sizeof req || send(s, req, (size_t)n, 0) != n)
		return 1;
	static char reply[4092];
	size_t have = 0;
	ssize_t r;
	while (have < sizeof reply - 1 && (r = read(s, reply + have, sizeof reply - 1 - have)) > 0)
		have += (size_t)r;
	reply[have] = '\0';
	close(s);
	return strstr(reply, argv[4]) != NULL ? 0 : 1;
}
