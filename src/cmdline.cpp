/*
 * The command line: -p, -n and -o fill the settings, anything else ends
 * the program with the usage line before anything is acquired.
 */
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "quarvell.h"

extern "C" const char *__progname;

/*
 * Scanning stops at the first operand.  glibc's getopt permutes the
 * arguments unless the option string starts with '+'; elsewhere getopt
 * already behaves so, and '+' would be taken for an option.
 */
#ifdef __GLIBC__
static constexpr char options[] = "+p:n:ho";
#else
static constexpr char options[] = "p:n:ho";
#endif

[[noreturn]] static void
usage()
{
	std::fprintf(stderr,
	    "usage: %s [-h] [-o] [-p mio_port] [-n jack_client_name]\n", __progname);
	release_all();
	std::exit(1);
}

void
parse_args(int argc, char *argv[])
{
	int ch;

	while ((ch = getopt(argc, argv, options)) != -1) {
		switch (ch) {
		case 'p':
			mio_port = optarg;
			break;
		case 'n':
			jack_client_name = optarg;
			break;
		case 'o':
			both_ways = true;
			break;
		default:
			usage();
		}
	}
}
