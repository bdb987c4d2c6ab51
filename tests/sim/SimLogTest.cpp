// The simulated devices' logs stay bounded however long they run, and what tests read from them
// (the most recent commands and bytes, the counts of all) stays exact.
#include "sim/SimLog.h"
#include "serial/SerialPort.h"
#include "sim/SimController.h"
#include "sim/SimMonochromator.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {
// Writes everything to fd (a pseudo-terminal's terminal side), waiting for room as needed.
bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 2000) <= 0)
            return false;
    }
    return true;
}

int OpenTerminal(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}
} // namespace

TEST(SimLog, RecentBytesKeepTheEndAndCountEverything) {
    RecentBytes log(10);
    log.Append("abc", 3);
    EXPECT_EQ(log.Text(), "abc");
    for (int i = 0; i < 7; ++i)
        log.Append("0123", 4);
    EXPECT_EQ(log.Total(), 31u);
    EXPECT_EQ(log.Text(), "2301230123");
    log.Append("a long piece of text", 20);
    EXPECT_EQ(log.Text(), "ce of text");
    EXPECT_EQ(log.Total(), 51u);
    log.Clear();
    EXPECT_EQ(log.Text(), "");
    EXPECT_EQ(log.Total(), 0u);
}

TEST(SimLog, RecentEntriesKeepTheLastOnesInOrder) {
    RecentEntries log(3);
    for (const char* e : {"a", "b", "a", "c", "a"})
        log.Add(e);
    EXPECT_EQ(log.Entries(), (std::vector<std::string>{"a", "c", "a"}));
    EXPECT_EQ(log.CountOf("a"), 2u);
    EXPECT_EQ(log.CountOf("b"), 0u);
    EXPECT_EQ(log.Total(), 5u);
}

TEST(SimLog, AControllerThatRunsForLongKeepsItsLogBounded) {
    SimController controller("COM9");
    controller.SetSilent(true); // no replies to drain; every command is still logged
    ASSERT_TRUE(controller.Start());
    const int fd = OpenTerminal(controller.DevicePath());
    ASSERT_GE(fd, 0);
    // More than two days' worth of log space at the default limits: 30000 moves.
    constexpr int kCommands = 30000;
    std::string burst;
    for (int i = 0; i < kCommands; ++i)
        burst += "LA" + std::to_string(i) + "\n";
    ASSERT_TRUE(WriteAll(fd, burst));
    ASSERT_TRUE(controller.WaitForCommands(kCommands, 20000));
    EXPECT_EQ(controller.CommandCount(), size_t(kCommands));
    EXPECT_EQ(controller.BytesReceived(), burst.size());
    const std::vector<std::string> kept = controller.ReceivedCommands();
    ASSERT_EQ(kept.size(), SimController::kLogCommands);
    EXPECT_EQ(kept.front(), "LA" + std::to_string(kCommands - int(SimController::kLogCommands)) + "\n");
    EXPECT_EQ(kept.back(), "LA29999\n");
    const std::string bytes = controller.ReceivedBytes();
    EXPECT_EQ(bytes.size(), SimController::kLogBytes);
    EXPECT_EQ(bytes, burst.substr(burst.size() - SimController::kLogBytes));
    EXPECT_EQ(controller.CountOf("LA29999\n"), 1u);
    EXPECT_EQ(controller.CountOf("LA0\n"), 0u) << "long gone from the kept commands";

    // A babbling line without any terminator is cut, counted as not understood, and the controller
    // understands the next command.
    controller.ClearLog();
    controller.SetSilent(false);
    ASSERT_TRUE(WriteAll(fd, std::string(100000, 'x')));
    ASSERT_TRUE(WriteAll(fd, "\nPOS\n"));
    for (int i = 0; i < 500 && controller.CountOf("POS\n") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::vector<std::string> after = controller.ReceivedCommands();
    for (const std::string& c : after)
        EXPECT_LE(c.size(), SimController::kMaxCommandLength + 2);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back(), "POS\n");
    EXPECT_GE(controller.UnknownCommands(), 1u);
    std::string reply;
    for (int i = 0; i < 200 && reply.find('\n') == std::string::npos; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) > 0) {
            char buf[64];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0)
                reply.append(buf, size_t(n));
        }
    }
    EXPECT_EQ(reply, std::to_string(SimMirror::Instance().Position()) + "\r\n");
    ::close(fd);
    controller.Shutdown();
}

TEST(SimLog, TheMonochromatorKeepsItsRecentBytes) {
    SimMonochromator mono("COM8");
    mono.SetSilent(true);
    ASSERT_TRUE(mono.Start());
    const int fd = OpenTerminal(mono.DevicePath());
    ASSERT_GE(fd, 0);
    std::string burst;
    for (int i = 0; i < 100000; ++i)
        burst.push_back(char('a' + i % 26));
    ASSERT_TRUE(WriteAll(fd, burst));
    ASSERT_TRUE(mono.WaitForBytes(burst.size(), 20000));
    EXPECT_EQ(mono.BytesReceived(), burst.size());
    EXPECT_EQ(mono.ReceivedBytes(), burst.substr(burst.size() - SimMonochromator::kLogBytes));
    ::close(fd);
    mono.Shutdown();
}
