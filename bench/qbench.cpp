// Figures for bench/run, measured on a running JACK server and sndiod:
//
//	qbench cycle sndio_port quarvell_binary
//	qbench throughput sndio_port quarvell_binary
//	qbench back sndio_port quarvell_binary
//	qbench throughput-back sndio_port quarvell_binary
//
// cycle prints one row for the server's period:
// 1. the cost of forward_midi with no input, run in a client of our own,
//    beside two limit clients that clear their buffer and make one read:
//    a non-blocking read(2) of an empty socket, the least a polling bridge
//    can do, and a mio_read on a sndio handle of their own, the least a
//    bridge on libsndio can do.  Then its cost per byte forwarded, with a
//    dense stream.  Allocations made on the process thread during
//    forward_midi are counted;
// 2. latency from the write into sndio to the arrival in a downstream
//    client, through the real quarvell binary, in periods;
// 3. the time from SIGTERM to the exit of quarvell.
// throughput prints the highest paced rate at which 1 MB still arrives
// byte-exact through quarvell.
// back prints a row for the way back, -o: the idle cost of forward_midi
// and play_back against forward_midi alone, in rounds that take turns, and
// the latency from a JACK client's write into quarvell -o to a sndio
// reader; throughput-back the highest paced rate at which 1 MB written by
// a JACK client still arrives byte-exact at a sndio reader.
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
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <jack/jack.h>
#include <jack/midiport.h>
#include <sndio.h>

#include "../src/quarvell.h"
#include "percentile.h"

extern char **environ;

// the bridge state that forward_midi and play_back read
const char *mio_port;
const char *jack_client_name = "bench_bridge";
bool both_ways;
unsigned char *midi_buf;
struct mio_hdl *midi_in;
jack_client_t *client;
jack_port_t *out_port;
unsigned char *back_buf;
jack_port_t *in_port;

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
constexpr int ROUNDS = 3;		// each client first once
constexpr int MESSAGES = 1000;
constexpr int STOPS = 20;

double
now_us()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
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
Timing bridge_time, limit_time, mio_time;
jack_port_t *limit_port, *mio_port_out;
int empty_socket;
struct mio_hdl *mio_limit_in;
unsigned char mio_limit_buf[MIDI_BUF_SIZE];

// dense rounds: what forward_midi wrote, counted outside the timing
std::atomic<bool> dense;
std::vector<double> dense_us;
std::vector<std::size_t> dense_bytes;

void
note(Timing &t, double us)
{
	int i = t.n;
	if (i < CYCLES) {
		t.us[i] = us;
		t.n = i + 1;
	}
}

int
timed_forward(jack_nframes_t nframes, void *)
{
	process_thread = pthread_self();
	in_forward = true;
	double t = now_us();
	forward_midi(nframes, nullptr);
	if (in_port != nullptr)
		play_back(nframes);
	t = now_us() - t;
	in_forward = false;
	if (!dense) {
		note(bridge_time, t);
		return 0;
	}
	void *buf = jack_port_get_buffer(out_port, nframes);
	std::size_t bytes = 0;
	jack_midi_event_t ev;
	for (std::uint32_t i = 0; jack_midi_event_get(&ev, buf, i) == 0; i++)
		bytes += ev.size;
	int i = bridge_time.n;
	if (i < CYCLES) {
		dense_us[i] = t;
		dense_bytes[i] = bytes;
		bridge_time.n = i + 1;
	}
	return 0;
}

// the least a polling bridge can do: clear, one read(2) of an empty socket
int
timed_limit(jack_nframes_t nframes, void *)
{
	unsigned char byte[MIDI_BUF_SIZE];
	double t = now_us();
	jack_midi_clear_buffer(jack_port_get_buffer(limit_port, nframes));
	if (read(empty_socket, byte, sizeof byte) > 0)
		die("the empty socket was not empty");
	note(limit_time, now_us() - t);
	return 0;
}

// the least a bridge on libsndio can do: clear, one mio_read
int
timed_mio(jack_nframes_t nframes, void *)
{
	double t = now_us();
	jack_midi_clear_buffer(jack_port_get_buffer(mio_port_out, nframes));
	if (mio_read(mio_limit_in, mio_limit_buf, sizeof mio_limit_buf) > 0)
		die("the idle sndio port had bytes");
	note(mio_time, now_us() - t);
	return 0;
}

jack_client_t *
callback_client(const char *name, JackProcessCallback cb, jack_port_t **port)
{
	jack_client_t *c = open_client(name);
	jack_set_process_callback(c, cb, nullptr);
	*port = jack_port_register(c, "midi_out", JACK_DEFAULT_MIDI_TYPE,
	    JackPortIsOutput, 0);
	if (*port == nullptr)
		die("couldn't register a port");
	return c;
}

// One idle round.  The client that runs first in a cycle finds the caches
// cold, and pays for libjack's and libsndio's code for all three: the
// rounds take turns.
void
measure_callbacks(int turn, bool both = false)
{
	int sv[2];
	if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
		die("socketpair");
	empty_socket = sv[0];
	fcntl(empty_socket, F_SETFL, O_NONBLOCK);

	midi_buf = static_cast<unsigned char *>(std::malloc(MIDI_BUF_SIZE));
	back_buf = static_cast<unsigned char *>(std::malloc(BACK_BUF_SIZE));
	midi_in = mio_open(mio_port, both ? MIO_IN | MIO_OUT : MIO_IN, 1);
	mio_limit_in = mio_open(mio_port, MIO_IN, 1);
	if (midi_in == nullptr || mio_limit_in == nullptr)
		die("couldn't open sndio port");
	// jack2 runs unconnected clients in the order they were opened
	jack_client_t *c[3];
	for (int i = 0; i < 3; i++) {
		switch ((turn + i) % 3) {
		case 0:
			c[i] = client = callback_client("bench_bridge", timed_forward, &out_port);
			if (both && (in_port = jack_port_register(client, "midi_in",
			    JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0)) == nullptr)
				die("couldn't register midi_in");
			break;
		case 1:
			c[i] = callback_client("bench_limit", timed_limit, &limit_port);
			break;
		case 2:
			c[i] = callback_client("bench_mio", timed_mio, &mio_port_out);
			break;
		}
	}
	bridge_time.n = limit_time.n = mio_time.n = 0;
	for (jack_client_t *k : c)
		if (jack_activate(k) != 0)
			die("couldn't start the callback clients");
	while (bridge_time.n < CYCLES || limit_time.n < CYCLES || mio_time.n < CYCLES)
		poll(nullptr, 0, 50);
	for (jack_client_t *k : c)
		jack_client_close(k);
	in_port = nullptr;
	mio_close(midi_in);
	mio_close(mio_limit_in);
	close(sv[0]);
	close(sv[1]);
	std::free(midi_buf);
	std::free(back_buf);
	for (Timing *t : {&bridge_time, &limit_time, &mio_time})
		t->all.insert(t->all.end(), t->us.begin(), t->us.end());
}

// The cost of each byte forwarded: forward_midi alone, while notes,
// controllers and SysEx arrive at 256 bytes a millisecond.  Cycles with
// input cost the idle p50 plus so much a byte.
double
measure_per_byte(double idle_us)
{
	dense_us.assign(CYCLES, 0);
	dense_bytes.assign(CYCLES, 0);
	midi_buf = static_cast<unsigned char *>(std::malloc(MIDI_BUF_SIZE));
	midi_in = mio_open(mio_port, MIO_IN, 1);
	struct mio_hdl *w = mio_open(mio_port, MIO_OUT, 0);
	if (midi_in == nullptr || w == nullptr)
		die("couldn't open sndio port");
	client = callback_client("bench_bridge", timed_forward, &out_port);
	dense = true;
	bridge_time.n = 0;
	if (jack_activate(client) != 0)
		die("couldn't start the bridge client");
	std::atomic<bool> done{false};
	std::thread writer([&] {
		// notes with running status, a controller, a 40-byte SysEx
		std::vector<unsigned char> chunk;
		while (chunk.size() < 256) {
			chunk.insert(chunk.end(), {0x90, 60, 100, 64, 100, 67, 100, 0xb0, 7, 90, 0xf0});
			chunk.insert(chunk.end(), 40, 0x11);
			chunk.push_back(0xf7);
		}
		chunk.resize(256 - 256 % 52);
		while (!done) {
			mio_write(w, chunk.data(), chunk.size());
			poll(nullptr, 0, 1);
		}
	});
	while (bridge_time.n < CYCLES)
		poll(nullptr, 0, 50);
	done = true;
	writer.join();
	jack_client_close(client);
	mio_close(w);
	mio_close(midi_in);
	std::free(midi_buf);
	dense = false;

	double us = 0;
	std::size_t bytes = 0;
	for (int i = 0; i < CYCLES; i++) {
		if (dense_bytes[i] > 0) {
			us += dense_us[i] - idle_us;
			bytes += dense_bytes[i];
		}
	}
	return bytes > 0 ? us * 1000 / bytes : 0;
}

// 2. latency through the real bridge

jack_port_t *rx_port;
std::vector<double> arrival(MESSAGES);
std::atomic<int> arrived;
std::vector<unsigned char> received(2 << 20);	// throughput: every byte
std::atomic<std::size_t> received_n;

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
		std::size_t n = received_n;
		if (n + ev.size <= received.size()) {
			std::copy(ev.buffer, ev.buffer + ev.size, received.begin() + n);
			received_n = n + ev.size;
		}
	}
	return 0;
}

pid_t
spawn_bridge(const char *bin, bool both = false)
{
	pid_t pid;
	char o[] = "-o";
	char *argv[] = {const_cast<char *>(bin), both ? o : nullptr, nullptr};
	// the way back's lines of dropped events are not the table's
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	if (both)
		posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
	if (posix_spawn(&pid, bin, &fa, nullptr, argv, environ) != 0)
		die("couldn't start quarvell");
	posix_spawn_file_actions_destroy(&fa);
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

// Starts quarvell and a client that receives from it.
jack_client_t *
start_chain(const char *bin, pid_t *pid)
{
	*pid = spawn_bridge(bin);
	jack_client_t *rx = open_client("bench_rx");
	rx_port = jack_port_register(rx, "in", JACK_DEFAULT_MIDI_TYPE,
	    JackPortIsInput, 0);
	jack_set_process_callback(rx, receive, nullptr);
	if (rx_port == nullptr || jack_activate(rx) != 0)
		die("couldn't start the receiving client");
	wait_for_port(rx, "quarvell:midi_out");
	// JACK connects the ports of active clients only
	for (int i = 0; jack_connect(rx, "quarvell:midi_out", jack_port_name(rx_port)) != 0; i++) {
		if (i > 2000 || waitpid(*pid, nullptr, WNOHANG) == *pid)
			die("couldn't connect to quarvell:midi_out");
		poll(nullptr, 0, 5);
	}
	return rx;
}

void
stop_chain(jack_client_t *rx, pid_t pid)
{
	jack_client_close(rx);
	kill(pid, SIGTERM);
	waitpid(pid, nullptr, 0);
}

std::vector<double>
measure_latency(const char *bin, double period_us)
{
	pid_t pid;
	jack_client_t *rx = start_chain(bin, &pid);
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
	stop_chain(rx, pid);

	std::vector<double> periods;
	for (int k = 0; k < MESSAGES; k++)
		if (arrival[k] > 0)
			periods.push_back((arrival[k] - sent[k]) / period_us);
	return periods;
}

// throughput: 1 MB of notes paced at a rate; true if it all arrived
bool
arrives_whole(const char *bin, double bytes_per_second)
{
	// whole messages: sndiod holds back an unfinished one
	constexpr std::size_t SIZE = (1 << 20) - 1, CHUNK = 256;
	std::vector<unsigned char> data(SIZE);
	for (std::size_t i = 0; i < SIZE; i += 3) {
		data[i] = 0x90;
		if (i + 2 < SIZE) {
			data[i + 1] = i / 3 % 128;
			data[i + 2] = i / 384 % 128;
		}
	}
	received_n = 0;
	pid_t pid;
	jack_client_t *rx = start_chain(bin, &pid);
	struct mio_hdl *w = mio_open(mio_port, MIO_OUT, 0);
	if (w == nullptr)
		die("couldn't open the sndio port for writing");
	double start = now_us(), step = CHUNK / bytes_per_second * 1e6;
	for (std::size_t i = 0; i < SIZE; i += CHUNK) {
		double due = start + i / CHUNK * step;
		while (now_us() < due)
			poll(nullptr, 0, 0);
		mio_write(w, data.data() + i, std::min(CHUNK, SIZE - i));
	}
	for (int i = 0; received_n < SIZE && i < 100; i++)
		poll(nullptr, 0, 10);
	mio_close(w);
	stop_chain(rx, pid);
	if (std::getenv("QBENCH_DEBUG"))
		std::fprintf(stderr, "rate %.0f: %zu of %zu bytes, first difference %zu\n",
		    bytes_per_second, received_n.load(), SIZE,
		    std::mismatch(data.begin(), data.end(), received.begin()).first - data.begin());
	return received_n == SIZE &&
	    std::equal(data.begin(), data.end(), received.begin());
}

// 4. the way back: a JACK client writes into quarvell -o, a sndio reader
// reads what comes out of the port

jack_port_t *tx_port;
std::atomic<int> tx_asked{0};		// latency: the messages asked for
int tx_sent;				// and written
std::atomic<bool> tx_marker;		// a note out of their count
std::vector<unsigned char> tx_data;	// throughput: what to write, paced
std::size_t tx_per_cycle;
std::atomic<std::size_t> tx_done;
std::vector<double> tx_time(MESSAGES);

int
transmit(jack_nframes_t nframes, void *)
{
	void *buf = jack_port_get_buffer(tx_port, nframes);
	jack_midi_clear_buffer(buf);
	// each in the first cycle after it was asked for, timed as written
	for (int asked = tx_asked; tx_sent < asked && tx_sent < MESSAGES; tx_sent++) {
		unsigned char msg[3] = {0x90, static_cast<unsigned char>(tx_sent & 0x7f),
		    static_cast<unsigned char>(tx_sent >> 7)};
		tx_time[tx_sent] = jack_get_time();
		jack_midi_event_write(buf, 0, msg, sizeof msg);
	}
	if (tx_marker.exchange(false)) {
		unsigned char msg[3] = {0x90, 0x7f, 0x7f};
		jack_midi_event_write(buf, 0, msg, sizeof msg);
	}
	std::size_t i = tx_done, end = std::min(tx_data.size(), i + tx_per_cycle);
	for (; i + 3 <= end && jack_midi_event_write(buf, 0, &tx_data[i], 3) == 0; i += 3)
		;
	tx_done = i;
	return 0;
}

// A blocking reader of the sndio port, on a thread of its own: each byte
// into received, each message's arrival into arrival.
struct SndioReader {
	struct mio_hdl *h;
	std::atomic<bool> done{false};
	std::thread t;

	SndioReader()
	{
		if ((h = mio_open(mio_port, MIO_IN, 1)) == nullptr)
			die("couldn't open the sndio port for reading");
		received_n = 0;
		arrived = 0;
		std::fill(arrival.begin(), arrival.end(), 0);
		t = std::thread([this] {
			unsigned char b[4096];
			struct pollfd pfd[4];
			while (!done) {
				std::size_t n = mio_read(h, b, sizeof b), at = received_n;
				double now = jack_get_time();
				if (n == 0) {
					poll(pfd, mio_pollfd(h, pfd, POLLIN), 10);
					continue;
				}
				n = std::min(n, received.size() - at);
				std::copy(b, b + n, received.begin() + at);
				received_n = at + n;
				// the notes this read completed, numbered 90 lo hi
				for (std::size_t j = at - at % 3; j + 3 <= at + n; j += 3) {
					int k = received[j + 1] | received[j + 2] << 7;
					if (received[j] == 0x90 && k < MESSAGES) {
						arrival[k] = now;
						arrived++;
					}
				}
			}
		});
	}

	~SndioReader()
	{
		done = true;
		t.join();
		mio_close(h);
	}
};

// quarvell -o and a client that writes into its midi_in, until a note
// comes out of the port
jack_client_t *
start_back_chain(const char *bin, pid_t *pid)
{
	*pid = spawn_bridge(bin, true);
	jack_client_t *tx = open_client("bench_tx");
	tx_port = jack_port_register(tx, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
	jack_set_process_callback(tx, transmit, nullptr);
	if (tx_port == nullptr || jack_activate(tx) != 0)
		die("couldn't start the writing client");
	wait_for_port(tx, "quarvell:midi_in");
	for (int i = 0; jack_connect(tx, jack_port_name(tx_port), "quarvell:midi_in") != 0; i++) {
		if (i > 2000 || waitpid(*pid, nullptr, WNOHANG) == *pid)
			die("couldn't connect to quarvell:midi_in");
		poll(nullptr, 0, 5);
	}
	for (int i = 0; received_n == 0; i++) {
		if (i > 1000)
			die("nothing came back through quarvell -o");
		tx_marker = true;
		poll(nullptr, 0, 10);
	}
	return tx;
}

std::vector<double>
measure_back_latency(const char *bin, double period_us)
{
	pid_t pid;
	SndioReader r;
	jack_client_t *tx = start_back_chain(bin, &pid);
	poll(nullptr, 0, 100);
	arrived = 0;
	std::srand(7);
	for (int k = 0; k < MESSAGES; k++) {
		poll(nullptr, 0, 2 + std::rand() % 4);	// any phase of the cycle
		tx_asked = k + 1;
	}
	for (int i = 0; arrived < MESSAGES && i < 200; i++)
		poll(nullptr, 0, 10);
	stop_chain(tx, pid);
	std::vector<double> periods;
	for (int k = 0; k < MESSAGES; k++)
		if (arrival[k] > 0 && tx_time[k] > 0)
			periods.push_back((arrival[k] - tx_time[k]) / period_us);
	return periods;
}

// 1 MB of notes written by a JACK client at a paced rate: true if it all
// came out of the port byte-exact
bool
arrives_back_whole(const char *bin, double bytes_per_second, double period_us)
{
	constexpr std::size_t SIZE = (1 << 20) - 1;
	tx_data.assign(SIZE, 0);
	for (std::size_t i = 0; i < SIZE; i += 3) {
		tx_data[i] = 0x90;
		tx_data[i + 1] = i / 3 % 128;
		tx_data[i + 2] = i / 384 % 128;
	}
	pid_t pid;
	SndioReader r;
	tx_per_cycle = 0;
	tx_done = SIZE;
	jack_client_t *tx = start_back_chain(bin, &pid);
	poll(nullptr, 0, 100);
	received_n = 0;
	tx_done = 0;
	tx_per_cycle = std::max<std::size_t>(1, bytes_per_second * period_us / 1e6 / 3) * 3;
	while (tx_done < SIZE)
		poll(nullptr, 0, 10);
	for (std::size_t seen = 0; received_n != seen; poll(nullptr, 0, 200))
		seen = received_n;
	// before the stop, which ends the notes left sounding
	std::size_t got = received_n;
	stop_chain(tx, pid);
	if (std::getenv("QBENCH_DEBUG"))
		std::fprintf(stderr, "back rate %.0f: %zu of %zu bytes, first difference %zu\n",
		    bytes_per_second, got, SIZE,
		    std::mismatch(tx_data.begin(), tx_data.end(), received.begin()).first -
		    tx_data.begin());
	return got == SIZE && std::equal(tx_data.begin(), tx_data.end(), received.begin());
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

} // namespace

int
main(int argc, char **argv)
{
	if (argc != 4)
		die("usage: qbench cycle|throughput|back|throughput-back sndio_port "
		    "quarvell_binary");
	std::string mode = argv[1];
	mio_port = argv[2];
	const char *bin = argv[3];

	jack_client_t *probe = open_client("bench_probe");
	double rate = jack_get_sample_rate(probe);
	double frames = jack_get_buffer_size(probe);
	jack_client_close(probe);
	double period_us = frames / rate * 1e6;

	if (mode == "back") {
		// the bridge client with -o and without, taking turns
		std::vector<double> plain, both;
		for (int r = 0; r < 2 * ROUNDS; r++) {
			bridge_time.all.clear();
			measure_callbacks(r / 2 % 3, r % 2);
			(r % 2 ? both : plain).insert((r % 2 ? both : plain).end(),
			    bridge_time.all.begin(), bridge_time.all.end());
		}
		std::vector<double> lat = measure_back_latency(bin, period_us);
		double p50 = percentile(plain, 0.5), b50 = percentile(both, 0.5);
		std::printf("%6.0f %6.3f ms  %5.2f %5.2f us (%.2fx)  %5.2f %5.2f us  %ld  %4zu  "
		    "%.2f / %.2f\n", frames, period_us / 1000, p50, b50, b50 / p50,
		    percentile(plain, 0.99), percentile(both, 0.99), allocations.load(),
		    lat.size(), percentile(lat, 0.5), percentile(lat, 0.99));
		return 0;
	}
	if (mode == "throughput-back") {
		// doubling, then halving the step twice between the last rate
		// that held and the first that did not
		double best = 0, r = 16e3;
		for (; r <= 4.2e6 && arrives_back_whole(bin, r, period_us); r *= 2)
			best = r;
		for (double step = best / 2; best > 0 && r <= 4.2e6 && step >= best / 4; step /= 2)
			if (arrives_back_whole(bin, best + step, period_us))
				best += step;
		std::printf("%.0f KB/s\n", best / 1000);
		return 0;
	}
	if (mode == "throughput") {
		// 16 KB/s doubling up to 4 MB/s; 3.1 KB/s is the MIDI wire rate
		double best = 0;
		for (double r = 16e3; r <= 4.2e6 && arrives_whole(bin, r); r *= 2)
			best = r;
		std::printf("%.0f KB/s\n", best / 1000);
		return 0;
	}

	for (int r = 0; r < ROUNDS; r++)
		measure_callbacks(r % 3);
	double read50 = percentile(limit_time.all, 0.5);
	double mio50 = percentile(mio_time.all, 0.5);
	double br50 = percentile(bridge_time.all, 0.5);
	double ns_byte = measure_per_byte(br50);
	std::vector<double> lat = measure_latency(bin, period_us);
	std::vector<double> stop = measure_stops(bin);

	std::printf("%6.0f %6.3f ms  %5.2f %5.2f %5.2f us (%.2fx %.2fx)  "
	    "%5.2f %5.2f %5.2f us  %4.0f ns  %ld  %4zu  %.2f / %.2f  %5.1f / %5.1f ms\n",
	    frames, period_us / 1000, read50, mio50, br50, br50 / read50, br50 / mio50,
	    percentile(limit_time.all, 0.99), percentile(mio_time.all, 0.99),
	    percentile(bridge_time.all, 0.99), ns_byte,
	    allocations.load(), lat.size(), percentile(lat, 0.5),
	    percentile(lat, 0.99), percentile(stop, 0.5), percentile(stop, 1));
	return 0;
}
