/*
 * midimon: print the MIDI events arriving on a JACK input port, one line
 * an event: the cycle, the frame offset, the length and the bytes in hex.
 *
 *	midimon [-n client_name] [source_port ...]
 *
 * Each source port is connected to midimon's own "in" port, waiting up to
 * ten seconds for it to appear.  "midimon: listening" on standard error
 * says that the connections are made: the process callback has seen them.
 * Events that find the ring buffer full are counted, and the count is
 * printed as "midimon: dropped N events" whenever it grows.  Runs until
 * SIGINT or SIGTERM.
 */
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <unistd.h>

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

namespace {

struct header {
	std::uint64_t cycle;
	std::uint32_t offset;
	std::uint32_t size;
};

jack_client_t *mon;
jack_port_t *in_port;
jack_ringbuffer_t *rb;
std::uint64_t cycles;
std::atomic<unsigned long> dropped;
std::atomic<bool> connected;
volatile std::sig_atomic_t done;

int
process(jack_nframes_t nframes, void *)
{
	void *buf = jack_port_get_buffer(in_port, nframes);
	std::uint32_t n = jack_midi_get_event_count(buf);

	if (!connected && jack_port_connected(in_port) > 0)
		connected = true;
	for (std::uint32_t i = 0; i < n; i++) {
		jack_midi_event_t ev;
		if (jack_midi_event_get(&ev, buf, i) != 0)
			continue;
		header h{cycles, ev.time, static_cast<std::uint32_t>(ev.size)};
		if (jack_ringbuffer_write_space(rb) < sizeof h + ev.size) {
			dropped += n - i;
			break;
		}
		jack_ringbuffer_write(rb, reinterpret_cast<char *>(&h), sizeof h);
		jack_ringbuffer_write(rb, reinterpret_cast<char *>(ev.buffer),
		    ev.size);
	}
	cycles++;
	return 0;
}

void
on_signal(int)
{
	done = 1;
}

void
drain()
{
	header h;
	unsigned char data[256];

	/* the process thread writes header and data apart: wait for both */
	while (jack_ringbuffer_peek(rb, reinterpret_cast<char *>(&h), sizeof h) ==
	    sizeof h && jack_ringbuffer_read_space(rb) >= sizeof h + h.size) {
		jack_ringbuffer_read_advance(rb, sizeof h);
		std::printf("cycle %llu offset %u len %u:",
		    static_cast<unsigned long long>(h.cycle), h.offset, h.size);
		for (std::uint32_t done = 0; done < h.size;) {
			std::uint32_t n = std::min<std::uint32_t>(h.size - done, sizeof data);
			jack_ringbuffer_read(rb, reinterpret_cast<char *>(data), n);
			for (std::uint32_t i = 0; i < n; i++)
				std::printf(" %02x", data[i]);
			done += n;
		}
		std::printf("\n");
	}
	std::fflush(stdout);
}

bool
connect_when_there(const char *src)
{
	// the port may not be there yet, or show before its client is
	// active, and JACK connects only the ports of active clients
	for (int i = 0; i < 200; i++) {
		if (jack_connect(mon, src, jack_port_name(in_port)) == 0)
			return true;
		poll(nullptr, 0, 50);
	}
	return false;
}

} // namespace

int
main(int argc, char **argv)
{
	const char *name = "midimon";
	int ch;

	while ((ch = getopt(argc, argv, "+n:")) != -1) {
		if (ch != 'n') {
			std::fprintf(stderr,
			    "usage: midimon [-n client_name] [source_port ...]\n");
			return 1;
		}
		name = optarg;
	}

	mon = jack_client_open(name, JackNoStartServer, nullptr);
	if (mon == nullptr) {
		std::fprintf(stderr, "midimon: couldn't open jack client\n");
		return 1;
	}
	rb = jack_ringbuffer_create(1 << 20);
	in_port = jack_port_register(mon, "in", JACK_DEFAULT_MIDI_TYPE,
	    JackPortIsInput, 0);
	if (rb == nullptr || in_port == nullptr) {
		std::fprintf(stderr, "midimon: couldn't register port\n");
		jack_client_close(mon);
		return 1;
	}
	jack_set_process_callback(mon, process, nullptr);
	std::signal(SIGINT, on_signal);
	std::signal(SIGTERM, on_signal);
	if (jack_activate(mon) != 0) {
		std::fprintf(stderr, "midimon: couldn't activate\n");
		jack_client_close(mon);
		return 1;
	}
	bool any = false;
	for (int i = optind; i < argc; i++) {
		if (connect_when_there(argv[i]))
			any = true;
		else
			std::fprintf(stderr, "midimon: couldn't connect %s\n",
			    argv[i]);
	}
	/* a connection counts once a cycle has run with it */
	while (any && !connected && !done)
		poll(nullptr, 0, 5);
	std::fprintf(stderr, "midimon: listening\n");

	unsigned long told = 0;
	while (!done) {
		drain();
		if (dropped != told) {
			told = dropped;
			std::fprintf(stderr, "midimon: dropped %lu events\n", told);
		}
		poll(nullptr, 0, 10);
	}
	jack_client_close(mon);
	drain();
	jack_ringbuffer_free(rb);
	return 0;
}
