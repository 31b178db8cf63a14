// Figures for bench/run, measured on a running JACK server and sndiod:
//
//	qbench sndio_port quarvell_binary
//
// 1. The cost of forward_midi, run in a client of our own, beside a client
//    that does the least a polling bridge can: clear its buffer and make
//    one non-blocking read(2) of an empty socket.  Allocations made on the
//    process thread during forward_midi are counted.
// 2. Latency from the write into sndio to the arrival in a downstream
//    client, through the real quarvell binary, in periods.
// 3. The time from SIGTERM to the exit of quarvell.
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include <jack/jack.h>
#include <jack/midiport.h>
#include <sndio.h>

#include "../src/quarvell.h"

extern char **environ;

// the bridge state that forward_midi reads
const char *mio_port;
const char *jack_client_name = "bench_bridge";
unsigned char *midi_buf;
struct mio_hdl *midi_in;
jack_client_t *client;
jack_port_t *out_port;

void release_all() {}

// Counting allocations: malloc and friends pass to glibc's own, and a
// call made on the process thread inside forward_midi is counted.
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

static std::atomic<bool> in_forward;
static pthread_t process_thread;
static std::atomic<long> allocations;

static void
count_allocation()
{
	if (in_forward && pthread_equal(pthread_self(), process_thread))
		allocations++;
}

extern "C" void *
malloc(size_t n)
{
	count_allocation();
	return __libc_malloc(n);
}

extern "C" void *
calloc(size_t n, size_t m)
{
	count_allocation();
	return __libc_calloc(n, m);
}

extern "C" void *
realloc(void *p, size_t n)
{
	count_allocation();
	return __libc_realloc(p, n);
}

namespace {

constexpr int CYCLES = 3000;		// a round
constexpr int ROUNDS = 4;
constexpr int MESSAGES = 1000;
constexpr int STOPS = 20;

double
now_us()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double
percentile(std::vector<double> v, double p)
{
	if (v.empty())
		return 0;
	std::sort(v.begin(), v.end());
	return v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

[[noreturn]] void
die(const char *what)
{
	std::fprintf(stderr, "qbench: %s\n", what);
	std::exit(1);
}

jack_client_t *
open_client(const char *name)
{
	jack_client_t *c = jack_client_open(name, JackNoStartServer, nullptr);
	if (c == nullptr)
		die("couldn't open jack client");
	return c;
}

// 1. callback cost

struct Timing {
	std::vector<double> us = std::vector<double>(CYCLES);
	std::atomic<int> n{0};
	std::vector<double> all;	// the rounds so far
};
Timing bridge_time, limit_time;
jack_port_t *limit_port;
int empty_socket;

int
timed_forward(jack_nframes_t nframes, void *)
{
	process_thread = pthread_self();
	in_forward = true;
	double t = now_us();
	forward_midi(nframes, nullptr);
	t = now_us() - t;
	in_forward = false;
	int i = bridge_time.n;
	if (i < CYCLES) {
		bridge_time.us[i] = t;
		bridge_time.n = i + 1;
	}
	return 0;
}

int
timed_limit(jack_nframes_t nframes, void *)
{
	unsigned char byte[MIDI_BUF_SIZE];
	double t = now_us();
	jack_midi_clear_buffer(jack_port_get_buffer(limit_port, nframes));
	if (read(empty_socket, byte, sizeof byte) > 0)
		die("the empty socket was not empty");
	t = now_us() - t;
	int i = limit_time.n;
	if (i < CYCLES) {
		limit_time.us[i] = t;
		limit_time.n = i + 1;
	}
	return 0;
}

// One round; the client activated first runs first in each cycle, so
// the rounds take turns.
void
measure_callbacks(bool bridge_first)
{
	int sv[2];
	if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
		die("socketpair");
	empty_socket = sv[0];
	fcntl(empty_socket, F_SETFL, O_NONBLOCK);

	midi_buf = static_cast<unsigned char *>(std::malloc(MIDI_BUF_SIZE));
	midi_in = mio_open(mio_port, MIO_IN, 1);
	if (midi_in == nullptr)
		die("couldn't open sndio port");
	client = open_client("bench_bridge");
	jack_set_process_callback(client, timed_forward, nullptr);
	out_port = jack_port_register(client, "midi_out", JACK_DEFAULT_MIDI_TYPE,
	    JackPortIsOutput, 0);

	jack_client_t *limit = open_client("bench_limit");
	jack_set_process_callback(limit, timed_limit, nullptr);
	limit_port = jack_port_register(limit, "midi_out", JACK_DEFAULT_MIDI_TYPE,
	    JackPortIsOutput, 0);

	jack_client_t *first = bridge_first ? client : limit;
	jack_client_t *second = bridge_first ? limit : client;
	bridge_time.n = limit_time.n = 0;
	if (out_port == nullptr || limit_port == nullptr ||
	    jack_activate(first) != 0 || jack_activate(second) != 0)
		die("couldn't start the callback clients");
	while (bridge_time.n < CYCLES || limit_time.n < CYCLES)
		poll(nullptr, 0, 50);
	jack_client_close(limit);
	jack_client_close(client);
	mio_close(midi_in);
	close(sv[0]);
	close(sv[1]);
	std::free(midi_buf);
	for (Timing *t : {&bridge_time, &limit_time})
		t->all.insert(t->all.end(), t->us.begin(), t->us.end());
}

// 2. latency through the real bridge

jack_port_t *rx_port;
std::vector<double> arrival(MESSAGES);
std::atomic<int> arrived;

int
receive(jack_nframes_t nframes, void *)
{
	void *buf = jack_port_get_buffer(rx_port, nframes);
	double t = jack_get_time();
	jack_midi_event_t ev;
	for (std::uint32_t i = 0; jack_midi_event_get(&ev, buf, i) == 0; i++) {
		// each message is 90 lo hi: its number in two data bytes
		for (std::size_t j = 0; j + 3 <= ev.size; j += 3) {
			int k = ev.buffer[j + 1] | ev.buffer[j + 2] << 7;
			if (k < MESSAGES)
				arrival[k] = t;
		}
		arrived += static_cast<int>(ev.size / 3);
	}
	return 0;
}

pid_t
spawn_bridge(const char *bin)
{
	pid_t pid;
	char *argv[] = {const_cast<char *>(bin), nullptr};
	if (posix_spawn(&pid, bin, nullptr, nullptr, argv, environ) != 0)
		die("couldn't start quarvell");
	return pid;
}

void
wait_for_port(jack_client_t *c, const char *port)
{
	for (int i = 0; jack_port_by_name(c, port) == nullptr; i++) {
		if (i > 1000)
			die("quarvell:midi_out never appeared");
		poll(nullptr, 0, 5);
	}
}

std::vector<double>
measure_latency(const char *bin, double period_us)
{
	pid_t pid = spawn_bridge(bin);
	jack_client_t *rx = open_client("bench_rx");
	rx_port = jack_port_register(rx, "in", JACK_DEFAULT_MIDI_TYPE,
	    JackPortIsInput, 0);
	jack_set_process_callback(rx, receive, nullptr);
	if (rx_port == nullptr || jack_activate(rx) != 0)
		die("couldn't start the receiving client");
	wait_for_port(rx, "quarvell:midi_out");
	if (jack_connect(rx, "quarvell:midi_out", jack_port_name(rx_port)) != 0)
		die("couldn't connect to quarvell:midi_out");

	struct mio_hdl *w = mio_open(mio_port, MIO_OUT, 0);
	if (w == nullptr)
		die("couldn't open the sndio port for writing");
	std::vector<double> sent(MESSAGES);
	std::srand(7);
	for (int k = 0; k < MESSAGES; k++) {
		unsigned char msg[3] = {0x90, static_cast<unsigned char>(k & 0x7f),
		    static_cast<unsigned char>(k >> 7)};
		// any phase of the cycle: 2 to 5 ms apart
		poll(nullptr, 0, 2 + std::rand() % 4);
		sent[k] = jack_get_time();
		mio_write(w, msg, sizeof msg);
	}
	for (int i = 0; arrived < MESSAGES && i < 200; i++)
		poll(nullptr, 0, 10);
	mio_close(w);
	jack_client_close(rx);
	kill(pid, SIGTERM);
	waitpid(pid, nullptr, 0);

	std::vector<double> periods;
	for (int k = 0; k < MESSAGES; k++)
		if (arrival[k] > 0)
			periods.push_back((arrival[k] - sent[k]) / period_us);
	return periods;
}

// 3. SIGTERM to exit

std::vector<double>
measure_stops(const char *bin)
{
	jack_client_t *watch = open_client("bench_watch");
	std::vector<double> ms;
	for (int i = 0; i < STOPS; i++) {
		pid_t pid = spawn_bridge(bin);
		wait_for_port(watch, "quarvell:midi_out");
		poll(nullptr, 0, 50);
		double t = now_us();
		kill(pid, SIGTERM);
		waitpid(pid, nullptr, 0);
		ms.push_back((now_us() - t) / 1000);
		while (jack_port_by_name(watch, "quarvell:midi_out") != nullptr)
			poll(nullptr, 0, 5);
	}
	jack_client_close(watch);
	return ms;
}

void
row(const char *what, const char *value, const char *target)
{
	std::printf("%-32s %-22s %s\n", what, value, target);
}

} // namespace

int
main(int argc, char **argv)
{
	char v[64];

	if (argc != 3)
		die("usage: qbench sndio_port quarvell_binary");
	mio_port = argv[1];

	jack_client_t *probe = open_client("bench_probe");
	double rate = jack_get_sample_rate(probe);
	double frames = jack_get_buffer_size(probe);
	jack_client_close(probe);
	double period_us = frames / rate * 1e6;

	for (int r = 0; r < ROUNDS; r++)
		measure_callbacks(r % 2 == 0);
	std::vector<double> lat = measure_latency(argv[2], period_us);
	std::vector<double> stop = measure_stops(argv[2]);

	double lim50 = percentile(limit_time.all, 0.5);
	double br50 = percentile(bridge_time.all, 0.5);
	std::printf("JACK dummy driver, %.0f frames at %.0f Hz (a period is %.3f ms)\n\n",
	    frames, rate, period_us / 1000);
	row("figure", "measured", "target");
	std::snprintf(v, sizeof v, "%.2f us", lim50);
	row("callback p50, limit client", v, "");
	std::snprintf(v, sizeof v, "%.2f us (%.2fx)", br50, br50 / lim50);
	row("callback p50, quarvell", v, "at most 1.1x the limit client");
	std::snprintf(v, sizeof v, "%.2f us / %.2f us",
	    percentile(limit_time.all, 0.99), percentile(bridge_time.all, 0.99));
	row("callback p99, limit / quarvell", v, "");
	std::snprintf(v, sizeof v, "%ld in %d cycles", allocations.load(),
	    ROUNDS * CYCLES);
	row("allocations in the callback", v, "none");
	std::snprintf(v, sizeof v, "%zu of %d", lat.size(), MESSAGES);
	row("messages arrived", v, "all");
	std::snprintf(v, sizeof v, "%.2f / %.2f periods", percentile(lat, 0.5),
	    percentile(lat, 0.99));
	row("latency p50 / p99", v, "p99 at most 1.2 periods");
	std::snprintf(v, sizeof v, "%.1f / %.1f ms", percentile(stop, 0.5),
	    percentile(stop, 1));
	row("SIGTERM to exit, p50 / max", v, "under 50 ms");
	return 0;
}
