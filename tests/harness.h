// Helpers for the end-to-end tests: private jackd and sndiod servers, the
// quarvell binary run as a child, a recording JACK client and a sndio
// writer.  Everything is real; nothing here fakes a library.
#ifndef QUARVELL_HARNESS_H
#define QUARVELL_HARNESS_H

#include <sys/types.h>

#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <sndio.h>

namespace qt {

using Env = std::map<std::string, std::string>;
using Bytes = std::vector<unsigned char>;

// A child process with its standard output and error captured.
struct Proc {
	pid_t pid = -1;
	int status = -1;		// as from waitpid, once it has ended
	std::string out, err;

	void start(const std::vector<std::string> &argv, const Env &env = {});
	bool wait(double seconds);	// false if still running after that
	void signal(int sig);
	bool running();
	void kill_and_reap();
	void collect(int timeout_ms);	// read what it wrote so far
	bool exited_with(int code) const;
	bool killed_by(int sig) const;

	~Proc();

    private:
	int out_fd = -1, err_fd = -1;
};

// Waits for a process told to stop.  If it has not ended 5 s later, says
// where each of its threads is held (state, kernel wait channel, system
// call, and a backtrace where gdb is at hand) and when it ended; fails
// past limit.  A JACK server whose cycles stall answers jack_client_close
// late: jack2 lets one client go at a time, after up to twice its client
// timeout (1 s) each, so a loaded machine can hold a stop for seconds.
testing::AssertionResult stops(Proc &q, double limit = 30);

// A server run under a watchdog shell: when the test process goes away,
// however it ends, the shell stops the server with SIGTERM and waits.
struct Server {
	Proc shell;
	int keep_fd = -1;		// the watchdog waits for EOF on this
	std::string log;

	void start(const std::vector<std::string> &argv, const std::string &logfile,
	    Env env = {});
	void stop();			// SIGTERM, then wait for it to exit
	void kill9();			// for tests of a server that vanishes
	bool alive();
	~Server() { stop(); }
};

// The JACK in use: "jack2", "jack1" or "pipewire", from QT_SERVER, which
// tests/server.sh sets.
std::string server_kind();
// Whether tests/server.sh gave the test its own /dev/shm and IPC, where a
// killed server or a locked JACK database harms no one else.
bool private_namespace();

// A JACK server named NAME: jackd --no-realtime --sync -n NAME -d dummy
// -r 48000 -p 64, plus extras, or a PipeWire daemon; sndiod -dd -U UNIT.
// Each waits until a client gets in, and fails the test with the server's
// log when none can.
bool start_jack(Server &s, const std::string &name,
    const std::vector<std::string> &server_opts = {},
    const std::vector<std::string> &driver_opts = {});
bool start_sndiod(Server &s, int unit);

std::string thru_port(int unit);	// "midithru,N/0"
// "" while sndiod -U unit answers, else that it has gone and how its log ends
std::string sndiod_gone(int unit);
std::string quarvell_bin();
std::string midimon_bin();
std::string build_dir();
Env bridge_env(const std::string &server, int unit);
// env with the fault library of fake.cpp preloaded, logging into log
// (emptied first), and the QF_ settings in extra
Env faults(Env env, const std::string &log, const Env &extra = {});
std::string read_file(const std::string &path);	// "" if there is none

// An in-process JACK client without ports, to look at the graph.  It
// notes every client that registers while it is open.
struct Graph {
	std::string server;
	jack_client_t *c = nullptr;
	jack_port_t *sink = nullptr;
	std::mutex mu;
	std::vector<std::string> registered, unregistered;

	bool open(const std::string &server);
	bool has_client(const std::string &name);	// settles first
	bool has_port(const std::string &name, double wait_seconds = 0);
	// A client ("quarvell") or port ("quarvell:midi_out") that has gone:
	// servers lag, jack1 and PipeWire by seconds, so this waits until
	// the server agrees, and else names the server that still shows it.
	testing::AssertionResult gone(const std::string &name, double seconds = 15);
	void settle();			// every registration so far has been seen
	bool ever_registered(const std::string &name);	// settles first
	// JACK connects only ports of active clients: true once port's
	// client has been activated
	bool is_active(const std::string &port, double wait_seconds = 10);
	int clients_seen();		// registered less unregistered, settled
	~Graph();
};

// Starts quarvell and waits until its client is active.
bool start_bridge(Proc &q, Graph &graph, const Env &env);

// Servers of a test's own, to stop or kill, with quarvell between them,
// logging through the fault library into log.
struct OwnServers {
	Server jackd, sndiod;
	Graph graph;
	bool start(const std::string &name, int unit, Proc &q, const std::string &log);
};

// Waits until the fault library's log holds what.
bool logged(const std::string &log, const std::string &what);

// One event as midimon printed it.
struct Event {
	unsigned long cycle, offset;
	Bytes data;
};

// The project's monitor client, run as a child and read back.
struct Monitor {
	Proc p;
	std::vector<Event> events;
	Bytes all;			// the bytes of every event, in order
	std::size_t parsed = 0;

	bool start(const std::string &server, const std::string &source);
	void update();			// parse what it printed so far
	// Writes controllers until they come through, then forgets them:
	// PipeWire shows a link some cycles before data flows through it.
	bool sync(struct Writer &w);
	Bytes wait_bytes(std::size_t n, double seconds);
	void wait_events(std::size_t n, double seconds);
	bool wait_for(const Bytes &last, double seconds);	// an event
	unsigned long dropped();	// events its ring buffer had no room for
	void stop();			// as a user would: SIGTERM
	~Monitor() { stop(); }
};

// Writes into a sndio MIDI port, paced so that sndiod drops nothing.
struct Writer {
	struct mio_hdl *h = nullptr;
	bool strict = true;
	int unit = 0;			// of the sndiod it writes to
	bool open(const std::string &port);
	// false on a short write, which fails the test when strict
	// 256 bytes every 8 ms is 32 KB/s, ten times the wire rate
	bool write(const Bytes &b, std::size_t chunk = 256, int pause_us = 8000);
	~Writer();
};

// A generated stream of valid MIDI: notes, controllers, SysEx of many
// sizes (some over 256 bytes) and real-time bytes between messages.  The
// events quarvell makes of it go into events: one a message, a long SysEx
// in pieces of 256 bytes.
Bytes midi_stream(std::size_t size, unsigned seed,
    std::vector<Bytes> *events = nullptr);

// Say where got first differs from want, or "" when they are equal.
std::string diff(const Bytes &got, const Bytes &want);
std::string diff(const std::vector<Event> &got, const std::vector<Bytes> &want);
// The same, but where the server loses whole cycles of a reader (PipeWire
// does, now and then, between any two clients), some events may be
// missing: what arrived must have been sent, in order.
std::string diff_stream(const std::vector<Event> &got, const std::vector<Bytes> &want);
bool server_loses_cycles();
std::string hex(const Bytes &b);	// "90 3c 64"

void sleep_ms(int ms);
double now();
// polls cond until it holds, for at most seconds
bool eventually(const std::function<bool()> &cond, double seconds = 10);

// A test suite that runs its own jackd -n NAME and sndiod -U UNIT, started
// once for the suite, with a look at the graph for each test.
template <const char *NAME, int UNIT>
class ServerSuite : public ::testing::Test {
    protected:
	static inline Server *jackd, *sndiod;
	Graph graph;

	static inline bool up;
	std::size_t sndiod_seen = 0;

	// what sndiod discarded since the test began, for want of a reader
	// quick enough to take it
	std::string discards()
	{
		std::string log = read_file(sndiod->log).substr(sndiod_seen), lines;
		std::istringstream in(log);
		for (std::string line; std::getline(in, line);)
			if (line.find("too slow") != std::string::npos)
				lines += line + "\n";
		return lines;
	}

	static void SetUpTestSuite()
	{
		jackd = new Server;
		sndiod = new Server;
		up = start_jack(*jackd, NAME) && start_sndiod(*sndiod, UNIT);
	}

	static void TearDownTestSuite()
	{
		delete jackd;
		delete sndiod;
	}

	void SetUp() override
	{
		ASSERT_TRUE(up) << "the suite's servers did not start";
		// one that died in an earlier test is named, and replaced
		std::string gone = sndiod_gone(UNIT);
		if (!gone.empty()) {
			ADD_FAILURE() << gone;
			sndiod->stop();
			ASSERT_TRUE(start_sndiod(*sndiod, UNIT));
		}
		ASSERT_TRUE(graph.open(NAME));
		sndiod_seen = read_file(sndiod->log).size();
	}
};

} // namespace qt

#endif
