#include "scanner/ScannerLink.h"
#include "scanner/PtyPeer.h"
#include "scanner/SpeedProbe.h"

#include "core/Sleep.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

using ::testing::ElementsAre;
using Commands = std::vector<std::string>;

namespace {

// Collects the status pane texts (the callback may run on any thread).
class StatusLog {
public:
    ScannerLink::StatusCallback Callback() {
        return [this](const std::string& text) {
            std::lock_guard lock(m_mutex);
            m_texts.push_back(text);
        };
    }
    Commands Texts() const {
        std::lock_guard lock(m_mutex);
        return m_texts;
    }

private:
    mutable std::mutex m_mutex;
    Commands m_texts;
};

class ScannerLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetSleepScale(0.05);
        SimMirror& mirror = SimMirror::Instance();
        mirror.SetStuck(false);
        mirror.SetSpeed(165000.0);
        mirror.SetClockScale(20.0);
        mirror.SetDriveEnabled(false);
        mirror.Reset(0);
        link.SetStatusCallback(status.Callback());
        link.SetStopFlag(&stop);
    }
    void TearDown() override {
        GetSerialPort().Close();
        SetSleepScale(1.0);
        SimMirror::Instance().SetStuck(false);
        SimMirror::Instance().SetClockScale(1.0);
        CSerialPort::SetPortsFile({});
    }
    // Starts the simulated controller on COM1 and connects the link to it.
    void ConnectToSim() {
        ASSERT_TRUE(sim.Start());
        ASSERT_TRUE(link.ConnectScanner());
        sim.ClearLog();
    }
    // Commands of the simulated controller once it has received count of them.
    Commands SimLog(size_t count) {
        EXPECT_TRUE(sim.WaitForCommands(count, 3000));
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // nothing more must follow
        return sim.ReceivedCommands();
    }

    ScannerSettingsValues settings;
    ScannerLink link{settings};
    StatusLog status;
    std::atomic<bool> stop{false};
    SimController sim{"COM1"};
};

} // namespace

// --- Connection ---------------------------------------------------------------------------------

TEST_F(ScannerLinkTest, ConnectGreetsTheControllerAndSetsTheCorridor) {
    settings.m_corridor = 2500;
    settings.m_baudRate = "57600";
    ASSERT_TRUE(sim.Start());
    EXPECT_TRUE(link.ConnectScanner());
    EXPECT_TRUE(link.m_scannerConnected);
    EXPECT_EQ(link.m_commState.BaudRate, 57600u);
    EXPECT_EQ(GetSerialPort().CommState().BaudRate, 57600u);
    // The baud command carries the fixed text whatever the configured rate.
    EXPECT_THAT(SimLog(3), ElementsAre("ANSW2\r", "BAUD 115200\r", "CORRIDOR2500\r\n"));
    EXPECT_EQ(sim.Corridor(), 2500);
    EXPECT_THAT(status.Texts(), ElementsAre("COM1 Connected"));
}

TEST_F(ScannerLinkTest, ConnectOnAnOpenPortSendsNothing) {
    ConnectToSim();
    EXPECT_FALSE(link.ConnectScanner());
    EXPECT_FALSE(link.m_scannerConnected);
    EXPECT_EQ(GetSerialPort().IsOpen(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(sim.ReceivedBytes().empty());
    EXPECT_THAT(status.Texts(), ElementsAre("COM1 Connected"));

    link.DisconnectScanner();
    EXPECT_EQ(GetSerialPort().IsOpen(), 0);
    EXPECT_FALSE(link.m_scannerConnected);
    EXPECT_TRUE(link.ConnectScanner());
}

TEST_F(ScannerLinkTest, UnlistedBaudOrMissingPortIsOffline) {
    ASSERT_TRUE(sim.Start());
    settings.m_baudRate = "18200";
    EXPECT_FALSE(link.ConnectScanner());
    EXPECT_EQ(link.m_commState.BaudRate, 0u);
    EXPECT_EQ(GetSerialPort().IsOpen(), 0);
    EXPECT_THAT(status.Texts(), ElementsAre("COM1 Offline"));

    const auto dir = std::filesystem::temp_directory_path() / ("arv_link_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "ports.txt") << "COM9 /nonexistent/ttyUSB9\n";
    CSerialPort::SetPortsFile((dir / "ports.txt").string());
    settings.m_baudRate = "115200";
    settings.m_comPort = "COM9";
    EXPECT_FALSE(link.ConnectScanner());
    EXPECT_FALSE(link.m_scannerConnected);
    EXPECT_THAT(status.Texts(), ElementsAre("COM1 Offline", "COM9 Offline"));
    std::filesystem::remove_all(dir);
    EXPECT_TRUE(sim.ReceivedBytes().empty());
}

TEST_F(ScannerLinkTest, HandshakeNeedsAnOOrAK) {
    struct Case {
        std::string reply;
        bool connects;
    };
    for (const Case& c : {Case{"OK\r\n", true}, Case{"NO", true}, Case{"k K", true}, Case{"", false},
                          Case{"ERR\r\n", false}, Case{"ok\r\n", false}}) {
        SCOPED_TRACE("reply '" + c.reply + "'");
        PtyPeer peer("COM7", [&](const std::string& command) { return command == "ANSW2\r" ? c.reply : ""; });
        settings.m_comPort = "COM7";
        EXPECT_EQ(link.ConnectScanner(), c.connects);
        EXPECT_EQ(link.m_scannerConnected.load(), c.connects);
        EXPECT_EQ(status.Texts().back(), "COM7 Connected");
        ASSERT_TRUE(peer.WaitForBytes(6, 2000));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (c.connects) {
            EXPECT_THAT(peer.Commands(), ElementsAre("ANSW2\r", "BAUD 115200\r", "CORRIDOR10000\r\n"));
        } else {
            // The port stays open: the next attempt without a disconnect fails at once, sending nothing.
            EXPECT_THAT(peer.Commands(), ElementsAre("ANSW2\r"));
            EXPECT_EQ(GetSerialPort().IsOpen(), 1);
            EXPECT_FALSE(link.ConnectScanner());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_EQ(peer.Bytes(), "ANSW2\r");
        }
        link.DisconnectScanner();
    }
}

// --- Commands -----------------------------------------------------------------------------------

TEST_F(ScannerLinkTest, UnconnectedLinkSkipsMovesButSendsDriveCommandsAndPolls) {
    sim.SetSilent(true);
    ASSERT_TRUE(sim.Start());
    EXPECT_FALSE(link.ConnectScanner()); // open, but the controller did not answer
    link.MoveMirrorAbsolute(5000);
    link.EnableScannerDrive(true);
    EXPECT_EQ(link.m_driveEnabled, 1);
    EXPECT_EQ(link.CheckMirrorArrival(0), -1);
    link.EnableScannerDrive(false);
    EXPECT_EQ(link.m_driveEnabled, 0);
    EXPECT_EQ(link.TravelTo(5000), TravelResult::NotConnected);
    EXPECT_THAT(SimLog(4), ElementsAre("ANSW2\r", "EN\n", "POS\n", "DI\n"));
}

TEST_F(ScannerLinkTest, MoveWithoutWaitSendsTargetAndStart) {
    ConnectToSim();
    link.EnableScannerDrive(true);
    link.MoveMirrorAbsolute(-1234);
    EXPECT_THAT(SimLog(3), ElementsAre("EN\n", "LA-1234\n", "M\n"));
    EXPECT_EQ(SimMirror::Instance().Target(), -1234);
    EXPECT_TRUE(SimMirror::Instance().DriveEnabled());
    EXPECT_TRUE(status.Texts().size() == 1); // only the connection text
}

TEST_F(ScannerLinkTest, MoveWithWaitReturnsOnTheArrivalNotification) {
    ConnectToSim();
    link.EnableScannerDrive(true);
    link.m_waitForArrival = true;
    link.MoveMirrorAbsolute(20000);
    EXPECT_EQ(SimMirror::Instance().Position(), 20000);
    EXPECT_THAT(SimLog(4), ElementsAre("EN\n", "LA20000\n", "NP\r", "M\n"));
    EXPECT_EQ(sim.NotificationsSent(), 1u);
    EXPECT_THAT(status.Texts(), ElementsAre("COM1 Connected"));
}

TEST_F(ScannerLinkTest, WaitForArrivalEndsWithAStuckMirror) {
    ConnectToSim();
    link.EnableScannerDrive(true);
    link.m_waitForArrival = true;
    sim.SetNeverArrives(true);
    link.MoveMirrorAbsolute(100000);
    EXPECT_THAT(status.Texts(), ElementsAre("COM1 Connected", "Mirror did not reach 100000"));

    stop = true; // the engine's stop flag ends the wait at once, without a time-out text
    link.MoveMirrorAbsolute(-50000);
    EXPECT_EQ(status.Texts().size(), 2u);
}

TEST_F(ScannerLinkTest, QueryAndHomingExchanges) {
    ConnectToSim();
    SimMirror::Instance().Reset(-4321);
    int32_t position = 99;
    EXPECT_TRUE(link.QueryMirrorPosition(position));
    EXPECT_EQ(position, -4321);
    link.StartHomingSequence();
    EXPECT_THAT(SimLog(2), ElementsAre("POS\n", "gohoseq0\n"));
    EXPECT_EQ(SimMirror::Instance().Target(), 0);
}

TEST_F(ScannerLinkTest, ArrivalIsStrictlyWithin2000Counts) {
    std::string positionReply;
    std::mutex replyMutex;
    PtyPeer peer("COM7", [&](const std::string& command) {
        if (command == "ANSW2\r")
            return std::string("OK\r\n");
        std::lock_guard lock(replyMutex);
        return command == "POS\n" ? positionReply : std::string();
    });
    settings.m_comPort = "COM7";
    ASSERT_TRUE(link.ConnectScanner());
    struct Case {
        int32_t target;
        std::string reply;
        int expected;
    };
    for (const Case& c : {Case{1000, "2999\r\n", 0}, Case{1000, "3000\r\n", -1}, Case{1000, "", -1},
                          Case{1000, "-999\r\n", 0}, Case{1000, "-1000\r\n", -1}, Case{1000, " 1500\r\n", 0},
                          Case{1000, "abc\r\n", -1}, Case{1000, "99999999999\r\n", -1}, Case{0, "", -1},
                          Case{0, "garbage", -1}, Case{-165000, "-163001\r\n", 0}}) {
        {
            std::lock_guard lock(replyMutex);
            positionReply = c.reply;
        }
        EXPECT_EQ(link.CheckMirrorArrival(c.target), c.expected) << c.target << " '" << c.reply << "'";
    }
    {
        std::lock_guard lock(replyMutex);
        positionReply = "9876543210123\r\n"; // only 10 bytes are read: 9876543210 does not fit
    }
    int32_t position = 5;
    EXPECT_FALSE(link.QueryMirrorPosition(position));
    EXPECT_EQ(position, 0);
    {
        std::lock_guard lock(replyMutex);
        positionReply = "  -42\r\n";
    }
    EXPECT_TRUE(link.QueryMirrorPosition(position));
    EXPECT_EQ(position, -42);
}

// --- Travel -------------------------------------------------------------------------------------

TEST_F(ScannerLinkTest, TravelArrivesOnTheSimulatedMirror) {
    ConnectToSim();
    link.EnableScannerDrive(true);
    EXPECT_EQ(link.TravelTo(30000), TravelResult::Arrived);
    EXPECT_LT(std::abs(SimMirror::Instance().Position() - 30000), 2000);
    const auto log = sim.ReceivedCommands();
    ASSERT_GE(log.size(), 4u);
    EXPECT_THAT(Commands(log.begin(), log.begin() + 3), ElementsAre("EN\n", "LA30000\n", "M\n"));
    for (size_t i = 3; i < log.size(); ++i)
        EXPECT_EQ(log[i], "POS\n");

    link.m_waitForArrival = true;
    EXPECT_EQ(link.TravelTo(-20000), TravelResult::Arrived);
    EXPECT_EQ(SimMirror::Instance().Position(), -20000);
    EXPECT_THAT(status.Texts(), ElementsAre("COM1 Connected"));
}

TEST_F(ScannerLinkTest, TravelTimesOutWithAStuckMirrorAndCanBeAborted) {
    ConnectToSim();
    link.EnableScannerDrive(true);
    sim.SetNeverArrives(true);
    EXPECT_EQ(link.TravelTo(30000), TravelResult::TimedOut);
    EXPECT_THAT(status.Texts(), ElementsAre("COM1 Connected", "Mirror did not reach 30000"));
    EXPECT_GE(sim.CountOf("POS\n"), 1u);

    link.m_waitForArrival = true; // one time-out text, also when the notification wait ran out first
    EXPECT_EQ(link.TravelTo(-30000), TravelResult::TimedOut);
    EXPECT_THAT(status.Texts(),
                ElementsAre("COM1 Connected", "Mirror did not reach 30000", "Mirror did not reach -30000"));

    std::atomic<bool> abort{true};
    link.m_waitForArrival = false;
    EXPECT_EQ(link.TravelTo(40000, &abort), TravelResult::Stopped);
    EXPECT_EQ(status.Texts().size(), 3u);
}

TEST_F(ScannerLinkTest, SlowMirrorIsFollowedToItsTargetHoweverLongTheTrip) {
    // 25 000 counts per second: a 300 000-count trip takes 12 s of mirror time (0.6 s here), longer
    // than any limit worked out from a fixed slowest speed; it keeps coming closer, so it arrives.
    SimMirror::Instance().SetSpeed(25000.0);
    ConnectToSim();
    link.EnableScannerDrive(true);
    EXPECT_EQ(link.TravelTo(-300000), TravelResult::Arrived);
    EXPECT_LT(std::abs(SimMirror::Instance().Position() + 300000), 2000);
    link.m_waitForArrival = true; // the same through the arrival notification
    EXPECT_EQ(link.TravelTo(0), TravelResult::Arrived);
    EXPECT_EQ(SimMirror::Instance().Position(), 0);
    EXPECT_THAT(status.Texts(), ElementsAre("COM1 Connected"));
}

// A controller played by the test: the mirror comes 10 000 counts closer at each position query
// until it stops at half the way, or answers nothing once silent.
class HaltingPeer {
public:
    explicit HaltingPeer(int32_t haltAt) : m_haltAt(haltAt) {}
    std::string Answer(const std::string& command) {
        std::lock_guard lock(m_mutex);
        if (command == "ANSW2\r")
            return "OK\r\n";
        if (command == "POS\n") {
            if (m_position < m_haltAt)
                m_position = std::min(m_haltAt, m_position + 10000);
            else if (!m_halted) {
                m_halted = true;
                m_haltedAt = std::chrono::steady_clock::now();
            }
            return std::to_string(m_position) + "\r\n";
        }
        return command.rfind("LA", 0) == 0 || command == "M\n" || command == "NP\r" ? "OK\r\n" : "";
    }
    std::chrono::steady_clock::time_point HaltedAt() {
        std::lock_guard lock(m_mutex);
        return m_haltedAt;
    }

private:
    std::mutex m_mutex;
    int32_t m_haltAt;
    int32_t m_position = 0;
    bool m_halted = false;
    std::chrono::steady_clock::time_point m_haltedAt{};
};

TEST_F(ScannerLinkTest, MirrorThatStopsHalfwayEndsWithinTheStallPeriod) {
    SetSleepScale(1.0); // real waits: the stall period is 2 s
    HaltingPeer controller(150000);
    PtyPeer peer("COM7", [&](const std::string& c) { return controller.Answer(c); });
    settings.m_comPort = "COM7";
    ASSERT_TRUE(link.ConnectScanner());
    EXPECT_EQ(link.StallPeriodMs(), 2000.0);
    EXPECT_EQ(link.TravelTo(300000), TravelResult::TimedOut);
    const auto now = std::chrono::steady_clock::now();
    const double sinceHalt = std::chrono::duration<double, std::milli>(now - controller.HaltedAt()).count();
    // The position stopped changing at the first repeated answer: the wait ends one stall period
    // later, well within a second more.
    EXPECT_GE(sinceHalt, 1800.0);
    EXPECT_LT(sinceHalt, 3000.0);
    EXPECT_THAT(status.Texts(), ElementsAre("COM7 Connected", "Mirror did not reach 300000"));

    // A shorter stall period is taken as set; a silent controller stalls from the start.
    link.SetStallPeriodMs(300);
    SetSleepScale(0.05);
    EXPECT_EQ(link.TravelTo(150000), TravelResult::Arrived); // already there
    peer.SetResponder(
        [](const std::string& c) { return c == "ANSW2\r" ? std::string("OK\r\n") : std::string(); });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.TravelTo(0), TravelResult::TimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST_F(ScannerLinkTest, StallWatchCountsOnlyComingCloser) {
    StallWatch watch(1000, 60.0, 10000.0);
    EXPECT_FALSE(watch.Stalled());
    int32_t at = 0;
    EXPECT_FALSE(watch.LastReported(at));
    watch.Report(5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    watch.Report(6000); // farther away: no progress
    watch.Report(5000); // as close as before: no progress either
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_TRUE(watch.Stalled());
    watch.Report(4999); // one count closer
    EXPECT_FALSE(watch.Stalled());
    EXPECT_TRUE(watch.LastReported(at));
    EXPECT_EQ(at, 4999);
    // The ceiling ends even a wait that keeps progressing.
    StallWatch ceiling(0, 10000.0, 30.0);
    int reports = 0;
    for (int p = 100000; !ceiling.Stalled() && reports < 1000; p -= 10, ++reports) {
        ceiling.Report(p);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(ceiling.Stalled());
    EXPECT_LT(reports, 1000);
}

// --- Faults -------------------------------------------------------------------------------------

TEST_F(ScannerLinkTest, GarbageAnsweringControllerNeverCountsAsArrival) {
    sim.SetGarbage(true);
    ASSERT_TRUE(sim.Start());
    EXPECT_FALSE(link.ConnectScanner());
    EXPECT_THAT(status.Texts(), ElementsAre("COM1 Connected"));
    link.DisconnectScanner();

    sim.SetGarbage(false);
    ASSERT_TRUE(link.ConnectScanner());
    link.EnableScannerDrive(true);
    sim.SetGarbage(true);
    EXPECT_EQ(link.CheckMirrorArrival(0), -1);
    int32_t position = 7;
    EXPECT_FALSE(link.QueryMirrorPosition(position));
    EXPECT_EQ(position, 0);
    link.m_waitForArrival = true;
    EXPECT_EQ(link.TravelTo(0), TravelResult::TimedOut);
}

TEST_F(ScannerLinkTest, ControllerVanishingIsNoticedAtOnceAndTheNextCommandReconnects) {
    ConnectToSim();
    link.EnableScannerDrive(true);
    link.m_waitForArrival = true;
    sim.SetVanishAfter(3); // LA, NP, M, then the line is gone
    const auto start = std::chrono::steady_clock::now();
    link.MoveMirrorAbsolute(60000);
    // The hang-up ends the wait at once: no stall period, no time-out text, the port's own text.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_TRUE(sim.Vanished());
    EXPECT_TRUE(link.LinkLost());
    EXPECT_FALSE(link.m_scannerConnected);
    EXPECT_FALSE(link.PortOpen());
    EXPECT_THAT(status.Texts(), ElementsAre("COM1 Connected", "COM1 Offline"));
    EXPECT_EQ(link.CheckMirrorArrival(60000), -1);
    // While the device is gone every command tries once to reopen it, and waits for nothing.
    EXPECT_EQ(link.TravelTo(0), TravelResult::LinkLost);
    int32_t position = 3;
    EXPECT_FALSE(link.QueryMirrorPosition(position));
    EXPECT_EQ(status.Texts().back(), "COM1 Offline");

    // The controller is back (a new terminal under the same port name): the next command reopens
    // the port and repeats the handshake before its own bytes.
    sim.Shutdown();
    ASSERT_TRUE(sim.Start());
    sim.ClearLog();
    link.m_waitForArrival = false;
    link.EnableScannerDrive(true);
    EXPECT_FALSE(link.LinkLost());
    EXPECT_TRUE(link.m_scannerConnected);
    EXPECT_THAT(SimLog(4), ElementsAre("ANSW2\r", "BAUD 115200\r", "CORRIDOR10000\r\n", "EN\n"));
    EXPECT_EQ(status.Texts().back(), "COM1 Connected");
    EXPECT_EQ(link.TravelTo(0), TravelResult::Arrived);
}

TEST_F(ScannerLinkTest, HangUpDuringPerLineMovesAndAFailedWriteLoseTheLink) {
    std::atomic<int> moves{0};
    PtyPeer peer("COM7", [&](const std::string& c) {
        if (c == "M\n")
            ++moves;
        return c == "ANSW2\r" || c.rfind("LA", 0) == 0 || c == "M\n" ? std::string("OK\r\n") : std::string();
    });
    settings.m_comPort = "COM7";
    ASSERT_TRUE(link.ConnectScanner());
    for (int line = 0; line < 5; ++line)
        link.MoveMirrorAbsolute(line * 12);
    EXPECT_FALSE(link.LinkLost());
    peer.Hangup();
    // The next per-line move finds the port gone: one attempt, nothing waited for.
    const auto start = std::chrono::steady_clock::now();
    link.MoveMirrorAbsolute(60);
    link.MoveMirrorAbsolute(72);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_TRUE(link.LinkLost());
    EXPECT_EQ(moves.load(), 5);
    EXPECT_THAT(status.Texts(), ElementsAre("COM7 Connected", "COM7 Offline"));
    // An explicit disconnect forgets the loss: nothing is reopened behind the user's back.
    link.DisconnectScanner();
    EXPECT_FALSE(link.LinkLost());
    link.EnableScannerDrive(false);
    EXPECT_FALSE(link.PortOpen());
    EXPECT_EQ(status.Texts().size(), 2u);
}

TEST_F(ScannerLinkTest, AControllerThatStopsAnsweringDuringPerLineMovesLosesTheLink) {
    std::atomic<bool> silent{false};
    PtyPeer peer("COM7", [&](const std::string& c) {
        if (silent)
            return std::string();
        return c == "ANSW2\r" || c.rfind("LA", 0) == 0 || c == "M\n" ? std::string("OK\r\n") : std::string();
    });
    settings.m_comPort = "COM7";
    ASSERT_TRUE(link.ConnectScanner());
    link.MoveMirrorAbsolute(0);
    // Silent moves that are not in a row do not count up: one answered move starts the count again.
    silent = true;
    for (int line = 1; line < ScannerLink::kSilentMovesForLoss; ++line)
        link.MoveMirrorAbsolute(line * 12);
    silent = false;
    link.MoveMirrorAbsolute(100);
    silent = true;
    for (int line = 1; line < ScannerLink::kSilentMovesForLoss; ++line)
        link.MoveMirrorAbsolute(line * 12);
    EXPECT_FALSE(link.LinkLost());
    EXPECT_EQ(status.Texts(), Commands{"COM7 Connected"});
    // The move that completes a row of silent ones loses the link; later moves send nothing.
    link.MoveMirrorAbsolute(1000);
    EXPECT_TRUE(link.LinkLost());
    EXPECT_FALSE(link.PortOpen());
    EXPECT_EQ(status.Texts(), (Commands{"COM7 Connected", "COM7 Offline"}));
    const size_t sent = peer.Commands().size();
    link.MoveMirrorAbsolute(1012);
    EXPECT_EQ(peer.Commands().size(), sent);
    // Once it answers again, the next command greets it and the link is back.
    silent = false;
    link.EnableScannerDrive(true);
    EXPECT_FALSE(link.LinkLost());
    EXPECT_TRUE(link.m_scannerConnected.load());
    EXPECT_EQ(status.Texts().back(), "COM7 Connected");
}

TEST_F(ScannerLinkTest, LateRepliesDoNotSpoilTheNextExchange) {
    ConnectToSim();
    link.EnableScannerDrive(true);
    SimMirror::Instance().Reset(5000);
    sim.SetReplyDelayMs(250); // longer than a read waits for 50 bytes
    link.MoveMirrorAbsolute(5000);
    // The "OK" answers to LA and M arrive after their reads gave up.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    sim.SetReplyDelayMs(0);
    EXPECT_EQ(link.CheckMirrorArrival(5000), 0);
}

TEST_F(ScannerLinkTest, SilentControllerHoldsNothing) {
    sim.SetSilent(true);
    ASSERT_TRUE(sim.Start());
    EXPECT_FALSE(link.ConnectScanner());
    link.m_scannerConnected = true; // as if it had answered once and then fell silent
    link.m_waitForArrival = true;
    link.MoveMirrorAbsolute(10000);
    EXPECT_EQ(link.CheckMirrorArrival(10000), -1);
    EXPECT_EQ(link.TravelTo(10000), TravelResult::TimedOut);
    EXPECT_EQ(status.Texts().back(), "Mirror did not reach 10000");
}

// --- Threads ------------------------------------------------------------------------------------

// The camera thread's per-line moves and the window's position queries share the port: every
// query must read a position, never the controller's "OK" to a move.
TEST_F(ScannerLinkTest, MovesAndQueriesFromTwoThreadsNeverInterleave) {
    ConnectToSim();
    SimMirror::Instance().Reset(7777); // drive disabled: the mirror stays put
    constexpr int kTurns = 25;
    std::atomic<int> badQueries{0};
    std::thread window([&] {
        for (int i = 0; i < kTurns; ++i) {
            int32_t position = 0;
            if (!link.QueryMirrorPosition(position) || position != 7777)
                ++badQueries;
        }
    });
    std::thread camera([&] {
        for (int i = 0; i < kTurns; ++i)
            link.MoveMirrorAbsolute(7777);
    });
    window.join();
    camera.join();
    EXPECT_EQ(badQueries.load(), 0);
    const auto log = SimLog(3 * kTurns);
    ASSERT_EQ(log.size(), size_t(3 * kTurns));
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i] == "LA7777\n") {
            ASSERT_LT(i + 1, log.size());
            EXPECT_EQ(log[i + 1], "M\n");
        } else {
            EXPECT_TRUE(log[i] == "POS\n" || (log[i] == "M\n" && i > 0 && log[i - 1] == "LA7777\n")) << i;
        }
    }
}

// --- Simulated controller -----------------------------------------------------------------------

TEST_F(ScannerLinkTest, SimulatedControllerParsesEveryTerminatorAndStopsOnDisable) {
    ASSERT_TRUE(sim.Start());
    DCB dcb;
    ASSERT_EQ(GetSerialPort().Open(dcb, "COM1"), 1);
    auto send = [](const std::string& text) {
        int n = 0;
        GetSerialPort().Write(text.data(), static_cast<int>(text.size()), &n);
    };
    // The diagnostic sweep ends its commands in line feed, carriage return.
    send("LA-1000\n\r");
    send("XYZ\r\n");
    send("EN\n");
    SimMirror::Instance().SetClockScale(0.01); // slow, so the move is still under way below
    send("M\n\r");
    ASSERT_TRUE(sim.WaitForCommands(4, 3000));
    send("DI\n");
    ASSERT_TRUE(sim.WaitForCommands(5, 3000));
    EXPECT_THAT(sim.ReceivedCommands(), ElementsAre("LA-1000\n", "XYZ\r\n", "EN\n", "M\n", "DI\n"));
    EXPECT_EQ(sim.UnknownCommands(), 1u);
    EXPECT_FALSE(SimMirror::Instance().DriveEnabled());
    EXPECT_NE(SimMirror::Instance().Target(), -1000); // stopped where it stood
    char reply[51] = {};
    int n = 0;
    GetSerialPort().Read(reply, 50, &n);
    EXPECT_EQ(std::string(reply, static_cast<size_t>(n)), "OK\r\nOK\r\n"); // LA and M only

    sim.Shutdown();
    EXPECT_EQ(CSerialPort::DevicePath("COM1"), "/dev/ttyS0"); // the mapping is gone with it
}
