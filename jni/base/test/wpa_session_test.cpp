#include "fake_supplicant.h"
#include "wpa_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace std::chrono_literals;

// What a receive loop saw, as the binding's callbacks would.
struct Sink {
    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0};
    std::atomic<int> failures{0};
    std::vector<std::string> texts; // only touched by the loop thread
    bool keep_texts = true;
    std::function<bool(const std::string &)> on_message;

    wpa_session_event_sink callbacks()
    {
        return {[](void *c) { return static_cast<Sink *>(c)->stop.load(); },
                [](void *c, char *msg, size_t len) {
                    auto *s = static_cast<Sink *>(c);
                    EXPECT_EQ(std::strlen(msg), len);
                    if (s->keep_texts) {
                        s->texts.emplace_back(msg, len);
                    }
                    ++s->delivered;
                    return s->on_message ? s->on_message(msg) : true;
                },
                [](void *c) { ++static_cast<Sink *>(c)->failures; }, this};
    }
};

class WpaSession : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        fds_ = open_descriptors();
        server_ = std::make_unique<FakeSupplicant>(dir_.path("wlan0"));
    }
    void TearDown() override
    {
        wpa_session_command_close();
        wpa_session_event_close();
        server_.reset();
        EXPECT_EQ(0, wpa_session_event_live());
        EXPECT_EQ(fds_, open_descriptors()) << "descriptor leak";
        EXPECT_EQ(0, local_socket_files()) << "local socket file left in /tmp";
    }

    // Opens the event connection and runs its loop on a thread of its own.
    std::future<wpa_session_end> run_loop(Sink &sink, int *open_result = nullptr)
    {
        wpa_session_event *loop = nullptr;
        const int res = wpa_session_event_open(server_->path().c_str(), &loop);
        if (open_result != nullptr) {
            *open_result = res;
        }
        EXPECT_EQ(WPA_SESSION_OK, res);
        return std::async(std::launch::async,
                          [&sink, loop] { return wpa_session_event_loop(loop, 255, sink.callbacks()); });
    }

    TempDir dir_;
    std::unique_ptr<FakeSupplicant> server_;
    int fds_ = 0;
};

bool wait_until(const std::function<bool()> &cond)
{
    for (int i = 0; i < 500; ++i) {
        if (cond()) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return cond();
}

TEST_F(WpaSession, CommandRequestsNeedAnOpenConnection)
{
    char reply[64];
    size_t len = sizeof(reply);
    EXPECT_EQ(WPA_SESSION_NOT_OPEN, wpa_session_command_request("PING", 4, reply, &len));
    EXPECT_EQ(WPA_SESSION_OPEN_FAILED, wpa_session_command_open(dir_.path("none").c_str()));
    ASSERT_EQ(WPA_SESSION_OK, wpa_session_command_open(server_->path().c_str()));
    // A second open replaces the first without leaking it (TearDown counts).
    ASSERT_EQ(WPA_SESSION_OK, wpa_session_command_open(server_->path().c_str()));
    EXPECT_EQ(WPA_SESSION_OK, wpa_session_command_request("PING", 4, reply, &len));
    EXPECT_EQ("PONG\n", std::string(reply, len));
    wpa_session_command_close();
    wpa_session_command_close();
    len = sizeof(reply);
    EXPECT_EQ(WPA_SESSION_NOT_OPEN, wpa_session_command_request("PING", 4, reply, &len));
}

TEST_F(WpaSession, LoopDeliversEventsCutTo255Bytes)
{
    Sink sink;
    auto loop = run_loop(sink);
    server_->push("<3>CTRL-EVENT-SCAN-RESULTS ");
    server_->push("<2>" + std::string(300, 'x'));
    ASSERT_TRUE(wait_until([&] { return sink.delivered == 2; }));
    EXPECT_EQ(WPA_SESSION_OK, wpa_session_event_close());
    EXPECT_EQ(wpa_session_end::closed, loop.get());
    ASSERT_EQ(2u, sink.texts.size());
    EXPECT_EQ("<3>CTRL-EVENT-SCAN-RESULTS ", sink.texts[0]);
    EXPECT_EQ(("<2>" + std::string(300, 'x')).substr(0, 255), sink.texts[1]);
}

TEST_F(WpaSession, StopRequestEndsTheLoopAfterTheNextMessageWhichIsDelivered)
{
    Sink sink;
    auto loop = run_loop(sink);
    server_->push("<3>CTRL-EVENT-SCAN-STARTED ");
    ASSERT_TRUE(wait_until([&] { return sink.delivered == 1; }));
    // The loop is back in its wait: the stop is seen after the next message.
    sink.stop = true;
    EXPECT_EQ(std::future_status::timeout, loop.wait_for(200ms));
    server_->push("<3>CTRL-EVENT-TERMINATING ");
    ASSERT_EQ(std::future_status::ready, loop.wait_for(5s));
    EXPECT_EQ(wpa_session_end::stop_request, loop.get());
    EXPECT_EQ(2, sink.delivered);
    // The connection stays open until it is closed.
    EXPECT_EQ(1, server_->attached());
    EXPECT_EQ(WPA_SESSION_OK, wpa_session_event_close());
    EXPECT_EQ(0, server_->attached());
    EXPECT_EQ(WPA_SESSION_NOT_OPEN, wpa_session_event_close());
}

TEST_F(WpaSession, CloseFromAnotherThreadGetsItsOwnDetachReply)
{
    Sink sink;
    auto loop = run_loop(sink);
    ASSERT_TRUE(wait_until([&] { return server_->attached() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WPA_SESSION_OK, wpa_session_event_close());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(wpa_session_end::closed, loop.get());
    EXPECT_EQ(0, server_->attached());
    EXPECT_EQ(0, sink.delivered); // the "OK\n" went to the detach
}

TEST_F(WpaSession, CloseFromTheCallbackEndsTheLoop)
{
    Sink sink;
    int closed = 99;
    sink.on_message = [&](const std::string &) {
        closed = wpa_session_event_close();
        return true;
    };
    auto loop = run_loop(sink);
    server_->push("<3>CTRL-EVENT-DISCONNECTED");
    ASSERT_EQ(std::future_status::ready, loop.wait_for(5s));
    EXPECT_EQ(wpa_session_end::closed, loop.get());
    EXPECT_EQ(WPA_SESSION_OK, closed);
}

TEST_F(WpaSession, FailingDeliveryEndsTheLoop)
{
    Sink sink;
    sink.on_message = [](const std::string &) { return false; };
    auto loop = run_loop(sink);
    server_->push("<3>CTRL-EVENT-A", 3);
    ASSERT_EQ(std::future_status::ready, loop.wait_for(5s));
    EXPECT_EQ(wpa_session_end::delivery_failed, loop.get());
    EXPECT_EQ(1, sink.delivered);
}

TEST_F(WpaSession, FailedAttachKeepsTheConnectionForClose)
{
    server_->script([](const std::string &cmd, auto send) { send(cmd == "ATTACH" ? "FAIL\n" : "OK\n"); });
    wpa_session_event *loop = nullptr;
    EXPECT_EQ(WPA_SESSION_FAILED, wpa_session_event_open(server_->path().c_str(), &loop));
    EXPECT_EQ(nullptr, loop);
    EXPECT_EQ(WPA_SESSION_OK, wpa_session_event_close());

    server_->script([](const std::string &cmd, auto send) {
        if (cmd == "DETACH") {
            send("OK\n");
        }
    });
    EXPECT_EQ(WPA_SESSION_TIMEOUT, wpa_session_event_open(server_->path().c_str(), &loop));
    EXPECT_EQ(WPA_SESSION_OK, wpa_session_event_close());
    EXPECT_EQ(WPA_SESSION_OPEN_FAILED, wpa_session_event_open(dir_.path("none").c_str(), &loop));
    EXPECT_EQ(WPA_SESSION_NOT_OPEN, wpa_session_event_close());
}

TEST_F(WpaSession, SecondOpenEndsTheFirstLoop)
{
    Sink first, second;
    auto a = run_loop(first);
    auto b = run_loop(second);
    ASSERT_EQ(std::future_status::ready, a.wait_for(5s));
    EXPECT_EQ(wpa_session_end::closed, a.get());
    server_->push("<3>CTRL-EVENT-B");
    ASSERT_TRUE(wait_until([&] { return second.delivered == 1; }));
    EXPECT_EQ(0, first.delivered);
    EXPECT_EQ(WPA_SESSION_OK, wpa_session_event_close());
    EXPECT_EQ(wpa_session_end::closed, b.get());
}

TEST_F(WpaSession, DetachOfAVanishedSupplicantTimesOutButStillCloses)
{
    Sink sink;
    auto loop = run_loop(sink);
    server_->script([](const std::string &, auto) {});
    EXPECT_EQ(WPA_SESSION_TIMEOUT, wpa_session_event_close());
    EXPECT_EQ(wpa_session_end::closed, loop.get());
}

// The loop blocks in its wait while another thread closes the connection,
// over and over; with traffic the close also races deliveries.
void close_repeatedly(WpaSession *, FakeSupplicant &server, bool traffic, int rounds)
{
    if (traffic) {
        server.flood("<3>CTRL-EVENT-BSS-ADDED 0 00:11:22:33:44:55");
    }
    int delivered = 0;
    for (int i = 0; i < rounds; ++i) {
        Sink sink;
        sink.keep_texts = false;
        wpa_session_event *loop = nullptr;
        ASSERT_EQ(WPA_SESSION_OK, wpa_session_event_open(server.path().c_str(), &loop)) << "round " << i;
        std::thread runner(
            [&] { EXPECT_EQ(wpa_session_end::closed, wpa_session_event_loop(loop, 255, sink.callbacks())); });
        if (i % 2 == 0) {
            std::this_thread::yield();
        }
        // With a flood the detach reply can be preceded by events; the
        // close must still succeed or, at worst, report a time-out.
        const int closed = wpa_session_event_close();
        EXPECT_TRUE(closed == WPA_SESSION_OK || (traffic && closed == WPA_SESSION_TIMEOUT)) << closed;
        runner.join();
        delivered += sink.delivered;
    }
    if (traffic) {
        EXPECT_GT(delivered, 0);
    }
}

TEST_F(WpaSession, CloseFromAnotherThreadAThousandTimesWithoutTraffic)
{
    close_repeatedly(this, *server_, false, 1000);
}

TEST_F(WpaSession, CloseFromAnotherThreadAThousandTimesUnderAFlood)
{
    close_repeatedly(this, *server_, true, 1000);
}

} // namespace
