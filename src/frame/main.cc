#include "frame/entry.h"

int main(int argc, char *argv[])
{
	return kavri_main(argc, argv);
}
