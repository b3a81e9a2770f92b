#include "app/control_protocol.h"

#ifndef _WIN32
#include <sys/un.h>
#endif

#include <algorithm>
#include <cstring>

#include "app/settings.h"

namespace app {

namespace {

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

void AppendEscaped(std::string& out, const std::string& field) {
    static const char hex[] = "0123456789abcdef";
    for (unsigned char c : field) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (IsControl(c)) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One line of answer text: control characters would break the line.
std::string OneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (IsControl(static_cast<unsigned char>(c))) c = ' ';
    return out;
}

}  // namespace

std::string ChannelDir(const std::string& profileDir) {
    return profileDir.empty() ? std::string(".") : profileDir;
}

std::string EncodeRequest(const ControlRequest& request) {
    std::string line;
    AppendEscaped(line, request.command);
    for (const std::string& arg : request.args) {
        line += '\t';
        AppendEscaped(line, arg);
    }
    line += '\n';
    return line;
}

bool DecodeRequest(const std::string& line, ControlRequest& out, std::string& error) {
    out = ControlRequest{};
    if (line.size() > kMaxRequestLength) {
        error = "too long";
        return false;
    }
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c == '\t') {
            fields.emplace_back();
        } else if (c == '\\') {
            if (i + 1 >= line.size()) {
                error = "a broken escape";
                return false;
            }
            const char e = line[++i];
            if (e == '\\') {
                fields.back() += '\\';
            } else if (e == 't') {
                fields.back() += '\t';
            } else if (e == 'n') {
                fields.back() += '\n';
            } else if (e == 'r') {
                fields.back() += '\r';
            } else if (e == 'x' && i + 2 < line.size() && HexValue(line[i + 1]) >= 0 &&
                       HexValue(line[i + 2]) >= 0) {
                fields.back() +=
                    static_cast<char>(HexValue(line[i + 1]) * 16 + HexValue(line[i + 2]));
                i += 2;
            } else {
                error = "a broken escape";
                return false;
            }
        } else if (IsControl(c)) {
            error = "a control character";
            return false;
        } else {
            fields.back() += static_cast<char>(c);
        }
    }
    if (fields[0].empty()) {
        error = "no command";
        return false;
    }
    out.command = fields[0];
    out.args.assign(fields.begin() + 1, fields.end());
    return true;
}

ControlRequest SetupRequest(const SetupOptions& options) {
    ControlRequest request{"setup", {}};
    std::vector<std::string>& a = request.args;
    if (options.server) a.push_back("--server=" + *options.server);
    if (options.spoolDir) a.push_back("--spool=" + *options.spoolDir);
    if (options.port) a.push_back("--port=" + std::to_string(*options.port));
    if (options.auth) a.push_back(std::string("--auth=") + (*options.auth ? "yes" : "no"));
    if (options.user) a.push_back("--user=" + *options.user);
    if (options.password) a.push_back("--password=" + *options.password);
    if (options.interval) a.push_back("--interval=" + std::to_string(*options.interval));
    if (options.security) a.push_back(std::string("--security=") + SecurityName(*options.security));
    if (options.caFile) a.push_back("--ca-file=" + *options.caFile);
    if (options.fingerprint) a.push_back("--fingerprint=" + *options.fingerprint);
    if (options.initialFetch)
        a.push_back("--initial-fetch=" + std::to_string(*options.initialFetch));
    if (options.pipelineDepth)
        a.push_back("--pipeline-depth=" + std::to_string(*options.pipelineDepth));
    if (options.compress) a.push_back(std::string("--compress=") + CompressName(*options.compress));
    return request;
}

bool SocketPathFits(const std::string& dir) {
#ifdef _WIN32
    constexpr std::size_t kSunPath = 108;  // the Windows sockaddr_un too
    return ChannelDir(dir).size() + 1 + std::strlen(kSocketFileName) < kSunPath;
#else
    return ChannelDir(dir).size() + 1 + std::strlen(kSocketFileName) < sizeof(sockaddr_un::sun_path);
#endif
}

std::string AnswerLine(const std::string& head, const std::string& text) {
    return head + "\t" + OneLine(text) + "\n";
}

std::string EncodeAnswer(const ControlAnswer& answer) {
    const std::string status = std::to_string(answer.status);
    if (answer.lines.size() == 1 && answer.lines[0].error == (answer.status != 0))
        return AnswerLine(status, answer.lines[0].text);
    std::string out;
    for (const ControlAnswer::Line& line : answer.lines)
        out += AnswerLine(line.error ? "err" : "out", line.text);
    return out + AnswerLine(status, "");
}

bool DecodeAnswerLine(const std::string& line, ControlAnswer& answer, bool& done, bool& retry) {
    done = retry = false;
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) return false;
    const std::string head = line.substr(0, tab);
    std::string text = line.substr(tab + 1);
    if (head == "out" || head == "err") {
        answer.lines.push_back({head == "err", std::move(text)});
        return true;
    }
    done = true;
    retry = head == "retry";
    if (!retry) {
        if (head.empty() || head.size() > 3 ||
            !std::all_of(head.begin(), head.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        answer.status = std::stoi(head);
    }
    if (!text.empty()) answer.lines.push_back({!retry && answer.status != 0, std::move(text)});
    return true;
}

std::string SocketAddressPath(const std::string& dir, int dirFd) {
    if (SocketPathFits(dir)) return ChannelDir(dir) + "/" + kSocketFileName;
    return "/proc/self/fd/" + std::to_string(dirFd) + "/" + kSocketFileName;
}

}  // namespace app
