/*
 * Start-up, idle loop, teardown and signal handling.
 *
 * Resources are acquired in a fixed order and released in the reverse
 * one, by the main thread alone.  The signal handler only records that a
 * stop was asked for and wakes the main thread through a pipe.
 *
 * No signal may end or interrupt a call into libjack: killed inside
 * jack_client_open, libjack leaves its shared metadata database locked,
 * and every JACK client of the user hangs from then on.  So the signals
 * that end a process are blocked around each such call and unblocked
 * after it; one that came meanwhile takes effect then.  The threads that
 * libjack starts inherit the blocked mask, so these signals only ever
 * reach the main thread.
 */
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <jack/jack.h>
#include <jack/midiport.h>
#include <sndio.h>

#include "quarvell.h"

const char *mio_port = "default";
const char *jack_client_name = "quarvell";
bool both_ways;

unsigned char *midi_buf;
struct mio_hdl *midi_in;
jack_client_t *client;
jack_port_t *out_port;
unsigned char *back_buf;
jack_port_t *in_port;

/*
 * Set by the handler, read by the main thread: a lock-free atomic is safe
 * in a handler and between threads alike.  The pipe wakes the main thread
 * even when the signal comes just before it goes to sleep.
 */
static std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);
static int wake_fd[2] = {-1, -1};

/* held back while the main thread is inside libjack */
static sigset_t held;

static void
hold_signals()
{
	pthread_sigmask(SIG_BLOCK, &held, nullptr);
}

static void
take_signals()
{
	pthread_sigmask(SIG_UNBLOCK, &held, nullptr);
}

void
release_all()
{
	static std::atomic<bool> released{false};

	if (released.exchange(true))
		return;
	/* closing the client first stops the callbacks that use the rest */
	if (client != nullptr) {
		hold_signals();
		jack_client_close(client);
		take_signals();
	}
	/* the way back: what waits, then Note Offs, before the port goes */
	finish_back(2);
	if (midi_in != nullptr)
		mio_close(midi_in);
	if (midi_buf != nullptr)
		std::free(midi_buf);
	if (back_buf != nullptr)
		std::free(back_buf);
}

[[noreturn]] static void
fail()
{
	release_all();
	std::exit(1);
}

static void
stop_on_signal(int)
{
	int saved = errno;
	const char c = 0;

	stop_requested = true;
	/* write(2) is async-signal-safe */
	if (wake_fd[1] != -1 && write(wake_fd[1], &c, 1) == -1) {
		/* full pipe: the main thread is woken already */
	}
	errno = saved;
}

static void
set_flags(int fd)
{
	fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
	fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

static void
install_handlers()
{
	struct sigaction sa {};

	/* without the pipe the idle loop still looks once a second */
	if (pipe(wake_fd) == 0) {
		set_flags(wake_fd[0]);
		set_flags(wake_fd[1]);
	} else {
		wake_fd[0] = wake_fd[1] = -1;
	}

	/* restart what the handler interrupts, such as sndio's writes */
	sa.sa_handler = stop_on_signal;
	sigemptyset(&sa.sa_mask);
	sa.sa_flags = SA_RESTART;
	sigaction(SIGTERM, &sa, nullptr);
	sigaction(SIGINT, &sa, nullptr);
}

[[noreturn]] static void
idle()
{
	struct pollfd pfd {};

	pfd.fd = wake_fd[0];
	pfd.events = POLLIN;
	/* sleep a second at a time; a signal cuts the sleep short */
	while (!stop_requested) {
		poll(&pfd, 1, 1000);
		report_drops(false);
	}
	release_all();
	std::exit(0);
}

/* with -o: forward, then play back, in the same cycle */
static int
forward_both(jack_nframes_t nframes, void *arg)
{
	forward_midi(nframes, arg);
	play_back(nframes);
	return 0;
}

int
main(int argc, char *argv[])
{
	parse_args(argc, argv);

	sigemptyset(&held);
	sigaddset(&held, SIGINT);
	sigaddset(&held, SIGTERM);
	sigaddset(&held, SIGHUP);
	sigaddset(&held, SIGQUIT);
	/*
	 * jack1's libjack closes the client itself when the server dies,
	 * and its last request to the dead socket raises SIGPIPE: that
	 * must not end the bridge, which idles until SIGINT or SIGTERM.
	 */
	signal(SIGPIPE, SIG_IGN);

	/* 1. transfer buffer, and the queue of the way back */
	midi_buf = static_cast<unsigned char *>(std::malloc(MIDI_BUF_SIZE));
	if (midi_buf != nullptr && both_ways)
		back_buf = static_cast<unsigned char *>(std::malloc(BACK_BUF_SIZE));
	if (midi_buf == nullptr || (both_ways && back_buf == nullptr)) {
		std::perror("malloc");
		fail();
	}

	/*
	 * 2. sndio port, before JACK: a bad port never shows a client.  With
	 * -o one handle both ways, as a device opens only once on the BSDs.
	 */
	midi_in = mio_open(mio_port, both_ways ? MIO_IN | MIO_OUT : MIO_IN, 1);
	if (midi_in == nullptr) {
		std::fprintf(stderr, "couldn't open sndio port: %s\n", mio_port);
		fail();
	}

	/* 3. JACK client */
	hold_signals();
	client = jack_client_open(jack_client_name, JackNullOption, nullptr);
	take_signals();
	if (client == nullptr) {
		std::fputs("couldn't open jack client\n", stderr);
		fail();
	}

	/* 4. process callback */
	hold_signals();
	jack_set_process_callback(client, both_ways ? forward_both : forward_midi,
	    nullptr);
	take_signals();

	/* 5. output port */
	hold_signals();
	out_port = jack_port_register(client, "midi_out",
	    JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
	take_signals();
	if (out_port == nullptr) {
		std::fputs("couldn't register jack output port\n", stderr);
		fail();
	}
	if (both_ways) {
		hold_signals();
		in_port = jack_port_register(client, "midi_in",
		    JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
		take_signals();
		if (in_port == nullptr) {
			std::fputs("couldn't register jack input port\n", stderr);
			fail();
		}
	}

	/* 6. signals */
	install_handlers();

	/* 7. activate */
	hold_signals();
	int activated = jack_activate(client);
	take_signals();
	if (activated != 0) {
		std::fputs("couldn't activate jack client\n", stderr);
		fail();
	}

	/* 8. idle until SIGINT or SIGTERM */
	idle();
}
