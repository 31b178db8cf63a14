// The real quarvell binary reading a MIDI device, as it reads a keyboard:
// snd-virmidi's card 0 in a real Linux kernel (tests/kernel.sh), between a
// private JACK server.  The kernel's sequencer carries what the tests
// write into the card's second device (rmidi/0,1) to its first (rmidi/0),
// which quarvell reads through libsndio and ALSA.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <sound/asequencer.h>

#include <random>
#include <thread>

#include "harness.h"

using namespace qt;

// alsa-lib keeps 40 bytes for its messages when a process opens devices
// again, as this one does; LeakSanitizer would blame the test for them
extern "C" const char *
__lsan_default_suppressions()
{
	return "leak:snd_output_stdio_attach\n";
}

namespace {

const char SERVER[] = "qv_device";
const char PORT[] = "quarvell:midi_out";
const char DEVICE[] = "rmidi/0";	// midiC0D0, read by quarvell
const char INPUT[] = "rmidi/0,1";	// midiC0D1, written by the tests
const Env ENV = jack_env(SERVER);
const std::string DRIVER = "/sys/bus/platform/drivers/snd_virmidi/";

// the sequencer client of card 0's raw MIDI device dev, or -1
int
seq_client(int dev)
{
	std::istringstream in(read_file("/proc/asound/seq/clients"));
	std::string name = "\"Virtual Raw MIDI 0-" + std::to_string(dev) + "\"";
	for (std::string line; std::getline(in, line);)
		if (line.rfind("Client ", 0) == 0 && line.find(name) != std::string::npos)
			return std::stoi(line.substr(7));
	return -1;
}

// What is written into device 1 comes out of device 0, as aconnect 17:0
// 16:0 would have it; the connection lasts until the card goes.
bool
route()
{
	struct snd_seq_port_subscribe sub {};
	int from = seq_client(1), to = seq_client(0);
	int fd = open("/dev/snd/seq", O_RDWR | O_CLOEXEC);
	sub.sender.client = static_cast<unsigned char>(from);
	sub.dest.client = static_cast<unsigned char>(to);
	bool done = fd >= 0 && from >= 0 && to >= 0 &&
	    (ioctl(fd, SNDRV_SEQ_IOCTL_SUBSCRIBE_PORT, &sub) == 0 || errno == EBUSY);
	if (fd >= 0)
		close(fd);
	return done;
}

// plugs card 0 in ("bind") or pulls it out ("unbind"); an unbind returns
// once the last program that holds the card has let go of it
bool
plug(const std::string &how)
{
	std::ofstream f(DRIVER + how);
	f << "snd_virmidi.0" << std::flush;
	return f.good();
}

bool
plugged_in()
{
	return access((DRIVER + "snd_virmidi.0").c_str(), F_OK) == 0 &&
	    access("/dev/snd/midiC0D0", F_OK) == 0 && seq_client(1) >= 0;
}

class Device : public ::testing::Test {
    protected:
	static inline Server jackd;
	static inline bool up;
	Graph graph;

	static void SetUpTestSuite()
	{
		if (std::getenv("QT_MACHINE") != nullptr)
			up = start_jack(jackd, SERVER);
	}

	static void TearDownTestSuite() { jackd.stop(); }

	void SetUp() override
	{
		if (std::getenv("QT_MACHINE") == nullptr)
			GTEST_SKIP() << "pulls sound cards out: runs only under tests/kernel.sh";
		ASSERT_TRUE(up) << "the suite's JACK server did not start";
		if (!plugged_in())
			plug("bind");
		ASSERT_TRUE(eventually(plugged_in)) << read_file("/proc/asound/cards");
		ASSERT_TRUE(route()) << read_file("/proc/asound/seq/clients");
		ASSERT_TRUE(graph.open(SERVER));
	}

	// quarvell reading the device, and a monitor on its port that w,
	// into the card's second device, feeds
	testing::AssertionResult start(Proc &q, Monitor &mon, Writer &w, const Env &env = ENV)
	{
		testing::AssertionResult bridge = start_bridge(q, graph, env, {"-p", DEVICE});
		return bridge ? mon.start(SERVER, PORT, w, INPUT) : bridge;
	}

	// what is written into the device comes out of quarvell as want
	void expect_through(const Bytes &written, const std::vector<Bytes> &want)
	{
		Proc q;
		Monitor mon;
		Writer w;
		ASSERT_TRUE(start(q, mon, w));
		ASSERT_TRUE(w.write(written));
		mon.wait_events(want.size(), 30);
		EXPECT_EQ(mon.dropped(), 0u);
		EXPECT_EQ(diff(mon.events, want, server_loses_cycles()), "");
		ASSERT_TRUE(ends_well(q));
	}
};

TEST_F(Device, EveryKindOfMessageArrivesWhole)
{
	// each channel message, with running status, system common, a clock
	// inside a note, active sensing inside a SysEx and alone
	const std::vector<Bytes> want = {{0x90, 0x3c, 0x64}, {0x90, 0x3e, 0x64},
	    {0x80, 0x3c, 0x00}, {0xa0, 0x3c, 0x20}, {0xb0, 0x07, 0x64}, {0xc0, 0x05},
	    {0xc0, 0x06}, {0xd0, 0x30}, {0xe0, 0x00, 0x40}, {0xf1, 0x10}, {0xf2, 0x01, 0x02},
	    {0xf3, 0x03}, {0xf6}, {0xf8}, {0x90, 0x40, 0x64}, {0xfe},
	    {0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7}, {0xfe}};
	expect_through({0x90, 0x3c, 0x64, 0x3e, 0x64, 0x80, 0x3c, 0x00, 0xa0, 0x3c, 0x20,
	    0xb0, 0x07, 0x64, 0xc0, 0x05, 0x06, 0xd0, 0x30, 0xe0, 0x00, 0x40, 0xf1, 0x10,
	    0xf2, 0x01, 0x02, 0xf3, 0x03, 0xf6, 0x90, 0x40, 0xf8, 0x64,
	    0xf0, 0x7e, 0xfe, 0x7f, 0x06, 0x01, 0xf7, 0xfe}, want);
}

TEST_F(Device, PatchDumpArrivesWholeInPieces)
{
	// 16 KB, four times the kernel's buffer, from one writer: a SysEx
	// split over two opens of a device loses its tail in the kernel
	std::mt19937 rng(3);
	Bytes dump = {0xf0, 0x43, 0x00, 0x09, 0x20, 0x00};
	while (dump.size() < (16 << 10) - 1)
		dump.push_back(static_cast<unsigned char>(rng() % 128));
	dump.push_back(0xf7);
	std::vector<Bytes> want;
	for (std::size_t i = 0; i < dump.size(); i += 256)
		want.emplace_back(dump.begin() + i, dump.begin() + std::min(dump.size(), i + 256));
	expect_through(dump, want);
}

TEST_F(Device, PulledOutWhileMidiFlows)
{
	Proc q;
	Monitor mon;
	Writer w;
	std::string log = in_build("device-gone.log");
	ASSERT_TRUE(start(q, mon, w, faults(ENV, log)));

	// notes until the card goes, when the writes fail and w lets go
	std::thread notes([&] {
		w.strict = false;
		for (unsigned char n = 0; w.write({0x90, static_cast<unsigned char>(n % 128), 64});
		    n++)
			sleep_ms(5);
		mio_close(w.h);
		w.h = nullptr;
	});
	EXPECT_TRUE(mon.wait_events(10, 10)) << "no MIDI flowed";
	std::atomic<bool> unbound{false};
	std::thread pull([&] { plug("unbind"); unbound = true; });

	// quarvell finds it gone and goes on, with empty cycles
	EXPECT_TRUE(logged(log, "mio_read eof"));
	notes.join();
	sleep_ms(500);
	EXPECT_TRUE(q.running()) << q.status << q.err;
	EXPECT_TRUE(graph.has_port(PORT));
	std::size_t seen = (mon.update(), mon.events.size());
	sleep_ms(500);
	EXPECT_EQ((mon.update(), mon.events.size()), seen);

	// it ends in order, and lets go of the card
	ASSERT_TRUE(ends_well(q));
	EXPECT_TRUE(eventually([&] { return unbound.load(); }))
	    << "the card is still held after quarvell ended";
	pull.join();
	EXPECT_TRUE(graph.gone("quarvell"));
}

TEST_F(Device, AbsentOrBusyAtStart)
{
	// no card 7; and card 0's first device held by others: each of its
	// 16 inputs, where a keyboard's has one
	std::vector<int> held;
	for (int fd; held.size() < 64 &&
	    (fd = open("/dev/snd/midiC0D0", O_RDONLY | O_NONBLOCK | O_CLOEXEC)) >= 0;)
		held.push_back(fd);
	ASSERT_EQ(errno, EBUSY) << "after " << held.size() << " opens";
	for (std::string port : {"rmidi/7", DEVICE}) {
		SCOPED_TRACE(port);
		Proc q;
		start_quarvell(q, ENV, {"-p", port});
		ASSERT_TRUE(q.wait(10));
		EXPECT_TRUE(q.exited_with(1)) << q.status;
		EXPECT_EQ(own(q), "couldn't open sndio port: " + port + "\n") << q.err;
	}
	for (int fd : held)
		close(fd);
	EXPECT_FALSE(graph.ever_registered("quarvell"));
}

} // namespace
