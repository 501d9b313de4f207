// The test panel of the Windows tool end to end: qmd5820.exe panel serves the boards of the
// production QMD5820.dll, which reaches them through the stand-in kernel driver under Wine.
//
//   panel_e2e_test.exe
//
// Installs the stand-in with one board, starts "qmd5820.exe panel" beside this program on a
// fixed loopback port with a known token, and checks over plain HTTP that the boards list
// names the stand-in's board, that requests with a foreign Host, a foreign Origin or no token
// are refused and change nothing, and that an accepted request switches the board's outputs
// (read back through the DLL by this process). Exit code 0 when every check passed.
#include <winsock2.h>
#include <windows.h>
// windows.h first
#include <ws2tcpip.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "QMD5820.h"
#include "standin_driver/standin_control.h"
#include "standin_install.h"

namespace {

constexpr unsigned short kPort = 48231;
constexpr const char* kToken = "0123456789abcdef0123456789abcdef";

int g_failures = 0;
int g_checks = 0;

void Check(bool ok, const char* what, const std::string& detail = {}) {
    ++g_checks;
    if (ok) return;
    ++g_failures;
    std::printf("FAILED: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
}

std::string ProgramDirectory() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

struct Reply {
    int status = 0;  // 0: no answer
    std::string body;
};

// One HTTP/1.1 request on a connection of its own; `headers` end with CRLF each.
Reply Request(const std::string& method, const std::string& path, const std::string& headers,
              const std::string& body = {}) {
    Reply reply;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return reply;
    DWORD timeout_ms = 10000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout_ms),
               sizeof timeout_ms);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return reply;
    }
    std::string text = method + " " + path + " HTTP/1.1\r\n" + headers +
                       "Connection: close\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\n\r\n" + body;
    send(s, text.data(), static_cast<int>(text.size()), 0);
    std::string answer;
    char buffer[4096];
    for (;;) {
        const int n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    closesocket(s);
    if (answer.compare(0, 9, "HTTP/1.1 ") == 0) reply.status = std::atoi(answer.c_str() + 9);
    const std::size_t split = answer.find("\r\n\r\n");
    if (split != std::string::npos) reply.body = answer.substr(split + 4);
    return reply;
}

std::string Host() { return "Host: 127.0.0.1:" + std::to_string(kPort) + "\r\n"; }
std::string Token() { return std::string("X-Panel-Token: ") + kToken + "\r\n"; }

uint8_t Outputs() {
    QMD5820_HANDLE handle = 0;
    uint8_t outputs = 0xEE;
    if (i_QMD5820_OpenBoardViaIndex(0, &handle) != 0) return outputs;
    i_QMD5820_Get8DigitalOutputsStatus(handle, &outputs);
    i_QMD5820_CloseBoard(handle);
    return outputs;
}

void WithPanel() {
    // The server is up once its boards list answers.
    Reply boards;
    for (int i = 0; i < 200 && boards.status == 0; ++i) {
        boards = Request("GET", "/api/boards", Host() + Token());
        if (boards.status == 0) Sleep(100);
    }
    Check(boards.status == 200, "the boards list answers", std::to_string(boards.status));
    Check(boards.body.find("\"boards\"") != std::string::npos &&
              boards.body.find("QMD5820") != std::string::npos,
          "the boards list names the stand-in's board", boards.body.substr(0, 200));
    const Reply page = Request("GET", "/", Host());
    Check(page.status == 200 && page.body.find("QMD5820 test panel") != std::string::npos,
          "the page is served", std::to_string(page.status));

    const uint8_t before = Outputs();
    const std::string change = "{\"mask\": 5, \"on\": true}";
    const std::string json = "Content-Type: application/json\r\n";
    struct Refused {
        const char* what;
        std::string headers;
    };
    const Refused refused[] = {
        {"a foreign Host", "Host: panel.example:" + std::to_string(kPort) + "\r\n" + Token() + json},
        {"a foreign Origin", Host() + "Origin: http://evil.example\r\n" + Token() + json},
        {"no token", Host() + json},
    };
    for (const Refused& r : refused) {
        const Reply reply = Request("POST", "/api/board/0/outputs", r.headers, change);
        Check(reply.status == 403, r.what, std::to_string(reply.status) + " " + reply.body);
    }
    Check(Outputs() == before, "the refused requests changed no output");
    Check(before != 0xEE, "the outputs can be read beside the panel");

    const Reply accepted = Request("POST", "/api/board/0/outputs", Host() + Token() + json, change);
    Check(accepted.status == 200, "the outputs are switched with the token",
          std::to_string(accepted.status) + " " + accepted.body);
    Check((Outputs() & 0x05) == 0x05, "the board's outputs 0 and 2 are on");
    Request("POST", "/api/board/0/outputs", Host() + Token() + json, "{\"mask\": 5, \"on\": false}");
}

}  // namespace

int main() {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        std::printf("FAILED: WSAStartup\n");
        return 1;
    }
    const std::string dir = ProgramDirectory();
    char error[512] = "";
    if (standin_remove(5000, error, sizeof error) != 0 ||
        standin_install((dir + STANDIN_SYS).c_str(), (dir + STANDIN_HOST_DLL).c_str(), 1, 10000,
                        error, sizeof error) != 0) {
        std::printf("FAILED: installing the stand-in driver: %s\n", error);
        return 1;
    }

    std::string command = "\"" + dir + "qmd5820.exe\" panel --no-browser --listen 127.0.0.1:" +
                          std::to_string(kPort) + " --token " + kToken;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(),
                        &startup, &process)) {
        std::printf("FAILED: starting %s (error %lu)\n", command.c_str(), GetLastError());
        standin_remove(10000, error, sizeof error);
        return 1;
    }
    WithPanel();
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    if (standin_remove(10000, error, sizeof error) != 0) {
        std::printf("FAILED: removing the stand-in driver: %s\n", error);
        return 1;
    }
    WSACleanup();
    std::printf("%d checks, %d failed\n", g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
