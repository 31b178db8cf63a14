#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <random>
#include <sstream>


extern char **environ;

namespace qt {

double
now()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

void
sleep_ms(int ms)
{
	poll(nullptr, 0, ms);
}

bool
eventually(const std::function<bool()> &cond, double seconds)
{
	for (double end = now() + seconds; !cond(); sleep_ms(10))
		if (now() > end)
			return false;
	return true;
}

std::string
build_dir()
{
	return QUARVELL_BUILD_DIR;
}

std::string
quarvell_bin()
{
	return QUARVELL_BIN;
}

std::string
midimon_bin()
{
	return MIDIMON_BIN;
}

std::string
thru_port(int unit)
{
	return "midithru," + std::to_string(unit) + "/0";
}

std::string
server_kind()
{
	const char *k = std::getenv("QT_SERVER");
	return k != nullptr && *k != '\0' ? k : "jack2";
}

bool
private_namespace()
{
	return std::getenv("QT_PRIVATE") != nullptr;
}

// A server that goes away may take libjack's client thread with it:
// jack1's raises SIGPIPE there.
static const bool pipe_ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

// PipeWire's libjack goes by PIPEWIRE_REMOTE, not JACK_DEFAULT_SERVER
static Env
client_env(const std::string &server)
{
	return {{"JACK_DEFAULT_SERVER", server}, {"PIPEWIRE_REMOTE", server},
	    {"JACK_NO_START_SERVER", "1"}};
}

Env
bridge_env(const std::string &server, int unit)
{
	Env env = client_env(server);
	env["MIDIDEVICE"] = thru_port(unit);
	return env;
}

Env
faults(Env env, const std::string &log, const Env &extra)
{
	std::remove(log.c_str());
	env["LD_PRELOAD"] = FAKE_LIB;
	env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
	env["QF_LOG"] = log;
	for (auto &[k, v] : extra)
		env[k] = v;
	return env;
}

std::string
read_file(const std::string &path)
{
	std::ifstream f(path);
	return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

static std::vector<std::string>
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

static std::vector<char *>
cstrs(std::vector<std::string> &v)
{
	std::vector<char *> p;
	for (auto &s : v)
		p.push_back(s.data());
	p.push_back(nullptr);
	return p;
}

// Spawns argv with fds 0, 1, 2 taken from in, out, err.
static pid_t
spawn(std::vector<std::string> argv, const Env &env, int in, int out, int err)
{
	std::vector<std::string> envs = merged_env(env);
	auto av = cstrs(argv);
	auto ev = cstrs(envs);
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_adddup2(&fa, in, 0);
	posix_spawn_file_actions_adddup2(&fa, out, 1);
	posix_spawn_file_actions_adddup2(&fa, err, 2);
	// the test process ignores SIGPIPE; what it starts gets the default
	posix_spawnattr_t attr;
	sigset_t def;
	posix_spawnattr_init(&attr);
	sigemptyset(&def);
	sigaddset(&def, SIGPIPE);
	posix_spawnattr_setsigdefault(&attr, &def);
	posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
	pid_t pid = -1;
	if (posix_spawnp(&pid, av[0], &fa, &attr, av.data(), ev.data()) != 0)
		pid = -1;
	posix_spawnattr_destroy(&attr);
	posix_spawn_file_actions_destroy(&fa);
	return pid;
}

static void
cloexec_pipe(int fds[2])
{
	if (pipe(fds) != 0)
		abort();
	fcntl(fds[0], F_SETFD, FD_CLOEXEC);
	fcntl(fds[1], F_SETFD, FD_CLOEXEC);
}

void
Proc::start(const std::vector<std::string> &argv, const Env &env)
{
	int o[2], e[2];
	cloexec_pipe(o);
	cloexec_pipe(e);
	int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
	pid = spawn(argv, env, devnull, o[1], e[1]);
	close(devnull);
	close(o[1]);
	close(e[1]);
	out_fd = o[0];
	err_fd = e[0];
	status = -1;
	out.clear();
	err.clear();
}

void
Proc::collect(int timeout_ms)
{
	char buf[4096];

	for (;;) {
		struct pollfd p[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
		if (poll(p, 2, timeout_ms) <= 0)
			return;
		timeout_ms = 0;
		for (int i = 0; i < 2; i++) {
			if (p[i].fd < 0 || p[i].revents == 0)
				continue;
			ssize_t n = read(p[i].fd, buf, sizeof buf);
			if (n > 0) {
				(i == 0 ? out : err).append(buf, n);
			} else if (n == 0 || errno != EINTR) {
				close(p[i].fd);
				(i == 0 ? out_fd : err_fd) = -1;
			}
		}
	}
}

bool
Proc::running()
{
	if (pid < 0)
		return false;
	if (status == -1) {
		int st;
		if (waitpid(pid, &st, WNOHANG) == pid)
			status = st;
	}
	return status == -1;
}

bool
Proc::wait(double seconds)
{
	double end = now() + seconds;
	while (running() || out_fd >= 0 || err_fd >= 0) {
		double left = end - now();
		if (left <= 0)
			return !running();
		if (!running() && left > 1)	// output held open by others
			end = now() + 1;
		collect(out_fd < 0 && err_fd < 0 ? 10 : 20);
		if (out_fd < 0 && err_fd < 0 && running())
			sleep_ms(5);
	}
	return true;
}

void
Proc::signal(int sig)
{
	if (running())
		::kill(pid, sig);
}

void
Proc::kill_and_reap()
{
	if (running()) {
		::kill(pid, SIGKILL);
		wait(5);
	}
}

bool
Proc::exited_with(int code) const
{
	return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

bool
Proc::killed_by(int sig) const
{
	return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

Proc::~Proc()
{
	kill_and_reap();
	if (out_fd >= 0)
		close(out_fd);
	if (err_fd >= 0)
		close(err_fd);
}

// Each thread's state, wait channel, system call and kernel stack, and
// the backtraces of all threads, by gdb where it is installed.
static std::string
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

testing::AssertionResult
stops(Proc &q, double limit)
{
	double t = now();
	if (q.wait(5))
		return testing::AssertionSuccess();
	std::ostringstream s;
	s << "not ended 5 s after it was told to stop; its threads then:\n"
	  << where(q.pid);
	if (!q.wait(limit - 5))
		return testing::AssertionFailure() << s.str() << "still running after "
		    << limit << " s";
	std::cout << s.str() << "it ended after " << now() - t << " s\n";
	return testing::AssertionSuccess();
}

// The watchdog: runs the server, waits for EOF on its standard input (the
// test closed the pipe or died), then stops the server and waits for it.
// A line "kill" on the pipe kills the server at once instead.
static const char watchdog[] =
    "\"$@\" </dev/null >>\"$QT_LOG\" 2>&1 & p=$!\n"
    "while read cmd; do [ \"$cmd\" = kill ] && kill -KILL $p; done\n"
    "kill -TERM $p 2>/dev/null; wait $p\n";

void
Server::start(const std::vector<std::string> &argv, const std::string &logfile,
    Env env)
{
	int k[2];
	cloexec_pipe(k);
	std::vector<std::string> av = {"/bin/sh", "-c", watchdog, "watchdog"};
	av.insert(av.end(), argv.begin(), argv.end());
	log = logfile;
	std::remove(log.c_str());
	env["QT_LOG"] = logfile;
	int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
	shell.pid = spawn(av, env, k[0], devnull, devnull);
	shell.status = -1;
	close(devnull);
	close(k[0]);
	keep_fd = k[1];
}

void
Server::stop()
{
	if (keep_fd >= 0) {
		close(keep_fd);
		keep_fd = -1;
	}
	if (shell.pid > 0) {
		// jackd must exit by itself: a killed one keeps its server slot
		double end = now() + 20;
		while (shell.running() && now() < end)
			sleep_ms(10);
		shell.kill_and_reap();
		shell.pid = -1;
	}
}

void
Server::kill9()
{
	if (keep_fd >= 0 && ::write(keep_fd, "kill\n", 5) != 5)
		abort();
}

bool
Server::alive()
{
	return shell.running();
}

// Fails the test with the server's log when it never came up.
static bool
came_up(Server &s, const char *what, bool (*ready)(const std::string &),
    const std::string &arg)
{
	for (int i = 0; i < 400; i++) {
		if (ready(arg))
			return true;
		if (!s.alive())
			break;
		sleep_ms(25);
	}
	ADD_FAILURE() << what << " never came up; its log, " << s.log << ":\n"
		      << read_file(s.log);
	return false;
}

bool
start_jack(Server &s, const std::string &name,
    const std::vector<std::string> &server_opts,
    const std::vector<std::string> &driver_opts)
{
	std::string log = build_dir() + "/" + server_kind() + "-" + name + ".log";
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

	// ready when a client can get in
	return came_up(s, "the JACK server", [](const std::string &server) {
		jack_client_t *c = jack_client_open("probe",
		    JackOptions(JackNoStartServer | JackServerName), nullptr,
		    server.c_str());
		if (c != nullptr)
			jack_client_close(c);
		return c != nullptr;
	}, name);
}

static std::string
sndiod_log(int unit)
{
	return build_dir() + "/sndiod-" + std::to_string(unit) + ".log";
}

static bool
answers(const std::string &port)
{
	struct mio_hdl *h = mio_open(port.c_str(), MIO_OUT, 0);
	if (h != nullptr)
		mio_close(h);
	return h != nullptr;
}

std::string
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

bool
start_sndiod(Server &s, int unit)
{
	// -dd: it logs what it discards for a reader too slow to take it
	s.start({"sndiod", "-dd", "-U", std::to_string(unit)}, sndiod_log(unit));
	return came_up(s, "sndiod", answers, thru_port(unit));
}

// Graph

static void
on_registration(const char *name, int reg, void *arg)
{
	auto *g = static_cast<Graph *>(arg);
	std::lock_guard<std::mutex> lock(g->mu);
	(reg ? g->registered : g->unregistered).push_back(name);
}

bool
Graph::open(const std::string &name)
{
	server = name;
	c = jack_client_open("graph",
	    JackOptions(JackNoStartServer | JackServerName), nullptr,
	    server.c_str());
	if (c == nullptr)
		return false;
	jack_set_client_registration_callback(c, on_registration, this);
	return jack_activate(c) == 0;
}

// By the registrations seen: PipeWire's libjack goes on finding a uuid
// for a client some seconds after it has gone.
bool
Graph::has_client(const std::string &name)
{
	settle();
	std::lock_guard<std::mutex> lock(mu);
	return std::count(registered.begin(), registered.end(), name) >
	    std::count(unregistered.begin(), unregistered.end(), name);
}

// By the list of ports: jack1's jack_port_by_name may go on finding a port
// some seconds after its client has gone.
bool
Graph::has_port(const std::string &name, double wait_seconds)
{
	return eventually([&] {
		const char **ports = jack_get_ports(c, ("^" + name + "$").c_str(),
		    nullptr, 0);
		bool found = ports != nullptr;
		jack_free(ports);
		return found;
	}, wait_seconds);
}

testing::AssertionResult
Graph::gone(const std::string &name, double seconds)
{
	bool port = name.find(':') != std::string::npos;
	double t = now();
	if (eventually([&] {
		return port ? !has_port(name) : !has_client(name) && !has_port(name + ":.*");
	}, seconds))
		return testing::AssertionSuccess();
	return testing::AssertionFailure() << server_kind() << " server " << server
	    << " still shows " << (port ? "port " : "client ") << name << " after "
	    << now() - t << " s";
}

bool
Graph::ever_registered(const std::string &name)
{
	settle();
	std::lock_guard<std::mutex> lock(mu);
	return std::find(registered.begin(), registered.end(), name) !=
	    registered.end();
}

bool
Graph::is_active(const std::string &port, double wait_seconds)
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

int
Graph::clients_seen()
{
	settle();
	std::lock_guard<std::mutex> lock(mu);
	return static_cast<int>(registered.size() - unregistered.size());
}

// The server sends registrations in order: once a client of our own,
// opened and closed now, has been seen to go, so has every one before it.
void
Graph::settle()
{
	jack_client_t *marker = jack_client_open("settle",
	    JackOptions(JackNoStartServer | JackServerName | JackUseExactName),
	    nullptr, server.c_str());
	ASSERT_NE(marker, nullptr);
	jack_client_close(marker);
	for (double end = now() + 10; now() < end; sleep_ms(5)) {
		std::lock_guard<std::mutex> lock(mu);
		auto gone = std::find(unregistered.begin(), unregistered.end(), "settle");
		if (gone != unregistered.end()) {
			unregistered.erase(gone);
			registered.erase(std::find(registered.begin(), registered.end(), "settle"));
			return;
		}
	}
	ADD_FAILURE() << "registrations never settled";
}

Graph::~Graph()
{
	if (c != nullptr)
		jack_client_close(c);
}

// Whether pid has handlers for SIGINT and SIGTERM, by /proc.
static bool
catches_int_and_term(pid_t pid)
{
	std::ifstream f("/proc/" + std::to_string(pid) + "/status");
	for (std::string line; std::getline(f, line);) {
		if (line.rfind("SigCgt:", 0) == 0) {
			unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
			unsigned long long both = 1ull << (SIGINT - 1) | 1ull << (SIGTERM - 1);
			return (mask & both) == both;
		}
	}
	return false;
}

// PipeWire connects the ports of a client that is not active yet: that
// the signal handlers are in tells the rest.
bool
start_bridge(Proc &q, Graph &graph, const Env &env)
{
	q.start({quarvell_bin()}, env);
	return graph.is_active("quarvell:midi_out") &&
	    eventually([&] { return catches_int_and_term(q.pid); });
}

bool
OwnServers::start(const std::string &name, int unit, Proc &q, const std::string &log)
{
	return start_jack(jackd, name) && start_sndiod(sndiod, unit) &&
	    graph.open(name) && start_bridge(q, graph, faults(bridge_env(name, unit), log));
}

bool
logged(const std::string &log, const std::string &what)
{
	return eventually([&] { return read_file(log).find(what) != std::string::npos; });
}

// Monitor

bool
Monitor::start(const std::string &server, const std::string &source)
{
	p.start({midimon_bin(), source}, client_env(server));
	double end = now() + 15;
	while (p.err.find("listening") == std::string::npos) {
		if (!p.running() || now() > end)
			return false;
		p.collect(20);
	}
	return p.err.find("couldn't") == std::string::npos;
}

void
Monitor::update()
{
	p.collect(0);
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
		all.insert(all.end(), e.data.begin(), e.data.end());
		events.push_back(std::move(e));
		parsed = nl + 1;
	}
}

Bytes
Monitor::wait_bytes(std::size_t n, double seconds)
{
	eventually([&] { update(); return all.size() >= n; }, seconds);
	return all;
}

bool
Monitor::sync(Writer &w)
{
	update();
	std::size_t seen = events.size();
	unsigned char n = 0;
	while (n < 100 && w.write({0xbf, 0x66, n}) &&
	    !eventually([&] { update(); return events.size() > seen; }, 0.1))
		n++;
	bool last = wait_for({0xbf, 0x66, n}, 10);
	events.clear();
	all.clear();
	return last;
}

void
Monitor::wait_events(std::size_t n, double seconds)
{
	eventually([&] { update(); return events.size() >= n; }, seconds);
}

bool
Monitor::wait_for(const Bytes &last, double seconds)
{
	return eventually([&] {
		update();
		return !events.empty() && events.back().data == last;
	}, seconds);
}

unsigned long
Monitor::dropped()
{
	update();
	auto at = p.err.rfind("midimon: dropped ");
	return at == std::string::npos ? 0 : std::stoul(p.err.substr(at + 17));
}

void
Monitor::stop()
{
	p.signal(SIGTERM);
	p.wait(5);
}

// Writer

bool
Writer::open(const std::string &port)
{
	h = mio_open(port.c_str(), MIO_OUT, 0);
	unit = std::atoi(port.c_str() + port.find(',') + 1);
	return h != nullptr;
}

bool
Writer::write(const Bytes &b, std::size_t chunk, int pause_us)
{
	for (std::size_t i = 0; i < b.size(); i += chunk) {
		std::size_t n = std::min(chunk, b.size() - i);
		std::size_t done = mio_write(h, b.data() + i, n);
		if (done != n) {
			if (strict)
				ADD_FAILURE() << "short write into sndio: " << done
					      << " of " << n << " bytes at offset " << i
					      << "; " << sndiod_gone(unit);
			return false;
		}
		if (pause_us > 0 && i + n < b.size())
			usleep(pause_us);
	}
	return true;
}

Writer::~Writer()
{
	if (h != nullptr)
		mio_close(h);
}

std::string
diff(const Bytes &got, const Bytes &want)
{
	if (got == want)
		return "";
	auto m = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
	std::ostringstream s;
	s << "got " << got.size() << " bytes, want " << want.size()
	  << ", first difference at " << (m.first - got.begin()) << ":";
	std::size_t at = m.first - got.begin(), from = at > 8 ? at - 8 : 0;
	for (const Bytes *b : {&got, &want}) {
		s << "\n ";
		for (std::size_t i = from; i < b->size() && i < at + 8; i++)
			s << ' ' << std::hex << unsigned((*b)[i]) << std::dec;
	}
	return s.str();
}

std::string
diff(const std::vector<Event> &got, const std::vector<Bytes> &want)
{
	std::size_t i = 0;
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

// PipeWire's libjack drops a reader's cycle now and then, without a word:
// some one in 700 here, between two clients that quarvell is not one of.
bool
server_loses_cycles()
{
	return server_kind() == "pipewire";
}

std::string
diff_stream(const std::vector<Event> &got, const std::vector<Bytes> &want)
{
	if (!server_loses_cycles())
		return diff(got, want);
	std::size_t j = 0;
	for (std::size_t i = 0; i < got.size(); i++, j++) {
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

std::string
hex(const Bytes &b)
{
	std::ostringstream s;
	for (unsigned char c : b)
		s << (s.tellp() > 0 ? " " : "") << std::hex << std::setw(2)
		  << std::setfill('0') << unsigned(c);
	return s.str();
}

Bytes
midi_stream(std::size_t size, unsigned seed, std::vector<Bytes> *events)
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

} // namespace qt
