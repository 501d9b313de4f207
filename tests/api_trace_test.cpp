// Tracing of driver requests: one line per call with the decoded request, sizes, the
// answer and the duration; nothing while off.
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "api_fixture.h"

namespace qmdtest {
namespace {

constexpr uint32_t kReadInputs = 0x90002140;

class TraceTest : public ApiTest {
protected:
    void TearDown() override {
        qmd5820_set_trace(nullptr);
        ApiTest::TearDown();
    }

    // The lines `action` traces.
    static std::vector<std::string> Traced(const std::function<void()>& action, bool on = true) {
        std::FILE* file = std::tmpfile();
        EXPECT_NE(file, nullptr);
        if (file == nullptr) return {};
        qmd5820_set_trace(on ? file : nullptr);
        action();
        qmd5820_set_trace(nullptr);
        std::rewind(file);
        std::vector<std::string> lines;
        char line[512];
        while (std::fgets(line, sizeof line, file) != nullptr) {
            std::string text(line);
            EXPECT_EQ(text.back(), '\n');
            text.pop_back();
            lines.push_back(text);
        }
        std::fclose(file);
        return lines;
    }

    static std::string Hex(uint64_t handle) {
        char text[32];
        std::snprintf(text, sizeof text, "0x%016" PRIx64, handle);
        return text;
    }
};

TEST_F(TraceTest, OneLinePerRequestWithItsAnswer) {
    const QMD5820_HANDLE h = Open(0);
    const std::string handle = Hex(h);
    uint8_t inputs = 0;
    uint32_t version = 0;
    struct Case {
        const char* name;
        std::function<void()> action;
        std::string line;  // regular expression of the one line traced
    };
    const Case cases[] = {
        {"two-way request", [&] { i_QMD5820_Read8DigitalInputs(h, &inputs); },
         "ioctl ReadDigitalInputs \\(0x90002140\\) handle " + handle +
             " in 2 out 2 -> ok status 0, [0-9]+ us"},
        {"driver status",
         [&] {
             qmdsim_fault_request(0, kReadInputs, 1, QMDSIM_FAULT_STATUS, 7);
             i_QMD5820_Read8DigitalInputs(h, &inputs);
         },
         "ioctl ReadDigitalInputs \\(0x90002140\\) handle " + handle +
             " in 2 out 2 -> ok status 7, [0-9]+ us"},
        {"failed call",
         [&] {
             qmdsim_fault_request(0, kReadInputs, 1, QMDSIM_FAULT_CALL, 0);
             i_QMD5820_Read8DigitalInputs(h, &inputs);
         },
         "ioctl ReadDigitalInputs \\(0x90002140\\) handle " + handle +
             " in 2 out 2 -> failed, [0-9]+ us"},
        {"one-way request", [&] { i_QMD5820_GetDeviceDriverVersion(h, &version); },
         "ioctl DriverVersion \\(0x90002018\\) handle " + handle + " in 0 out 4 -> ok, [0-9]+ us"},
        {"unknown handle", [&] { i_QMD5820_GetDeviceDriverVersion(h + 1, &version); },
         "ioctl DriverVersion \\(0x90002018\\) handle " + Hex(h + 1) +
             " in 0 out 4 -> failed, [0-9]+ us"},
        {"close", [&] { i_QMD5820_CloseBoard(h); },
         "close handle " + handle + " -> ok, [0-9]+ us"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> lines = Traced(c.action);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(std::regex_match(lines[0], std::regex("qmd5820 trace: " + c.line))) << lines[0];
    }
    // Off: nothing is written, the request still goes out.
    const QMD5820_HANDLE again = Open(0);
    EXPECT_TRUE(Traced([&] { i_QMD5820_Read8DigitalInputs(again, &inputs); }, false).empty());
    EXPECT_EQ(Requests().size(), 1u);
}

TEST_F(TraceTest, OpenTracesCountOpenAndHandshakeInOrder) {
    QMD5820_HANDLE h = 0;
    const std::vector<std::string> lines =
        Traced([&] { ASSERT_EQ(i_QMD5820_OpenBoardViaIndex(1, &h), 0); });
    ASSERT_GE(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("qmd5820 trace: count boards -> 2, [0-9]+ us")))
        << lines[0];
    EXPECT_EQ(lines[1].rfind("qmd5820 trace: open board 1 -> ok handle " + Hex(h) + ", ", 0), 0u)
        << lines[1];
    EXPECT_EQ(lines[2].rfind("qmd5820 trace: ioctl OpenHandshake (0x9001c014) handle " + Hex(h) +
                                 " in 8 out 0 -> ok, ",
                             0),
              0u)
        << lines[2];
    // As many lines as the driver saw requests.
    EXPECT_EQ(lines.size(), qmdsim_trace_count());
}

}  // namespace
}  // namespace qmdtest
