// Faults injected into libjack and libsndio, preloaded into the real
// quarvell binary.  Each call passes through to the real library unless
// the environment asks otherwise:
//
//   QF_LOG=path         append each open and close call to path
//   QF_FAIL_ACTIVATE=1  jack_activate fails
//   QF_RAISE=when       raise SIGTERM and SIGINT, twice each, right after
//                       mio_open ("mio_open"), after the first sigaction
//                       ("sigaction"), in jack_activate ("activate") or in
//                       jack_client_close ("close")
//   QF_ROOM=n           a cycle's MIDI buffer takes at most n bytes
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <jack/jack.h>
#include <jack/midiport.h>
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

void
log_call(const char *name, const char *arg = nullptr)
{
	const char *path = std::getenv("QF_LOG");
	if (path == nullptr)
		return;
	int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
	if (fd >= 0) {
		std::string line = name;
		if (arg != nullptr)
			line = line + " " + arg;
		line += "\n";
		if (write(fd, line.data(), line.size()) < 0) {
			// the test sees the missing line
		}
		close(fd);
	}
}

void
raise_both(const char *when)
{
	if (is("QF_RAISE", when)) {
		for (int sig : {SIGTERM, SIGINT, SIGTERM, SIGINT})
			raise(sig);
	}
}

// bytes written into the current cycle's buffer, and the cap on them
std::size_t used;

std::size_t
room_cap()
{
	static const char *v = std::getenv("QF_ROOM");
	return v != nullptr ? std::strtoul(v, nullptr, 10) : SIZE_MAX;
}

} // namespace

extern "C" {

struct mio_hdl *
mio_open(const char *port, unsigned mode, int nbio)
{
	log_call("mio_open", port);
	struct mio_hdl *h = real<struct mio_hdl *(*)(const char *, unsigned,
	    int)>("mio_open")(port, mode, nbio);
	raise_both("mio_open");
	return h;
}

int
sigaction(int sig, const struct sigaction *sa, struct sigaction *old)
{
	static bool first = true;
	int r = real<int (*)(int, const struct sigaction *, struct sigaction *)>(
	    "sigaction")(sig, sa, old);
	if (first && sa != nullptr) {
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
	return real<jack_client_t *(*)(const char *, jack_options_t,
	    jack_status_t *, ...)>("jack_client_open")(name, options, status);
}

int
jack_activate(jack_client_t *c)
{
	raise_both("activate");
	if (is("QF_FAIL_ACTIVATE", "1"))
		return -1;
	return real<int (*)(jack_client_t *)>("jack_activate")(c);
}

int
jack_client_close(jack_client_t *c)
{
	log_call("jack_client_close");
	raise_both("close");
	return real<int (*)(jack_client_t *)>("jack_client_close")(c);
}

void
mio_close(struct mio_hdl *h)
{
	log_call("mio_close");
	real<void (*)(struct mio_hdl *)>("mio_close")(h);
}

void
jack_midi_clear_buffer(void *buf)
{
	used = 0;
	real<void (*)(void *)>("jack_midi_clear_buffer")(buf);
}

size_t
jack_midi_max_event_size(void *buf)
{
	std::size_t n = real<size_t (*)(void *)>("jack_midi_max_event_size")(buf);
	std::size_t left = room_cap() > used ? room_cap() - used : 0;
	return n < left ? n : left;
}

int
jack_midi_event_write(void *buf, jack_nframes_t time,
    const jack_midi_data_t *data, size_t size)
{
	if (used + size > room_cap())
		return ENOBUFS;
	used += size;
	return real<int (*)(void *, jack_nframes_t, const jack_midi_data_t *,
	    size_t)>("jack_midi_event_write")(buf, time, data, size);
}

} // extern "C"
