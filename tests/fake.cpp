// Faults injected into libjack and libsndio, preloaded into the real
// quarvell binary.  Each call passes through to the real library unless
// the environment asks otherwise:
//
//   QF_LOG=path         append each open and close call to path, and the
//                       first mio_read that finds the sndio port gone
//   QF_FAIL_ACTIVATE=1  jack_activate fails
//   QF_RAISE=when       raise SIGTERM and SIGINT, twice each, right after
//                       mio_open ("mio_open"), once SIGTERM has a handler
//                       ("sigaction"), in jack_activate ("activate"), in
//                       jack_client_close ("close"); or SIGTERM alone just
//                       before the idle loop's first poll ("poll"), or to
//                       the process right after libdb, in jack_client_open,
//                       has taken the first lock of libjack's metadata
//                       database ("db"), where a kill leaves it locked
//   QF_WRITE_RATE=n     mio_write takes at most n bytes a second, as a
//                       DIN port does some 3125; on a blocking handle
//                       it waits until it may take them all
//   QF_OWN=path         write into path (emptied first) what the program
//                       itself writes on standard output or error, by
//                       libc or libstdc++ or write(2); what another
//                       library writes there (libjack, libsndio,
//                       alsa-lib) is left out.  Whose it is, the stack
//                       tells: the first frame outside the runtimes.
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <stdarg.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/auxv.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <jack/jack.h>
#include <sndio.h>

namespace {

template <typename F>
F
real(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool
is(const char *var, const char *value)
{
	const char *v = std::getenv(var);
	return v != nullptr && std::strcmp(v, value) == 0;
}

// a line that cannot be written is missing, which the test sees
void
log_call(const char *name, const char *arg = nullptr)
{
	const char *path = std::getenv("QF_LOG");
	int fd = path != nullptr ? open(path, O_WRONLY | O_APPEND | O_CREAT, 0644) : -1;
	if (fd >= 0) {
		dprintf(fd, "%s%s%s\n", name, arg != nullptr ? " " : "", arg != nullptr ? arg : "");
		close(fd);
	}
}

void
raise_both(const char *when)
{
	if (is("QF_RAISE", when))
		for (int sig : {SIGTERM, SIGINT, SIGTERM, SIGINT})
			raise(sig);
}

bool in_open, activated;
pthread_t main_thread = pthread_self();

// QF_RAISE=db: libdb has opened a file of the database, and has taken
// its first lock since
bool db_opened, db_locked;

bool
from_libdb(void *caller)
{
	Dl_info info;
	return dladdr(caller, &info) != 0 && info.dli_fname != nullptr &&
	    std::strstr(info.dli_fname, "libdb") != nullptr;
}

int
noting_open(const char *name, const char *path, int flags, va_list ap,
    void *caller)
{
	mode_t mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(ap, int) : 0;
	if (path != nullptr && std::strstr(path, "/jack_db") != nullptr &&
	    from_libdb(caller) && is("QF_RAISE", "db"))
		db_opened = true;
	return real<int (*)(const char *, int, ...)>(name)(path, flags, mode);
}

// QF_OWN: the program's own output goes into own_fd too
int own_fd = -1;
void *program_base, *fake_base;
FILE *real_stdout, *real_stderr;

bool
runtime(const Dl_info &info)
{
	if (info.dli_fbase == fake_base)
		return true;
	const char *f = info.dli_fname != nullptr ? info.dli_fname : "";
	const char *base = std::strrchr(f, '/') != nullptr ? std::strrchr(f, '/') + 1 : f;
	for (const char *lib : {"libc.so", "libstdc++.so", "libgcc_s.so", "libasan.so",
	    "libubsan.so", "libtsan.so", "ld-linux"})
		if (std::strncmp(base, lib, std::strlen(lib)) == 0)
			return true;
	return false;
}

// whether the program's code asked for the output being written
bool
from_program()
{
	void *frames[64];
	int n = backtrace(frames, 64);
	for (int i = 0; i < n; i++) {
		Dl_info info;
		if (dladdr(static_cast<char *>(frames[i]) - 1, &info) == 0)
			return false;
		if (info.dli_fbase == program_base)
			return true;
		if (!runtime(info))
			return false;
	}
	return false;
}

ssize_t
real_write(int fd, const void *buf, size_t n)
{
	static auto w = real<ssize_t (*)(int, const void *, size_t)>("write");
	return w(fd, buf, n);
}

void
note(const void *buf, size_t n)
{
	if (own_fd >= 0 && from_program())
		real_write(own_fd, buf, n);
}

ssize_t
noting_write(void *fd, const char *buf, size_t n)
{
	note(buf, n);
	return real_write(static_cast<int>(reinterpret_cast<std::intptr_t>(fd)), buf, n);
}

// stdout and stderr become unbuffered streams that note as they write,
// while whoever writes is still on the stack
__attribute__((constructor)) void
watch_output()
{
	const char *path = std::getenv("QF_OWN");
	Dl_info info;
	if (path == nullptr || dladdr(reinterpret_cast<void *>(getauxval(AT_PHDR)), &info) == 0)
		return;
	program_base = info.dli_fbase;
	if (dladdr(reinterpret_cast<void *>(&watch_output), &info) != 0)
		fake_base = info.dli_fbase;
	own_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
	// not for what it runs, such as jack1's "jackd -l"
	unsetenv("QF_OWN");
	// backtrace loads libgcc_s the first time: now, not in a signal handler
	void *frame;
	backtrace(&frame, 1);
	cookie_io_functions_t io = {nullptr, noting_write, nullptr, nullptr};
	real_stdout = stdout;
	real_stderr = stderr;
	for (FILE **f : {&stdout, &stderr}) {
		FILE *c = fopencookie(reinterpret_cast<void *>(std::intptr_t{f == &stdout ? 1 : 2}),
		    "w", io);
		if (c != nullptr && setvbuf(c, nullptr, _IONBF, 0) == 0)
			*f = c;
	}
}

} // namespace

extern "C" {

// what bypasses stdio: write(2), and std::cout and std::cerr, which
// libstdc++ may have tied to the real streams before watch_output ran
ssize_t
write(int fd, const void *buf, size_t n)
{
	if (fd == 1 || fd == 2)
		note(buf, n);
	return real_write(fd, buf, n);
}

size_t
fwrite(const void *p, size_t size, size_t n, FILE *f)
{
	if (f == real_stdout || f == real_stderr)
		note(p, size * n);
	return real<size_t (*)(const void *, size_t, size_t, FILE *)>("fwrite")(p, size, n, f);
}

int
putc(int c, FILE *f)
{
	const char b = static_cast<char>(c);
	if (f == real_stdout || f == real_stderr)
		note(&b, 1);
	return real<int (*)(int, FILE *)>("putc")(c, f);
}

int
open(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	int fd = noting_open("open", path, flags, ap, __builtin_return_address(0));
	va_end(ap);
	return fd;
}

int
open64(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	int fd = noting_open("open64", path, flags, ap, __builtin_return_address(0));
	va_end(ap);
	return fd;
}

int
pthread_mutex_lock(pthread_mutex_t *m)
{
	// looked up on the first call, which may come before any initialiser
	// of this library has run; dlsym takes no lock through here
	static int (*lock)(pthread_mutex_t *);
	if (lock == nullptr)
		lock = real<int (*)(pthread_mutex_t *)>("pthread_mutex_lock");
	if (!db_opened || db_locked || !from_libdb(__builtin_return_address(0)))
		return lock(m);
	db_locked = true;
	int r = lock(m);
	log_call("db locked");
	kill(getpid(), SIGTERM);
	return r;
}

bool blocking;

struct mio_hdl *
mio_open(const char *port, unsigned mode, int nbio)
{
	log_call("mio_open", port);
	blocking = nbio == 0;
	struct mio_hdl *h = real<struct mio_hdl *(*)(const char *, unsigned,
	    int)>("mio_open")(port, mode, nbio);
	raise_both("mio_open");
	return h;
}

size_t
mio_write(struct mio_hdl *h, const void *buf, size_t n)
{
	static double start = -1, taken;
	const char *rate = std::getenv("QF_WRITE_RATE");
	auto write = real<size_t (*)(struct mio_hdl *, const void *, size_t)>("mio_write");
	if (rate == nullptr)
		return write(h, buf, n);
	struct timespec ts;
	for (;;) {
		clock_gettime(CLOCK_MONOTONIC, &ts);
		double t = ts.tv_sec + ts.tv_nsec / 1e9;
		if (start < 0)
			start = t;
		double may = (t - start) * std::atof(rate) - taken;
		if (!blocking || may >= n) {
			n = write(h, buf, may < n ? static_cast<size_t>(may) : n);
			taken += n;
			return n;
		}
		poll(nullptr, 0, 1);
	}
}

int
sigaction(int sig, const struct sigaction *sa, struct sigaction *old)
{
	// SIGTERM's first: a sanitizer's signal() comes through here too
	static bool first = true;
	int r = real<int (*)(int, const struct sigaction *, struct sigaction *)>(
	    "sigaction")(sig, sa, old);
	if (first && sig == SIGTERM && sa != nullptr) {
		first = false;
		raise_both("sigaction");
	}
	return r;
}

jack_client_t *
jack_client_open(const char *name, jack_options_t options,
    jack_status_t *status, ...)
{
	log_call("jack_client_open", name);
	// quarvell passes no server name: the variadic part stays unused
	in_open = true;
	jack_client_t *c = real<jack_client_t *(*)(const char *, jack_options_t,
	    jack_status_t *, ...)>("jack_client_open")(name, options, status);
	in_open = false;
	return c;
}

int
jack_activate(jack_client_t *c)
{
	raise_both("activate");
	if (is("QF_FAIL_ACTIVATE", "1"))
		return -1;
	int r = real<int (*)(jack_client_t *)>("jack_activate")(c);
	activated = r == 0;
	if (activated)
		log_call("jack_activate");
	return r;
}

// the idle loop's first poll, after activation, on the main thread
int
poll(struct pollfd *fds, nfds_t n, int timeout)
{
	static bool raised;
	auto real_poll = real<int (*)(struct pollfd *, nfds_t, int)>("poll");
	if (activated && !raised && pthread_equal(pthread_self(), main_thread) &&
	    is("QF_RAISE", "poll")) {
		raised = true;
		raise(SIGTERM);
		int r = real_poll(fds, n, timeout);
		log_call("poll", r > 0 ? "woken" : r == 0 ? "timed out" : "interrupted");
		return r;
	}
	return real_poll(fds, n, timeout);
}

int
jack_client_close(jack_client_t *c)
{
	// PipeWire's jack_client_open closes what it failed to open
	if (!in_open) {
		log_call("jack_client_close");
		raise_both("close");
	}
	return real<int (*)(jack_client_t *)>("jack_client_close")(c);
}

void
mio_close(struct mio_hdl *h)
{
	log_call("mio_close");
	real<void (*)(struct mio_hdl *)>("mio_close")(h);
}

size_t
mio_read(struct mio_hdl *h, void *buf, size_t n)
{
	static bool told;
	n = real<size_t (*)(struct mio_hdl *, void *, size_t)>("mio_read")(h, buf, n);
	if (n == 0 && !told && mio_eof(h)) {
		told = true;
		log_call("mio_read eof");
	}
	return n;
}

} // extern "C"
