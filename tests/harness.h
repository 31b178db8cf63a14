// Helpers for the end-to-end tests: private jackd and sndiod servers, the
// quarvell binary run as a child, a recording JACK client and a sndio
// writer.  Everything is real; nothing here fakes a library.
#ifndef QUARVELL_HARNESS_H
#define QUARVELL_HARNESS_H

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <sndio.h>

extern char **environ;

namespace qt {

using Env = std::map<std::string, std::string>;
using Bytes = std::vector<unsigned char>;

inline double
now()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

inline void
sleep_ms(int ms)
{
	poll(nullptr, 0, ms);
}

// polls cond until it holds, for at most seconds
inline bool
eventually(const std::function<bool()> &cond, double seconds = 10)
{
	for (double end = now() + seconds; !cond(); sleep_ms(10))
		if (now() > end)
			return false;
	return true;
}

inline std::string
in_build(const std::string &file)
{
	return std::string(QUARVELL_BUILD_DIR) + "/" + file;
}

inline std::string
thru_port(int unit)
{
	return "midithru," + std::to_string(unit) + "/0";
}

// The JACK in use: "jack2", "jack1" or "pipewire", from QT_SERVER, which
// tests/server.sh sets.
inline std::string
server_kind()
{
	const char *k = std::getenv("QT_SERVER");
	return k != nullptr && *k != '\0' ? k : "jack2";
}

// Whether tests/server.sh gave the test its own /dev/shm and IPC, where a
// killed server or a locked JACK database harms no one else.
inline bool
private_namespace()
{
	return std::getenv("QT_PRIVATE") != nullptr;
}

// A server that goes away may take libjack's client thread with it:
// jack1's raises SIGPIPE there.
inline const bool pipe_ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

// PipeWire's libjack goes by PIPEWIRE_REMOTE, not JACK_DEFAULT_SERVER
inline Env
jack_env(const std::string &server)
{
	return {{"JACK_DEFAULT_SERVER", server}, {"PIPEWIRE_REMOTE", server},
	    {"JACK_NO_START_SERVER", "1"}};
}

// and sndio's default port is sndiod -U unit's thru port
inline Env
bridge_env(const std::string &server, int unit)
{
	Env env = jack_env(server);
	env["MIDIDEVICE"] = thru_port(unit);
	return env;
}

// env for start_quarvell, with the fault library of fake.cpp logging
// into log (emptied first), and the QF_ settings in extra
inline Env
faults(Env env, const std::string &log, const Env &extra = {})
{
	std::remove(log.c_str());
	env["QF_LOG"] = log;
	for (auto &[k, v] : extra)
		env[k] = v;
	return env;
}

// "" if there is none
inline std::string
read_file(const std::string &path)
{
	std::ifstream f(path);
	return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline std::size_t
occurrences(const std::string &s, const std::string &what)
{
	std::size_t n = 0;
	for (auto at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
		n++;
	return n;
}

inline bool
ends_with(const std::string &s, const std::string &end)
{
	return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// the environment, with extra's settings in place of its own
inline std::vector<std::string>
merged_env(const Env &extra)
{
	std::vector<std::string> env;
	for (char **e = environ; *e != nullptr; e++) {
		std::string kv = *e;
		if (extra.count(kv.substr(0, kv.find('='))) == 0)
			env.push_back(kv);
	}
	for (auto &[k, v] : extra)
		env.push_back(k + "=" + v);
	return env;
}

inline std::vector<char *>
cstrs(std::vector<std::string> &v)
{
	std::vector<char *> p;
	for (auto &s : v)
		p.push_back(s.data());
	p.push_back(nullptr);
	return p;
}

// A child process with its standard output and error captured.
struct Proc {
	pid_t pid = -1;
	int status = -1;		// as from waitpid, once it has ended
	std::string out, err;
	std::string own;		// a quarvell's QF_OWN file: start_quarvell

	// standard input from in, else from /dev/null
	void start(const std::vector<std::string> &argv, const Env &env = {}, int in = -1)
	{
		std::vector<std::string> args = argv, envs = merged_env(env);
		auto av = cstrs(args), ev = cstrs(envs);
		int o[2], e[2];
		if (pipe2(o, O_CLOEXEC) != 0 || pipe2(e, O_CLOEXEC) != 0)
			abort();
		int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
		posix_spawn_file_actions_t fa;
		posix_spawn_file_actions_init(&fa);
		posix_spawn_file_actions_adddup2(&fa, in >= 0 ? in : devnull, 0);
		posix_spawn_file_actions_adddup2(&fa, o[1], 1);
		posix_spawn_file_actions_adddup2(&fa, e[1], 2);
		// the test process ignores SIGPIPE, and may have been started
		// with nohup; what it starts gets the default for the signals
		// the tests send
		posix_spawnattr_t attr;
		sigset_t def;
		posix_spawnattr_init(&attr);
		sigemptyset(&def);
		for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGTERM, SIGQUIT})
			sigaddset(&def, sig);
		posix_spawnattr_setsigdefault(&attr, &def);
		posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
		if (posix_spawnp(&pid, av[0], &fa, &attr, av.data(), ev.data()) != 0)
			pid = -1;
		posix_spawnattr_destroy(&attr);
		posix_spawn_file_actions_destroy(&fa);
		for (int fd : {devnull, o[1], e[1]})
			close(fd);
		out_fd = o[0];
		err_fd = e[0];
		status = -1;
		out.clear();
		err.clear();
	}

	void collect()			// read what it wrote so far
	{
		char buf[4096];
		struct pollfd p[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
		while (poll(p, 2, 0) > 0) {
			for (int i = 0; i < 2; i++) {
				if (p[i].revents == 0)
					continue;
				ssize_t n = read(p[i].fd, buf, sizeof buf);
				if (n > 0) {
					(i == 0 ? out : err).append(buf, n);
				} else if (n == 0 || errno != EINTR) {
					close(p[i].fd);
					p[i].fd = (i == 0 ? out_fd : err_fd) = -1;
				}
			}
		}
	}

	bool running()
	{
		int st;
		if (pid >= 0 && status == -1 && waitpid(pid, &st, WNOHANG) == pid)
			status = st;
		return pid >= 0 && status == -1;
	}

	bool wait(double seconds)	// false if still running after that
	{
		double end = now() + seconds;
		while (running() || out_fd >= 0 || err_fd >= 0) {
			double left = end - now();
			if (left <= 0)
				return !running();
			if (!running() && left > 1)	// output held open by others
				end = now() + 1;
			// until it writes or ends its output, or 5 ms once that is shut
			struct pollfd p[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
			poll(p, 2, out_fd < 0 && err_fd < 0 ? 5 : 20);
			collect();
		}
		return true;
	}

	void signal(int sig)
	{
		if (running())
			::kill(pid, sig);
	}

	void kill_and_reap()
	{
		if (running()) {
			::kill(pid, SIGKILL);
			wait(5);
		}
	}

	bool exited_with(int code) const
	{
		return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
	}

	bool killed_by(int sig) const
	{
		return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig;
	}

	~Proc()
	{
		kill_and_reap();
		close(out_fd);
		close(err_fd);
		if (!own.empty())
			std::remove(own.c_str());
	}

    private:
	int out_fd = -1, err_fd = -1;
};

// Each thread's state, wait channel, system call and kernel stack, and
// the backtraces of all threads, by gdb where it is installed.
inline std::string
where(pid_t pid)
{
	std::ostringstream s;
	std::string dir = "/proc/" + std::to_string(pid) + "/task/";
	DIR *d = opendir(dir.c_str());
	for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) {
		std::string tid = e->d_name;
		if (tid[0] == '.')
			continue;
		std::string t = dir + tid + "/", status = read_file(t + "status");
		auto state = status.find("State:");
		s << "thread " << tid << " (" << read_file(t + "comm").substr(0, 15)
		  << "): " << status.substr(state, status.find('\n', state) - state)
		  << ", wchan " << read_file(t + "wchan") << ", syscall "
		  << read_file(t + "syscall") << read_file(t + "stack");
	}
	if (d != nullptr)
		closedir(d);
	Proc gdb;
	gdb.start({"gdb", "-q", "-batch", "-p", std::to_string(pid), "-ex",
	    "thread apply all bt"});
	if (gdb.wait(30) && gdb.exited_with(0)) {
		std::istringstream lines(gdb.out);
		for (std::string line; std::getline(lines, line);)
			if (line.rfind("Thread", 0) == 0 || line.rfind("#", 0) == 0)
				s << line << "\n";
	}
	return s.str();
}

// Waits for a quarvell told to stop, or that closes a JACK client as it
// fails.  If it has not ended 5 s later, says
// where each of its threads is held and when it ended; fails past limit.
// A JACK server whose cycles stall answers jack_client_close late: jack2
// lets one client go at a time, after up to twice its client timeout (1 s)
// each, so a loaded machine can hold a stop for seconds.
inline bool stop_was_slow;	// since a suite last looked

inline testing::AssertionResult
stops(Proc &q, double limit = 30)
{
	double t = now();
	if (q.wait(5))
		return testing::AssertionSuccess();
	stop_was_slow = true;
	std::ostringstream s;
	s << "not ended 5 s after it was told to stop; its threads then:\n"
	  << where(q.pid);
	if (!q.wait(limit - 5))
		return testing::AssertionFailure() << s.str() << "still running after "
		    << limit << " s";
	std::cout << s.str() << "it ended after " << now() - t << " s\n";
	return testing::AssertionSuccess();
}

// Runs quarvell (or bin, a link to it) with args, the fault library
// noting what it writes of its own: libjack, libsndio and alsa-lib print
// lines of theirs on its standard error, which are not quarvell's.
inline void
start_quarvell(Proc &q, Env env, const std::vector<std::string> &args = {},
    const std::string &bin = QUARVELL_BIN)
{
	static int runs;
	q.own = in_build("own." + std::to_string(runs++));
	env["LD_PRELOAD"] = FAKE_LIB;
	env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
	env["QF_OWN"] = q.own;
	std::vector<std::string> argv = {bin};
	argv.insert(argv.end(), args.begin(), args.end());
	q.start(argv, env);
}

// what a quarvell of start_quarvell wrote of its own, on either output
inline std::string
own(const Proc &q)
{
	return read_file(q.own);
}

// Sends q sigs, then: it stops, with status 0, and prints nothing of its
// own; libjack may say on standard error that a client or its server went.
inline testing::AssertionResult
ends_well(Proc &q, const std::vector<int> &sigs = {SIGTERM})
{
	for (int sig : sigs)
		q.signal(sig);
	testing::AssertionResult stopped = stops(q);
	if (q.own.empty())
		return testing::AssertionFailure() << "not started by start_quarvell";
	if (stopped && (!q.exited_with(0) || !q.out.empty() || !own(q).empty()))
		return testing::AssertionFailure() << "ended with status " << q.status
		    << ", standard output \"" << q.out << "\", lines of its own \"" << own(q)
		    << "\", standard error \"" << q.err << "\"";
	return stopped;
}

// A server run under a watchdog shell: when the test process goes away,
// however it ends, the shell stops the server with SIGTERM and waits.
struct Server {
	Proc shell;
	int keep_fd = -1;		// the watchdog waits for EOF on this
	std::string log;

	// The watchdog runs the server, waits for EOF on its standard input
	// (the test closed the pipe or died), then stops the server and waits
	// for it.  A line "kill" on the pipe kills the server at once instead.
	void start(const std::vector<std::string> &argv, const std::string &logfile,
	    Env env = {})
	{
		static const char watchdog[] =
		    "\"$@\" </dev/null >>\"$QT_LOG\" 2>&1 & p=$!\n"
		    "while read cmd; do [ \"$cmd\" = kill ] && kill -KILL $p; done\n"
		    "kill -TERM $p 2>/dev/null; wait $p\n";
		int k[2];
		if (pipe2(k, O_CLOEXEC) != 0)
			abort();
		std::vector<std::string> av = {"/bin/sh", "-c", watchdog, "watchdog"};
		av.insert(av.end(), argv.begin(), argv.end());
		log = logfile;
		std::remove(log.c_str());
		env["QT_LOG"] = logfile;
		shell.start(av, env, k[0]);
		close(k[0]);
		keep_fd = k[1];
	}

	void stop()			// SIGTERM, then wait for it to exit
	{
		close(keep_fd);
		keep_fd = -1;
		// jackd must exit by itself: a killed one keeps its server slot
		shell.wait(20);
		shell.kill_and_reap();
	}

	void kill9()			// for tests of a server that vanishes
	{
		if (keep_fd >= 0 && ::write(keep_fd, "kill\n", 5) != 5)
			abort();
	}

	~Server() { stop(); }
};

// Fails the test with the server's log when it never came up.
inline bool
came_up(Server &s, const char *what, const std::function<bool()> &ready)
{
	for (double end = now() + 10; now() < end && s.shell.running(); sleep_ms(25))
		if (ready())
			return true;
	ADD_FAILURE() << what << " never came up; its log, " << s.log << ":\n"
		      << read_file(s.log);
	return false;
}

inline jack_client_t *
open_client(const char *name, const std::string &server, bool exact = false)
{
	return jack_client_open(name, JackOptions(JackNoStartServer | JackServerName |
	    (exact ? JackUseExactName : 0)), nullptr, server.c_str());
}

// A JACK server named NAME: jackd --no-realtime --sync -n NAME -d dummy
// -r 48000 -p 64, plus extras, or a PipeWire daemon.  It waits until a
// client gets in, and fails the test with the server's log when none can.
inline bool
start_jack(Server &s, const std::string &name,
    const std::vector<std::string> &server_opts = {},
    const std::vector<std::string> &driver_opts = {})
{
	std::string log = in_build(server_kind() + "-" + name + ".log");
	if (server_kind() == "pipewire") {
		// its Dummy-Driver runs the graph; pw-jack set the period
		s.start({"pipewire"}, log, {{"PIPEWIRE_CORE", name}});
	} else {
		std::vector<std::string> av = {"jackd", "--no-realtime", "--sync", "-n", name};
		av.insert(av.end(), server_opts.begin(), server_opts.end());
		av.insert(av.end(), {"-d", "dummy", "-r", "48000", "-p", "64"});
		av.insert(av.end(), driver_opts.begin(), driver_opts.end());
		// jack1's jackd keeps its metadata under the default server's name
		s.start(av, log, {{"JACK_DEFAULT_SERVER", name}});
	}

	// libjack's complaints while the server is not up yet are expected
	jack_set_error_function([](const char *) {});
	jack_set_info_function([](const char *) {});

	return came_up(s, "the JACK server", [&] {
		jack_client_t *c = open_client("probe", name);
		if (c != nullptr)
			jack_client_close(c);
		return c != nullptr;
	});
}

inline std::string
sndiod_log(int unit)
{
	return in_build("sndiod-" + std::to_string(unit) + ".log");
}

// sndiod 1.9.0 hands a client that only writes the endpoint of a reader
// that has gone, with the reader's buffer freed but what it left unread
// still counted, and aborts writing from it ("sock_fdwrite: fault").  A
// quarvell stopped while a stream waits for it, then a client that only
// writes, is enough.  A client that also reads gets a buffer of its own:
// so every sndio client here reads, the writers too, though nothing
// comes to them while they are the only writer.
constexpr unsigned SNDIO_MODE = MIO_IN | MIO_OUT;

inline bool
answers(const std::string &port)
{
	struct mio_hdl *h = mio_open(port.c_str(), SNDIO_MODE, 0);
	if (h != nullptr)
		mio_close(h);
	return h != nullptr;
}

// "" while sndiod -U unit answers, else that it has gone and how its log ends
inline std::string
sndiod_gone(int unit)
{
	if (answers(thru_port(unit)))
		return "";
	std::string log = read_file(sndiod_log(unit));
	std::size_t from = log.size();
	for (int lines = 0; from > 0 && lines < 4; lines += log[from] == '\n')
		from--;
	return "sndiod -U " + std::to_string(unit) + " has gone; its log ends:\n" +
	    log.substr(from);
}

// sndiod -dd -U UNIT, waited for as start_jack does; -dd: it logs what it
// discards for a reader too slow to take it
inline bool
start_sndiod(Server &s, int unit)
{
	s.start({"sndiod", "-dd", "-U", std::to_string(unit)}, sndiod_log(unit));
	return came_up(s, "sndiod", [&] { return answers(thru_port(unit)); });
}

// An in-process JACK client without ports, to look at the graph.  It
// notes every client that registers while it is open.
struct Graph {
	std::string server;
	jack_client_t *c = nullptr;
	jack_port_t *sink = nullptr;
	std::mutex mu;
	std::vector<std::string> registered, unregistered;
	std::atomic<int> markers{0}, settled{0};	// settle()'s, seen to come and go

	bool open(const std::string &name)
	{
		server = name;
		c = open_client("graph", server);
		if (c == nullptr)
			return false;
		jack_set_client_registration_callback(c, [](const char *client, int reg, void *arg) {
			auto *g = static_cast<Graph *>(arg);
			std::lock_guard<std::mutex> lock(g->mu);
			if (std::strcmp(client, "settle") != 0)
				(reg ? g->registered : g->unregistered).push_back(client);
			else
				(reg ? g->markers : g->settled)++;
		}, this);
		return jack_activate(c) == 0;
	}

	// Every registration so far has been seen.  The server sends them in
	// order: once a client of our own, opened and closed now, has been
	// seen to go, so has every one before it.  It is closed only once seen
	// to come: PipeWire tells no one of a client that came and went before
	// the news of its coming reached them.
	void settle()
	{
		int came = markers, seen = settled;
		jack_client_t *marker = open_client("settle", server, true);
		ASSERT_NE(marker, nullptr);
		bool in = eventually([&] { return markers > came; });
		jack_client_close(marker);
		if (!in)
			ADD_FAILURE() << "the settle marker was never seen to come";
		else if (!eventually([&] { return settled > seen; }))
			ADD_FAILURE() << "registrations never settled";
	}

	// By the list of ports: jack1's jack_port_by_name may go on finding
	// a port some seconds after its client has gone.
	bool has_port(const std::string &name)
	{
		const char **ports = jack_get_ports(c, ("^" + name + "$").c_str(), nullptr, 0);
		bool found = ports != nullptr;
		jack_free(ports);
		return found;
	}

	// By the registrations seen: PipeWire's libjack goes on finding a
	// uuid for a client some seconds after it has gone.
	bool has_client(const std::string &name)
	{
		settle();
		std::lock_guard<std::mutex> lock(mu);
		return std::count(registered.begin(), registered.end(), name) >
		    std::count(unregistered.begin(), unregistered.end(), name);
	}

	bool ever_registered(const std::string &name)
	{
		settle();
		std::lock_guard<std::mutex> lock(mu);
		return std::count(registered.begin(), registered.end(), name) > 0;
	}

	int clients_seen()		// registered less unregistered
	{
		settle();
		std::lock_guard<std::mutex> lock(mu);
		return static_cast<int>(registered.size() - unregistered.size());
	}

	// A client ("quarvell") or port ("quarvell:midi_out") that has gone:
	// servers lag, jack1 and PipeWire by seconds, so this waits until
	// the server agrees, and else names the server that still shows it.
	testing::AssertionResult gone(const std::string &name)
	{
		bool port = name.find(':') != std::string::npos;
		double t = now();
		if (eventually([&] {
			// the ports first: has_client opens a client of its own
			return port ? !has_port(name) : !has_port(name + ":.*") && !has_client(name);
		}, 15))
			return testing::AssertionSuccess();
		return testing::AssertionFailure() << server_kind() << " server " << server
		    << " still shows " << (port ? "port " : "client ") << name << " after "
		    << now() - t << " s";
	}

	// JACK connects only ports of active clients: true once port's
	// client has been activated
	bool is_active(const std::string &port, double wait_seconds = 10)
	{
		if (sink == nullptr)
			sink = jack_port_register(c, "sink", JACK_DEFAULT_MIDI_TYPE,
			    JackPortIsInput, 0);
		double end = now() + wait_seconds;
		while (jack_connect(c, port.c_str(), jack_port_name(sink)) != 0) {
			if (now() >= end)
				return false;
			sleep_ms(5);
		}
		jack_disconnect(c, port.c_str(), jack_port_name(sink));
		return true;
	}

	void close()
	{
		if (c != nullptr)
			jack_client_close(c);
		c = nullptr;
		sink = nullptr;
		registered.clear();
		unregistered.clear();
	}

	~Graph() { close(); }
};

// Whether pid has handlers for SIGINT and SIGTERM, by /proc.
inline bool
catches_int_and_term(pid_t pid)
{
	std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
	auto at = status.find("\nSigCgt:");
	unsigned long long both = 1ull << (SIGINT - 1) | 1ull << (SIGTERM - 1);
	return at != std::string::npos &&
	    (std::stoull(status.substr(at + 8), nullptr, 16) & both) == both;
}

// Starts quarvell and waits until its client is active.  PipeWire connects
// the ports of a client that is not active yet: that the signal handlers
// are in tells the rest.
inline testing::AssertionResult
start_bridge(Proc &q, Graph &graph, const Env &env, const std::vector<std::string> &args = {})
{
	start_quarvell(q, env, args);
	if (graph.is_active("quarvell:midi_out") &&
	    eventually([&] { return catches_int_and_term(q.pid); }))
		return testing::AssertionSuccess();
	q.collect();
	return testing::AssertionFailure() << "quarvell never became active: " << q.err;
}

// Servers of a test's own, to stop or kill, with quarvell between them,
// logging through the fault library into log.
struct OwnServers {
	Server jackd, sndiod;
	Graph graph;

	bool start(const std::string &name, int unit, Proc &q, const std::string &log)
	{
		return start_jack(jackd, name) && start_sndiod(sndiod, unit) &&
		    graph.open(name) && start_bridge(q, graph, faults(bridge_env(name, unit), log));
	}
};

// Waits until the fault library's log holds what.
inline bool
logged(const std::string &log, const std::string &what)
{
	return eventually([&] { return read_file(log).find(what) != std::string::npos; });
}

// Writes into a sndio MIDI port, paced so that sndiod drops nothing.
struct Writer {
	struct mio_hdl *h = nullptr;
	bool strict = true;
	int unit = 0;			// of the sndiod it writes to, if any

	bool open(const std::string &port)
	{
		h = mio_open(port.c_str(), SNDIO_MODE, 0);
		return h != nullptr;
	}

	bool open(int sndiod)		// its thru port
	{
		unit = sndiod;
		return open(thru_port(unit));
	}

	// false on a short write, which fails the test when strict
	// 256 bytes every 8 ms is 32 KB/s, ten times the wire rate
	bool write(const Bytes &b, std::size_t chunk = 256, int pause_us = 8000)
	{
		for (std::size_t i = 0; i < b.size(); i += chunk) {
			std::size_t n = std::min(chunk, b.size() - i);
			std::size_t done = mio_write(h, b.data() + i, n);
			if (done != n) {
				if (strict) {
					std::string gone = unit != 0 ? sndiod_gone(unit) :
					    "not into sndiod";
					ADD_FAILURE() << "short write into sndio: " << done
						      << " of " << n << " bytes at offset " << i << "; "
						      << (gone.empty() ? "sndiod answers, but closed this "
						      "writer's connection" : gone);
				}
				return false;
			}
			if (pause_us > 0 && i + n < b.size())
				usleep(pause_us);
		}
		return true;
	}

	~Writer()
	{
		if (h != nullptr)
			mio_close(h);
	}
};

// PipeWire's libjack drops a reader's cycle now and then, without a word:
// some one in 700 here, between two clients that quarvell is not one of,
// on a quiet machine; up to a quarter on a loaded one.
inline bool
server_loses_cycles()
{
	return server_kind() == "pipewire";
}

// One event as midimon printed it.
struct Event {
	unsigned long cycle, offset;
	Bytes data;
};

// The project's monitor client, run as a child and read back.
struct Monitor {
	Proc p;
	std::vector<Event> events;
	std::size_t parsed = 0;

	void update()			// parse what it printed so far
	{
		p.collect();
		std::size_t nl;
		while ((nl = p.out.find('\n', parsed)) != std::string::npos) {
			std::istringstream line(p.out.substr(parsed, nl - parsed));
			std::string word;
			Event e{};
			unsigned long len = 0;
			line >> word >> e.cycle >> word >> e.offset >> word >> len >> word;
			unsigned byte;
			while (line >> std::hex >> byte)
				e.data.push_back(static_cast<unsigned char>(byte));
			events.push_back(std::move(e));
			parsed = nl + 1;
		}
	}

	bool wait_events(std::size_t n, double seconds)
	{
		return eventually([&] { update(); return events.size() >= n; }, seconds);
	}

	// Writes b until it comes as the last event: once, but where the
	// server loses cycles, up to 5 times; each one written goes to sent.
	bool send(Writer &w, const Bytes &b, std::vector<Bytes> *sent = nullptr)
	{
		for (int i = 0; i < (server_loses_cycles() ? 5 : 1); i++) {
			if (!w.write(b))
				return false;
			if (sent != nullptr)
				sent->push_back(b);
			if (wait_for(b, 15))
				return true;
		}
		return false;
	}

	bool wait_for(const Bytes &last, double seconds)	// as the last event
	{
		return eventually([&] {
			update();
			return !events.empty() && events.back().data == last;
		}, seconds);
	}

	// Starts midimon on source, opens w into sndiod -U unit, and writes
	// controllers until they come through, then forgets them: PipeWire
	// shows a link some cycles before data flows through it.
	testing::AssertionResult start(const std::string &server, const std::string &source,
	    Writer &w, int unit)
	{
		w.unit = unit;
		return start(server, source, w, thru_port(unit));
	}

	// the same, with w into any sndio port
	testing::AssertionResult start(const std::string &server, const std::string &source,
	    Writer &w, const std::string &port)
	{
		p.start({MIDIMON_BIN, source}, jack_env(server));
		auto listening = [&] { return p.err.find("listening") != std::string::npos; };
		eventually([&] { p.collect(); return listening() || !p.running(); }, 15);
		if (!listening() || p.err.find("couldn't") != std::string::npos)
			return testing::AssertionFailure() << "midimon did not start: " << p.err;
		if (!w.open(port))
			return testing::AssertionFailure() << "no sndio port " << port;
		unsigned char n = 0;
		while (n < 100 && w.write({0xbf, 0x66, n}) &&
		    !eventually([&] { update(); return !events.empty(); }, 0.1))
			n++;
		bool through = wait_for({0xbf, 0x66, n}, 10);
		events.clear();
		if (!through)
			return testing::AssertionFailure() << "no controller written came through";
		return testing::AssertionSuccess();
	}

	unsigned long dropped()		// events its ring buffer had no room for
	{
		update();
		auto at = p.err.rfind("midimon: dropped ");
		return at == std::string::npos ? 0 : std::stoul(p.err.substr(at + 17));
	}

	void stop()			// as a user would: SIGTERM
	{
		p.signal(SIGTERM);
		p.wait(5);
	}

	~Monitor() { stop(); }
};

// Reads a sndio port, as a synth would, into got; lets go of it once it
// has gone, as a card pulled out is held until its last reader has.
struct Reader {
	struct mio_hdl *h = nullptr;
	std::thread t;
	std::atomic<bool> done{false};
	std::mutex mu;
	Bytes got;

	bool open(const std::string &port)
	{
		if ((h = mio_open(port.c_str(), SNDIO_MODE, 1)) == nullptr)
			return false;
		t = std::thread([this] {
			unsigned char b[4096];
			std::vector<struct pollfd> pfd(mio_nfds(h));
			while (!done && !mio_eof(h)) {
				std::size_t n = mio_read(h, b, sizeof b);
				std::lock_guard<std::mutex> lock(mu);
				got.insert(got.end(), b, b + n);
				if (n == 0)
					poll(pfd.data(), mio_pollfd(h, pfd.data(), POLLIN), 10);
			}
			if (mio_eof(h)) {
				mio_close(h);
				h = nullptr;
			}
		});
		return true;
	}

	Bytes bytes()
	{
		std::lock_guard<std::mutex> lock(mu);
		return got;
	}

	bool wait_bytes(std::size_t n, double seconds)
	{
		return eventually([&] { return bytes().size() >= n; }, seconds);
	}

	void clear()
	{
		std::lock_guard<std::mutex> lock(mu);
		got.clear();
	}

	~Reader()
	{
		done = true;
		if (t.joinable())
			t.join();
		if (h != nullptr)
			mio_close(h);
	}
};

// A JACK client that plays events into a port, as a sequencer would: each
// cycle the next ones, each whole, per_cycle bytes of them at most.
struct Player {
	jack_client_t *c = nullptr;
	jack_port_t *port = nullptr;
	std::mutex mu;
	std::vector<Bytes> events;
	std::size_t next = 0, per_cycle = 128;

	static int process(jack_nframes_t n, void *arg)
	{
		auto *p = static_cast<Player *>(arg);
		void *buf = jack_port_get_buffer(p->port, n);
		jack_midi_clear_buffer(buf);
		std::unique_lock<std::mutex> lock(p->mu, std::try_to_lock);
		for (std::size_t used = 0; lock && p->next < p->events.size(); p->next++) {
			Bytes &e = p->events[p->next];
			if ((used > 0 && used + e.size() > p->per_cycle) ||
			    jack_midi_event_write(buf, 0, e.data(), e.size()) != 0)
				break;
			used += e.size();
		}
		return 0;
	}

	void play(const std::vector<Bytes> &more)
	{
		std::lock_guard<std::mutex> lock(mu);
		events.insert(events.end(), more.begin(), more.end());
	}

	// Plays into port until r reads a controller: PipeWire shows a link
	// some cycles before data flows through it.
	testing::AssertionResult start(const std::string &server, const std::string &to,
	    Reader &r)
	{
		c = open_client("player", server);
		if (c == nullptr)
			return testing::AssertionFailure() << "no player client";
		port = jack_port_register(c, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
		jack_set_process_callback(c, process, this);
		if (port == nullptr || jack_activate(c) != 0 || !eventually([&] {
			return jack_connect(c, jack_port_name(port), to.c_str()) == 0; }))
			return testing::AssertionFailure() << "player not connected to " << to;
		for (unsigned char n = 0; n < 100 && r.bytes().empty(); n++) {
			play({{0xbf, 0x66, n}});
			eventually([&] { return !r.bytes().empty(); }, 0.1);
		}
		bool through = eventually([&] { return !r.bytes().empty(); }, 10);
		sleep_ms(50);
		r.clear();
		return through ? testing::AssertionSuccess() :
		    testing::AssertionFailure() << "no controller played came through";
	}

	~Player()
	{
		if (c != nullptr)
			jack_client_close(c);
	}
};

inline std::string
hex(const Bytes &b)
{
	std::ostringstream s;
	for (unsigned char c : b)
		s << (s.tellp() > 0 ? " " : "") << std::hex << std::setw(2)
		  << std::setfill('0') << unsigned(c);
	return s.str();
}

// Says where got first differs from want, or "" when they are equal.
// Where the server loses whole cycles of a reader (lossy), some events may
// be missing: what arrived must have been sent, in order.
inline std::string
diff(const std::vector<Event> &got, const std::vector<Bytes> &want, bool lossy = false)
{
	std::size_t i = 0;
	if (lossy) {
		for (std::size_t j = 0; i < got.size(); i++, j++) {
			while (j < want.size() && want[j] != got[i].data)
				j++;
			if (j == want.size())
				return "event " + std::to_string(i) + ", " +
				    hex(got[i].data).substr(0, 60) + ", was not sent, or not then";
		}
		if (got.size() < want.size())
			std::cout << server_kind() << " lost " << want.size() - got.size()
				  << " of " << want.size() << " events\n";
		return "";
	}
	while (i < got.size() && i < want.size() && got[i].data == want[i])
		i++;
	if (i == got.size() && i == want.size())
		return "";
	std::ostringstream s;
	s << "got " << got.size() << " events, want " << want.size()
	  << ", first difference at event " << i << ":";
	if (i < got.size())
		s << "\n got  " << hex(got[i].data) << " (cycle " << got[i].cycle << ")";
	if (i < want.size())
		s << "\n want " << hex(want[i]);
	return s.str();
}

// Says where got, the bytes a sndio reader took, first differs from the
// events played, one after the other, or "" when it does not.  Where the
// server loses whole cycles of a reader (lossy), events may be missing:
// missing counts them.
inline std::string
diff_played(const Bytes &got, const std::vector<Bytes> &played, bool lossy = false,
    std::size_t *missing = nullptr)
{
	std::size_t at = 0, lost = 0, i = 0;
	for (; i < played.size(); i++) {
		const Bytes &e = played[i];
		if (got.size() - at >= e.size() && std::equal(e.begin(), e.end(), got.begin() + at))
			at += e.size();
		else if (lossy)
			lost++;
		else
			break;
	}
	if (missing != nullptr)
		*missing = lost;
	if (at == got.size() && i == played.size())
		return "";
	return "got " + std::to_string(got.size()) + " bytes; event " + std::to_string(i) +
	    " of " + std::to_string(played.size()) + " differs at byte " + std::to_string(at) +
	    ": " + hex(Bytes(got.begin() + at, got.begin() + std::min(got.size(), at + 12)));
}

// A generated stream of valid MIDI: notes, controllers, SysEx of many
// sizes (some over 256 bytes) and real-time bytes between messages.  The
// events quarvell makes of it go into events: one a message, a long SysEx
// in pieces of 256 bytes.
inline Bytes
midi_stream(std::size_t size, unsigned seed, std::vector<Bytes> *events = nullptr)
{
	std::mt19937 rng(seed);
	auto pick = [&](unsigned lo, unsigned hi) {
		return static_cast<unsigned char>(
		    std::uniform_int_distribution<unsigned>(lo, hi)(rng));
	};
	// no active sensing (0xfe): sndiod keeps it to itself
	static const unsigned char realtime[] = {0xf8, 0xfa, 0xfb, 0xfc};
	Bytes b;
	while (b.size() < size) {
		Bytes m;
		switch (pick(0, 9)) {
		case 0: case 1: case 2: case 3:		// note on or off
			m = {static_cast<unsigned char>((pick(0, 1) ? 0x90 : 0x80) | pick(0, 15)),
			    pick(0, 127), pick(0, 127)};
			break;
		case 4: case 5:				// controller
			m = {static_cast<unsigned char>(0xb0 | pick(0, 15)), pick(0, 119),
			    pick(0, 127)};
			break;
		case 6:					// program change
			m = {static_cast<unsigned char>(0xc0 | pick(0, 15)), pick(0, 127)};
			break;
		case 7: {				// SysEx, now and then a long one
			std::size_t len = pick(0, 3) == 0 ? 200 + pick(0, 255) * 4 : pick(1, 40);
			m.push_back(0xf0);
			for (std::size_t i = 0; i < len; i++)
				m.push_back(pick(0, 127));
			m.push_back(0xf7);
			break;
		}
		default:				// real-time byte between messages
			m = {realtime[pick(0, 3)]};
			break;
		}
		b.insert(b.end(), m.begin(), m.end());
		// one event a message; a long SysEx in pieces of 256
		for (std::size_t i = 0; events != nullptr && i < m.size(); i += 256)
			events->emplace_back(m.begin() + i,
			    m.begin() + std::min(m.size(), i + 256));
	}
	return b;
}

// A test suite that runs its own jackd -n NAME and sndiod -U UNIT, started
// once for the suite, with a look at the graph for each test.
template <const char *NAME, int UNIT>
class ServerSuite : public ::testing::Test {
    protected:
	static inline Server jackd, sndiod;
	static inline bool up;
	Graph graph;
	std::size_t sndiod_seen = 0;

	// what sndiod discarded since the test began, for want of a reader
	// quick enough to take it
	std::string discards()
	{
		std::string log = read_file(sndiod.log).substr(sndiod_seen), lines;
		std::istringstream in(log);
		for (std::string line; std::getline(in, line);)
			if (line.find("too slow") != std::string::npos)
				lines += line + "\n";
		return lines;
	}

	static void SetUpTestSuite()
	{
		up = start_jack(jackd, NAME) && start_sndiod(sndiod, UNIT);
	}

	static void TearDownTestSuite()
	{
		jackd.stop();
		sndiod.stop();
	}

	void SetUp() override
	{
		ASSERT_TRUE(up) << "the suite's servers did not start";
		// one that died in an earlier test is named, and replaced
		std::string gone = sndiod_gone(UNIT);
		if (!gone.empty()) {
			ADD_FAILURE() << gone;
			sndiod.stop();
			ASSERT_TRUE(start_sndiod(sndiod, UNIT));
		}
		renew_jack_gone_wrong();
		ASSERT_TRUE(graph.open(NAME));
		sndiod_seen = read_file(sndiod.log).size();
	}

	// jack2, after a stall, may go on running a cycle late by its client
	// timeout (5 s) at each close of a client, for good ("engine may now
	// behave abnormally" in its log, after "ClientNotify fails"); seen
	// once in some thousands of stops beside a busy core, when every
	// stop from then on took 6 s.  So after a stop that took over 5 s, a
	// suite starts another server, and opens its graph again.  True if
	// it did.
	bool renew_jack_gone_wrong()
	{
		if (!std::exchange(stop_was_slow, false))
			return false;
		std::cout << "a stop took over 5 s: starting another " << server_kind()
			  << " server " << NAME << "\n";
		bool open = graph.c != nullptr;
		graph.close();
		jackd.stop();
		EXPECT_TRUE(up = start_jack(jackd, NAME));
		EXPECT_TRUE(!open || graph.open(NAME));
		return true;
	}
};

} // namespace qt

#endif
