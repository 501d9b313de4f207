// The test panel's server on the simulated board: the request checks (every refused request
// leaves the board as it was), request handling, the live stream with many listeners and a
// listener that stops reading, and what the panel leaves on the board when it stops.
#include <gtest/gtest.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cmath>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "QMD5820.h"
#include "panel/access.h"
#include "panel/interrupts.h"
#include "panel/panel_server.h"
#include "qmd5820sim.h"

namespace {

using qmdpanel::AccessRules;
using qmdpanel::CheckRequest;
using qmdpanel::Json;
using qmdpanel::RequestFacts;

// ---- the checks on their own --------------------------------------------------------------

struct AccessCase {
    const char* what;
    const char* listen;
    bool read_only;
    const char* method;
    const char* path;
    const char* host;
    const char* origin;  // null: no Origin header
    const char* header_token;
    const char* query_token;
    int status;
};

constexpr char kToken[] = "0123456789abcdef0123456789abcdef";

TEST(PanelAccess, EachRuleRefusesWhatItMust) {
    const AccessCase cases[] = {
        {"page file, loopback", "127.0.0.1", false, "GET", "/", "127.0.0.1:8000", nullptr, "", "", 0},
        {"page file by localhost", "127.0.0.1", false, "GET", "/panel.js", "localhost:8000", nullptr, "", "", 0},
        {"read with header token", "127.0.0.1", false, "GET", "/api/boards", "127.0.0.1:8000", nullptr, kToken, "", 0},
        {"read with query token", "127.0.0.1", false, "GET", "/api/board/0/live", "127.0.0.1:8000", nullptr, "", kToken, 0},
        {"change with header token", "127.0.0.1", false, "POST", "/api/board/0/outputs", "127.0.0.1:8000", "http://127.0.0.1:8000", kToken, "", 0},
        {"read without token", "127.0.0.1", false, "GET", "/api/boards", "127.0.0.1:8000", nullptr, "", "", 403},
        {"wrong token", "127.0.0.1", false, "GET", "/api/boards", "127.0.0.1:8000", nullptr, "0123456789abcdef0123456789abcdee", "", 403},
        {"token prefix", "127.0.0.1", false, "GET", "/api/boards", "127.0.0.1:8000", nullptr, "0123456789abcdef", "", 403},
        {"change with query token only", "127.0.0.1", false, "POST", "/api/board/0/outputs", "127.0.0.1:8000", nullptr, "", kToken, 403},
        {"rebinding host name", "127.0.0.1", false, "GET", "/api/boards", "evil.example:8000", nullptr, kToken, "", 403},
        {"rebinding host name, page file", "127.0.0.1", false, "GET", "/", "evil.example:8000", nullptr, "", "", 403},
        {"another port", "127.0.0.1", false, "GET", "/api/boards", "127.0.0.1:8001", nullptr, kToken, "", 403},
        {"no port", "127.0.0.1", false, "GET", "/api/boards", "127.0.0.1", nullptr, kToken, "", 403},
        {"no host", "127.0.0.1", false, "GET", "/", "", nullptr, "", "", 403},
        {"another address than the listened one", "192.168.1.5", false, "GET", "/api/boards", "192.168.1.6:8000", nullptr, kToken, "", 403},
        {"the listened address", "192.168.1.5", false, "GET", "/api/boards", "192.168.1.5:8000", nullptr, kToken, "", 0},
        {"any address when listening on all", "0.0.0.0", false, "GET", "/api/boards", "10.0.0.7:8000", nullptr, kToken, "", 0},
        {"but no name when listening on all", "0.0.0.0", false, "GET", "/api/boards", "board.lan:8000", nullptr, kToken, "", 403},
        {"foreign origin", "127.0.0.1", false, "POST", "/api/board/0/outputs", "127.0.0.1:8000", "http://evil.example", kToken, "", 403},
        {"foreign origin on a read", "127.0.0.1", false, "GET", "/api/boards", "127.0.0.1:8000", "http://evil.example", kToken, "", 403},
        {"null origin", "127.0.0.1", false, "POST", "/api/board/0/outputs", "127.0.0.1:8000", "null", kToken, "", 403},
        {"origin of another port", "127.0.0.1", false, "POST", "/api/board/0/outputs", "127.0.0.1:8000", "http://127.0.0.1:8001", kToken, "", 403},
        {"read-only refuses a change", "127.0.0.1", true, "POST", "/api/board/0/outputs", "127.0.0.1:8000", nullptr, kToken, "", 403},
        {"read-only still reads", "127.0.0.1", true, "GET", "/api/boards", "127.0.0.1:8000", nullptr, kToken, "", 0},
        {"PUT", "127.0.0.1", false, "PUT", "/api/board/0/outputs", "127.0.0.1:8000", nullptr, kToken, "", 405},
        {"DELETE", "127.0.0.1", false, "DELETE", "/api/db", "127.0.0.1:8000", nullptr, kToken, "", 405},
        {"POST outside the API", "127.0.0.1", false, "POST", "/", "127.0.0.1:8000", nullptr, kToken, "", 404},
    };
    for (const AccessCase& c : cases) {
        AccessRules rules;
        rules.listen_host = c.listen;
        rules.port = 8000;
        rules.token = kToken;
        rules.read_only = c.read_only;
        RequestFacts facts;
        facts.method = c.method;
        facts.path = c.path;
        facts.host = c.host;
        facts.has_origin = c.origin != nullptr;
        facts.origin = c.origin ? c.origin : "";
        facts.token_header = c.header_token;
        facts.token_query = c.query_token;
        EXPECT_EQ(CheckRequest(rules, facts).status, c.status) << c.what;
    }
}

TEST(PanelAccess, TokensAreFreshAndCompareWhole) {
    const std::string a = qmdpanel::NewToken(), b = qmdpanel::NewToken();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
    EXPECT_TRUE(qmdpanel::SameToken(a, a));
    EXPECT_FALSE(qmdpanel::SameToken(a, a.substr(0, 31)));
    EXPECT_FALSE(qmdpanel::SameToken(a, a + "0"));
    EXPECT_FALSE(qmdpanel::SameToken("", ""));  // a panel without a token lets nobody in
}

// ---- the server ---------------------------------------------------------------------------

class PanelServer : public ::testing::Test {
protected:
    void SetUp() override { qmdsim_reset(); }
    void TearDown() override {
        Stop();
        qmdsim_reset();
    }

    void Start(bool read_only = false) {
        qmdpanel::PanelOptions options;
        options.access.read_only = read_only;
        options.access.token = kToken;
        panel_ = std::make_unique<qmdpanel::Panel>(options);
        std::string error;
        ASSERT_TRUE(panel_->Bind(error)) << error;
        server_ = std::thread([this] { panel_->Serve(); });
    }

    void Stop() {
        if (!panel_) return;
        panel_->Stop();
        server_.join();
        panel_.reset();
    }

    httplib::Client Client() {
        httplib::Client client("127.0.0.1", panel_->port());
        client.set_read_timeout(20, 0);
        return client;
    }

    httplib::Result Post(const std::string& path, const std::string& body,
                         httplib::Headers headers = {{"X-Panel-Token", kToken}}) {
        return Client().Post(path.c_str(), headers, body, "application/json");
    }

    Json Get(const std::string& path) {
        auto result = Client().Get(path.c_str(), {{"X-Panel-Token", kToken}});
        EXPECT_TRUE(result);
        return result ? Json::parse(result->body) : Json();
    }

    // Reads `count` events of board 0's stream (or until `enough` says so).
    std::vector<Json> Events(std::size_t count, std::function<bool(const Json&)> enough = {}) {
        std::vector<Json> events;
        std::string buffer;
        auto client = Client();
        client.Get(("/api/board/0/live?token=" + std::string(kToken)).c_str(),
                   [&](const char* data, std::size_t size) {
                       buffer.append(data, size);
                       for (std::size_t end; (end = buffer.find("\n\n")) != std::string::npos;) {
                           const std::string event = buffer.substr(0, end);
                           buffer.erase(0, end + 2);
                           if (event.rfind("data: ", 0) != 0) continue;
                           events.push_back(Json::parse(event.substr(6)));
                           if (events.size() >= count || (enough && enough(events.back()))) {
                               return false;
                           }
                       }
                       return true;
                   });
        return events;
    }

    std::unique_ptr<qmdpanel::Panel> panel_;
    std::thread server_;
};

constexpr char kAllOn[] = R"({"mask":255,"on":true})";

// Each way a change can be refused, on the request that would switch all outputs on: the
// refusal's status, and the board's outputs untouched. The last request is the same one
// done right: it switches them, so the rows above could have failed.
TEST_F(PanelServer, RefusedChangesLeaveTheBoardAsItWas) {
    Start();
    const std::string port = std::to_string(panel_->port());
    const std::string path = "/api/board/0/outputs";
    struct Row {
        const char* what;
        httplib::Headers headers;
        std::string body;
        int status;
    };
    const std::vector<Row> rows = {
        {"no token", {}, kAllOn, 403},
        {"wrong token", {{"X-Panel-Token", "ffffffffffffffffffffffffffffffff"}}, kAllOn, 403},
        {"foreign Host", {{"X-Panel-Token", kToken}, {"Host", "rebind.example:" + port}}, kAllOn, 403},
        {"foreign Origin", {{"X-Panel-Token", kToken}, {"Origin", "http://evil.example"}}, kAllOn, 403},
        {"malformed body", {{"X-Panel-Token", kToken}}, "{\"mask\":255,", 400},
        {"mask out of range", {{"X-Panel-Token", kToken}}, R"({"mask":256,"on":true})", 400},
        {"on missing", {{"X-Panel-Token", kToken}}, R"({"mask":255})", 400},
        {"oversized body", {{"X-Panel-Token", kToken}}, std::string(300 * 1024, ' ') + kAllOn, 413},
    };
    for (const Row& row : rows) {
        const auto result = Post(path, row.body, row.headers);
        ASSERT_TRUE(result) << row.what;
        EXPECT_EQ(result->status, row.status) << row.what;
        EXPECT_EQ(qmdsim_digital_outputs(0), 0) << row.what;
    }
    // The token in the query never allows a change.
    const auto query = Post(path + "?token=" + kToken, kAllOn, {});
    ASSERT_TRUE(query);
    EXPECT_EQ(query->status, 403);
    EXPECT_EQ(qmdsim_digital_outputs(0), 0);
    EXPECT_GE(panel_->refused(), 5u);

    const auto done = Post(path, kAllOn);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->status, 200);
    EXPECT_EQ(Json::parse(done->body)["code"], 0);
    EXPECT_EQ(qmdsim_digital_outputs(0), 0xFF);
}

TEST_F(PanelServer, ReadOnlyRefusesEveryChangeButReads) {
    Start(/*read_only=*/true);
    const struct {
        const char* path;
        const char* body;
    } changes[] = {
        {"/api/board/0/outputs", kAllOn},
        {"/api/board/0/output_memory/on", "{}"},
        {"/api/board/0/timer/start", R"({"time_base":1,"reload":10})"},
        {"/api/board/0/channel", R"({"channel":0,"transducer":1})"},
        {"/api/board/0/close", "{}"},
        {"/api/sim/board/0/position", R"({"channel":0,"position":1.0})"},
    };
    for (const auto& change : changes) {
        const auto result = Post(change.path, change.body);
        ASSERT_TRUE(result) << change.path;
        EXPECT_EQ(result->status, 403) << change.path;
    }
    EXPECT_EQ(qmdsim_digital_outputs(0), 0);
    EXPECT_EQ(qmdsim_digital_output_memory(0), 0);
    qmdsim_timer_state timer{};
    qmdsim_timer(0, &timer);
    EXPECT_EQ(timer.running, 0);
    qmdsim_channel_state channel{};
    qmdsim_channel(0, 0, &channel);
    EXPECT_EQ(channel.position, 0.0);
    EXPECT_EQ(qmdsim_open_handles(0), 1u);  // still open: the close was refused
    // Reads go on: the boards and the live inputs.
    EXPECT_EQ(Get("/api/boards")["boards"].size(), qmdsim_board_count());
    qmdsim_set_digital_inputs(0, 0x5A);
    const auto events = Events(20, [](const Json& e) { return e["inputs"] == 0x5A; });
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["inputs"], 0x5A);
}

// A channel given a transducer type shows the simulated position in the stream; a failed
// assignment (a type the database lacks) reports the library's code and text and leaves the
// channel unread.
TEST_F(PanelServer, AssignedChannelsFollowTheSimulatedPosition) {
    Start();
    const auto missing = Post("/api/board/0/channel", R"({"channel":2,"transducer":7})");
    ASSERT_TRUE(missing);
    const Json refused = Json::parse(missing->body);
    EXPECT_NE(refused["code"], 0);
    EXPECT_FALSE(refused["error"].get<std::string>().empty());

    const auto set = Post("/api/board/0/channel", R"({"channel":3,"transducer":5})");
    ASSERT_TRUE(set);
    EXPECT_EQ(Json::parse(set->body)["code"], 0);
    for (const double position : {2.5, -4.0}) {
        ASSERT_EQ(Post("/api/sim/board/0/position",
                       R"({"channel":3,"position":)" + std::to_string(position) + "}")->status,
                  200);
        // A snapshot sampled after the move carries it (at most a few are in flight).
        const auto events = Events(20, [&](const Json& e) {
            return e["channels"].size() == 1 &&
                   std::fabs(e["channels"][0][2].get<double>() - position) < 0.01;
        });
        ASSERT_FALSE(events.empty());
        const Json& last = events.back();
        ASSERT_EQ(last["channels"].size(), 1u) << "channel 2 must not be read";
        EXPECT_EQ(last["channels"][0][0], 3);
        EXPECT_NEAR(last["channels"][0][2].get<double>(), position, 0.01);
        EXPECT_LT(events.size(), 20u);
    }
    const Json types = Get("/api/board/0/transducers");
    EXPECT_EQ(types["assigned"][3], 5);
    EXPECT_EQ(types["assigned"][2], -1);
}

// Ten listeners at once, and one that connects and never reads: every reading listener gets
// increasing snapshots of the one stream. Run over several trials.
TEST_F(PanelServer, TenListenersGetTheSameStreamDespiteAStalledOne) {
    Start();
    constexpr int kTrials = 10, kListeners = 10;
    constexpr std::size_t kEvents = 25;
    ASSERT_EQ(Events(1).size(), 1u);  // the server's threads are up
    int complete = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        // The stalled listener: takes its first chunk and then sits on the connection.
        std::atomic<bool> release{false};
        std::thread stall([&] {
            httplib::Client stalled("127.0.0.1", panel_->port());
            stalled.Get(("/api/board/0/live?token=" + std::string(kToken)).c_str(),
                        [&](const char*, std::size_t) {
                            while (!release) std::this_thread::yield();
                            return false;
                        });
        });
        std::vector<std::vector<Json>> got(kListeners);
        std::vector<std::thread> listeners;
        for (int i = 0; i < kListeners; ++i) {
            listeners.emplace_back([&, i] { got[i] = Events(kEvents); });
        }
        for (auto& t : listeners) t.join();
        release = true;
        stall.join();
        int whole = 0;
        uint64_t latest_first = 0, earliest_last = UINT64_MAX;
        for (const auto& events : got) {
            if (events.size() != kEvents) continue;
            bool increasing = true;
            for (std::size_t k = 1; k < events.size(); ++k) {
                increasing &= events[k]["sample"].get<uint64_t>() > events[k - 1]["sample"].get<uint64_t>();
            }
            whole += increasing;
            latest_first = std::max(latest_first, events.front()["sample"].get<uint64_t>());
            earliest_last = std::min(earliest_last, events.back()["sample"].get<uint64_t>());
        }
        // All ten were served at once: every one's first snapshot came before any one's
        // last (listeners kept waiting for a free server thread would come after).
        if (whole == kListeners && latest_first < earliest_last) ++complete;
    }
    std::printf("ten listeners served at once and in order: %d of %d trials\n", complete, kTrials);
    EXPECT_EQ(complete, kTrials);
    // The board still answers after all of it.
    EXPECT_EQ(Post("/api/board/0/outputs", R"({"mask":1,"on":true})")->status, 200);
    EXPECT_EQ(qmdsim_digital_outputs(0), 1);
}

// Eight clients switching their own output on and off and re-assigning channels, while two
// listeners read the stream: every request succeeds and the outputs end as the last
// requests left them. The library gets one caller per board (the owner thread); under
// ThreadSanitizer overlapping calls into the board's state would be reported. 10 trials.
TEST_F(PanelServer, ConcurrentClientsAreSerialisedPerBoard) {
    Start();
    constexpr int kTrials = 10, kClients = 8, kRounds = 20;
    int clean = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        std::atomic<int> failures{0};
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, c] {
                for (int round = 0; round < kRounds; ++round) {
                    const bool on = round % 2 == 1;  // the last round switches on
                    const auto r = Post("/api/board/0/outputs", R"({"mask":)" + std::to_string(1 << c) +
                                                                  R"(,"on":)" + (on ? "true" : "false") + "}");
                    const auto a = Post("/api/board/0/channel", R"({"channel":)" + std::to_string(c) +
                                                                  R"(,"transducer":)" + (on ? "1" : "5") + "}");
                    if (!r || r->status != 200 || Json::parse(r->body)["code"] != 0 || !a ||
                        Json::parse(a->body)["code"] != 0) {
                        ++failures;
                    }
                }
            });
        }
        std::thread listener([&] { Events(30); });
        for (auto& t : clients) t.join();
        listener.join();
        const Json types = Get("/api/board/0/transducers");
        bool assigned = true;
        for (int c = 0; c < kClients; ++c) assigned &= types["assigned"][c] == 1;
        if (failures == 0 && qmdsim_digital_outputs(0) == 0xFF && assigned) ++clean;
        Post("/api/board/0/outputs", R"({"mask":255,"on":false})");
    }
    std::printf("concurrent clients, every request done and the end state right: %d of %d trials\n",
                clean, kTrials);
    EXPECT_EQ(clean, kTrials);
}

// Stopping the panel stops the timer it started, removes its interrupt routine and closes
// every board.
TEST_F(PanelServer, StopLeavesTheBoardsClosedAndQuiet) {
    Start();
    ASSERT_EQ(Post("/api/board/0/timer/start", R"({"time_base":1,"reload":5,"interrupts":true})")->status, 200);
    EXPECT_TRUE(qmdpanel::RoutineInstalled(0));
    qmdsim_timer_state timer{};
    qmdsim_timer(0, &timer);
    EXPECT_EQ(timer.running, 1);
    for (uint32_t board = 0; board < qmdsim_board_count(); ++board) {
        EXPECT_EQ(qmdsim_open_handles(board), 1u);
    }
    Stop();
    EXPECT_FALSE(qmdpanel::RoutineInstalled(0));
    qmdsim_timer(0, &timer);
    EXPECT_EQ(timer.running, 0);
    for (uint32_t board = 0; board < qmdsim_board_count(); ++board) {
        EXPECT_EQ(qmdsim_open_handles(board), 0u) << board;
    }
}

}  // namespace
