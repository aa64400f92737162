// The consumer example, built against the installed tree: its publisher and
// its stream are each other's peers over a ZeroMQ ipc endpoint.

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <string>

// Catches: an installed tree whose loop, timers, ZeroMQ sockets, streams or
// configuration documents do not work together in a program of its own.
TEST(example_consumer, three_frames_come_round) {
    const orq::test::temp_dir dir;
    orq::test::child_process consumer({ORQ_EXAMPLE_PROGRAM, "ipc://" + dir.file("consumer.sock")});
    EXPECT_EQ(consumer.exit_code(std::chrono::seconds(60)), 0) << consumer.stdout_text() << consumer.stderr_text();
    EXPECT_NE(consumer.stdout_text().find("3 of 3 frames received"), std::string::npos) << consumer.stdout_text();
}
