// The panel's database and acquisition requests on the simulated board: what reaches the
// EEPROM (nothing for refused data, a backup equal to the EEPROM before every change, a
// restore that puts the backup back), and an acquisition's CSV.
#include <gtest/gtest.h>

#include <httplib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "QMD5820.h"
#include "eeprom_image.h"
#include "panel/panel_server.h"
#include "qmd5820sim.h"

namespace {

using qmdpanel::Json;

constexpr char kToken[] = "fedcba9876543210fedcba9876543210";

std::vector<uint16_t> Eeprom(uint32_t board) {
    std::vector<uint16_t> words(qmdtool::kEepromWords);
    qmdsim_eeprom_dump(board, words.data(), static_cast<uint32_t>(words.size()));
    return words;
}

class PanelDatabase : public ::testing::Test {
protected:
    void SetUp() override {
        qmdsim_reset();
        qmdpanel::PanelOptions options;
        options.access.token = kToken;
        panel_ = std::make_unique<qmdpanel::Panel>(options);
        std::string error;
        ASSERT_TRUE(panel_->Bind(error)) << error;
        server_ = std::thread([this] { panel_->Serve(); });
    }
    void TearDown() override {
        panel_->Stop();
        server_.join();
        panel_.reset();
        qmdsim_reset();
    }

    httplib::Result Send(const char* method, const std::string& path, const std::string& body = "{}",
                         const char* type = "application/json") {
        httplib::Client client("127.0.0.1", panel_->port());
        client.set_read_timeout(30, 0);
        const httplib::Headers headers{{"X-Panel-Token", kToken}};
        return std::string(method) == "GET" ? client.Get(path.c_str(), headers)
                                            : client.Post(path.c_str(), headers, body, type);
    }
    Json SendJson(const char* method, const std::string& path, const std::string& body = "{}") {
        auto result = Send(method, path, body);
        EXPECT_TRUE(result);
        return result ? Json::parse(result->body, nullptr, false) : Json();
    }

    std::unique_ptr<qmdpanel::Panel> panel_;
    std::thread server_;
};

std::string Add(int index, double range, double sensitivity, double frequency, double voltage,
                double impedance) {
    Json body;
    body["index"] = index;
    body["range"] = range;
    body["sensitivity"] = sensitivity;
    body["frequency"] = frequency;
    body["voltage"] = voltage;
    body["impedance"] = impedance;
    return body.dump();
}

// Data the shared check refuses: the add answers 400 with the check's text, makes no backup
// and leaves every EEPROM word as it was; the preview says the same without writing.
TEST_F(PanelDatabase, RefusedDataWriteNothing) {
    const std::vector<uint16_t> before = Eeprom(0);
    const struct {
        std::string body;
        const char* field;
    } rows[] = {
        {Add(9, 0.0, 25, 5000, 3, 1000), "range"},
        {Add(9, 400.0, 25, 5000, 3, 1000), "range"},
        {Add(9, 5, 0.0, 5000, 3, 1000), "sensitivity"},
        {Add(9, 5, 25, -1, 3, 1000), "frequency"},
        {Add(9, 5, 25, 5000, 31, 1000), "voltage"},
        {Add(9, 5, 25, 5000, 3, 0), "impedance"},
        {R"({"index":9,"range":"5"})", "range"},
        {R"({"index":300,"range":5,"sensitivity":25,"frequency":5000,"voltage":3,"impedance":1000})", "index"},
    };
    for (const auto& row : rows) {
        const auto preview = Send("POST", "/api/board/0/db/preview", row.body);
        ASSERT_TRUE(preview);
        const auto add = Send("POST", "/api/board/0/db/add", row.body);
        ASSERT_TRUE(add);
        EXPECT_EQ(add->status, 400) << row.body;
        EXPECT_NE(add->body.find(row.field), std::string::npos) << add->body;
        if (preview->status == 200) {
            EXPECT_NE(Json::parse(preview->body)["problem"].get<std::string>().find(row.field),
                      std::string::npos);
        }
    }
    EXPECT_EQ(Eeprom(0), before);
    EXPECT_TRUE(SendJson("GET", "/api/backups").empty());
}

// An add, then a delete: each preceded by a backup whose image is the EEPROM as it was just
// before; restoring the first backup (after checking it) brings the database back.
TEST_F(PanelDatabase, BackupsPrecedeEveryChangeAndRestoreBringsItBack) {
    const std::vector<uint16_t> factory = Eeprom(0);
    const Json added = SendJson("POST", "/api/board/0/db/add", Add(9, 5, 25, 5000, 3, 1000));
    ASSERT_EQ(added["result"]["code"], 0) << added.dump();
    const std::vector<uint16_t> with_nine = Eeprom(0);
    EXPECT_NE(with_nine, factory);
    const Json deleted = SendJson("POST", "/api/board/0/db/delete", R"({"index":5})");
    ASSERT_EQ(deleted["result"]["code"], 0) << deleted.dump();

    const auto Image = [&](int number) {
        const auto file = Send("GET", "/api/backup/" + std::to_string(number));
        EXPECT_TRUE(file && file->status == 200);
        std::string error;
        const auto backup = qmdtool::DecodeBackup(
            std::vector<uint8_t>(file->body.begin(), file->body.end()), error);
        EXPECT_TRUE(backup) << error;
        return backup ? backup->image : std::vector<uint16_t>{};
    };
    EXPECT_EQ(Image(added["backup"]), factory);
    EXPECT_EQ(Image(deleted["backup"]), with_nine);

    // Restore the factory backup: its findings first, nothing written by the check.
    const auto file = Send("GET", "/api/backup/" + std::to_string(added["backup"].get<int>()));
    const std::vector<uint16_t> now = Eeprom(0);
    const Json check = SendJson("POST", "/api/board/0/db/restore/check", file->body);
    EXPECT_EQ(Eeprom(0), now);
    EXPECT_TRUE(check["same_board"]);
    EXPECT_GT(check["words_differing"].get<int>(), 0);
    EXPECT_TRUE(check["check"]["consistent"]);
    const Json restored = SendJson("POST", "/api/board/0/db/restore",
                                   R"({"upload":)" + std::to_string(check["upload"].get<int>()) + "}");
    ASSERT_FALSE(restored.contains("error")) << restored.dump();
    EXPECT_EQ(restored["written"], check["words_differing"]);
    EXPECT_EQ(Eeprom(0), factory);
    // The restore itself was preceded by a backup of what it overwrote.
    EXPECT_EQ(Image(restored["backup"]), now);
}

// A damaged or foreign upload: refused or held back, and the EEPROM untouched.
TEST_F(PanelDatabase, DamagedOrForeignUploadsWriteNothing) {
    ASSERT_EQ(SendJson("POST", "/api/board/1/db/add", Add(9, 5, 25, 5000, 3, 1000))["result"]["code"], 0);
    const auto file = Send("GET", "/api/backup/1");  // board 1's EEPROM
    ASSERT_TRUE(file && file->status == 200);
    const std::vector<uint16_t> before = Eeprom(0);

    std::string damaged = file->body;
    damaged[damaged.size() / 2] ^= 0x01;
    const std::vector<std::string> bad = {damaged, file->body.substr(0, file->body.size() - 1),
                                          "QMD5820E", ""};
    for (const std::string& body : bad) {
        const auto result = Send("POST", "/api/board/0/db/restore/check", body, "application/octet-stream");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 400);
    }
    // Board 1's backup onto board 0: the check says so; the restore refuses without force.
    const Json check = SendJson("POST", "/api/board/0/db/restore/check", file->body);
    EXPECT_FALSE(check["same_board"]);
    const Json refused = SendJson("POST", "/api/board/0/db/restore",
                                  R"({"upload":)" + std::to_string(check["upload"].get<int>()) + "}");
    EXPECT_TRUE(refused.contains("error"));
    EXPECT_FALSE(refused.contains("backup"));
    EXPECT_EQ(Eeprom(0), before);
    EXPECT_EQ(SendJson("POST", "/api/board/0/db/restore", R"({"upload":999})").value("error", ""),
              "no such upload: check the file first");
}

// An acquisition: the CSV has the header of the tool, one row per sequence in order, and the
// simulated positions as values; the stop leaves the board free for single reads.
TEST_F(PanelDatabase, AcquisitionCsvHasEverySequenceOnce) {
    qmdsim_set_position(0, 0, 1.25);
    qmdsim_set_position(0, 1, -7.5);
    const Json started = SendJson("POST", "/api/board/0/acquisition/start",
                                  R"({"channels":[[0,1],[1,5]],"sequences_per_interrupt":10})");
    ASSERT_EQ(started["code"], 0) << started.dump();
    EXPECT_EQ(SendJson("POST", "/api/board/0/acquisition/start",
                       R"({"channels":[[0,1]],"sequences_per_interrupt":10})")["code"], -50);
    qmdsim_acquisition_state state{};
    for (int i = 0; i < 10000; ++i) {
        const auto csv = Send("GET", "/api/board/0/acquisition.csv");
        if (csv && std::count(csv->body.begin(), csv->body.end(), '\n') > 200) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const Json stopped = SendJson("POST", "/api/board/0/acquisition/stop");
    ASSERT_EQ(stopped["code"], 0);
    qmdsim_acquisition(0, &state);
    const auto csv = Send("GET", "/api/board/0/acquisition.csv");
    ASSERT_TRUE(csv);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = csv->body.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(csv->body.substr(start, end - start));
    }
    ASSERT_GT(lines.size(), 200u);
    EXPECT_EQ(lines[0], "sequence,arrival/s,ch0/mm,ch1/mm");
    EXPECT_EQ(lines.size() - 1, stopped["written"].get<std::size_t>());
    // The values are the positions as the board codes them: magnitude/range x 32767.
    const auto coded = [](double position, double range) {
        const double code = std::round(std::fabs(position) / range * 32767.0);
        char text[32];
        std::snprintf(text, sizeof text, "%.6f", std::copysign(code / 32767.0 * range, position));
        return std::string(text);
    };
    const std::string values = "," + coded(1.25, 2.0) + "," + coded(-7.5, 10.0);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i].substr(0, lines[i].find(',')), std::to_string(i));
        ASSERT_EQ(lines[i].substr(lines[i].find(',', lines[i].find(',') + 1)), values) << lines[i];
    }
    const Json set = SendJson("POST", "/api/board/0/channel", R"({"channel":0,"transducer":1})");
    EXPECT_EQ(set["code"], 0) << "the board is free again";
}

}  // namespace
