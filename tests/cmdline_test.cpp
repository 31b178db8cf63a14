// The command line of the real binary, seen through real servers.
#include <gtest/gtest.h>

#include <unistd.h>

#include "harness.h"

using namespace qt;

namespace {

const char SERVER[] = "qv_cmdline";
constexpr int UNIT = 9;
const char USAGE[] = "usage: x [-h] [-o] [-p mio_port] [-n jack_client_name]\n";

class Cmdline : public ServerSuite<SERVER, UNIT> {
    protected:
	// Runs quarvell with args until it has its port or has ended; the
	// environment's sndio port is one that does not exist.
	void run(Proc &q, const std::vector<std::string> &args, const std::string &name)
	{
		start_quarvell(q, bridge_env(SERVER, 15), args);
		eventually([&] {
			return !q.running() || graph.is_active(name + ":midi_out", 0);
		});
	}
};

TEST_F(Cmdline, HelpAndBadOptionsPrintUsageAndOpenNothing)
{
	// invoked through a path ending in x, with a port that would work
	std::string x = in_build("x");
	unlink(x.c_str());
	ASSERT_EQ(symlink(QUARVELL_BIN, x.c_str()), 0);
	const std::string port = thru_port(UNIT);
	const std::vector<std::pair<std::vector<std::string>, bool>> cases = {
	    // arguments, and whether getopt complains first
	    {{"-h"}, false},
	    {{"-p", port, "-n", "early", "-h"}, false},
	    {{"-x"}, true},
	    {{"-p", port, "-q"}, true},
	    {{"-n"}, true},
	    {{"-n", "early", "-p"}, true},
	};
	for (auto &[args, complains] : cases) {
		SCOPED_TRACE(args.back());
		Proc q;
		std::string log = in_build("cmdline.log");
		start_quarvell(q, faults(bridge_env(SERVER, UNIT), log), args, x);
		ASSERT_TRUE(q.wait(10));
		EXPECT_TRUE(q.exited_with(1)) << q.status;
		EXPECT_EQ(q.out, "");
		std::string lines = own(q);
		if (complains) {
			// getopt's own line, then ours
			EXPECT_TRUE(ends_with(lines, USAGE)) << q.err;
			EXPECT_EQ(occurrences(lines, "\n"), 2u) << q.err;
			EXPECT_EQ(lines.rfind(x + ": ", 0), 0u) << q.err;
		} else {
			EXPECT_EQ(lines, USAGE) << q.err;
		}
		EXPECT_EQ(read_file(log), "") << "something was opened";
	}
	EXPECT_FALSE(graph.ever_registered("early"));
	EXPECT_FALSE(graph.ever_registered("quarvell"));
}

TEST_F(Cmdline, PortAndNameReachSndioAndJackLastOneWins)
{
	Proc q;
	run(q, {"-n", "first", "-p", "midithru,15/0", "-n", "second",
	    "-p", thru_port(UNIT)}, "second");
	ASSERT_TRUE(graph.has_port("second:midi_out")) << q.err;
	EXPECT_FALSE(graph.ever_registered("first"));

	Monitor mon;
	Writer w;
	ASSERT_TRUE(mon.start(SERVER, "second:midi_out", w, UNIT));
	Bytes note = {0x90, 67, 80};
	ASSERT_TRUE(w.write(note));
	mon.wait_events(1, 10);
	EXPECT_EQ(diff(mon.events, {note}), "");
	ASSERT_TRUE(ends_well(q));
}

TEST_F(Cmdline, ValuesAreNotCheckedHere)
{
	Proc q;
	run(q, {"-p", ""}, "quarvell");
	ASSERT_TRUE(q.wait(10));
	EXPECT_TRUE(q.exited_with(1)) << q.status;
	EXPECT_EQ(own(q), "couldn't open sndio port: \n") << q.err;
}

TEST_F(Cmdline, ScanningStopsAtAnOperandOrDoubleDash)
{
	const std::vector<std::vector<std::string>> cases = {
	    {"-p", thru_port(UNIT), "operand", "-n", "other"},
	    {"-p", thru_port(UNIT), "--", "-n", "other"},
	    {"-p", thru_port(UNIT), "operand", "-h"},
	};
	for (auto &args : cases) {
		SCOPED_TRACE(args[2] + " " + args[3]);
		Proc q;
		run(q, args, "quarvell");
		EXPECT_TRUE(graph.has_port("quarvell:midi_out")) << q.err;
		EXPECT_FALSE(graph.ever_registered("other"));
		ASSERT_TRUE(ends_well(q));
	}
}

} // namespace
