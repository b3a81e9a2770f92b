#include "fuzz_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "net/warning.h"
#include "platform/message_loop.h"

namespace fuzz {

namespace {

std::string MakeScratch() {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string templ = std::string(base) + "/qiv_fuzz.XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    // The directory goes when the process ends normally; a crash leaves it
    // for inspection.
    static const std::string made = templ;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(made, ec);
    });
    return templ;
}

}  // namespace

const std::string& ScratchDir() {
    static const std::string dir = MakeScratch();
    return dir;
}

void ClearScratch() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(ScratchDir(), ec))
        std::filesystem::remove_all(entry.path(), ec);
}

std::string Join(const std::string& dir, const std::string& name) {
    return dir + "/" + name;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) Fail(__FILE__, __LINE__, "write", path);
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void MakeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0777) != 0 && !Exists(path)) Fail(__FILE__, __LINE__, "mkdir", path);
}

void SilenceWarnings() {
    net::SetWarningSink([](const char*) {});
}

void DrainMessages() {
    plat::Message m;
    while (plat::QueuedMessageCount() != 0 && plat::PeekMessage(m)) {
        if (m.message == plat::msg::Quit) break;
        plat::DispatchMessage(m);
    }
}

void Fail(const char* file, int line, const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n  %s\n", file, line, what, detail.c_str());
    std::abort();
}

std::string Input::Bytes(std::size_t n) {
    if (n > Left()) n = Left();
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
}

std::string Input::Field() {
    std::string out;
    while (pos_ < size_) {
        const std::uint8_t c = data_[pos_++];
        if (c == 0) break;
        out.push_back(static_cast<char>(c));
    }
    return out;
}

}  // namespace fuzz
