// The real quarvell binary between a private jackd and a private sndiod.
#include <gtest/gtest.h>

#include <signal.h>

#include <map>

#include "harness.h"

using namespace qt;

namespace {

const char SERVER[] = "qv_bridge";
constexpr int UNIT = 11;
const char PORT[] = "quarvell:midi_out";

// what the fault library logs of a run that got as far as a JACK client
const std::string OPENED = "mio_open default\njack_client_open quarvell\n";
const std::string ACQUIRED_AND_RELEASED = OPENED + "jack_client_close\nmio_close\n";

class Bridge : public ServerSuite<SERVER, UNIT> {
    protected:
	// Starts the bridge and waits for its port.
	void start(Proc &q, const Env &env = bridge_env(SERVER, UNIT))
	{
		ASSERT_TRUE(start_bridge(q, graph, env)) << q.err;
	}

	// Stops it with the given signals and checks the orderly end.
	void stop(Proc &q, const std::vector<int> &sigs)
	{
		for (int s : sigs)
			q.signal(s);
		ASSERT_TRUE(q.wait(5));
		EXPECT_TRUE(q.exited_with(0)) << q.status;
		EXPECT_EQ(q.out, "");
		EXPECT_EQ(q.err, "");
		EXPECT_FALSE(graph.has_port(PORT));
		EXPECT_FALSE(graph.has_client("quarvell"));
	}
};

TEST_F(Bridge, ForwardsEveryByteRawAtOffsetZero)
{
	Proc q;
	Monitor mon;
	Writer w;
	ASSERT_NO_FATAL_FAILURE(start(q));
	ASSERT_TRUE(mon.start(SERVER, PORT));
	ASSERT_TRUE(w.open(thru_port(UNIT)));

	// a short phrase arrives as it was written
	Bytes phrase = {0x90, 60, 100, 0xb0, 7, 90, 0x80, 60, 0};
	w.write(phrase);
	EXPECT_EQ(diff(mon.wait_bytes(phrase.size(), 10), phrase), "");

	// then tens of KB: notes, controllers, long SysEx, real-time bytes
	Bytes stream = midi_stream(40000, 1);
	w.write(stream);
	Bytes want = phrase;
	want.insert(want.end(), stream.begin(), stream.end());
	EXPECT_EQ(diff(mon.wait_bytes(want.size(), 30), want), "");
	for (auto &e : mon.events) {
		EXPECT_EQ(e.offset, 0u);
		EXPECT_GE(e.data.size(), 1u);
		EXPECT_LE(e.data.size(), 256u);
	}

	// idle cycles add nothing
	std::size_t n = mon.events.size();
	sleep_ms(300);
	mon.update();
	EXPECT_EQ(mon.events.size(), n);

	stop(q, {SIGTERM});
}

TEST_F(Bridge, FullBufferDeliversTheRestInLaterCycles)
{
	Proc q;
	Monitor mon;
	Writer w;
	std::string log = build_dir() + "/full.log";
	ASSERT_NO_FATAL_FAILURE(start(q, faults(bridge_env(SERVER, UNIT), log,
	    {{"QF_ROOM", "100"}})));
	ASSERT_TRUE(mon.start(SERVER, PORT));
	ASSERT_TRUE(w.open(thru_port(UNIT)));

	// 2000 bytes at once, where a cycle takes only 100
	Bytes burst = midi_stream(2000, 2);
	w.write(burst, burst.size(), 0);
	EXPECT_EQ(diff(mon.wait_bytes(burst.size(), 20), burst), "");

	std::map<unsigned long, std::size_t> per_cycle;
	for (auto &e : mon.events)
		per_cycle[e.cycle] += e.data.size();
	for (auto &[cycle, n] : per_cycle)
		EXPECT_LE(n, 100u) << "cycle " << cycle;
	EXPECT_GE(per_cycle.size(), burst.size() / 100);

	stop(q, {SIGTERM});
}

TEST_F(Bridge, EachSignalReleasesOnceInOrder)
{
	// the raise in jack_client_close puts both signals into the release
	const std::vector<std::pair<std::vector<int>, const char *>> cases = {
	    {{SIGINT}, ""}, {{SIGTERM}, ""}, {{SIGINT, SIGTERM}, ""},
	    {{SIGTERM}, "close"}};
	for (auto &[sigs, raise_at] : cases) {
		SCOPED_TRACE(testing::Message() << "signals " << sigs.size()
		    << " first " << sigs[0] << " raise " << raise_at);
		Proc q;
		std::string log = build_dir() + "/signal.log";
		ASSERT_NO_FATAL_FAILURE(start(q, faults(bridge_env(SERVER, UNIT),
		    log, {{"QF_RAISE", raise_at}})));
		sleep_ms(100);
		ASSERT_NO_FATAL_FAILURE(stop(q, sigs));
		EXPECT_EQ(read_file(log), ACQUIRED_AND_RELEASED);
	}
}

TEST_F(Bridge, FailedActivationReleasesWhatItHolds)
{
	// also with both signals arriving during the failure
	for (const char *raise_at : {"", "activate"}) {
		SCOPED_TRACE(raise_at);
		Proc q;
		std::string log = build_dir() + "/activate.log";
		q.start({quarvell_bin()}, faults(bridge_env(SERVER, UNIT), log,
		    {{"QF_FAIL_ACTIVATE", "1"}, {"QF_RAISE", raise_at}}));
		ASSERT_TRUE(q.wait(10));
		EXPECT_TRUE(q.exited_with(1)) << q.status;
		EXPECT_EQ(q.err, "couldn't activate jack client\n");
		EXPECT_EQ(q.out, "");
		EXPECT_EQ(read_file(log), ACQUIRED_AND_RELEASED);
		EXPECT_FALSE(graph.has_client("quarvell"));
	}
}

TEST_F(Bridge, BadSndioPortNeverShowsAClient)
{
	Proc q;
	Env env = bridge_env(SERVER, UNIT);
	env["MIDIDEVICE"] = "midithru,15/0";	// no sndiod there
	q.start({quarvell_bin()}, env);
	ASSERT_TRUE(q.wait(10));
	EXPECT_TRUE(q.exited_with(1)) << q.status;
	EXPECT_EQ(q.err, "couldn't open sndio port: default\n");
	EXPECT_EQ(q.out, "");
	sleep_ms(100);
	EXPECT_FALSE(graph.ever_registered("quarvell"));
}

TEST_F(Bridge, NoJackServerClosesTheSndioPort)
{
	Proc q;
	std::string log = build_dir() + "/noserver.log";
	q.start({quarvell_bin()}, faults(bridge_env("qv_nobody", UNIT), log));
	ASSERT_TRUE(q.wait(20));
	EXPECT_TRUE(q.exited_with(1)) << q.status;
	// libjack may say why before our line
	EXPECT_TRUE(q.err.size() >= 26 &&
	    q.err.compare(q.err.size() - 26, 26, "couldn't open jack client\n") == 0)
	    << q.err;
	EXPECT_EQ(q.out, "");
	EXPECT_EQ(read_file(log), OPENED + "mio_close\n");
}

// A server with room for no more ports, and servers that go away.
TEST(Servers, NoRoomForThePort)
{
	Server jackd, sndiod;
	Graph graph;
	start_jackd(jackd, "qv_full", 64, {"-p", "3"}, {"-C", "1", "-P", "1"});
	start_sndiod(sndiod, 12);
	ASSERT_TRUE(graph.open("qv_full"));

	Proc q;
	std::string log = build_dir() + "/noroom.log";
	q.start({quarvell_bin()}, faults(bridge_env("qv_full", 12), log));
	ASSERT_TRUE(q.wait(10));
	EXPECT_TRUE(q.exited_with(1)) << q.status;
	EXPECT_NE(q.err.find("couldn't register jack output port\n"),
	    std::string::npos) << q.err;
	EXPECT_EQ(q.out, "");
	EXPECT_EQ(read_file(log), ACQUIRED_AND_RELEASED);
	EXPECT_FALSE(graph.has_client("quarvell"));
}

TEST(Servers, BridgeIdlesWhenBothServersGoAway)
{
	Server jackd, sndiod;
	start_jackd(jackd, "qv_gone");
	start_sndiod(sndiod, 13);
	Graph graph;
	ASSERT_TRUE(graph.open("qv_gone"));
	Proc q;
	ASSERT_TRUE(start_bridge(q, graph, bridge_env("qv_gone", 13))) << q.err;

	Monitor mon;
	Writer w;
	ASSERT_TRUE(mon.start("qv_gone", PORT));
	ASSERT_TRUE(w.open(thru_port(13)));
	Bytes note = {0x90, 64, 100};
	w.write(note);
	EXPECT_EQ(diff(mon.wait_bytes(note.size(), 10), note), "");

	// the MIDI side vanishes: cycles go on, empty
	sndiod.kill9();
	sleep_ms(1000);
	EXPECT_TRUE(q.running());
	EXPECT_TRUE(graph.has_port(PORT));

	// then the JACK server stops
	mon.stop();
	jack_client_close(graph.c);
	graph.c = nullptr;
	jackd.stop();
	sleep_ms(1500);
	EXPECT_TRUE(q.running());

	q.signal(SIGTERM);
	ASSERT_TRUE(q.wait(5));
	EXPECT_TRUE(q.exited_with(0)) << q.status;
	EXPECT_EQ(q.out, "");
}

} // namespace
